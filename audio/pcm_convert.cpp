// In-house PCM converter. Every block is brought to 16-bit stereo in the
// source buffer, resampled into the destination buffer and narrowed there.
// Integer arithmetic only, no allocation, no Win32 calls.
#include "audio/pcm_convert.h"

#include <string.h>

// Working rates are bounded so that rates, weights and the weighted sums of
// two samples fit the 16- and 32-bit arithmetic of the resampler.
#define PCM_WORK_RATE_MAX 32737
// Beyond this the growth of the source block (and the frames held back when
// halving) is 2^16 frames per frame; no sensible pair of rates comes near.
#define PCM_OCTAVES_MAX 16

static inline int32_t Load16(const uint8_t *p) {
    int16_t v;
    memcpy(&v, p, 2);
    return v;
}

static inline void Store16(uint8_t *p, int32_t v) {
    int16_t s = (int16_t)v;
    memcpy(p, &s, 2);
}

static inline void CopyFrame(uint8_t *to, const uint8_t *from) { memcpy(to, from, 4); }

// ---------------------------------------------------------------------------
// Whole steps

uint32_t Pcm8To16(uint8_t *buf, uint32_t length) {
    // From the end: sample i lands on bytes 2i and 2i + 1, at or after i.
    for (uint32_t i = length; i-- > 0;)
        Store16(buf + 2 * i, ((int32_t)buf[i] - 128) * 256);
    return 2 * length;
}

uint32_t PcmMonoToStereo(uint8_t *buf, uint32_t length) {
    uint32_t samples = length / 2;
    for (uint32_t i = samples; i-- > 0;) {
        int32_t s = Load16(buf + 2 * i);
        Store16(buf + 4 * i, s);
        Store16(buf + 4 * i + 2, s);
    }
    return 4 * samples;
}

uint32_t PcmDoubleRate(uint8_t *buf, uint32_t length) {
    uint32_t frames = length / 4;
    for (uint32_t i = frames; i-- > 0;) {
        uint8_t f[4];
        CopyFrame(f, buf + 4 * i);
        CopyFrame(buf + 8 * i, f);
        CopyFrame(buf + 8 * i + 4, f);
    }
    return 8 * frames;
}

uint32_t PcmHalveRate(uint8_t *buf, uint32_t length) {
    uint32_t pairs = length / 8;
    for (uint32_t i = 0; i < pairs; i++) {
        const uint8_t *a = buf + 8 * i;
        int32_t l = (Load16(a) + Load16(a + 4)) >> 1;
        int32_t r = (Load16(a + 2) + Load16(a + 6)) >> 1;
        Store16(buf + 4 * i, l);
        Store16(buf + 4 * i + 2, r);
    }
    return 4 * pairs;
}

uint32_t PcmStereoToMono(uint8_t *buf, uint32_t length) {
    uint32_t frames = length / 4;
    for (uint32_t i = 0; i < frames; i++)
        Store16(buf + 2 * i, (Load16(buf + 4 * i) + Load16(buf + 4 * i + 2)) >> 1);
    return 2 * frames;
}

uint32_t Pcm16To8(uint8_t *buf, uint32_t length) {
    uint32_t samples = length / 2;
    for (uint32_t i = 0; i < samples; i++)
        buf[i] = (uint8_t)((Load16(buf + 2 * i) >> 8) + 128);
    return samples;
}

// ---------------------------------------------------------------------------
// Fractional resampler

// Truncating division by a fixed divisor d (1..32767) for |x| < 2^30, by
// multiplication: with l = ceil(log2 d) and m = floor(2^(30+l) / d) + 1,
// floor(a * m / 2^(30+l)) = floor(a / d) for every 0 <= a < 2^30. The
// weighted sums stay below 32767 * 32768 < 2^30, and m fits 32 bits, so
// this is one 32 x 32 -> 64 multiply even on a 32-bit target.
struct Divisor {
    uint32_t m;
    int shift;
};

static Divisor MakeDivisor(uint32_t d) {
    int l = 0;
    while ((1u << l) < d)
        l++;
    Divisor v;
    v.shift = 30 + l;
    v.m = (uint32_t)((((uint64_t)1) << v.shift) / d + 1);
    return v;
}

static inline int32_t DivTrunc(int32_t x, Divisor d) {
    uint32_t a = x < 0 ? 0u - (uint32_t)x : (uint32_t)x;
    int32_t q = (int32_t)(((uint64_t)a * d.m) >> d.shift);
    return x < 0 ? -q : q;
}

// One output frame from x[i] (at s) and x[i+1] (at s + 4): each channel is
// (w0 * x[i] + w1 * x[i+1]) / F, truncated toward zero.
static inline void Blend(uint8_t *out, const uint8_t *s, int32_t w0, int32_t w1, Divisor f) {
    Store16(out, DivTrunc(w0 * Load16(s) + w1 * Load16(s + 4), f));
    Store16(out + 2, DivTrunc(w0 * Load16(s + 2) + w1 * Load16(s + 6), f));
}

