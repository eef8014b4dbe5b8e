// Closes a RIFF: the standard indexes "ix00"/"ix01" and the super-index
// entries that point at them (OpenDML files), "idx1" for the first RIFF, and
// the list sizes. Chunk offsets are recomputed from the entry sizes.
#include "avi/avi_writer.h"

#include <string.h>

#include "fileio/write_behind_file.h"

#define INDEX_BATCH_BYTES 4096

static uint32_t NextChunkOffset(uint32_t offset, uint32_t entry)
{
    uint32_t next = offset + (entry & INDEX_SIZE_MASK) + 8;
    return next + (next & 1);
}

// Index records go out through the ring in batches rather than one by one.
struct IndexBatch {
    alignas(8) uint8_t bytes[INDEX_BATCH_BYTES];
    uint32_t used;
};

static void FlushBatch(IndexBatch *b)
{
    if (b->used)
        AppendBytes(b->bytes, b->used);
    b->used = 0;
}

// Room for the next record of size bytes, flushing a full batch first.
static void *NextRecord(IndexBatch *b, uint32_t size)
{
    if (b->used + size > sizeof(b->bytes))
        FlushBatch(b);
    void *record = b->bytes + b->used;
    b->used += size;
    return record;
}

static void Split64(uint64_t value, uint32_t out[2])
{
    out[0] = (uint32_t)value;
    out[1] = (uint32_t)(value >> 32);
}

#define SUPER_INDEX_HEAD (sizeof(ListHeader) + sizeof(SuperIndexHeader))

// The "indx" chunk header and index header over a stream's placeholder.
static void WriteSuperIndexHead(uint32_t chunk_id, uint32_t placeholder, uint32_t entries_in_use)
{
    struct {
        ListHeader chunk;
        SuperIndexHeader header;
    } head;
    memset(&head, 0, sizeof(head));
    head.chunk.id = FCC_INDX;
    head.chunk.size = AVI_SUPER_INDEX_PLACEHOLDER;
    head.header.wLongsPerEntry = 4;
    head.header.nEntriesInUse = entries_in_use;
    head.header.dwChunkId = chunk_id;
    static_assert(sizeof(head) == SUPER_INDEX_HEAD, "indx head");
    SeekAbsolute(placeholder);
    WriteAtCursor(&head, sizeof(head));
}

void UpdateSuperIndex(uint32_t chunk_id, uint32_t placeholder, uint32_t slot, uint32_t duration,
                      uint32_t entries)
{
    // The placeholder holds AVI_SUPER_INDEX_SLOTS entries; never write past it.
    if (slot >= AVI_SUPER_INDEX_SLOTS)
        return;
    uint32_t position = output_file.position;
    uint64_t index_at = output_file.base + position;   // where the "ix##" is about to go
    WriteSuperIndexHead(chunk_id, placeholder, slot + 1);

    SuperIndexEntry entry;
    Split64(index_at, entry.qwOffset);
    entry.dwSize = 8 * entries + sizeof(StandardIndexHeader) + 8;
    entry.dwDuration = duration;
    SeekAbsolute((uint64_t)placeholder + SUPER_INDEX_HEAD + sizeof(SuperIndexEntry) * slot);
    WriteAtCursor(&entry, sizeof(entry));
    SeekInRiff(position);
}

void RestoreSuperIndex(uint32_t chunk_id, uint32_t placeholder, uint32_t entries_in_use)
{
    static const uint8_t zeros[AVI_SUPER_INDEX_PLACEHOLDER] = {0};
    if (entries_in_use == 0) {
        RewriteChunkAt(FCC_JUNK, zeros, sizeof(zeros), placeholder);
        return;
    }
    if (entries_in_use >= AVI_SUPER_INDEX_SLOTS)
        return;
    uint32_t position = output_file.position;
    WriteSuperIndexHead(chunk_id, placeholder, entries_in_use);
    SeekAbsolute((uint64_t)placeholder + SUPER_INDEX_HEAD + sizeof(SuperIndexEntry) * entries_in_use);
    WriteAtCursor(zeros, sizeof(SuperIndexEntry));
    SeekInRiff(position);
}

