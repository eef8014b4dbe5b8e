// In-house PCM converter: rate, channel count and width changes between two
// PCM formats, block by block, in place.
#pragma once

#include <stddef.h>
#include <stdint.h>

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
    int32_t held_bytes;     // 4 while an output frame is held for the next block
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
