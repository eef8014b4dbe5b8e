// OpenDML files in depth, built with a RIFF threshold of 1 MiB so that many
// "AVIX" RIFFs fit in a few megabytes.
#include <doctest/doctest.h>

#include <windows.h>
#include <vfw.h>

#include <string.h>

#include "avi/avi_writer.h"
#include "fileio/write_behind_file.h"
#include "plugin/context.h"
#include "plugin/plugin.h"
#include "plugin/texts.h"
#include "support/avi_reader.h"
#include "support/export_host.h"

static_assert(AVI_RIFF_THRESHOLD == 0x100000, "these tests need the small threshold");

namespace {

std::string OutPath(const char *name)
{
    return TestFolder("odml") + "\\" + name;
}

struct RiffInfo {
    AviChunk riff;
    AviChunk movi;
    std::vector<AviChunk> data;   // data chunks of its "movi", in order
    std::vector<AviChunk> ix00, ix01;
};

struct OdmlFile {
    std::vector<uint8_t> bytes;
    std::vector<AviChunk> chunks;
    std::vector<RiffInfo> riffs;
};

uint64_t Read64(const std::vector<uint8_t> &f, uint64_t at)
{
    return ReadU32(f, at) | (uint64_t)ReadU32(f, at + 4) << 32;
}

const AviChunk *ChunkAt(const std::vector<AviChunk> &chunks, uint64_t offset)
{
    for (const AviChunk &c : chunks)
        if (c.offset == offset)
            return &c;
    return NULL;
}

// Checks one stream's "indx" against the "ix##" chunks of every RIFF and
// those against the data chunks. Returns the number of entries in use.
uint32_t CheckStreamIndexes(const OdmlFile &f, uint64_t indx_at, uint32_t ix_id, uint32_t chunk_id,
                            uint32_t block)
{
    const std::vector<uint8_t> &b = f.bytes;
    CHECK(ReadU32(b, indx_at) == FCC_INDX);
    CHECK(ReadU32(b, indx_at + 4) == 2040);
    CHECK(ReadU16(b, indx_at + 8) == 4);
    CHECK(b[indx_at + 11] == 0);
    uint32_t in_use = ReadU32(b, indx_at + 12);
    CHECK(ReadU32(b, indx_at + 16) == chunk_id);
    uint32_t slot = 0;
    for (const RiffInfo &r : f.riffs) {
        const std::vector<AviChunk> &ix = ix_id == FCC_IX00 ? r.ix00 : r.ix01;
        uint32_t mine = 0;
        for (const AviChunk &c : r.data)
            mine += (c.id == FCC_01WB) == (ix_id == FCC_IX01);
        if (!mine) {
            CHECK(ix.empty());
            continue;
        }
        REQUIRE(ix.size() == 1);
        REQUIRE(slot < in_use);
        uint64_t e = indx_at + 32 + 16 * (uint64_t)slot++;
        CHECK(Read64(b, e) == ix[0].offset);
        CHECK(ReadU32(b, e + 8) == ix[0].size);
        CHECK(ix[0].size == 32 + 8 * mine);

        // The standard index: header, one pair per chunk of the stream, terminator.
        uint64_t h = ix[0].offset + 8;
        CHECK(ReadU16(b, h) == 2);
        CHECK(b[h + 3] == 1);
        CHECK(ReadU32(b, h + 4) == mine);
        CHECK(ReadU32(b, h + 8) == chunk_id);
        uint64_t base = Read64(b, h + 12);
        CHECK(base == r.movi.offset + 12);
        uint32_t duration = 0, k = 0;
        for (const AviChunk &c : r.data) {
            if ((c.id == FCC_01WB) != (ix_id == FCC_IX01))
                continue;
            uint64_t pair = h + 24 + 8 * (uint64_t)k++;
            CHECK(base + ReadU32(b, pair) == c.offset + 8);
            uint32_t size = ReadU32(b, pair + 4);
            CHECK((size & 0x7FFFFFFF) == c.size);
            CHECK((size >> 31) == (c.id == FCC_00DC ? 1u : 0u));
            duration += block ? c.size / block : 1;
        }
        CHECK(Read64(b, h + 24 + 8 * (uint64_t)mine) == 0);
        CHECK(ReadU32(b, e + 12) == duration);
    }
    CHECK(slot == in_use);
    for (uint64_t at = indx_at + 32 + 16 * (uint64_t)in_use; at < indx_at + 2048; at++)
        REQUIRE(b[at] == 0);
    return in_use;
}

OdmlFile ReadOdmlFile(const std::string &path)
{
    OdmlFile f;
    f.bytes = ReadWholeFile(path);
    f.chunks = ParseChunks(f.bytes);
    uint64_t next = 0;
    for (size_t i = 0; i < f.chunks.size(); i++) {
        const AviChunk &c = f.chunks[i];
        if (c.depth != 0)
            continue;
        REQUIRE(c.id == FCC_RIFF);
        CHECK(c.offset == next);   // each RIFF begins where the last one ended
        next = c.offset + 8 + c.size;
        CHECK(c.list_type == (f.riffs.empty() ? FCC_AVI : FCC_AVIX));
        RiffInfo r;
        r.riff = c;
        r.movi.offset = 0;
        for (size_t j = i + 1; j < f.chunks.size() && f.chunks[j].depth > 0; j++) {
            const AviChunk &d = f.chunks[j];
            if (d.depth == 1 && d.id == FCC_LIST && d.list_type == FCC_MOVI)
                r.movi = d;
            if (d.depth != 2 || !r.movi.offset || d.offset > r.movi.offset + 8 + r.movi.size)
                continue;
            if (d.id == FCC_IX00)
                r.ix00.push_back(d);
            else if (d.id == FCC_IX01)
                r.ix01.push_back(d);
            else if (d.offset > r.movi.offset) {
                CHECK_MESSAGE((r.ix00.empty() && r.ix01.empty()), "a data chunk after the indexes");
                r.data.push_back(d);
            }
        }
        REQUIRE(r.movi.offset != 0);
        CHECK((r.movi.offset + 12) % 2048 == 0);
        f.riffs.push_back(r);
    }
    CHECK(next == f.bytes.size());
    return f;
}

// Everything a multi-RIFF file must satisfy; returns the file for more checks.
OdmlFile CheckOdmlFile(const std::string &path, uint32_t frames, uint32_t audio_bytes)
{
    OdmlFile f = ReadOdmlFile(path);
    const std::vector<uint8_t> &b = f.bytes;
    REQUIRE(f.riffs.size() > 1);

    // "idx1" lists the first RIFF's data chunks only, after its indexes.
    auto idx1 = FindChunks(f.chunks, FCC_IDX1);
    REQUIRE(idx1.size() == 1);
    const RiffInfo &first = f.riffs[0];
    CHECK(idx1[0].offset == first.movi.offset + 8 + first.movi.size);
    CHECK(idx1[0].size == 16 * first.data.size());
    for (size_t k = 0; k < first.data.size(); k++)
        CHECK(first.movi.offset + 8 + ReadU32(b, idx1[0].offset + 8 + 16 * k + 8) ==
              first.data[k].offset);

    // Super indexes over the placeholders of each stream list.
    auto strls = FindChunks(f.chunks, FCC_LIST, FCC_STRL);
    REQUIRE(strls.size() >= 1);
    uint64_t video_indx = strls[0].offset + 12 + 64 + 48;   // strh 56+8, strf 40+8
    CheckStreamIndexes(f, video_indx, FCC_IX00, FCC_00DB, 0);
    if (strls.size() > 1)
        CheckStreamIndexes(f, strls[1].offset + 12 + 64 + 26, FCC_IX01, FCC_01WB, 4);

    // The "odml" list in place of its placeholder, and the totals.
    auto odml = FindChunks(f.chunks, FCC_LIST, FCC_ODML);
    REQUIRE(odml.size() == 1);
    CHECK(odml[0].size == 260);
    CHECK(ReadU32(b, odml[0].offset + 12) == FCC_DMLH);
    CHECK(ReadU32(b, odml[0].offset + 16) == 248);
    CHECK(ReadU32(b, odml[0].offset + 20) == frames);
    CHECK(ReadU32(b, 32 + 16) == frames);
    CHECK(ReadU32(b, 108 + 32) == frames);
    if (strls.size() > 1)
        CHECK(ReadU32(b, strls[1].offset + 20 + 32) == audio_bytes / 4);
    return f;
}

} // namespace

