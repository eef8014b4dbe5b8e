// Writes the AVI file front to back: headers with placeholders at open, one
// chunk per frame or audio block, a new "AVIX" RIFF at the size threshold,
// and the header fields known only at the end rewritten in place.
#include "avi/avi_writer.h"

#include <windows.h>

#include <string.h>

#include "audio/audio_codec.h"
#include "fileio/write_behind_file.h"
#include "pipeline/job_ring.h"
#include "plugin/context.h"
#include "plugin/texts.h"
#include "video/compress_run.h"

AviWriter avi_writer;

// While no chunk is recorded the entry array doubles as scratch for the
// zero fill and the information text.
static uint8_t *Scratch(void)
{
    return (uint8_t *)output_file.entries;
}

void BeginList(ListHeader *record, uint32_t id, uint32_t list_type)
{
    record->id = id;
    record->size = output_file.position;
    AppendBytes(record, sizeof(*record));
    if (list_type)
        AppendBytes(&list_type, 4);
}

void CloseList(ListHeader *record)
{
    uint32_t start = record->size;
    uint32_t end = output_file.position;
    SeekInRiff(start);
    record->size = end - start - 8;
    WriteAtCursor(record, sizeof(*record));
    SeekInRiff(end);
    if (end & 1) {
        static const uint8_t pad = 0;
        AppendBytes(&pad, 1);
    }
}

int WriteChunk(uint32_t id, const void *data, uint32_t n)
{
    ListHeader header = {id, n};
    int ok = AppendBytes(&header, sizeof(header));
    if (n && !AppendBytes(data, n))
        ok = 0;
    if (output_file.position & 1) {
        static const uint8_t pad = 0;
        AppendBytes(&pad, 1);
    }
    return ok;
}

void RewriteChunkAt(uint32_t id, const void *data, uint32_t n, uint64_t offset)
{
    ListHeader header = {id, n};
    SeekAbsolute(offset);
    WriteAtCursor(&header, sizeof(header));
    WriteAtCursor(data, n);
    SeekInRiff(output_file.position);
}

void WriteAlignmentJunk(void)
{
    AviWriter *w = &avi_writer;
    uint8_t *scratch = Scratch();
    uint32_t text = 0;
    if (w->avix_count == 0)
        text = (uint32_t)wsprintfA((char *)scratch, AVI_INFO_FORMAT, VELNIK_NAME, VELNIK_VERSION);
    // Fill so that the first chunk of "movi" (behind this JUNK header, the
    // text and, unless the list is begun already, its 12-byte header) starts
    // on the boundary.
    uint32_t behind = w->movi_open ? 8 : 20;
    uint32_t at = (uint32_t)output_file.base + output_file.position;
    uint32_t fill = (0u - (at + text + behind)) % AVI_MOVI_ALIGN;
    memset(scratch + text, 0, fill);
    w->movi_junk_position = output_file.position;
    WriteChunk(FCC_JUNK, scratch, text + fill);
    w->movi_data_start = output_file.position + (w->movi_open ? 0 : 12);
}

// An "AVIX" RIFF is begun with "movi" right behind its list type and the
// alignment "JUNK" inside the list: a reader that walks on past the indexes
// of a killed export steps from "AVIX" straight into "movi". The close puts
// the head in a finished file's order, "JUNK" then "movi", the first chunk
// where it was; the close of the list writes the list header.
void SettleAvixHead(void)
{
    const uint32_t list_at = sizeof(ListHeader) + 4;   // behind "RIFF" size "AVIX"
    const uint32_t list_size = sizeof(ListHeader) + 4;
    uint32_t end = output_file.position;
    uint32_t fill = avi_writer.movi_data_start - list_at - list_size - sizeof(ListHeader);
    struct {
        ListHeader junk;
        uint8_t zeros[list_size];   // over the list header written at the split
    } head = {{FCC_JUNK, fill}, {0}};
    SeekInRiff(list_at);
    WriteAtCursor(&head, sizeof(head.junk) + (fill < list_size ? fill : list_size));
    uint32_t movi = FCC_MOVI;
    SeekInRiff(avi_writer.movi_data_start - 4);
    WriteAtCursor(&movi, 4);
    SeekInRiff(end);
}

static void WriteZeroJunk(uint32_t *position_out, uint32_t n)
{
    *position_out = output_file.position;
    memset(Scratch(), 0, n);
    WriteChunk(FCC_JUNK, Scratch(), n);
}

