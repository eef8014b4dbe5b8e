// The export entry: describes the clip to the writer, opens the file, then
// walks every frame and its share of the audio from the host to the writer.
#include "plugin/plugin.h"

#include <string.h>

#include "audio/audio_format.h"
#include "avi/avi_writer.h"
#include "fileio/write_behind_file.h"
#include "pipeline/job_ring.h"
#include "plugin/messages.h"
#include "plugin/texts.h"
#include "video/codec_catalogue.h"

#define DEFAULT_SAVE_UNIT_KIB 4096
#define FRAME_CAPACITY_SLACK 100

// A description the writer cannot honour is refused before any file exists:
// no rate, no picture, a frame too large for one chunk, or audio without a
// sample format.
static int DescriptionUsable(const OutputInfo *info)
{
    if (info->rate <= 0 || info->scale <= 0 || info->width <= 0 || info->height <= 0)
        return 0;
    // A frame must fit one chunk; 24 bits per pixel is the larger input format.
    uint64_t row = ((uint64_t)info->width * 24 + 7) / 8 + 3;
    if (row / 4 * 4 * (uint64_t)info->height >= AVI_MAX_CHUNK)
        return 0;
    if ((info->flags & OUTPUT_HAS_AUDIO) &&
        (info->sample_rate <= 0 || (info->channel_count & 0xFFFF) == 0 ||
         info->sample_bytes <= 0 || (info->sample_bytes & 0xFFFF) == 0))
        return 0;
    return 1;
}

// First sample of frame i on the export's sample grid: i x scale x sample
// rate / rate in double precision, in that order, truncated.
static int32_t FrameFirstSample(int32_t i, const OutputInfo *info)
{
    double t = (double)i * (double)info->scale;
    t = t * (double)info->sample_rate;
    return (int32_t)(t / (double)info->rate);
}

static uint32_t PrepareExport(WriterContext *ctx, const OutputInfo *info)
{
    ctx->width = info->width;
    ctx->height = info->height;
    ctx->frame_count = info->frame_count;
    // This export's frame header alone: nothing of a stored block's is left.
    memset(&ctx->bih, 0, sizeof(ctx->bih));
    ctx->bih.biSize = sizeof(BITMAPINFOHEADER);
    ctx->bih.biWidth = info->width;
    ctx->bih.biHeight = info->height;
    ctx->bih.biPlanes = 1;
    ctx->bih.biBitCount = 24;
    ctx->rate = (uint32_t)info->rate;
    ctx->scale = (uint32_t)info->scale;

    uint32_t open_flags = OPEN_VIDEO;
    uint32_t fcc = ctx->video.fccHandler;
    if (CodecIsCompressor(fcc))
        open_flags |= OPEN_COMPRESS_VIDEO;
    CodecInputFormat(fcc, &ctx->bih, info->width, info->height);

    if (info->flags & OUTPUT_HAS_AUDIO) {
        ctx->wfx.wFormatTag = WAVE_FORMAT_PCM;
        ctx->wfx.nChannels = (WORD)info->channel_count;
        ctx->wfx.nSamplesPerSec = (DWORD)info->sample_rate;
        ctx->wfx.wBitsPerSample = 16;
        ctx->wfx.nBlockAlign = (WORD)info->sample_bytes;
        ctx->wfx.nAvgBytesPerSec = (DWORD)ctx->wfx.nBlockAlign * (DWORD)info->sample_rate;
        open_flags |= OPEN_AUDIO;
        if (AudioConversionWanted(&ctx->audio))
            open_flags |= OPEN_COMPRESS_AUDIO;
    }

    output_file.frame_capacity =
        (uint32_t)(info->frame_count > 0 ? info->frame_count : 0) + FRAME_CAPACITY_SLACK;
    char ini[MAX_PATH];
    HostIniPath(ini);
    output_file.save_unit_kib = ReadHostIniInt(ini, "system", "saveunitsize", DEFAULT_SAVE_UNIT_KIB);
    return open_flags;
}

static void ShowOpenFailure(int result)
{
    if (result == -3)
        ShowWarning(TEXT_VIDEO_INIT_FAILED);
    else if (result == -2)
        ShowWarning(TEXT_AUDIO_INIT_FAILED);
    else
        ShowWarning(TEXT_CREATE_FAILED);
}

// One frame's audio: the samples from frame i's grid point up to frame i+1's.
// Returns 0 when the host hands back no data for samples it says it
// delivered, or when the block is not accepted.
static int SubmitFrameAudio(WriterContext *ctx, const OutputInfo *info, int32_t i)
{
    int32_t first = FrameFirstSample(i, info);
    int32_t count = FrameFirstSample(i + 1, info) - first;
    int32_t delivered = 0;
    const void *data = info->fetch_audio(first, count, &delivered);
    if (delivered <= 0)
        return 1;
    if (delivered > count)   // never more than asked: the surplus belongs to later frames
        delivered = count;
    if (delivered <= 0)      // a zero-length block would end the audio stream
        return 1;
    if (!data)
        return 0;
    return SubmitAudio(ctx, data, (uint32_t)delivered * (uint32_t)info->sample_bytes);
}

int __cdecl on_output(OutputInfo *info)
{
    WriterContext *ctx = &writer_context;
    if (!info || !(info->flags & OUTPUT_HAS_VIDEO))
        return 0;
    if (!DescriptionUsable(info) || !info->file_path) {
        ShowWarning(TEXT_CREATE_FAILED);
        return 0;
    }

    uint32_t open_flags = PrepareExport(ctx, info);
    int opened = OpenAviFile(ctx, info->file_path, open_flags);
    if (opened != 1) {
        // A compressor or converter that did not start leaves a file with
        // headers only, never finished: it goes rather than stay unreadable.
        if (opened == -2 || opened == -3)
            DeleteFileA(info->file_path);
        ShowOpenFailure(opened);
        return 0;
    }

    int written = 1;
    int32_t i = 0;
    for (; i < info->frame_count; i++) {
        if (info->abort_requested())
            break;
        info->show_remaining_time(i, info->frame_count);
        const void *frame = info->fetch_video(i, ctx->bih.biCompression);
        info->refresh_preview();
        if (SubmitVideoFrame(ctx, frame) != 1 ||
            ((open_flags & OPEN_AUDIO) && !SubmitFrameAudio(ctx, info, i))) {
            ShowWarning(TEXT_WRITE_FAILED);
            written = 0;
            break;
        }
    }

    // Every frame delivered: a compressor that holds frames back hands them
    // over. Those frames, the converter's flush and the last write units
    // reach the disk only from here on: what fails there is a failed write
    // too, told once like one in the loop.
    int drained = i < info->frame_count || SubmitVideoEnd(ctx) == 1;
    int flushed = SubmitAudio(ctx, NULL, 0);
    int finished = FinishAviFile(ctx);
    if (written && !(drained && flushed && finished))
        ShowWarning(TEXT_WRITE_FAILED);
    return 1;
}
