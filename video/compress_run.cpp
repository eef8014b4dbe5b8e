// One export's run of the chosen video compressor: format negotiation and
// buffers at the begin, one ICM_COMPRESS per frame under the key-frame and
// data-rate rules, the rebuild of the previous frame for compressors that
// need it, and at the end the frames a look-ahead compressor still holds.
#include "video/compress_run.h"

#include <vfw.h>

#include <string.h>

#include "avi/avi_layout.h"
#include "fileio/write_behind_file.h"

// Live handle and buffers of the open run. The settings block has 32-bit
// slots for them; these are the values actually used, whatever the width.
struct VideoRun {
    int open;
    HIC hic;
    uint8_t *out;
    uint32_t out_size;
    uint8_t *prev;
    int32_t frames;       // the export's frame count, as announced to the compressor
    int produced;         // a frame with bytes has come out
    uint32_t lag;         // empty answers before it: frames held back, owed at the end
    int drain_over;       // the compressor has stopped handing frames over
    uint8_t *last;        // copy of the last frame, offered again while draining
};

static VideoRun video_run;

#if defined(_WIN32) && !defined(_WIN64)
static_assert(sizeof(ICCOMPRESSFRAMES) == 64, "ICCOMPRESSFRAMES");
static_assert(sizeof(ICCOMPRESS) == 48, "ICCOMPRESS");
static_assert(sizeof(ICDECOMPRESS) == 24, "ICDECOMPRESS");
#endif

static int32_t Saturate(int64_t v)
{
    if (v > INT32_MAX)
        return INT32_MAX;
    if (v < INT32_MIN)
        return INT32_MIN;
    return (int32_t)v;
}

// Mirrors the live values into the block's slots (exact on 32 bits).
static void StoreSlots(VideoCodecState *state)
{
    state->hic = (uint32_t)(uintptr_t)video_run.hic;
    state->outBuffer = (uint32_t)(uintptr_t)video_run.out;
    state->prevBuffer = (uint32_t)(uintptr_t)video_run.prev;
}

static BITMAPINFOHEADER *BihOut(VideoCodecState *state)
{
    return (BITMAPINFOHEADER *)state->bihOut;
}

// Room for one compressed frame. Compressors write past the size they
// announce (a lossless one writes a third more on noise), and whatever lies
// behind the buffer is not theirs to write: so twice the announced size or
// twice the uncompressed frame, whichever is larger. Past two chunks of the
// largest size no frame could be stored anyway, and a 32-bit host has no
// such blocks to spare: the room stops there, though never below what the
// compressor announced.
#define OUT_ROOM_MAX (2 * (uint64_t)AVI_MAX_CHUNK)

static uint32_t OutputRoom(uint32_t announced, uint32_t frame)
{
    uint64_t room = 2 * (uint64_t)(announced > frame ? announced : frame);
    if (room > OUT_ROOM_MAX)
        room = OUT_ROOM_MAX;
    return room > announced ? (uint32_t)room : announced;
}

static void EndCompressorStream(VideoCodecState *state)
{
    ICSendMessage(video_run.hic, ICM_COMPRESS_END, 0, 0);
    PageFree(video_run.out);
    video_run.out = NULL;
    video_run.out_size = 0;
    StoreSlots(state);
}

static int32_t FrameBudget(int32_t data_rate, uint32_t rate, uint32_t scale)
{
    if (rate == 0)
        return INT32_MAX;
    double budget = (double)data_rate * (double)scale * 1024.0 / (double)rate;
    if (budget >= 2147483647.0)
        return INT32_MAX;
    if (budget <= -2147483648.0)
        return INT32_MIN;
    return (int32_t)budget;
}

