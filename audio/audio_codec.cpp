// ACM driver table, default stage buffers, and the conversion path of an
// export: one or two stages, each an ACM stream or the in-house converter.
#include "audio/audio_codec.h"

#include <string.h>

#include "fileio/write_behind_file.h"

AudioDriverTable audio_drivers;

enum { STAGE_OUTPUT = 0, STAGE_PRE = 1 };

// The handles of the open stages and what a conversion needs besides the
// stored record. The record's handle fields hold 32 bits; on 64-bit builds
// the handles and the wider ACMSTREAMHEADER live only here, and the record
// gets copies for show.
struct AudioStageLive {
    HACMDRIVER driver;
    HACMSTREAM stream;
    uint32_t src_capacity;
    uint32_t dst_capacity;
#ifdef _WIN64
    ACMSTREAMHEADER header;
#endif
};

static struct {
    AudioStageLive stages[2];
    uint32_t source_align;   // bytes of one host frame: pieces end on frames
    uint8_t *gather;         // output of a block that one stage buffer cannot hold
    uint32_t gather_capacity;
} audio_run;

// The most one block may make: the output becomes one chunk of the file.
#define AUDIO_BLOCK_OUTPUT_MAX 0x10000000u

#ifndef _WIN64
static_assert(sizeof(ACMSTREAMHEADER) == sizeof(StoredStreamHeader), "the stored header is the ACM's");
#endif

static ACMSTREAMHEADER *StageHeader(AudioCodecState *state, int stage)
{
#ifdef _WIN64
    (void)state;
    return &audio_run.stages[stage].header;
#else
    StoredStreamHeader *h = stage == STAGE_OUTPUT ? &state->output_header : &state->pre_header;
    return reinterpret_cast<ACMSTREAMHEADER *>(h);
#endif
}

static PcmConverter *StageConverter(AudioCodecState *state, int stage)
{
    return stage == STAGE_OUTPUT ? &state->output_converter : &state->pre_converter;
}

void AudioDriverTableAdd(HACMDRIVERID id, DWORD priority)
{
    if (priority < AUDIO_DRIVER_SLOTS)
        audio_drivers.slots[priority] = id;
}

static BOOL CALLBACK AudioDriverEnumCallback(HACMDRIVERID id, DWORD_PTR, DWORD)
{
    DWORD priority = AUDIO_DRIVER_SLOTS;
    acmMetrics((HACMOBJ)id, ACM_METRIC_DRIVER_PRIORITY, &priority);
    AudioDriverTableAdd(id, priority);
    return TRUE;
}

int AudioCodecInit()
{
    memset(audio_drivers.slots, 0, sizeof(audio_drivers.slots));
    acmDriverEnum(AudioDriverEnumCallback, 0, 0);
    audio_drivers.default_src = (uint8_t *)PageAlloc(AUDIO_STAGE_BUFFER_SIZE);
    audio_drivers.default_dst = (uint8_t *)PageAlloc(AUDIO_STAGE_BUFFER_SIZE);
    return 1;
}

int AudioCodecExit()
{
    PageFree(audio_drivers.default_src);
    PageFree(audio_drivers.default_dst);
    PageFree(audio_run.gather);
    audio_drivers.default_src = NULL;
    audio_drivers.default_dst = NULL;
    audio_run.gather = NULL;
    audio_run.gather_capacity = 0;
    return 1;
}

// What a real codec could have produced. Drivers divide by these fields and
// readers size their buffers from them, so a stored format outside them
// (a shared project file may hold anything) reaches neither.
#define AUDIO_CHANNELS_MAX 8          // 7.1
#define AUDIO_RATE_MIN 1000
#define AUDIO_RATE_MAX 384000
#define AUDIO_BITS_MAX 64             // no codec's samples are wider
#define AUDIO_PCM_SIZE 16             // PCMWAVEFORMAT; 18 with cbSize 0 is PCM too