TEST_CASE("an export across many RIFFs: every index points at the right chunks")
{
    PluginSession plugin;
    TestClip clip;
    clip.width = 64;
    clip.height = 48;
    clip.frames = 300;
    std::string path = OutPath("many.avi");
    ExportRecord rec = RunExport(clip, path);
    REQUIRE(rec.result == 1);
    CHECK(rec.messages.empty());
    OdmlFile f = CheckOdmlFile(path, 300, (uint32_t)rec.audio_delivered.size());
    CHECK(f.riffs.size() >= 4);
    // The information text only in the first RIFF; "AVIX" fill is zero.
    for (size_t r = 1; r < f.riffs.size(); r++) {
        const AviChunk *junk = ChunkAt(f.chunks, f.riffs[r].riff.offset + 12);
        REQUIRE(junk != NULL);
        CHECK(junk->id == FCC_JUNK);
        for (uint32_t i = 0; i < junk->size; i++)
            REQUIRE(f.bytes[junk->offset + 8 + i] == 0);
    }
    // Frames and audio come back whole and in order across the RIFFs.
    int frame = 0;
    std::vector<uint8_t> audio;
    for (const RiffInfo &r : f.riffs)
        for (const AviChunk &c : r.data) {
            const uint8_t *d = f.bytes.data() + c.offset + 8;
            if (c.id == FCC_00DB) {
                std::vector<uint8_t> expected = TestFrame(clip, frame++, 0);
                REQUIRE(c.size == expected.size());
                CHECK(memcmp(d, expected.data(), c.size) == 0);
            } else {
                audio.insert(audio.end(), d, d + c.size);
            }
        }
    CHECK(frame == 300);
    CHECK(audio == rec.audio_delivered);
}