static void BeginMovi(void)
{
    BeginList(&avi_writer.shared, FCC_LIST, FCC_MOVI);
    avi_writer.movi_open = 1;
}

// A compressor or converter start: a job on the worker while the ring runs,
// else a direct call.
static int StartJob(WriterContext *ctx, uint32_t code)
{
    if (job_ring.ring_active) {
        RingPost(code, ctx, NULL, 0);
        return RingDrain();
    }
    return RingCodecDirect(code, ctx);
}

static uint32_t MicroSecPerFrame(uint32_t scale, uint32_t rate)
{
    if (!rate)
        return 0;
    double us = (double)scale * 1000000.0 / (double)rate;
    return us >= 4294967295.0 ? 0xFFFFFFFFu : (uint32_t)us;
}

static int OpenVideoStream(WriterContext *ctx, uint32_t open_flags)
{
    AviWriter *w = &avi_writer;
    BeginList(&w->shared, FCC_LIST, FCC_STRL);
    w->video_strh.fccType = FCC_VIDS;
    w->video_strh.dwScale = ctx->scale;
    w->video_strh.dwRate = ctx->rate;
    w->video_strh.rcFrame[2] = (int16_t)ctx->width;
    w->video_strh.rcFrame[3] = (int16_t)ctx->height;
    w->video_strh_position = output_file.position;
    WriteChunk(FCC_STRH, &w->video_strh, sizeof(w->video_strh));

    const void *format = &ctx->bih;
    uint32_t format_size = sizeof(ctx->bih);
    if (open_flags & OPEN_COMPRESS_VIDEO) {
        if (!StartJob(ctx, JOB_VIDEO_BEGIN))
            return 0;
        ctx->state_flags |= CTX_VIDEO_CODEC;
        w->video_strh.fccHandler = ctx->video.fccHandler;
        w->video_strh.dwQuality = (uint32_t)ctx->video.quality;
        format = ctx->video.bihOut;
        format_size = ctx->video.bihOutSize;
        if (format_size > sizeof(ctx->video.bihOut))
            format_size = sizeof(ctx->video.bihOut);
    } else {
        w->video_strh.fccHandler = ctx->bih.biCompression;
    }
    WriteChunk(FCC_STRF, format, format_size);
    WriteZeroJunk(&w->video_placeholder, AVI_SUPER_INDEX_PLACEHOLDER);
    CloseList(&w->shared);
    w->stream_lists++;
    ctx->state_flags |= CTX_VIDEO_STREAM;
    return 1;
}

static int OpenAudioStream(WriterContext *ctx, uint32_t open_flags)
{
    AviWriter *w = &avi_writer;
    BeginList(&w->shared, FCC_LIST, FCC_STRL);
    w->audio_strh.fccType = FCC_AUDS;
    w->audio_strh_position = output_file.position;
    WriteChunk(FCC_STRH, &w->audio_strh, sizeof(w->audio_strh));

    // The host's PCM as 18 bytes with cbSize 0, not what a stored block left.
    WAVEFORMATEX pcm;
    AudioHostFormat(&ctx->wfx, &pcm);
    const void *format = &pcm;
    uint32_t format_size = sizeof(pcm);
    if (open_flags & OPEN_COMPRESS_AUDIO) {
        for (int i = 0; i < 2; i++)
            if (!w->audio_work[i])
                w->audio_work[i] = (uint8_t *)PageAlloc(AUDIO_WORK_BUFFER_SIZE);
        if (!w->audio_work[0] || !w->audio_work[1] || !StartJob(ctx, JOB_AUDIO_OPEN))
            return 0;
        ctx->state_flags |= CTX_AUDIO_CODEC;
        const WAVEFORMATEX *chosen = (const WAVEFORMATEX *)ctx->audio.chosen_format;
        w->audio_strh.fccHandler = chosen->wFormatTag;
        w->audio_strh.dwScale = w->audio_strh.dwSampleSize = chosen->nBlockAlign;
        w->audio_strh.dwRate = chosen->nAvgBytesPerSec
                                   ? chosen->nAvgBytesPerSec
                                   : (uint32_t)chosen->wBitsPerSample * chosen->nChannels *
                                         chosen->nSamplesPerSec >> 3;
        // Checked by the start: exactly the format's own length.
        format = ctx->audio.chosen_format;
        format_size = ctx->audio.chosen_format_size;
    } else {
        w->audio_strh.fccHandler = WAVE_FORMAT_PCM;
        w->audio_strh.dwScale = w->audio_strh.dwSampleSize = ctx->wfx.nBlockAlign;
        w->audio_strh.dwRate = ctx->wfx.nSamplesPerSec * ctx->wfx.nBlockAlign;
    }
    WriteChunk(FCC_STRF, format, format_size);
    WriteZeroJunk(&w->audio_placeholder, AVI_SUPER_INDEX_PLACEHOLDER);
    CloseList(&w->shared);
    w->stream_lists++;
    ctx->state_flags |= CTX_AUDIO_STREAM;
    return 1;
}

