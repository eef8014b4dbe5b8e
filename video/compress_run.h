// One export's run of the chosen video compressor.
#pragma once

#include <windows.h>

#include <stdint.h>

#include "video/codec_catalogue.h"

// Set in a frame's flags instead of the compressor's when it holds the
// frame back (a look-ahead filling up): nothing to write for it yet.
#define VIDEO_HELD_BACK 0x80000000u

// frames: how many frames the export will deliver.
int VideoCompressBegin(VideoCodecState *state, const BITMAPINFOHEADER *bih, uint32_t rate,
                       uint32_t scale, int32_t frames);
// Compressed bytes of one frame (valid until the next call), or null when the
// compressor refuses it; flags get the compressor's AVIIF_ bits.
const uint8_t *VideoCompressFrame(VideoCodecState *state, const uint8_t *frame, uint32_t *flags,
                                  uint32_t *size);
// After the last frame, the next of the frames held back: 1 with its bytes
// (size 0: an empty chunk for one the compressor never handed over), -1 when
// none is owed, 0 when the compressor reports more than the buffer holds.
int VideoCompressDrain(VideoCodecState *state, const uint8_t **data, uint32_t *flags,
                       uint32_t *size);
int VideoCompressEnd(VideoCodecState *state);
