// Audio conversion through the ACM or the in-house PCM converter, and the
// audio sub-record of the settings block.
#pragma once

#include <windows.h>
#include <mmsystem.h>
#include <mmreg.h>
#include <msacm.h>

#include <stddef.h>
#include <stdint.h>

#include "audio/pcm_convert.h"

// An ACMSTREAMHEADER as a 32-bit process lays it out (84 bytes). The block
// keeps this layout on every build; where pointers are wider the stage keeps
// its live header outside the block.
struct StoredStreamHeader {
    uint32_t cbStruct;
    uint32_t fdwStatus;
    uint32_t dwUser;
    uint32_t pbSrc;
    uint32_t cbSrcLength;
    uint32_t cbSrcLengthUsed;
    uint32_t dwSrcUser;
    uint32_t pbDst;
    uint32_t cbDstLength;
    uint32_t cbDstLengthUsed;
    uint32_t dwDstUser;
    uint32_t dwReservedDriver[10];
};
static_assert(sizeof(StoredStreamHeader) == 84, "ACMSTREAMHEADER of a 32-bit process");

// AudioCodecState.flags
enum {
    AUDIO_OUTPUT_OPEN = 0x1,
    AUDIO_PRE_OPEN = 0x2,
    AUDIO_CONVERT = 0x4,    // the chosen format differs from the host's
};

// Audio sub-record of WriterContext (offset 10724).
struct AudioCodecState {
    uint32_t flags;
    uint32_t output_driver;           // HACMDRIVER, 0 for the in-house converter
    uint32_t output_stream;           // HACMSTREAM, 0 for the in-house converter
    StoredStreamHeader output_header;
    uint32_t pre_driver;
    uint32_t pre_stream;
    StoredStreamHeader pre_header;
    WAVEFORMATEX intermediate;        // 18 bytes
    uint8_t reserved[2];
    PcmConverter output_converter;
    PcmConverter pre_converter;
    uint8_t chosen_format[4096];      // WAVEFORMATEX and its extra bytes
    uint32_t chosen_format_size;      // 16 for PCM, 18 + cbSize otherwise, 0 = none chosen
};

static_assert(sizeof(WAVEFORMATEX) == 18, "packed WAVEFORMATEX");
static_assert(sizeof(AudioCodecState) == 4420, "AudioCodecState is a stored layout");
static_assert(offsetof(AudioCodecState, output_driver) == 4, "layout");
static_assert(offsetof(AudioCodecState, output_stream) == 8, "layout");
static_assert(offsetof(AudioCodecState, output_header) == 12, "layout");
static_assert(offsetof(AudioCodecState, pre_driver) == 96, "layout");
static_assert(offsetof(AudioCodecState, pre_stream) == 100, "layout");
static_assert(offsetof(AudioCodecState, pre_header) == 104, "layout");
static_assert(offsetof(AudioCodecState, intermediate) == 188, "layout");
static_assert(offsetof(AudioCodecState, output_converter) == 208, "layout");
static_assert(offsetof(AudioCodecState, pre_converter) == 264, "layout");
static_assert(offsetof(AudioCodecState, chosen_format) == 320, "layout");
static_assert(offsetof(AudioCodecState, chosen_format_size) == 4416, "layout");

#define AUDIO_DRIVER_SLOTS 256
#define AUDIO_STAGE_BUFFER_SIZE 0x40000

// Installed ACM drivers by priority (slot = priority, 0 = empty), and the
// default stage buffers.
struct AudioDriverTable {
    HACMDRIVERID slots[AUDIO_DRIVER_SLOTS];
    uint8_t *default_src;
    uint8_t *default_dst;
};

extern AudioDriverTable audio_drivers;

// Clears the table, enumerates the enabled drivers into it and allocates the
// default stage buffers. Drivers installed later are not seen.
int AudioCodecInit();
int AudioCodecExit();
// Puts one driver into its priority's slot; a priority of 256 or more is
// ignored, and a later driver of the same priority replaces the earlier one.
void AudioDriverTableAdd(HACMDRIVERID id, DWORD priority);

// Opens one stage from `src` to `dst`: the in-house converter when both are
// PCM it can convert, else the first driver by priority that opens a stream
// and prepares the header. Null buffers mean the default stage buffers.
// *driver and *stream are 0 for an in-house stage.
int AudioStageOpen(HACMDRIVER *driver, HACMSTREAM *stream, ACMSTREAMHEADER *header,
                   const WAVEFORMATEX *src, const WAVEFORMATEX *dst, uint8_t *src_buffer,
                   uint32_t src_capacity, uint8_t *dst_buffer, uint32_t dst_capacity,
                   PcmConverter *converter);

// The conversion path of one export from the host's PCM `source` to the
// chosen format in `state`: one stage, or an in-house pre-conversion to
// 16-bit PCM at the chosen rate and channel count followed by the codec.
// Each area holds two stages' buffers of `capacity` bytes.
int AudioCodecStart(AudioCodecState *state, const WAVEFORMATEX *source, uint8_t *src_area,
                    uint32_t src_capacity, uint8_t *dst_area, uint32_t dst_capacity);
// Converts one block of host audio and returns the converted bytes (valid
// until the next call) with their count in *out_length, or null on failure.
// A length of 0 ends the stream. A block too large for the stage buffers is
// converted in pieces; no buffer is overrun.
uint8_t *AudioCodecConvert(AudioCodecState *state, const uint8_t *block, uint32_t length,
                           uint32_t *out_length);
int AudioCodecStop(AudioCodecState *state);
// The ACM driver of an open stage (0 output, 1 pre-conversion); null for the
// in-house converter. The record keeps only 32 bits of it.
HACMDRIVER AudioStageDriver(int stage);

// Whether `size` bytes at `f` are a format that a real codec could have
// produced: 1 to 8 channels, 1,000 to 384,000 samples per second, at most 64
// bits per sample, and exactly its own length. PCM: 8, 16, 24 or 32 bits,
// block align = channels x bits / 8, byte rate = rate x block align, 16
// bytes (or 18 with cbSize 0). Any other tag: 18 + cbSize bytes, a byte rate
// of 1 up to what 64-bit samples would need, a block of 1 byte up to one
// second's bytes. The one check of a stored or chosen audio format.
int AudioFormatSane(const WAVEFORMATEX *f, uint32_t size);
// The stored choice is usable: its size fits its area and the format passes
// AudioFormatSane. A choice that fails counts as none (AudioConversionWanted).
int AudioChosenFormatValid(const AudioCodecState *state);
// The host's format as the file and the chooser take it: 18 bytes of PCM
// with cbSize 0, whatever a stored block left in the tag and cbSize. Returns
// whether the rest is sane PCM.
int AudioHostFormat(const WAVEFORMATEX *stored, WAVEFORMATEX *out);