int AudioFormatSane(const WAVEFORMATEX *f, uint32_t size)
{
    if (size < AUDIO_PCM_SIZE || f->nChannels < 1 || f->nChannels > AUDIO_CHANNELS_MAX ||
        f->nSamplesPerSec < AUDIO_RATE_MIN || f->nSamplesPerSec > AUDIO_RATE_MAX ||
        f->wBitsPerSample > AUDIO_BITS_MAX)
        return 0;
    if (f->wFormatTag == WAVE_FORMAT_PCM) {
        uint32_t bits = f->wBitsPerSample;
        if ((size != AUDIO_PCM_SIZE && (size != sizeof(WAVEFORMATEX) || f->cbSize != 0)) ||
            bits < 8 || bits > 32 || bits % 8 != 0)
            return 0;
        return f->nBlockAlign == f->nChannels * bits / 8 &&
               f->nAvgBytesPerSec == f->nSamplesPerSec * f->nBlockAlign;
    }
    // Exactly its own length, a byte rate no higher than the widest samples
    // give, and a block that lasts at most a second.
    uint64_t widest = (uint64_t)f->nSamplesPerSec * f->nChannels * AUDIO_BITS_MAX / 8;
    return size >= sizeof(WAVEFORMATEX) && size == sizeof(WAVEFORMATEX) + f->cbSize &&
           f->nAvgBytesPerSec >= 1 && f->nAvgBytesPerSec <= widest && f->nBlockAlign >= 1 &&
           f->nBlockAlign <= f->nAvgBytesPerSec;
}

int AudioChosenFormatValid(const AudioCodecState *state)
{
    return state->chosen_format_size <= sizeof(state->chosen_format) &&
           AudioFormatSane((const WAVEFORMATEX *)state->chosen_format, state->chosen_format_size);
}

int AudioHostFormat(const WAVEFORMATEX *stored, WAVEFORMATEX *out)
{
    *out = *stored;
    out->wFormatTag = WAVE_FORMAT_PCM;
    out->cbSize = 0;
    return AudioFormatSane(out, sizeof(*out));
}

// Zeroes the header and points it at the stage's buffers, the default ones
// where none are given. Returns 0 when there is no buffer to use.
static int FillHeader(ACMSTREAMHEADER *h, uint8_t *src, uint32_t src_capacity, uint8_t *dst,
                      uint32_t dst_capacity)
{
    memset(h, 0, sizeof(*h));
    h->cbStruct = sizeof(*h);
    if (!src) {
        src = audio_drivers.default_src;
        src_capacity = AUDIO_STAGE_BUFFER_SIZE;
    }
    if (!dst) {
        dst = audio_drivers.default_dst;
        dst_capacity = AUDIO_STAGE_BUFFER_SIZE;
    }
    if (!src || !dst || src_capacity <= 4 || dst_capacity == 0)
        return 0;
    h->pbSrc = src;
    h->cbSrcLength = src_capacity;
    h->pbDst = dst;
    h->cbDstLength = dst_capacity;
    return 1;
}

int AudioStageOpen(HACMDRIVER *driver, HACMSTREAM *stream, ACMSTREAMHEADER *header,
                   const WAVEFORMATEX *src, const WAVEFORMATEX *dst, uint8_t *src_buffer,
                   uint32_t src_capacity, uint8_t *dst_buffer, uint32_t dst_capacity,
                   PcmConverter *converter)
{
    *driver = NULL;
    *stream = NULL;
    if (!FillHeader(header, src_buffer, src_capacity, dst_buffer, dst_capacity))
        return 0;
    // Two PCM formats the converter handles never go to the ACM.
    if (PcmConverterPlan(converter, src, dst)) {
        header->cbSrcLength = 0;
        return 1;
    }
    for (int slot = 0; slot < AUDIO_DRIVER_SLOTS; slot++) {
        HACMDRIVERID id = audio_drivers.slots[slot];
        if (!id)
            continue;
        if (acmDriverOpen(driver, id, 0) != 0) {
            *driver = NULL;
            continue;
        }
        if (acmStreamOpen(stream, *driver, (WAVEFORMATEX *)src, (WAVEFORMATEX *)dst, NULL, 0, 0,
                          ACM_STREAMOPENF_NONREALTIME) != 0) {
            acmDriverClose(*driver, 0);
            *driver = NULL;
            *stream = NULL;
            continue;
        }
        FillHeader(header, src_buffer, src_capacity, dst_buffer, dst_capacity);
        if (acmStreamPrepareHeader(*stream, header, 0) != 0) {
            acmStreamClose(*stream, 0);
            acmDriverClose(*driver, 0);
            *driver = NULL;
            *stream = NULL;
            continue;
        }
        header->cbSrcLength = 0;
        return 1;
    }
    FillHeader(header, src_buffer, src_capacity, dst_buffer, dst_capacity);
    header->cbSrcLength = 0;
    return 0;
}