// "avih" and the "strh" chunks with what is known now: at open everything
// but the counts and the largest chunks, at finish all of it.
static void RewriteHeaders(WriterContext *ctx)
{
    AviWriter *w = &avi_writer;
    w->avih.dwTotalFrames = w->total_video_chunks;
    w->avih.dwStreams = w->stream_lists;
    RewriteChunkAt(FCC_AVIH, &w->avih, sizeof(w->avih), w->avih_position);
    if (ctx->state_flags & CTX_VIDEO_STREAM) {
        w->video_strh.dwLength = w->total_video_chunks;
        w->video_strh.dwSuggestedBufferSize = w->largest_video_chunk;
        RewriteChunkAt(FCC_STRH, &w->video_strh, sizeof(w->video_strh), w->video_strh_position);
    }
    if (ctx->state_flags & CTX_AUDIO_STREAM) {
        w->audio_strh.dwLength = w->total_audio_blocks;
        w->audio_strh.dwSuggestedBufferSize = w->largest_audio_chunk;
        RewriteChunkAt(FCC_STRH, &w->audio_strh, sizeof(w->audio_strh), w->audio_strh_position);
    }
}

int OpenAviFile(WriterContext *ctx, const char *file_name, uint32_t open_flags)
{
    AviWriter *w = &avi_writer;
    uint8_t *work0 = w->audio_work[0], *work1 = w->audio_work[1];
    memset(w, 0, sizeof(*w));
    w->audio_work[0] = work0;
    w->audio_work[1] = work1;
    RingReset();
    ctx->state_flags = 0;

    if (!OpenOutputFile(file_name, WriteUnitFromKiB(output_file.save_unit_kib)))
        return -1;
    BeginList(&w->riff, FCC_RIFF, FCC_AVI);
    ctx->state_flags |= CTX_FILE_OPEN;
    RingStart((int32_t)ctx->bih.biSizeImage);

    BeginList(&w->hdrl, FCC_LIST, FCC_HDRL);
    w->avih.dwMicroSecPerFrame = MicroSecPerFrame(ctx->scale, ctx->rate);
    w->avih.dwFlags = AVIF_FLAGS;
    w->avih.dwWidth = (uint32_t)ctx->width;
    w->avih.dwHeight = (uint32_t)ctx->height;
    w->avih_position = output_file.position;
    WriteChunk(FCC_AVIH, &w->avih, sizeof(w->avih));

    if ((open_flags & OPEN_VIDEO) && !OpenVideoStream(ctx, open_flags)) {
        FinishAviFile(ctx);
        return -3;
    }
    if ((open_flags & OPEN_AUDIO) && !OpenAudioStream(ctx, open_flags)) {
        FinishAviFile(ctx);
        return -2;
    }

    WriteZeroJunk(&w->odml_placeholder, AVI_ODML_PLACEHOLDER);
    CloseList(&w->hdrl);
    // The headers were written before the streams' formats were settled; a
    // file whose export is killed keeps these, so they get every value known.
    RewriteHeaders(ctx);
    WriteAlignmentJunk();
    BeginMovi();
    return 1;
}

// Closes the current RIFF with its indexes. When they do not all reach the
// disk, puts the writer and the super indexes back as they were before and
// returns 0: the RIFF is then still open, its chunks recorded.
static int CloseRiffChecked(void)
{
    AviWriter *w = &avi_writer;
    AviWriter before = *w;
    uint32_t position = output_file.position;
    CloseRiff();
    if (OutputFileIntact())
        return 1;
    if (w->video_index_count != before.video_index_count)
        RestoreSuperIndex(FCC_00DB, w->video_placeholder, before.video_index_count);
    if (w->audio_index_count != before.audio_index_count)
        RestoreSuperIndex(FCC_01WB, w->audio_placeholder, before.audio_index_count);
    *w = before;
    output_file.position = position;
    return 0;
}