uint32_t PcmResample(uint8_t *dst, const uint8_t *src, uint32_t length, int32_t in_rate,
                     int32_t out_rate, uint32_t *phase) {
    if (in_rate < 1 || in_rate > 32767 || out_rate < 1 || out_rate > 32767)
        return 0;
    const uint32_t F = (uint32_t)in_rate, T = (uint32_t)out_rate;
    // The phase is below F between frames; anything else came from outside.
    uint32_t p = *phase;
    if (p >= F)
        p %= F;
    const Divisor f = MakeDivisor(F);
    const uint32_t n = length / 4;
    uint8_t *out = dst;
    if (T > F) {
        // Each input frame yields one or more output frames; p < F <= T on entry.
        for (uint32_t i = 0; i < n; i++) {
            const uint8_t *s = src + 4 * i;
            do {
                uint32_t w0 = T - p < F ? T - p : F;
                Blend(out, s, (int32_t)w0, (int32_t)(F - w0), f);
                out += 4;
                p += F;
            } while (p < T);
            p -= T;
        }
    } else {
        // At most one output frame per input frame; frames with no output
        // start in them are skipped.
        for (uint32_t i = 0; i < n; i++) {
            if (p >= T) {
                p -= T;
                continue;
            }
            uint32_t w0 = T - p;
            Blend(out, src + 4 * i, (int32_t)w0, (int32_t)(F - w0), f);
            out += 4;
            p += F - T;
        }
    }
    *phase = p;
    return (uint32_t)(out - dst);
}

// ---------------------------------------------------------------------------
// Planning

static int PlanFormatOk(const WAVEFORMATEX *w) {
    return w->wFormatTag == 1 && (w->wBitsPerSample == 8 || w->wBitsPerSample == 16) &&
           (w->nChannels == 1 || w->nChannels == 2) && w->nSamplesPerSec >= 1 &&
           w->nSamplesPerSec <= 0x7FFFFFFFu;
}

int PcmConverterPlan(PcmConverter *conv, const WAVEFORMATEX *src, const WAVEFORMATEX *dst) {
    if (!PlanFormatOk(src) || !PlanFormatOk(dst))
        return 0;
    const int64_t dst_rate = dst->nSamplesPerSec;
    int64_t F = src->nSamplesPerSec, T = dst_rate;
    int32_t octaves = 0;
    while (2 * F <= dst_rate) {
        F *= 2;
        octaves++;
    }
    while (F >= 2 * T) {
        T *= 2;
        octaves--;
    }
    if (octaves > PCM_OCTAVES_MAX || octaves < -PCM_OCTAVES_MAX)
        return 0;
    while (F > PCM_WORK_RATE_MAX || T > PCM_WORK_RATE_MAX) {
        F /= 2;
        T /= 2;
    }
    conv->src_rate = (int32_t)src->nSamplesPerSec;
    conv->dst_rate = (int32_t)dst->nSamplesPerSec;
    conv->src_channels = src->nChannels;
    conv->dst_channels = dst->nChannels;
    conv->src_bits = src->wBitsPerSample;
    conv->dst_bits = dst->wBitsPerSample;
    conv->in_rate = (int32_t)F;
    conv->out_rate = (int32_t)T;
    conv->phase = 0;
    conv->octaves = octaves;
    conv->lookback_bytes = 0;
    conv->held_bytes = 0;
    return 1;
}

// ---------------------------------------------------------------------------
// Running

// Frames of the resampler's input that make one frame of output.
static inline uint32_t GroupFrames(const PcmConverter *c) {
    return c->octaves < 0 ? 1u << -c->octaves : 1u;
}

static int ConverterOk(const PcmConverter *c) {
    return (c->src_bits == 8 || c->src_bits == 16) && (c->dst_bits == 8 || c->dst_bits == 16) &&
           (c->src_channels == 1 || c->src_channels == 2) &&
           (c->dst_channels == 1 || c->dst_channels == 2) && c->in_rate >= 1 &&
           c->in_rate <= PCM_WORK_RATE_MAX && c->out_rate >= 1 &&
           c->out_rate <= PCM_WORK_RATE_MAX && c->octaves >= -PCM_OCTAVES_MAX &&
           c->octaves <= PCM_OCTAVES_MAX && (c->lookback_bytes == 0 || c->lookback_bytes == 4) &&
           c->held_bytes >= 0 && c->held_bytes % 4 == 0 &&
           (uint32_t)c->held_bytes / 4 < GroupFrames(c);
}

static inline uint32_t SourceFrameBytes(const PcmConverter *c) {
    return (uint32_t)(c->src_bits == 16 ? 2 : 1) * (uint32_t)(c->src_channels == 2 ? 2 : 1);
}

// 16-bit stereo frames of a block of `length` source bytes after widening
// and octave doublings.
static uint64_t WidenedFrames(const PcmConverter *c, uint32_t length) {
    uint64_t frames = length / SourceFrameBytes(c);
    return c->octaves > 0 ? frames << c->octaves : frames;
}