// Opens one stage of the export and records its handles.
static int OpenStage(AudioCodecState *state, int stage, const WAVEFORMATEX *src,
                     const WAVEFORMATEX *dst, uint8_t *src_buffer, uint32_t src_capacity,
                     uint8_t *dst_buffer, uint32_t dst_capacity)
{
    AudioStageLive *live = &audio_run.stages[stage];
    int ok = AudioStageOpen(&live->driver, &live->stream, StageHeader(state, stage), src, dst,
                            src_buffer, src_capacity, dst_buffer, dst_capacity,
                            StageConverter(state, stage));
    live->src_capacity = src_buffer ? src_capacity : AUDIO_STAGE_BUFFER_SIZE;
    live->dst_capacity = dst_buffer ? dst_capacity : AUDIO_STAGE_BUFFER_SIZE;
    uint32_t driver = (uint32_t)(uintptr_t)live->driver, stream = (uint32_t)(uintptr_t)live->stream;
    if (stage == STAGE_OUTPUT)
        state->output_driver = driver, state->output_stream = stream;
    else
        state->pre_driver = driver, state->pre_stream = stream;
    return ok;
}

int AudioCodecStart(AudioCodecState *state, const WAVEFORMATEX *source, uint8_t *src_area,
                    uint32_t src_capacity, uint8_t *dst_area, uint32_t dst_capacity)
{
    state->flags &= ~(AUDIO_OUTPUT_OPEN | AUDIO_PRE_OPEN);
    memset(audio_run.stages, 0, sizeof(audio_run.stages));
    if (!AudioChosenFormatValid(state) || !src_area || !dst_area)
        return 0;
    const WAVEFORMATEX *chosen = (const WAVEFORMATEX *)state->chosen_format;
    audio_run.source_align = source->nBlockAlign ? source->nBlockAlign : 1;

    if (OpenStage(state, STAGE_OUTPUT, source, chosen, src_area, src_capacity, dst_area,
                  dst_capacity)) {
        state->flags |= AUDIO_OUTPUT_OPEN;
        return 1;
    }
    if (source->wFormatTag != WAVE_FORMAT_PCM)
        return 0;

    // 16-bit PCM at the chosen rate and channel count, for a codec that
    // takes nothing else.
    WAVEFORMATEX *mid = &state->intermediate;
    memcpy(mid, chosen, sizeof(*mid));
    mid->wFormatTag = WAVE_FORMAT_PCM;
    mid->wBitsPerSample = 16;
    mid->nBlockAlign = (WORD)(mid->nChannels * 2);
    mid->nAvgBytesPerSec = mid->nSamplesPerSec * mid->nBlockAlign;

    int ok = OpenStage(state, STAGE_PRE, source, mid, src_area, src_capacity, dst_area, dst_capacity);
    if (ok)
        state->flags |= AUDIO_PRE_OPEN;
    // Blocks are split for an in-house first stage feeding a codec.
    if (ok && audio_run.stages[STAGE_PRE].stream == NULL &&
        OpenStage(state, STAGE_OUTPUT, mid, chosen, src_area + src_capacity, src_capacity,
                  dst_area + dst_capacity, dst_capacity)) {
        state->flags |= AUDIO_OUTPUT_OPEN;
        if (audio_run.stages[STAGE_OUTPUT].stream)
            return 1;
    }
    AudioCodecStop(state);
    return 0;
}

// Bytes of the stage buffers one in-house conversion of `length` bytes needs.
static int InHouseFits(const PcmConverter *conv, uint32_t length, uint32_t src_capacity,
                       uint32_t dst_room)
{
    return PcmConverterSourceSize(conv, length) <= src_capacity &&
           PcmConverterDestSize(conv, length) <= dst_room;
}

// The longest run of whole frames, at most `limit` bytes, that one in-house
// conversion can take with these buffers; 0 when not even one frame fits.
static uint32_t InHousePiece(const PcmConverter *conv, uint32_t limit, uint32_t align,
                             uint32_t src_capacity, uint32_t dst_room)
{
    if (InHouseFits(conv, limit, src_capacity, dst_room))
        return limit;
    uint32_t lo = 0, hi = limit / align;   // lo frames fit, hi + 1 do not
    while (lo < hi) {
        uint32_t mid = lo + (hi - lo + 1) / 2;
        if (InHouseFits(conv, mid * align, src_capacity, dst_room))
            lo = mid;
        else
            hi = mid - 1;
    }
    return lo * align;
}

// Converts `length` bytes through an in-house stage into dst.
static uint32_t RunInHouse(ACMSTREAMHEADER *h, PcmConverter *conv, const uint8_t *data,
                           uint32_t length, uint8_t *dst)
{
    memcpy(h->pbSrc + 4, data, length);
    h->cbSrcLength = length;
    h->cbDstLengthUsed = 0;
    uint32_t n = PcmConverterRun(conv, dst, h->pbSrc + 4, length);
    h->cbDstLengthUsed = n;
    h->cbSrcLengthUsed = h->cbSrcLength;
    h->cbSrcLength = 0;
    return n;
}