// The chunks of the current RIFF that a failed write leaves: the first
// `count` entries, `video` of them video and `blocks` audio blocks in the
// rest, ending at the absolute offset `end`.
struct KeptChunks {
    uint32_t count;
    uint32_t video;
    uint32_t blocks;
    uint64_t end;
};

// Bytes of the "ix00" and "ix01" of a RIFF with these chunks.
static uint64_t StandardIndexBytes(uint32_t video, uint32_t audio)
{
    const uint64_t fixed = sizeof(ListHeader) + sizeof(StandardIndexHeader) + sizeof(StandardIndexEntry);
    return (video ? fixed + (uint64_t)video * sizeof(StandardIndexEntry) : 0) +
           (audio ? fixed + (uint64_t)audio * sizeof(StandardIndexEntry) : 0);
}

// The longest run of the RIFF's chunks that lies whole on disk. A
// continuation RIFF also needs its indexes behind them, in the room the
// file already had.
static KeptChunks ChunksOnDisk(uint64_t on_disk)
{
    const AviWriter *w = &avi_writer;
    uint32_t block = w->audio_strh.dwSampleSize ? w->audio_strh.dwSampleSize : 1;
    int indexed = w->avix_count > 0;
    KeptChunks kept = {0, 0, 0, output_file.base + w->movi_data_start};
    KeptChunks next = kept;
    for (uint32_t i = 0; i < w->entry_count; i++) {
        uint32_t e = output_file.entries[i];
        uint32_t n = e & INDEX_SIZE_MASK;
        next.count = i + 1;
        next.end += 8 + n + (n & 1);
        if (e & INDEX_AUDIO)
            next.blocks += n / block;
        else
            next.video++;
        uint64_t need = next.end + (indexed ? StandardIndexBytes(next.video, next.count - next.video) : 0);
        if (need > on_disk)
            break;
        kept = next;
    }
    return kept;
}

// Makes the kept chunks the RIFF's; the largest chunks are counted again.
static void KeepChunks(const KeptChunks *kept)
{
    AviWriter *w = &avi_writer;
    w->entry_count = kept->count;
    w->video_chunks_in_riff = kept->video;
    w->audio_blocks_in_riff = kept->blocks;
    w->largest_video_chunk = w->closed_largest_video;
    w->largest_audio_chunk = w->closed_largest_audio;
    for (uint32_t i = 0; i < kept->count; i++) {
        uint32_t e = output_file.entries[i];
        uint32_t *largest = e & INDEX_AUDIO ? &w->largest_audio_chunk : &w->largest_video_chunk;
        if ((e & INDEX_SIZE_MASK) > *largest)
            *largest = e & INDEX_SIZE_MASK;
    }
}

// A continuation RIFF that cannot be kept is cut off whole; the RIFFs before
// it are complete on disk (a split only follows a close that reached it).
static void DropRiff(void)
{
    AviWriter *w = &avi_writer;
    CutOutputFileAt(output_file.base);
    const KeptChunks none = {0, 0, 0, output_file.base};
    KeepChunks(&none);
    w->avix_count--;
    w->movi_open = 0;
}

// The first RIFF without room for "idx1": it ends with its "movi" and the
// main header loses AVIF_HASINDEX.
static void CloseFirstRiffWithoutIndex(void)
{
    AviWriter *w = &avi_writer;
    if (w->movi_open)
        CloseList(&w->shared);
    w->movi_open = 0;
    CloseList(&w->riff);
    w->avih.dwFlags &= ~AVI_FLAG_HASINDEX;
    CountClosedRiff();
}