int VideoCompressBegin(VideoCodecState *state, const BITMAPINFOHEADER *bih, uint32_t rate,
                       uint32_t scale, int32_t frames)
{
    if (video_run.open)
        VideoCompressEnd(state);
    memset(&video_run, 0, sizeof(video_run));
    StoreSlots(state);

    int index = CodecFind(state->fccHandler);
    if (index < 0 || !(codec_catalogue.entries[index].flags & CF_COMPRESS) || !CodecOpen(index))
        return 0;
    CodecKeepOpen(index);
    const CodecEntry *entry = &codec_catalogue.entries[index];
    HIC hic = entry->hic;
    video_run.hic = hic;
    StoreSlots(state);

    memcpy(&state->bihIn, bih, sizeof(state->bihIn));
    video_run.frames = frames > 0 ? frames : 0;
    state->frameNum = 0;
    if (state->keyRate != 0)
        state->keyCountdown = 0;
    if (state->dataRate != 0) {
        state->frameBudget = FrameBudget(state->dataRate, rate, scale);
        state->allowance = 0;
    }

    if (ICSendMessage(hic, ICM_COMPRESS_QUERY, (DWORD_PTR)&state->bihIn, 0) != ICERR_OK)
        return 0;

    // A stored size beyond the state area is not a state this block can hold.
    if ((entry->flags & CF_CONFIGURE) && (entry->flags & CF_OPT_SAVESTATE) &&
        state->stateSize > 0 && state->stateSize <= sizeof(state->state))
        ICSendMessage(hic, ICM_SETSTATE, (DWORD_PTR)state->state, state->stateSize);

    // The answer is unsigned here: an error code reads as a huge size.
    DWORD format_size =
        (DWORD)ICSendMessage(hic, ICM_COMPRESS_GET_FORMAT, (DWORD_PTR)&state->bihIn, 0);
    if (format_size > sizeof(state->bihOut)) {
        state->bihOutSize = 0;
        return 0;
    }
    state->bihOutSize = format_size;
    if (format_size != 0 &&
        ICSendMessage(hic, ICM_COMPRESS_GET_FORMAT, (DWORD_PTR)&state->bihIn,
                      (DWORD_PTR)state->bihOut) != ICERR_OK)
        return 0;

    if (entry->flags & CF_FRAMES_INFO) {
        ICCOMPRESSFRAMES frames;
        memset(&frames, 0, sizeof(frames));
        frames.lpbiOutput = BihOut(state);
        frames.lpbiInput = &state->bihIn;
        // A compressor that looks ahead learns from this when to hand over
        // the frames it holds.
        frames.lFrameCount = video_run.frames;
        frames.lQuality = state->quality;
        frames.lDataRate = Saturate((int64_t)state->dataRate * 1024);
        frames.lKeyRate = state->keyRate;
        frames.dwRate = rate;
        frames.dwScale = scale;
        ICSendMessage(hic, ICM_COMPRESS_FRAMES_INFO, (DWORD_PTR)&frames, sizeof(frames));
    }

    ICSendMessage(hic, ICM_COMPRESS_BEGIN, (DWORD_PTR)&state->bihIn, (DWORD_PTR)state->bihOut);
    LRESULT out_size =
        ICSendMessage(hic, ICM_COMPRESS_GET_SIZE, (DWORD_PTR)&state->bihIn, (DWORD_PTR)state->bihOut);
    uint32_t frame_size =
        ImageSize(state->bihIn.biBitCount, state->bihIn.biWidth, state->bihIn.biHeight);
    // A compressor that names no size (or an error) gets no buffer.
    uint32_t room = 0;
    if (out_size > 0 && (uint64_t)out_size <= 0xFFFFFFFFu) {
        room = OutputRoom((uint32_t)out_size, frame_size);
        video_run.out = (uint8_t *)PageAlloc(room);
    }
    if (!video_run.out) {
        EndCompressorStream(state);
        return 0;
    }
    video_run.out_size = room;
    StoreSlots(state);

    if (entry->flags & CF_NEEDS_PREVIOUS) {
        if (ICSendMessage(hic, ICM_DECOMPRESS_BEGIN, (DWORD_PTR)state->bihOut,
                          (DWORD_PTR)&state->bihIn) != ICERR_OK) {
            EndCompressorStream(state);
            return 0;
        }
        video_run.prev = (uint8_t *)PageAlloc(frame_size);
        if (!video_run.prev) {
            ICSendMessage(hic, ICM_DECOMPRESS_END, 0, 0);
            EndCompressorStream(state);
            return 0;
        }
        StoreSlots(state);
    }
    video_run.open = 1;
    return 1;
}