// Moves the bytes the codec left unconsumed to the start of the source buffer.
static void CarryRemainder(ACMSTREAMHEADER *h)
{
    uint32_t used = h->cbSrcLengthUsed < h->cbSrcLength ? h->cbSrcLengthUsed : h->cbSrcLength;
    h->cbSrcLength -= used;
    if (h->cbSrcLength && used)
        memmove(h->pbSrc, h->pbSrc + used, h->cbSrcLength);
    if (h->cbDstLengthUsed > h->cbDstLength)
        h->cbDstLengthUsed = h->cbDstLength;
}

// Appends `length` bytes to the waiting source bytes of an ACM stage and
// converts what the codec takes. The caller keeps `length` within the room.
static int RunAcm(ACMSTREAMHEADER *h, HACMSTREAM stream, const uint8_t *data, uint32_t length,
                  DWORD flags)
{
    if (length)
        memcpy(h->pbSrc + h->cbSrcLength, data, length);
    h->cbDstLengthUsed = 0;
    h->cbSrcLength += length;
    if (acmStreamConvert(stream, h, flags) != 0)
        return 0;
    CarryRemainder(h);
    return 1;
}

// The output of one block is normally the output stage's destination buffer
// as the last conversion left it. Only a block that took several ACM
// conversions, or whose in-house output is larger than that buffer, goes to
// a buffer of its own, allocated when first needed and grown to the largest
// block; its first `keep` bytes move along when it grows.
static uint8_t *GatherRoom(uint32_t need, uint32_t keep)
{
    if (need <= audio_run.gather_capacity)
        return audio_run.gather;
    if (need > AUDIO_BLOCK_OUTPUT_MAX)
        return NULL;
    uint32_t capacity = audio_run.gather_capacity ? audio_run.gather_capacity : AUDIO_STAGE_BUFFER_SIZE;
    while (capacity < need)
        capacity = capacity < AUDIO_BLOCK_OUTPUT_MAX / 2 ? capacity * 2 : AUDIO_BLOCK_OUTPUT_MAX;
    uint8_t *grown = (uint8_t *)PageAlloc(capacity);
    if (!grown)
        return NULL;
    if (keep)
        memcpy(grown, audio_run.gather, keep);
    PageFree(audio_run.gather);
    audio_run.gather = grown;
    audio_run.gather_capacity = capacity;
    return grown;
}

struct Gathered {
    uint8_t *data;
    uint32_t length;
};

static int Gather(Gathered *g, const uint8_t *data, uint32_t length)
{
    if (length > AUDIO_BLOCK_OUTPUT_MAX - g->length)
        return 0;
    uint8_t *room = GatherRoom(g->length + length, g->data == audio_run.gather ? g->length : 0);
    if (!room)
        return 0;
    memcpy(room + g->length, data, length);
    g->length += length;
    g->data = room;
    return 1;
}

static uint8_t *EndStream(AudioCodecState *state, uint32_t *out_length)
{
    ACMSTREAMHEADER *h = StageHeader(state, STAGE_OUTPUT);
    HACMSTREAM stream = audio_run.stages[STAGE_OUTPUT].stream;
    if (h->cbSrcLength == 0 || !stream)
        return h->pbDst;
    h->cbDstLengthUsed = 0;
    if (acmStreamConvert(stream, h, ACM_STREAMCONVERTF_END | ACM_STREAMCONVERTF_BLOCKALIGN) != 0)
        return NULL;
    // Nothing whole was left: let the codec convert the final partial block.
    if (h->cbDstLengthUsed == 0 && acmStreamConvert(stream, h, ACM_STREAMCONVERTF_END) != 0)
        return NULL;
    CarryRemainder(h);
    *out_length = h->cbDstLengthUsed;
    return h->pbDst;
}