// Not even the first "movi" list reached the disk, so no chunk did: an empty
// "movi" takes the place of the alignment "JUNK" behind "hdrl", with "idx1"
// when that fits too, else without; with no room for the list at all the
// file ends behind "hdrl".
static void CloseFirstRiffWithoutMovi(uint64_t on_disk)
{
    AviWriter *w = &avi_writer;
    const KeptChunks none = {0, 0, 0, 0};
    KeepChunks(&none);
    uint32_t at = w->movi_junk_position;
    if (at == 0 || at > on_disk || !CutOutputFileAt(at))
        return;   // the headers themselves are cut short: nothing can be mended
    BeginMovi();
    w->movi_data_start = output_file.position;
    int movi_written = OutputFileIntact();
    if (movi_written && CloseRiffChecked())
        return;
    CutOutputFileAt(movi_written ? at + 12 : at);
    w->movi_open = movi_written;
    CloseFirstRiffWithoutIndex();
}

// After a failed write: measures what is on disk, keeps the chunks of the
// current RIFF that lie whole there, cuts the file behind the last of them
// (which frees a partial tail for the indexes) and closes the RIFF with its
// indexes. Where they do not fit, the first RIFF ends without "idx1", and a
// continuation RIFF that cannot keep one chunk with its index is dropped.
static void CloseRiffOnFailedDisk(void)
{
    AviWriter *w = &avi_writer;
    if (!w->movi_open)
        return;   // before the first "movi", or a RIFF already dropped
    uint64_t on_disk = OutputFileSize();
    if (w->avix_count == 0 && on_disk < output_file.base + w->movi_data_start) {
        CloseFirstRiffWithoutMovi(on_disk);
        return;
    }
    KeptChunks kept = ChunksOnDisk(on_disk);
    if (kept.count == 0 && w->avix_count > 0) {
        DropRiff();
        return;
    }
    KeepChunks(&kept);
    if (CutOutputFileAt(kept.end) && CloseRiffChecked())
        return;
    CutOutputFileAt(kept.end);
    if (w->avix_count > 0)
        DropRiff();
    else
        CloseFirstRiffWithoutIndex();
}

// Before each chunk: a RIFF that has reached the threshold is closed and the
// chunk goes into a new "AVIX". Refused (0) when the super indexes would have
// no slot left for the new RIFF's index.
static int SplitCheck(void)
{
    AviWriter *w = &avi_writer;
    if (output_file.position < AVI_RIFF_THRESHOLD)
        return 1;
    if (w->avix_count + 2 > AVI_SUPER_INDEX_SLOTS)
        return 0;
    // After a failed write the RIFF stays open, for finish to mend.
    if (!OutputFileIntact() || !CloseRiffChecked())
        return 0;
    w->avix_count++;
    output_file.base += output_file.position;
    output_file.position = 0;
    BeginList(&w->riff, FCC_RIFF, FCC_AVIX);
    BeginMovi();
    WriteAlignmentJunk();
    w->shared.size = w->movi_data_start - 12;   // where the close puts the list header
    return 1;
}

// Checks common to both streams before a chunk is recorded.
static int MakeRoomForChunk(uint32_t size)
{
    AviWriter *w = &avi_writer;
    if (size >= AVI_MAX_CHUNK)
        return 0;
    if (w->odml_placeholder && !SplitCheck())
        return 0;
    return w->entry_count < output_file.entries_bytes / sizeof(uint32_t);
}

int WriteVideoChunk(const void *data, uint32_t size, uint32_t flags)
{
    AviWriter *w = &avi_writer;
    if (!MakeRoomForChunk(size))
        return 0;
    if (size > w->largest_video_chunk)
        w->largest_video_chunk = size;
    w->video_chunks_in_riff++;
    int key = (flags & AVI_KEYFRAME) != 0;
    output_file.entries[w->entry_count++] = key ? size : size | INDEX_DELTA;
    return WriteChunk(key ? FCC_00DB : FCC_00DC, data, size);
}

int WriteAudioChunk(const void *data, uint32_t n, uint32_t blocks)
{
    AviWriter *w = &avi_writer;
    if (!MakeRoomForChunk(n))
        return 0;
    if (n > w->largest_audio_chunk)
        w->largest_audio_chunk = n;
    w->audio_blocks_in_riff += blocks;
    output_file.entries[w->entry_count++] = n | INDEX_AUDIO;
    return WriteChunk(FCC_01WB, data, n);
}