// One ICM_COMPRESS under the key-frame and data-rate rules. Returns 1 with
// the frame in the output buffer, 0 when the compressor refuses the frame,
// -1 when it reports more than the buffer holds.
static int CompressOne(VideoCodecState *state, const uint8_t *frame, uint32_t *flags,
                       uint32_t *size)
{
    *flags = 0;
    *size = 0;
    if (state->dataRate != 0) {
        int32_t a = Saturate((int64_t)state->allowance + state->frameBudget);
        state->allowance = a < 1 ? 1 : a;
    } else {
        state->allowance = INT32_MAX;
    }

    int32_t number = state->frameNum;
    state->frameNum = number + 1;

    int force_key;
    if (state->keyRate != 0) {
        force_key = state->keyCountdown == 0;
        if (force_key)
            state->keyCountdown = state->keyRate;
        state->keyCountdown--;
    } else {
        force_key = number == 0;
    }

    BITMAPINFOHEADER *bih_out = BihOut(state);
    DWORD ckid = 0;
    ICCOMPRESS icc;
    memset(&icc, 0, sizeof(icc));
    icc.dwFlags = force_key ? ICCOMPRESS_KEYFRAME : 0;
    icc.lpbiOutput = bih_out;
    icc.lpOutput = video_run.out;
    icc.lpbiInput = &state->bihIn;
    icc.lpInput = (LPVOID)frame;
    icc.lpckid = &ckid;
    icc.lpdwFlags = (LPDWORD)flags;
    icc.lFrameNum = number;
    icc.dwFrameSize = (DWORD)state->allowance;
    icc.dwQuality = (DWORD)state->quality;
    if (!force_key) {
        icc.lpbiPrev = &state->bihIn;
        icc.lpPrev = video_run.prev;
    }
    // Compressors read this as their room; else they would see the size of
    // the frame before.
    bih_out->biSizeImage = video_run.out_size;
    if (ICSendMessage(video_run.hic, ICM_COMPRESS, (DWORD_PTR)&icc, sizeof(icc)) != ICERR_OK)
        return 0;

    // More than the buffer holds means the compressor wrote past it or
    // reports nonsense; either way the frame is not usable.
    uint32_t compressed = bih_out->biSizeImage;
    if (compressed > video_run.out_size)
        return -1;
    *size = compressed;
    state->allowance = Saturate((int64_t)state->allowance - compressed);

    // Nothing to rebuild before the first frame has come out.
    if (video_run.prev && (compressed || video_run.produced)) {
        bih_out->biSizeImage = compressed;
        ICDECOMPRESS icd;
        memset(&icd, 0, sizeof(icd));
        int key = (*flags & AVIIF_KEYFRAME) != 0;
        icd.dwFlags = key ? 0 : ICDECOMPRESS_NOTKEYFRAME;
        icd.lpbiInput = bih_out;
        icd.lpInput = video_run.out;
        icd.lpbiOutput = &state->bihIn;
        icd.lpOutput = video_run.prev;
        icd.ckid = key ? mmioFOURCC('0', '0', 'd', 'b') : mmioFOURCC('0', '0', 'd', 'c');
        ICSendMessage(video_run.hic, ICM_DECOMPRESS, (DWORD_PTR)&icd, sizeof(icd));
    }
    return 1;
}

const uint8_t *VideoCompressFrame(VideoCodecState *state, const uint8_t *frame, uint32_t *flags,
                                  uint32_t *size)
{
    *flags = 0;
    *size = 0;
    if (!video_run.open)
        return NULL;
    int32_t allowance = state->allowance;
    if (CompressOne(state, frame, flags, size) != 1)
        return NULL;
    *flags &= ~VIDEO_HELD_BACK;
    if (*size)
        video_run.produced = 1;
    if (!video_run.produced) {
        // Empty answers before the first frame are a look-ahead filling up:
        // no frame is dropped and none of the budget is spent.
        video_run.lag++;
        state->allowance = allowance;
        *flags = VIDEO_HELD_BACK;
    }
    // The drain offers the last frame again; the host's copy is gone by then.
    if (video_run.lag && state->frameNum == video_run.frames) {
        uint32_t n = state->bihIn.biSizeImage;
        video_run.last = (uint8_t *)PageAlloc(n);
        if (!video_run.last)
            return NULL;
        memcpy(video_run.last, frame, n);
    }
    return video_run.out;
}

int VideoCompressDrain(VideoCodecState *state, const uint8_t **data, uint32_t *flags,
                       uint32_t *size)
{
    *data = NULL;
    *flags = 0;
    *size = 0;
    if (!video_run.open || video_run.lag == 0)
        return -1;
    video_run.lag--;
    if (!video_run.drain_over && video_run.last) {
        int done = CompressOne(state, video_run.last, flags, size);
        if (done < 0)
            return 0;
        if (done == 1 && *size) {
            *data = video_run.out;
            return 1;
        }
        video_run.drain_over = 1;   // refused or empty: it hands over no more
    }
    // A frame that never came out is a dropped frame, so that every later
    // picture and the sound stay at their times.
    *flags = 0;
    *size = 0;
    *data = video_run.out;
    return 1;
}

int VideoCompressEnd(VideoCodecState *state)
{
    if (!video_run.open)
        return 1;
    ICSendMessage(video_run.hic, ICM_COMPRESS_END, 0, 0);
    if (video_run.prev) {
        PageFree(video_run.prev);
        ICSendMessage(video_run.hic, ICM_DECOMPRESS_END, 0, 0);
    }
    PageFree(video_run.out);
    PageFree(video_run.last);
    memset(&video_run, 0, sizeof(video_run));
    StoreSlots(state);
    return 1;
}
