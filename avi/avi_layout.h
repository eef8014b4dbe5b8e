// The stored AVI layout: chunk ids, header records, index records and the
// constants of the file, shared by the writer and the tests.
#pragma once

#include <stddef.h>
#include <stdint.h>

#define AVI_FCC(a, b, c, d) \
    ((uint32_t)(uint8_t)(a) | (uint32_t)(uint8_t)(b) << 8 | (uint32_t)(uint8_t)(c) << 16 | \
     (uint32_t)(uint8_t)(d) << 24)

enum : uint32_t {
    FCC_RIFF = AVI_FCC('R', 'I', 'F', 'F'),
    FCC_AVI = AVI_FCC('A', 'V', 'I', ' '),
    FCC_AVIX = AVI_FCC('A', 'V', 'I', 'X'),
    FCC_LIST = AVI_FCC('L', 'I', 'S', 'T'),
    FCC_HDRL = AVI_FCC('h', 'd', 'r', 'l'),
    FCC_AVIH = AVI_FCC('a', 'v', 'i', 'h'),
    FCC_STRL = AVI_FCC('s', 't', 'r', 'l'),
    FCC_STRH = AVI_FCC('s', 't', 'r', 'h'),
    FCC_STRF = AVI_FCC('s', 't', 'r', 'f'),
    FCC_JUNK = AVI_FCC('J', 'U', 'N', 'K'),
    FCC_MOVI = AVI_FCC('m', 'o', 'v', 'i'),
    FCC_IDX1 = AVI_FCC('i', 'd', 'x', '1'),
    FCC_INDX = AVI_FCC('i', 'n', 'd', 'x'),
    FCC_IX00 = AVI_FCC('i', 'x', '0', '0'),
    FCC_IX01 = AVI_FCC('i', 'x', '0', '1'),
    FCC_ODML = AVI_FCC('o', 'd', 'm', 'l'),
    FCC_DMLH = AVI_FCC('d', 'm', 'l', 'h'),
    FCC_VIDS = AVI_FCC('v', 'i', 'd', 's'),
    FCC_AUDS = AVI_FCC('a', 'u', 'd', 's'),
    FCC_00DB = AVI_FCC('0', '0', 'd', 'b'),   // video key frame
    FCC_00DC = AVI_FCC('0', '0', 'd', 'c'),   // video delta frame
    FCC_01WB = AVI_FCC('0', '1', 'w', 'b'),   // audio
};

// A RIFF begins an "AVIX" continuation once it has reached this size.
#ifdef VELNIK_RIFF_THRESHOLD
#define AVI_RIFF_THRESHOLD ((uint32_t)(VELNIK_RIFF_THRESHOLD))
#else
#define AVI_RIFF_THRESHOLD 0x7E000000u
#endif

#define AVI_MOVI_ALIGN 2048u              // first chunk of every "movi" on this boundary
#define AVI_SUPER_INDEX_PLACEHOLDER 2040u // "JUNK" data reserved per stream for "indx"
#define AVI_ODML_PLACEHOLDER 260u         // "JUNK" data reserved for the "odml" list
#define AVI_SUPER_INDEX_SLOTS 126u        // (2040 - 24) / 16
#define AVI_MAX_CHUNK 0x10000000u         // an index entry holds 28 bits of size
#define AVI_INFO_FORMAT "This file was made by %s %s."

#define AVI_FLAG_HASINDEX 0x00000010u       // AVIF_HASINDEX
#define AVIF_FLAGS 0x00000810u            // AVIF_HASINDEX | AVIF_TRUSTCKTYPE
#define AVI_KEYFRAME 0x10u                // AVIIF_KEYFRAME

// IndexEntry: one u32 per chunk of the current RIFF.
#define INDEX_SIZE_MASK 0x0FFFFFFFu
#define INDEX_AUDIO 0x40000000u
#define INDEX_DELTA 0x80000000u

// A chunk header; for an open list the size holds the list's own position.
struct ListHeader {
    uint32_t id;
    uint32_t size;
};
static_assert(sizeof(ListHeader) == 8, "chunk header");

struct AviMainHeader {
    uint32_t dwMicroSecPerFrame;
    uint32_t dwMaxBytesPerSec;
    uint32_t dwPaddingGranularity;
    uint32_t dwFlags;
    uint32_t dwTotalFrames;
    uint32_t dwInitialFrames;
    uint32_t dwStreams;
    uint32_t dwSuggestedBufferSize;
    uint32_t dwWidth;
    uint32_t dwHeight;
    uint32_t dwReserved[4];
};
static_assert(sizeof(AviMainHeader) == 56, "avih");
static_assert(offsetof(AviMainHeader, dwFlags) == 12, "avih");
static_assert(offsetof(AviMainHeader, dwTotalFrames) == 16, "avih");
static_assert(offsetof(AviMainHeader, dwStreams) == 24, "avih");
static_assert(offsetof(AviMainHeader, dwWidth) == 32, "avih");
static_assert(offsetof(AviMainHeader, dwHeight) == 36, "avih");

