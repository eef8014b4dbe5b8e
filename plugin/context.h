// WriterContext, the settings block and export state, and OutputInfo, the
// host's description of one export.
#pragma once

#include <windows.h>

#include <stddef.h>
#include <stdint.h>

#include "audio/audio_codec.h"
#include "video/codec_catalogue.h"

#define SETTINGS_BLOCK_SIZE 15208

// state_flags
enum {
    CTX_FILE_OPEN = 0x1,
    CTX_VIDEO_STREAM = 0x2,
    CTX_AUDIO_STREAM = 0x4,
    CTX_VIDEO_CODEC = 0x10,
    CTX_AUDIO_CODEC = 0x20,
};

// The host stores this whole record as an opaque block and hands it back, so
// it is a stored format: little-endian, no padding, offsets fixed.
struct WriterContext {
    uint32_t state_flags;
    int32_t width;
    int32_t height;
    int32_t frame_count;          // informational
    BITMAPINFOHEADER bih;         // frame format asked of the host
    WAVEFORMATEX wfx;             // host PCM format
    uint8_t reserved1[22];
    uint32_t scale;
    uint32_t rate;
    uint8_t reserved2[252];
    VideoCodecState video;
    uint8_t reserved3[32];
    AudioCodecState audio;
    uint8_t reserved4[64];
};

static_assert(sizeof(WriterContext) == SETTINGS_BLOCK_SIZE, "the settings block is 15208 bytes");
static_assert(offsetof(WriterContext, width) == 4, "layout");
static_assert(offsetof(WriterContext, height) == 8, "layout");
static_assert(offsetof(WriterContext, frame_count) == 12, "layout");
static_assert(offsetof(WriterContext, bih) == 16, "layout");
static_assert(offsetof(WriterContext, bih.biSizeImage) == 36, "layout");
static_assert(offsetof(WriterContext, wfx) == 56, "layout");
static_assert(offsetof(WriterContext, scale) == 96, "layout");
static_assert(offsetof(WriterContext, rate) == 100, "layout");
static_assert(offsetof(WriterContext, video) == 356, "layout");
static_assert(offsetof(WriterContext, video.fccHandler) == 364, "layout");
static_assert(offsetof(WriterContext, audio) == 10724, "layout");
static_assert(offsetof(WriterContext, audio.chosen_format) == 11044, "layout");
static_assert(offsetof(WriterContext, audio.chosen_format_size) == 15140, "layout");
static_assert(offsetof(WriterContext, reserved4) == 15144, "layout");

extern WriterContext writer_context;

// OutputInfo.flags
enum {
    OUTPUT_HAS_VIDEO = 1,
    OUTPUT_HAS_AUDIO = 2,
};

typedef void *(__cdecl *FetchAudioFn)(int32_t first, int32_t count, int32_t *delivered);
typedef int32_t(__cdecl *AbortRequestedFn)(void);
typedef int32_t(__cdecl *ShowRemainingTimeFn)(int32_t frame, int32_t frame_count);
typedef int32_t(__cdecl *RefreshPreviewFn)(void);
typedef void *(__cdecl *FetchVideoFn)(int32_t frame, uint32_t format);

// The host's record for one export; the host fixes this layout. Unread words
// are pointer-sized so the record lays out as the host's does on 32 bits.
struct OutputInfo {
    int32_t flags;
    int32_t width;
    int32_t height;
    int32_t rate;
    int32_t scale;
    int32_t frame_count;
    int32_t unused24;
    int32_t sample_rate;
    int32_t channel_count;
    int32_t unused36;
    int32_t sample_bytes;
    const char *file_path;
    void *unused48;
    FetchAudioFn fetch_audio;
    AbortRequestedFn abort_requested;
    ShowRemainingTimeFn show_remaining_time;
    void *unused64;
    RefreshPreviewFn refresh_preview;
    FetchVideoFn fetch_video;
};

#if defined(_WIN32) && !defined(_WIN64)
static_assert(offsetof(OutputInfo, sample_rate) == 28, "layout");
static_assert(offsetof(OutputInfo, sample_bytes) == 40, "layout");
static_assert(offsetof(OutputInfo, file_path) == 44, "layout");
static_assert(offsetof(OutputInfo, fetch_audio) == 52, "layout");
static_assert(offsetof(OutputInfo, abort_requested) == 56, "layout");
static_assert(offsetof(OutputInfo, show_remaining_time) == 60, "layout");
static_assert(offsetof(OutputInfo, refresh_preview) == 68, "layout");
static_assert(offsetof(OutputInfo, fetch_video) == 72, "layout");
static_assert(sizeof(OutputInfo) == 76, "layout");
#endif

// The table that GetOutputPluginTable returns: sixteen pointer-sized words.
struct OutputPluginTable {
    uintptr_t flags;
    const char *display_name;
    const char *file_filter;
    const char *information;      // word 4: "Velnik 0.01", NUL-terminated
    int(__cdecl *on_init)(void);
    int(__cdecl *on_exit)(void);
    int(__cdecl *on_output)(OutputInfo *info);
    int(__cdecl *on_configure)(HWND owner, HINSTANCE instance);
    int(__cdecl *on_get_settings)(void *destination);
    int(__cdecl *on_set_settings)(const void *source, int size);
    uintptr_t reserved[6];
};
static_assert(sizeof(OutputPluginTable) == 16 * sizeof(void *), "sixteen words");

extern "C" OutputPluginTable *__cdecl GetOutputPluginTable(void);
