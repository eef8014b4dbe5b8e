// The AVI writer: headers with placeholders, one chunk per frame or audio
// block, the split into "AVIX" RIFFs, the indexes, and the rewrite at finish.
#pragma once

#include <stdint.h>

#include "avi/avi_layout.h"

struct WriterContext;

// Stream flags for OpenAviFile.
enum {
    OPEN_VIDEO = 1,
    OPEN_AUDIO = 2,
    OPEN_COMPRESS_VIDEO = 4,
    OPEN_COMPRESS_AUDIO = 8,
};

#define AUDIO_WORK_BUFFER_SIZE 524288u
#define AUDIO_WORK_CAPACITY 262144u

struct AviWriter {
    ListHeader riff;              // current "RIFF" ("AVI " or "AVIX")
    ListHeader hdrl;
    ListHeader shared;            // each "strl" in turn, then "movi", then "idx1"
    AviMainHeader avih;
    AviStreamHeader video_strh;
    AviStreamHeader audio_strh;
    OdmlBody odml;
    uint32_t avih_position;
    uint32_t video_strh_position;
    uint32_t audio_strh_position;
    uint32_t video_placeholder;
    uint32_t audio_placeholder;
    uint32_t odml_placeholder;    // 0: no OpenDML structures
    uint32_t movi_data_start;
    uint32_t movi_junk_position;  // the alignment "JUNK" before the current "movi"
    int movi_open;                // the current RIFF's "movi" list has been begun
    uint32_t stream_lists;
    uint32_t avix_count;
    uint32_t entry_count;
    uint32_t video_chunks_in_riff;
    uint32_t audio_blocks_in_riff;
    uint32_t total_video_chunks;
    uint32_t total_audio_blocks;
    uint32_t largest_video_chunk;
    uint32_t largest_audio_chunk;
    uint32_t closed_largest_video;   // the largest chunks of the RIFFs already closed
    uint32_t closed_largest_audio;
    uint32_t video_index_count;
    uint32_t audio_index_count;
    uint8_t *audio_work[2];
};

extern AviWriter avi_writer;

// 1 success; -1 the file cannot be created or set up; -3 the video
// compressor does not start; -2 the audio conversion does not start.
// The write unit and the frame capacity are taken from output_file, where the
// driver has set them.
int OpenAviFile(WriterContext *ctx, const char *file_name, uint32_t open_flags);
int WriteVideoFrame(WriterContext *ctx, const void *frame, uint32_t *stored_size);
// After the last frame of a whole export: the frames the compressor still
// holds back, so that the stream has one chunk per frame delivered.
int WriteVideoEnd(WriterContext *ctx);
int WriteAudio(WriterContext *ctx, const void *data, uint32_t length);
// Returns 0 when something handed over did not reach the file (a failed
// job, a failed write, indexes that did not fit); the file is finished all
// the same, describing what did.
int FinishAviFile(WriterContext *ctx);

// Chunk level, also used by the index writer.
int WriteVideoChunk(const void *data, uint32_t size, uint32_t flags);
int WriteAudioChunk(const void *data, uint32_t n, uint32_t blocks);
void BeginList(ListHeader *record, uint32_t id, uint32_t list_type);
void CloseList(ListHeader *record);
int WriteChunk(uint32_t id, const void *data, uint32_t n);
void RewriteChunkAt(uint32_t id, const void *data, uint32_t n, uint64_t offset);
void WriteAlignmentJunk(void);
void SettleAvixHead(void);

// Index writer.
void CloseRiff(void);
// Adds a RIFF just closed to the file's counts and empties the entry array.
void CountClosedRiff(void);
void WriteStandardIndex(uint32_t id);
void UpdateSuperIndex(uint32_t chunk_id, uint32_t placeholder, uint32_t slot, uint32_t duration,
                      uint32_t entries);
void WriteIdx1(void);
// Puts a stream's super index back to entries_in_use entries (0: the zero
// "JUNK" placeholder again), undoing the entry of a RIFF whose close failed.
void RestoreSuperIndex(uint32_t chunk_id, uint32_t placeholder, uint32_t entries_in_use);