// Mode of one export without a codec: the in-house converter alone, writing
// piece after piece into its destination buffer.
static uint8_t *ConvertInHouse(AudioCodecState *state, const uint8_t *block, uint32_t length,
                               uint32_t *out_length)
{
    ACMSTREAMHEADER *out = StageHeader(state, STAGE_OUTPUT);
    PcmConverter *conv = StageConverter(state, STAGE_OUTPUT);
    uint32_t align = audio_run.source_align, done = 0;
    uint8_t *dst = out->pbDst;
    uint32_t capacity = out->cbDstLength;
    uint32_t need = PcmConverterDestSize(conv, length);
    if (need > capacity) {
        // Pieces are bounded one by one, each with a frame's slack.
        uint32_t slack = PcmConverterDestSize(conv, align);
        dst = GatherRoom(need < AUDIO_BLOCK_OUTPUT_MAX - slack ? need + slack : 0xFFFFFFFFu, 0);
        if (!dst)
            return NULL;
        capacity = audio_run.gather_capacity;
    }
    while (length > 0) {
        uint32_t take = InHousePiece(conv, length, align, audio_run.stages[STAGE_OUTPUT].src_capacity,
                                     capacity - done);
        if (take == 0) {
            if (length < align)
                break;   // a partial frame, which the converter would ignore
            return NULL;
        }
        done += RunInHouse(out, conv, block, take, dst + done);
        block += take;
        length -= take;
    }
    out->cbDstLengthUsed = dst == out->pbDst ? done : 0;
    *out_length = done;
    return dst;
}

// A codec as output stage, fed directly or through the in-house first stage.
// Each round hands the codec as much as fits behind the bytes still waiting.
static uint8_t *ConvertThroughCodec(AudioCodecState *state, const uint8_t *block, uint32_t length,
                                    uint32_t *out_length)
{
    ACMSTREAMHEADER *out = StageHeader(state, STAGE_OUTPUT);
    ACMSTREAMHEADER *pre = StageHeader(state, STAGE_PRE);
    PcmConverter *pre_conv = StageConverter(state, STAGE_PRE);
    const AudioStageLive *out_live = &audio_run.stages[STAGE_OUTPUT];
    const AudioStageLive *pre_live = &audio_run.stages[STAGE_PRE];
    int two_stages = (state->flags & AUDIO_PRE_OPEN) != 0;
    uint32_t align = audio_run.source_align;
    Gathered g = {out->pbDst, 0};
    int gathered = 0;

    while (length > 0) {
        uint32_t room = out_live->src_capacity - out->cbSrcLength;
        const uint8_t *piece = block;
        uint32_t take, piece_length;
        if (two_stages) {
            uint32_t dst_room = pre_live->dst_capacity < room ? pre_live->dst_capacity : room;
            take = InHousePiece(pre_conv, length, align, pre_live->src_capacity, dst_room);
            if (take == 0 && length < align)
                break;   // a partial frame, which the converter would ignore
            piece = pre->pbDst;
            piece_length = take ? RunInHouse(pre, pre_conv, block, take, pre->pbDst) : 0;
        } else {
            take = piece_length = length < room ? length : room;
        }
        block += take;
        length -= take;
        if (!RunAcm(out, out_live->stream, piece, piece_length, ACM_STREAMCONVERTF_BLOCKALIGN))
            return NULL;
        // With no room the codec has to make some; if it takes nothing the
        // block can never be converted.
        if (take == 0 && out->cbSrcLengthUsed == 0)
            return NULL;
        if (!gathered && length == 0) {
            g.length = out->cbDstLengthUsed;
        } else {
            if (!Gather(&g, out->pbDst, out->cbDstLengthUsed))
                return NULL;
            gathered = 1;
        }
    }
    *out_length = g.length;
    return g.data;
}

uint8_t *AudioCodecConvert(AudioCodecState *state, const uint8_t *block, uint32_t length,
                           uint32_t *out_length)
{
    *out_length = 0;
    if (!(state->flags & AUDIO_OUTPUT_OPEN))
        return NULL;
    if (length == 0)
        return EndStream(state, out_length);
    if (!block)
        return NULL;
    if (audio_run.stages[STAGE_OUTPUT].stream)
        return ConvertThroughCodec(state, block, length, out_length);
    return ConvertInHouse(state, block, length, out_length);
}

HACMDRIVER AudioStageDriver(int stage)
{
    return stage == STAGE_OUTPUT || stage == STAGE_PRE ? audio_run.stages[stage].driver : NULL;
}

int AudioCodecStop(AudioCodecState *state)
{
    static const uint32_t bits[2] = {AUDIO_OUTPUT_OPEN, AUDIO_PRE_OPEN};
    for (int stage = 0; stage < 2; stage++) {
        if (!(state->flags & bits[stage]))
            continue;
        AudioStageLive *live = &audio_run.stages[stage];
        if (live->stream) {
            acmStreamUnprepareHeader(live->stream, StageHeader(state, stage), 0);
            acmStreamClose(live->stream, 0);
        }
        if (live->driver)
            acmDriverClose(live->driver, 0);
        live->stream = NULL;
        live->driver = NULL;
    }
    state->flags &= ~(AUDIO_OUTPUT_OPEN | AUDIO_PRE_OPEN);
    return 1;
}
