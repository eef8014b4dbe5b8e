// In-house PCM converter: rate, channel count and width changes between two
// PCM formats, block by block, in place.
#pragma once

#include <stddef.h>
#include <stdint.h>

#ifdef _WIN32
#include <windows.h>
#include <mmsystem.h>
#include <mmreg.h>
#else
// The converter has no Win32 dependency; elsewhere (native tests, fuzzing,
// benchmark) an equivalent of the packed 18-byte WAVEFORMATEX stands in.
#pragma pack(push, 1)
struct WAVEFORMATEX {
    uint16_t wFormatTag;
    uint16_t nChannels;
    uint32_t nSamplesPerSec;
    uint32_t nAvgBytesPerSec;
    uint16_t nBlockAlign;
    uint16_t wBitsPerSample;
    uint16_t cbSize;
};
#pragma pack(pop)
#endif
static_assert(sizeof(WAVEFORMATEX) == 18, "packed WAVEFORMATEX");

// Stored inside the settings block (two of them in AudioCodecState), so the
// layout is fixed: fourteen 32-bit fields.
struct PcmConverter {
    int32_t src_rate;
    int32_t dst_rate;
    int32_t src_channels;
    int32_t dst_channels;
    int32_t src_bits;
    int32_t dst_bits;
    int32_t in_rate;        // F: rate the fractional resampler reads at
    int32_t out_rate;       // T: rate it writes at
    uint32_t phase;         // start of the next output frame in the current input frame
    int32_t octaves;        // > 0 doublings before resampling, < 0 halvings after
    int32_t lookback_bytes; // 0 until the first resampled block, then 4
    int32_t held_bytes;     // 4 per frame held back for the next block; all are replayed
                            // as copies of held_frame (more than one only when halving twice or more)
    int16_t lookback_frame[2];
    int16_t held_frame[2];
};

static_assert(sizeof(PcmConverter) == 56, "PcmConverter is a stored layout");
static_assert(offsetof(PcmConverter, in_rate) == 24, "layout");
static_assert(offsetof(PcmConverter, out_rate) == 28, "layout");
static_assert(offsetof(PcmConverter, phase) == 32, "layout");
static_assert(offsetof(PcmConverter, octaves) == 36, "layout");
static_assert(offsetof(PcmConverter, lookback_bytes) == 40, "layout");
static_assert(offsetof(PcmConverter, held_bytes) == 44, "layout");
static_assert(offsetof(PcmConverter, lookback_frame) == 48, "layout");
static_assert(offsetof(PcmConverter, held_frame) == 52, "layout");

// Plans a conversion between two PCM formats (tag 1). Returns 0, leaving the
// converter as it was, for anything it cannot convert faithfully: other tags,
// widths other than 8 and 16 bits, channel counts other than 1 and 2, rates
// of 0 or beyond 2^31 - 1, and rates more than 16 octaves apart. The stage
// then falls back to the ACM.
int PcmConverterPlan(PcmConverter *conv, const WAVEFORMATEX *src, const WAVEFORMATEX *dst);

// Converts one block of `length` bytes at `src` into `dst` and returns the
// bytes written there. The block is altered: it is widened in place, and the
// 4 bytes before it receive the frame carried over from the previous block.
// A trailing partial source frame is ignored; a block without a whole frame
// changes nothing and returns 0. Returns 0 for a converter that was not
// planned (fields out of range), so stored garbage is never acted on.
// The buffers must hold PcmConverterSourceSize / PcmConverterDestSize bytes.
uint32_t PcmConverterRun(PcmConverter *conv, uint8_t *dst, uint8_t *src, uint32_t length);

// Bytes the source buffer must hold for a block of `length` bytes, counted
// from the start of the buffer (4 bytes of carried frame, then the widened
// block), and bytes the destination buffer must hold: the resampled 16-bit
// stereo frames plus the held frames replayed in front of them (one at most
// with a single halving, 2^halvings - 1 at most with more). Both are upper
// bounds valid for any block in the stream; 0xFFFFFFFF when they do not fit
// 32 bits or the converter is not planned.
uint32_t PcmConverterSourceSize(const PcmConverter *conv, uint32_t length);
uint32_t PcmConverterDestSize(const PcmConverter *conv, uint32_t length);

// Whole steps, in place on `buf`, returning the new length in bytes. Growing
// steps need room for twice the length. Partial units at the end are ignored.
uint32_t Pcm8To16(uint8_t *buf, uint32_t length);         // unsigned 8-bit -> signed 16-bit
uint32_t PcmMonoToStereo(uint8_t *buf, uint32_t length);  // 16-bit sample s -> frame (s, s)
uint32_t PcmDoubleRate(uint8_t *buf, uint32_t length);    // every stereo frame twice
uint32_t PcmHalveRate(uint8_t *buf, uint32_t length);     // floor average of frame pairs
uint32_t PcmStereoToMono(uint8_t *buf, uint32_t length);  // floor average of left and right
uint32_t Pcm16To8(uint8_t *buf, uint32_t length);         // signed 16-bit -> unsigned 8-bit

// Fractional resampler over 16-bit stereo frames: reads length / 4 frames at
// `src` plus the frame right behind them, writes to `dst` (never the same
// memory), returns the bytes written and updates *phase. One input frame
// lasts `out_rate` units and one output frame `in_rate` units; both must be
// 1..32767 (else nothing is written). A phase of in_rate or more is reduced
// modulo in_rate.
uint32_t PcmResample(uint8_t *dst, const uint8_t *src, uint32_t length, int32_t in_rate,
                     int32_t out_rate, uint32_t *phase);