static uint32_t Saturate(uint64_t v) { return v > 0xFFFFFFFFu ? 0xFFFFFFFFu : (uint32_t)v; }

uint32_t PcmConverterSourceSize(const PcmConverter *conv, uint32_t length) {
    if (!ConverterOk(conv))
        return 0xFFFFFFFFu;
    // The block arrives unwidened, ragged end included.
    uint64_t widened = 4 * WidenedFrames(conv, length);
    return Saturate(4 + (widened > length ? widened : length));
}

uint32_t PcmConverterDestSize(const PcmConverter *conv, uint32_t length) {
    if (!ConverterOk(conv))
        return 0xFFFFFFFFu;
    uint64_t n = WidenedFrames(conv, length);
    // Output frames that start within n input frames: at most nT/F + 1.
    uint64_t frames = conv->in_rate == conv->out_rate
                          ? n
                          : n * (uint64_t)conv->out_rate / (uint64_t)conv->in_rate + 1;
    return Saturate(4 * (frames + GroupFrames(conv) - 1));
}

// The `count` frames at `frames` (fewer than one output frame's group) are
// kept for the next block as one frame that is replayed `count` times in
// front of it. When count is a power of two the frame is the group's exact
// nested average, so the replay gives the same output frame as an uncut
// stream; that covers every conversion with a single halving. Otherwise one
// frame cannot carry them exactly: it is the count-weighted mean of the
// power-of-two parts, rounded, and the next output frame may differ from an
// uncut stream's by one least significant bit (up to halvings - 1 when
// several blocks shorter than a group follow each other). Nothing is lost,
// so the output length never depends on where the stream was cut.
// Destroys the frames.
// sum / count to the nearest, halves upward.
static int64_t RoundedMean(int64_t sum, uint32_t count) {
    int64_t num = 2 * sum + count, den = 2 * (int64_t)count;
    return num >= 0 ? num / den : -((-num + den - 1) / den);
}

static void HoldFrames(PcmConverter *c, uint8_t *frames, uint32_t count) {
    int64_t sum_l = 0, sum_r = 0;
    uint32_t at = 0;
    for (int bit = 31; bit >= 0; bit--) {
        uint32_t part = 1u << bit;
        if (!(count & part))
            continue;
        uint8_t *p = frames + 4 * at;
        for (uint32_t len = 4 * part; len > 4;)
            len = PcmHalveRate(p, len);
        sum_l += (int64_t)part * Load16(p);
        sum_r += (int64_t)part * Load16(p + 2);
        at += part;
    }
    c->held_frame[0] = (int16_t)RoundedMean(sum_l, count);
    c->held_frame[1] = (int16_t)RoundedMean(sum_r, count);
    c->held_bytes = (int32_t)(4 * count);
}

uint32_t PcmConverterRun(PcmConverter *conv, uint8_t *dst, uint8_t *src, uint32_t length) {
    if (!ConverterOk(conv))
        return 0;
    // Only whole source frames take part: a partial one would shift every
    // later frame by a sample.
    length -= length % SourceFrameBytes(conv);
    if (length == 0 || 4 + 4 * WidenedFrames(conv, length) > 0xFFFFFFFFu)
        return 0;

    if (conv->src_bits != 16)
        length = Pcm8To16(src, length);
    if (conv->src_channels != 2)
        length = PcmMonoToStereo(src, length);
    for (int32_t i = 0; i < conv->octaves; i++)
        length = PcmDoubleRate(src, length);

    const uint32_t held = (uint32_t)conv->held_bytes;
    if (conv->in_rate != conv->out_rate) {
        // Carry the last frame over: the block gains the previous block's
        // last frame in front and keeps its own last frame behind it, where
        // the resampler reads it as the frame after the last.
        uint8_t *block = src;
        if (conv->lookback_bytes) {
            block = src - 4;
            memcpy(block, conv->lookback_frame, 4);
            length += 4;
        }
        length -= 4;
        memcpy(conv->lookback_frame, block + length, 4);
        conv->lookback_bytes = 4;
        length = PcmResample(dst + held, block, length, conv->in_rate, conv->out_rate,
                             &conv->phase);
    } else {
        memcpy(dst + held, src, length);
    }

    if (held) {
        for (uint32_t at = 0; at < held; at += 4)
            memcpy(dst + at, conv->held_frame, 4);
        length += held;
        conv->held_bytes = 0;
    }

    if (conv->octaves < 0) {
        // Halve only whole groups; the rest waits for the next block.
        uint32_t group = 4 * GroupFrames(conv);
        uint32_t rest = length % group;
        if (rest) {
            length -= rest;
            HoldFrames(conv, dst + length, rest / 4);
        }
        for (int32_t i = 0; i < -conv->octaves; i++)
            length = PcmHalveRate(dst, length);
    }
    if (conv->dst_channels != 2)
        length = PcmStereoToMono(dst, length);
    if (conv->dst_bits != 16)
        length = Pcm16To8(dst, length);
    return length;
}
