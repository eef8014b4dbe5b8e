// Catalogue of installed video compressors, and the video sub-record of the
// settings block.
#pragma once

#include <windows.h>
#include <vfw.h>

#include <stddef.h>
#include <stdint.h>

// Video sub-record of WriterContext (offset 356). Stored by the host, so
// every offset is fixed. Handle and pointer slots are 32 bits wide; the run
// keeps its live values in its own state where they are wider.
struct VideoCodecState {
    uint32_t reserved;
    uint32_t hic;            // run-time
    uint32_t fccHandler;     // 0 = uncompressed RGB, "YUY2", or a compressor
    int32_t quality;         // 0..10000
    int32_t keyRate;         // key frame every N frames, 0 = first only
    int32_t dataRate;        // KiB per second, 0 = no limit
    int32_t frameNum;        // run-time from here to prevBuffer
    BITMAPINFOHEADER bihIn;
    int32_t keyCountdown;
    int32_t frameBudget;
    int32_t allowance;
    uint32_t outBuffer;
    uint32_t prevBuffer;
    uint8_t bihOut[4096];    // compressed format as the compressor gave it
    uint32_t bihOutSize;
    uint8_t state[6144];     // compressor configuration (ICM_GETSTATE)
    uint32_t stateSize;
};

static_assert(sizeof(VideoCodecState) == 10336, "VideoCodecState is a stored layout");
static_assert(offsetof(VideoCodecState, hic) == 4, "layout");
static_assert(offsetof(VideoCodecState, fccHandler) == 8, "layout");
static_assert(offsetof(VideoCodecState, quality) == 12, "layout");
static_assert(offsetof(VideoCodecState, keyRate) == 16, "layout");
static_assert(offsetof(VideoCodecState, dataRate) == 20, "layout");
static_assert(offsetof(VideoCodecState, frameNum) == 24, "layout");
static_assert(offsetof(VideoCodecState, bihIn) == 28, "layout");
static_assert(offsetof(VideoCodecState, keyCountdown) == 68, "layout");
static_assert(offsetof(VideoCodecState, frameBudget) == 72, "layout");
static_assert(offsetof(VideoCodecState, allowance) == 76, "layout");
static_assert(offsetof(VideoCodecState, outBuffer) == 80, "layout");
static_assert(offsetof(VideoCodecState, prevBuffer) == 84, "layout");
static_assert(offsetof(VideoCodecState, bihOut) == 88, "layout");
static_assert(offsetof(VideoCodecState, bihOutSize) == 4184, "layout");
static_assert(offsetof(VideoCodecState, state) == 4188, "layout");
static_assert(offsetof(VideoCodecState, stateSize) == 10332, "layout");

// CodecEntry.flags
enum {
    CF_OPT_BIT0 = 0x1,
    CF_OPT_YUY2 = 0x2,
    CF_OPT_SAVESTATE = 0x4,
    CF_COMPRESS = 0x100,
    CF_YUY2_INPUT = 0x200,
    CF_FRAMES_INFO = 0x400,
    CF_CONFIGURE = 0x800,
    CF_ABOUT = 0x1000,
    CF_QUALITY = 0x2000,
    CF_KEYFRAMES = 0x4000,
    CF_DATARATE = 0x8000,
    CF_NEEDS_PREVIOUS = 0x10000,
    CF_PRESENT = 0x10000000,
    CF_BUILTIN = 0x20000000,
    CF_KEEP_OPEN = 0x40000000,
};

#define CODEC_CATALOGUE_SIZE 128
// Two slots stay free for the built-in choices.
#define CODEC_INSTALLED_MAX (CODEC_CATALOGUE_SIZE - 2)
#define CODEC_DEFAULT_INI_OPTION 7
#define CODEC_DEFAULT_DATA_RATE 300

struct CodecEntry {
    uint32_t flags;          // non-zero: entry in use
    uint32_t fccHandler;
    uint32_t fccTerminator;  // always 0, so fccHandler reads as a 4-character text
    HIC hic;
    int32_t quality;
    int32_t keyRate;
    int32_t dataRate;
    char name[128];
};

struct CodecCatalogue {
    CodecEntry entries[CODEC_CATALOGUE_SIZE];
    int entry_count;                                 // stored entries, built-ins included
    const char *list[CODEC_CATALOGUE_SIZE + 1];      // selectable names, null-terminated
    int list_to_index[CODEC_CATALOGUE_SIZE];         // list position -> catalogue index
    int index_to_list[CODEC_CATALOGUE_SIZE];         // catalogue index -> list position or -1
    int list_count;
};

extern CodecCatalogue codec_catalogue;

uint32_t MakeFourcc(const char *four);

int CodecCatalogueBuild();
int CodecCatalogueRelease();
int FourccEqual(uint32_t a, uint32_t b);
int CodecFind(uint32_t fcc);
// Opens the entry's compressor for compression (once; later calls reuse it).
int CodecOpen(int index);
// Closes it again unless the entry is marked to stay open.
int CodecClose(int index);
int CodecKeepOpen(int index);
int CodecIsCompressor(uint32_t fcc);
int CodecInputFormat(uint32_t fcc, BITMAPINFOHEADER *bih, int32_t width, int32_t height);

// Row rule: rows padded to 4 bytes.
uint32_t ImageSize(int32_t bit_count, int32_t width, int32_t height);