void WriteStandardIndex(uint32_t id)
{
    AviWriter *w = &avi_writer;
    int video = id == FCC_IX00;
    uint32_t n = video ? w->video_chunks_in_riff : w->entry_count - w->video_chunks_in_riff;
    if (n == 0)
        return;
    uint32_t chunk_id = video ? FCC_00DB : FCC_01WB;
    if (video)
        UpdateSuperIndex(chunk_id, w->video_placeholder, w->video_index_count++, n, n);
    else
        UpdateSuperIndex(chunk_id, w->audio_placeholder, w->audio_index_count++,
                         w->audio_blocks_in_riff, n);

    StandardIndexHeader header;
    memset(&header, 0, sizeof(header));
    header.wLongsPerEntry = 2;
    header.bIndexType = 1;
    header.nEntriesInUse = n;
    header.dwChunkId = chunk_id;
    Split64(output_file.base + w->movi_data_start, header.qwBaseOffset);

    ListHeader own;
    BeginList(&own, id, 0);
    AppendBytes(&header, sizeof(header));

    IndexBatch batch;
    batch.used = 0;
    uint32_t offset = 8;
    const uint32_t *entries = output_file.entries;
    for (uint32_t i = 0; i < w->entry_count; i++) {
        uint32_t e = entries[i];
        int audio_entry = (e & INDEX_AUDIO) != 0;
        if (audio_entry != video) {   // a chunk of this stream
            StandardIndexEntry *r = (StandardIndexEntry *)NextRecord(&batch, sizeof(*r));
            r->dwOffset = offset;
            r->dwSize = video ? e : e & INDEX_SIZE_MASK;
        }
        offset = NextChunkOffset(offset, e);
    }
    memset(NextRecord(&batch, sizeof(StandardIndexEntry)), 0, sizeof(StandardIndexEntry));   // terminator
    FlushBatch(&batch);
    CloseList(&own);
}

void WriteIdx1(void)
{
    AviWriter *w = &avi_writer;
    BeginList(&w->shared, FCC_IDX1, 0);
    IndexBatch batch;
    batch.used = 0;
    uint32_t offset = 4;
    const uint32_t *entries = output_file.entries;
    for (uint32_t i = 0; i < w->entry_count; i++) {
        uint32_t e = entries[i];
        Idx1Entry *r = (Idx1Entry *)NextRecord(&batch, sizeof(*r));
        if (e & INDEX_AUDIO) {
            r->dwChunkId = FCC_01WB;
            r->dwFlags = AVI_KEYFRAME;
        } else if (e & INDEX_DELTA) {
            r->dwChunkId = FCC_00DC;
            r->dwFlags = 0;
        } else {
            r->dwChunkId = FCC_00DB;
            r->dwFlags = AVI_KEYFRAME;
        }
        r->dwChunkOffset = offset;
        r->dwChunkLength = e & INDEX_SIZE_MASK;
        offset = NextChunkOffset(offset, e);
    }
    FlushBatch(&batch);
    CloseList(&w->shared);
}

void CloseRiff(void)
{
    AviWriter *w = &avi_writer;
    // A first RIFF whose "movi" has begun is closed even when empty, so that
    // an export without chunks is still a complete file.
    if (w->entry_count == 0 && !(w->avix_count == 0 && w->movi_open))
        return;
    if (w->odml_placeholder) {
        WriteStandardIndex(FCC_IX00);
        WriteStandardIndex(FCC_IX01);
    }
    if (w->avix_count > 0)
        SettleAvixHead();
    CloseList(&w->shared);
    w->movi_open = 0;
    if (w->avix_count == 0)
        WriteIdx1();
    CloseList(&w->riff);
    CountClosedRiff();
}

void CountClosedRiff(void)
{
    AviWriter *w = &avi_writer;
    w->closed_largest_video = w->largest_video_chunk;
    w->closed_largest_audio = w->largest_audio_chunk;
    w->total_video_chunks += w->video_chunks_in_riff;
    w->total_audio_blocks += w->audio_blocks_in_riff;
    w->entry_count = 0;
    w->video_chunks_in_riff = 0;
    w->audio_blocks_in_riff = 0;
}