TEST_CASE("RIFFs that begin with audio, and RIFFs without audio")
{
    PluginSession plugin;
    WriterContext *ctx = PrepareWriterContext(64, 48, 4, 1000, 64);
    std::string path = OutPath("shapes.avi");
    REQUIRE(OpenAviFile(ctx, path.c_str(), OPEN_VIDEO | OPEN_AUDIO) == 1);

    static uint8_t video[100000], audio[6002];
    for (uint32_t i = 0; i < sizeof(video); i++)
        video[i] = (uint8_t)(i * 7);
    // RIFF 1: video only, up to the threshold; the audio chunk that follows
    // finds it full and opens RIFF 2.
    while (output_file.position < AVI_RIFF_THRESHOLD)
        REQUIRE(WriteVideoChunk(video, sizeof(video), AVI_KEYFRAME));
    REQUIRE(WriteAudioChunk(audio, 6002, 6002 / 4));
    CHECK(avi_writer.avix_count == 1);
    // RIFF 2 goes on with delta frames and audio, and ends on video; RIFF 3
    // is video only.
    while (output_file.position + 2 * sizeof(video) < AVI_RIFF_THRESHOLD) {
        REQUIRE(WriteVideoChunk(video, sizeof(video) - 1, 0));
        REQUIRE(WriteAudioChunk(audio, 6000, 1500));
    }
    while (output_file.position < AVI_RIFF_THRESHOLD)
        REQUIRE(WriteVideoChunk(video, sizeof(video) - 1, 0));
    CHECK(avi_writer.avix_count == 1);
    for (int i = 0; i < 3; i++)
        REQUIRE(WriteVideoChunk(video, sizeof(video), AVI_KEYFRAME));
    CHECK(avi_writer.avix_count == 2);
    FinishAviFile(ctx);

    OdmlFile f = ReadOdmlFile(path);
    REQUIRE(f.riffs.size() == 3);
    CHECK(f.riffs[0].ix01.empty());
    CHECK(f.riffs[2].ix01.empty());
    REQUIRE(f.riffs[1].data.size() > 2);
    CHECK(f.riffs[1].data[0].id == FCC_01WB);
    CHECK(f.riffs[1].data[1].id == FCC_00DC);
    // The first video entry of RIFF 2 sits behind the 6002-byte audio chunk.
    REQUIRE(f.riffs[1].ix00.size() == 1);
    CHECK(ReadU32(f.bytes, f.riffs[1].ix00[0].offset + 8 + 24) == 16 + 6002);
    auto strls = FindChunks(f.chunks, FCC_LIST, FCC_STRL);
    uint64_t audio_indx = strls[1].offset + 12 + 64 + 26;
    CHECK(CheckStreamIndexes(f, audio_indx, FCC_IX01, FCC_01WB, 4) == 1);
    CHECK(CheckStreamIndexes(f, strls[0].offset + 12 + 64 + 48, FCC_IX00, FCC_00DB, 0) == 3);
    // The first RIFF holds its data, then "ix00", then "idx1".
    CHECK(f.riffs[0].ix00.size() == 1);
    auto idx1 = FindChunks(f.chunks, FCC_IDX1);
    REQUIRE(idx1.size() == 1);
    CHECK(idx1[0].offset > f.riffs[0].ix00[0].offset);
    CHECK(idx1[0].offset < f.riffs[1].riff.offset);
}