struct AviStreamHeader {
    uint32_t fccType;
    uint32_t fccHandler;
    uint32_t dwFlags;
    uint16_t wPriority;
    uint16_t wLanguage;
    uint32_t dwInitialFrames;
    uint32_t dwScale;
    uint32_t dwRate;
    uint32_t dwStart;
    uint32_t dwLength;
    uint32_t dwSuggestedBufferSize;
    uint32_t dwQuality;
    uint32_t dwSampleSize;
    int16_t rcFrame[4];   // left, top, right, bottom
};
static_assert(sizeof(AviStreamHeader) == 56, "strh");
static_assert(offsetof(AviStreamHeader, fccHandler) == 4, "strh");
static_assert(offsetof(AviStreamHeader, wPriority) == 12, "strh");
static_assert(offsetof(AviStreamHeader, dwInitialFrames) == 16, "strh");
static_assert(offsetof(AviStreamHeader, dwScale) == 20, "strh");
static_assert(offsetof(AviStreamHeader, dwRate) == 24, "strh");
static_assert(offsetof(AviStreamHeader, dwLength) == 32, "strh");
static_assert(offsetof(AviStreamHeader, dwSuggestedBufferSize) == 36, "strh");
static_assert(offsetof(AviStreamHeader, dwQuality) == 40, "strh");
static_assert(offsetof(AviStreamHeader, dwSampleSize) == 44, "strh");
static_assert(offsetof(AviStreamHeader, rcFrame) == 48, "strh");

// Data of the "LIST" "odml" that replaces its placeholder in a multi-RIFF file.
struct OdmlBody {
    uint32_t list_type;        // "odml"
    uint32_t dmlh_id;          // "dmlh"
    uint32_t dmlh_size;        // 248
    uint32_t dwTotalFrames;
    uint8_t reserved[244];
};
static_assert(sizeof(OdmlBody) == AVI_ODML_PLACEHOLDER, "odml");
static_assert(offsetof(OdmlBody, dwTotalFrames) == 12, "odml");  // chunk offset 20

// 64-bit offsets are stored as two u32 halves: in these records they do not
// fall on 8-byte boundaries.
struct StandardIndexHeader {
    uint16_t wLongsPerEntry;   // 2
    uint8_t bIndexSubType;     // 0
    uint8_t bIndexType;        // 1: index of chunks
    uint32_t nEntriesInUse;
    uint32_t dwChunkId;
    uint32_t qwBaseOffset[2];  // low, high
    uint32_t dwReserved;
};
static_assert(sizeof(StandardIndexHeader) == 24, "ix##");
static_assert(offsetof(StandardIndexHeader, nEntriesInUse) == 4, "ix##");
static_assert(offsetof(StandardIndexHeader, dwChunkId) == 8, "ix##");
static_assert(offsetof(StandardIndexHeader, qwBaseOffset) == 12, "ix##");
static_assert(offsetof(StandardIndexHeader, dwReserved) == 20, "ix##");

struct StandardIndexEntry {
    uint32_t dwOffset;         // chunk data from qwBaseOffset
    uint32_t dwSize;           // bit 31: delta frame
};
static_assert(sizeof(StandardIndexEntry) == 8, "ix## entry");

struct SuperIndexHeader {
    uint16_t wLongsPerEntry;   // 4
    uint8_t bIndexSubType;     // 0
    uint8_t bIndexType;        // 0: index of indexes
    uint32_t nEntriesInUse;
    uint32_t dwChunkId;
    uint32_t dwReserved[3];
};
static_assert(sizeof(SuperIndexHeader) == 24, "indx");
static_assert(offsetof(SuperIndexHeader, dwChunkId) == 8, "indx");

struct SuperIndexEntry {
    uint32_t qwOffset[2];      // low, high: the "ix##" chunk header
    uint32_t dwSize;           // that chunk's size field
    uint32_t dwDuration;       // video chunks or audio blocks of that RIFF
};
static_assert(sizeof(SuperIndexEntry) == 16, "indx entry");
static_assert(AVI_SUPER_INDEX_SLOTS ==
                  (AVI_SUPER_INDEX_PLACEHOLDER - sizeof(SuperIndexHeader)) / sizeof(SuperIndexEntry),
              "super index slots");

struct Idx1Entry {
    uint32_t dwChunkId;
    uint32_t dwFlags;
    uint32_t dwChunkOffset;    // from the "movi" list type; the first chunk has 4
    uint32_t dwChunkLength;
};
static_assert(sizeof(Idx1Entry) == 16, "idx1 entry");