int WriteVideoFrame(WriterContext *ctx, const void *frame, uint32_t *stored_size)
{
    if (!(ctx->state_flags & CTX_VIDEO_STREAM))
        return 1;
    if (!frame)
        return 0;
    uint32_t size = ctx->bih.biSizeImage;
    uint32_t flags = AVI_KEYFRAME;
    const void *data = frame;
    if (ctx->state_flags & CTX_VIDEO_CODEC) {
        data = VideoCompressFrame(&ctx->video, (const uint8_t *)frame, &flags, &size);
        if (!data)
            return 0;
        if (flags & VIDEO_HELD_BACK)
            return 1;   // its chunk comes at the end, from WriteVideoEnd
    }
    if (!WriteVideoChunk(data, size, flags))
        return 0;
    if (stored_size)
        *stored_size = size;
    return 1;
}

int WriteVideoEnd(WriterContext *ctx)
{
    if (!(ctx->state_flags & CTX_VIDEO_STREAM) || !(ctx->state_flags & CTX_VIDEO_CODEC))
        return 1;
    const uint8_t *data;
    uint32_t flags, size;
    int owed;
    while ((owed = VideoCompressDrain(&ctx->video, &data, &flags, &size)) == 1)
        if (!WriteVideoChunk(data, size, flags))
            return 0;
    return owed != 0;
}

int WriteAudio(WriterContext *ctx, const void *data, uint32_t length)
{
    if (!(ctx->state_flags & CTX_AUDIO_STREAM))
        return 1;
    const void *out = data;
    uint32_t n = length;
    if (ctx->state_flags & CTX_AUDIO_CODEC) {
        out = AudioCodecConvert(&ctx->audio, length ? (const uint8_t *)data : NULL, length, &n);
        if (!out)
            return 0;
    }
    if (n == 0)
        return 1;
    if (!out)
        return 0;
    // A stored format with block align 0 counts bytes rather than dividing by 0.
    uint32_t block = avi_writer.audio_strh.dwSampleSize ? avi_writer.audio_strh.dwSampleSize : 1;
    return WriteAudioChunk(out, n, n / block);
}

// Ends the compressor and the converter, each exactly once: as jobs while the
// worker runs, else (a post refused, the worker stopped) directly on this
// thread once the worker is gone. Each end clears its flag, so what remains
// set after the jobs did not run. Returns 0 when the worker could not be
// stopped: the compressors may still be in use there and are left open.
static int EndCompression(WriterContext *ctx)
{
    if (job_ring.ring_active && job_ring.worker.running.load(std::memory_order_acquire)) {
        if (ctx->state_flags & CTX_VIDEO_CODEC)
            RingPost(JOB_VIDEO_END, ctx, NULL, 0);
        if (ctx->state_flags & CTX_AUDIO_CODEC)
            RingPost(JOB_AUDIO_CLOSE, ctx, NULL, 0);
        RingDrain();
    }
    RingStop();
    if (WorkerAbandoned(&job_ring.worker))
        return 0;
    if (ctx->state_flags & CTX_VIDEO_CODEC)
        RingCodecDirect(JOB_VIDEO_END, ctx);
    if (ctx->state_flags & CTX_AUDIO_CODEC)
        RingCodecDirect(JOB_AUDIO_CLOSE, ctx);
    return 1;
}

int FinishAviFile(WriterContext *ctx)
{
    AviWriter *w = &avi_writer;
    // A job that failed stopped the worker with frames still unwritten.
    int complete = RingDrain();
    if (ctx->state_flags & CTX_FILE_OPEN) {
        if (w->avix_count == 0)
            w->odml_placeholder = 0;   // a single RIFF gets no OpenDML structures
        // A disk that failed during the export or fills up with the indexes.
        if (!OutputFileIntact() || !CloseRiffChecked()) {
            complete = 0;
            CloseRiffOnFailedDisk();
        }
        RewriteHeaders(ctx);
        if (w->odml_placeholder) {
            memset(&w->odml, 0, sizeof(w->odml));
            w->odml.list_type = FCC_ODML;
            w->odml.dmlh_id = FCC_DMLH;
            w->odml.dmlh_size = sizeof(w->odml) - 12;
            w->odml.dwTotalFrames = w->total_video_chunks;
            RewriteChunkAt(FCC_LIST, &w->odml, sizeof(w->odml), w->odml_placeholder);
        }
        CloseOutputFile();
    }
    int ended = EndCompression(ctx);
    for (int i = 0; i < 2; i++) {
        if (ended)   // else a converter left open may still use them: they stay allocated
            PageFree(w->audio_work[i]);
        w->audio_work[i] = NULL;
    }
    ctx->state_flags = 0;
    return complete;
}
