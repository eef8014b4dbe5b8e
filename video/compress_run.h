// One export's run of the chosen video compressor.
#pragma once

#include <windows.h>

#include <stdint.h>

#include "video/codec_catalogue.h"

int VideoCompressBegin(VideoCodecState *state, const BITMAPINFOHEADER *bih, uint32_t rate,
                       uint32_t scale);
// Compressed bytes of one frame (valid until the next call), or null when the
// compressor refuses it; flags get the compressor's AVIIF_ bits.
const uint8_t *VideoCompressFrame(VideoCodecState *state, const uint8_t *frame, uint32_t *flags,
                                  uint32_t *size);
int VideoCompressEnd(VideoCodecState *state);