TEST_CASE("the export stops cleanly before a stream's super index would overflow")
{
    PluginSession plugin;
    TestClip clip;
    clip.width = 512;
    clip.height = 342;   // 525,312 bytes a frame: two frames to a RIFF
    clip.frames = 400;
    clip.sample_rate = 0;
    std::string path = OutPath("limit.avi");
    ExportRecord rec = RunExport(clip, path);
    CHECK(rec.result == 1);
    REQUIRE(rec.messages.size() == 1);
    CHECK(rec.messages[0] == TEXT_WRITE_FAILED);
    CHECK(rec.video_fetches < 400);
    OdmlFile f = ReadOdmlFile(path);
    CHECK(f.riffs.size() == AVI_SUPER_INDEX_SLOTS);
    auto strls = FindChunks(f.chunks, FCC_LIST, FCC_STRL);
    CHECK(CheckStreamIndexes(f, strls[0].offset + 12 + 64 + 48, FCC_IX00, FCC_00DB, 0) ==
          AVI_SUPER_INDEX_SLOTS);
    // What follows the placeholder is untouched: the OpenDML list.
    CHECK(FindChunks(f.chunks, FCC_LIST, FCC_ODML).size() == 1);
    DeleteFileA(path.c_str());
}

// avifil32 reads AVI 1.0: through "idx1" it sees the first RIFF, which is
// what a legacy reader of an OpenDML file is meant to play.
TEST_CASE("avifil32 reads the first RIFF of a multi-RIFF export frame by frame")
{
    PluginSession plugin;
    TestClip clip;
    clip.frames = 200;
    std::string path = OutPath("avifil.avi");
    ExportRecord rec = RunExport(clip, path);
    REQUIRE(rec.result == 1);
    OdmlFile f = ReadOdmlFile(path);
    REQUIRE(f.riffs.size() > 2);
    int first_riff_frames = 0;
    for (const AviChunk &c : f.riffs[0].data)
        first_riff_frames += c.id == FCC_00DB;
    REQUIRE(first_riff_frames > 10);

    AVIFileInit();
    PAVIFILE file = NULL;
    REQUIRE(AVIFileOpenA(&file, path.c_str(), OF_READ | OF_SHARE_DENY_WRITE, NULL) == 0);
    PAVISTREAM video = NULL;
    REQUIRE(AVIFileGetStream(file, &video, streamtypeVIDEO, 0) == 0);
    std::vector<uint8_t> frame(TestFrame(clip, 0, 0).size());
    for (int i = 0; i < first_riff_frames; i++) {
        LONG bytes = 0, samples = 0;
        REQUIRE(AVIStreamRead(video, i, 1, frame.data(), (LONG)frame.size(), &bytes, &samples) == 0);
        REQUIRE_MESSAGE(frame == TestFrame(clip, i, 0), "frame ", i);
    }
    AVIStreamRelease(video);
    AVIFileRelease(file);
    AVIFileExit();
}
