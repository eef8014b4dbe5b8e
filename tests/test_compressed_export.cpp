// Whole exports through the output entry with a recording compressor: the
// stream header and format, key and delta chunks, the thread that drives the
// compressor, and the failures the user is told about.
#include <doctest/doctest.h>

#include <windows.h>
#include <vfw.h>

#include <string.h>

#include <string>
#include <vector>

#include "avi/avi_layout.h"
#include "pipeline/job_ring.h"
#include "plugin/plugin.h"
#include "plugin/texts.h"
#include "tests/support/avi_reader.h"
#include "tests/support/export_host.h"
#include "tests/support/fake_codec.h"
#include "tests/support/test_files.h"
#include "video/codec_catalogue.h"

namespace {

// Files of the fake compressors are not for other readers: a folder of
// their own, removed afterwards.
struct Scratch {
    char folder[MAX_PATH];
    Scratch() { REQUIRE(MakeTempFolder(folder)); }
    ~Scratch()
    {
        HostPathsReset(NULL);
        RemoveTempFolder(folder);
    }
    std::string Path(const char *name) const { return std::string(folder) + name; }
};

FakeCodecSpec Recorder(const char *fcc)
{
    FakeCodecSpec s;
    s.fcc = Fourcc(fcc);
    s.vidcf = VIDCF_TEMPORAL | VIDCF_QUALITY;
    s.default_key_rate = 3;
    s.default_quality = 5000;
    s.format_size = 44;
    s.sizes = {900, 301, 402, 503};
    return s;
}

struct IndexRow {
    uint32_t id, flags, offset, size;
};

std::vector<IndexRow> Idx1(const std::vector<uint8_t> &file, const std::vector<AviChunk> &chunks)
{
    std::vector<IndexRow> out;
    std::vector<AviChunk> idx = FindChunks(chunks, FCC_IDX1);
    if (idx.size() != 1)
        return out;
    for (uint32_t at = 0; at + 16 <= idx[0].size; at += 16) {
        uint64_t p = idx[0].offset + 8 + at;
        out.push_back({ReadU32(file, p), ReadU32(file, p + 4), ReadU32(file, p + 8),
                       ReadU32(file, p + 12)});
    }
    return out;
}

std::vector<AviChunk> VideoChunks(const std::vector<AviChunk> &chunks)
{
    std::vector<AviChunk> out;
    for (const AviChunk &c : chunks)
        if (c.id == FCC_00DB || c.id == FCC_00DC)
            out.push_back(c);
    return out;
}

void UseCodec(uint32_t fcc, int32_t quality, int32_t key_rate)
{
    writer_context.video.fccHandler = fcc;
    writer_context.video.quality = quality;
    writer_context.video.keyRate = key_rate;
    writer_context.video.dataRate = 0;
}

}  // namespace

TEST_CASE("a compressed export: stream format, key and delta chunks, the worker's thread")
{
    Scratch scratch;
    FakeCodecsInstall({Recorder("RecA")});
    PluginSession plugin;
    UseCodec(Fourcc("RecA"), 4321, 3);
    FakeCallsClear();
    TestClip clip;
    clip.frames = 8;
    clip.sample_rate = 0;
    std::string path = scratch.Path("compressed.avi");
    ExportRecord rec = RunExport(clip, path);
    REQUIRE(rec.result == 1);
    CHECK(rec.messages.empty());
    for (uint32_t format : rec.formats_asked)
        CHECK(format == 0);

    std::vector<uint8_t> file = ReadWholeFile(path);
    std::vector<AviChunk> chunks = ParseChunks(file);
    std::vector<AviChunk> strh = FindChunks(chunks, FCC_STRH);
    REQUIRE(strh.size() == 1);
    CHECK(ReadU32(file, strh[0].offset + 8 + 4) == Fourcc("RecA"));   // fccHandler
    CHECK(ReadU32(file, strh[0].offset + 8 + 40) == 4321);            // dwQuality
    CHECK(ReadU32(file, strh[0].offset + 8 + 36) == 900);             // largest chunk
    std::vector<AviChunk> strf = FindChunks(chunks, FCC_STRF);
    REQUIRE(strf.size() == 1);
    REQUIRE(strf[0].size == 44);
    // As the compressor gave it; only the size field has changed with every frame since.
    CHECK(memcmp(&file[strf[0].offset + 8], writer_context.video.bihOut, 20) == 0);
    CHECK(memcmp(&file[strf[0].offset + 8 + 24], writer_context.video.bihOut + 24, 20) == 0);
    CHECK(ReadU32(file, strf[0].offset + 8 + 20) == 64u * 3 * 48);
    CHECK(ReadU32(file, strf[0].offset + 8 + 16) == Fourcc("RecA"));  // biCompression

    std::vector<AviChunk> video = VideoChunks(chunks);
    std::vector<IndexRow> idx1 = Idx1(file, chunks);
    REQUIRE(video.size() == 8);
    REQUIRE(idx1.size() == 8);
    const uint32_t sizes[] = {900, 301, 402, 503, 503, 503, 503, 503};
    for (int i = 0; i < 8; i++) {
        INFO("frame ", i);
        bool key = i % 3 == 0;
        CHECK(FourccText(video[i].id) == (key ? "00db" : "00dc"));
        CHECK(video[i].size == sizes[i]);
        CHECK(idx1[i].id == video[i].id);
        CHECK(idx1[i].flags == (key ? (uint32_t)AVIIF_KEYFRAME : 0u));
        CHECK(idx1[i].size == sizes[i]);
        // The compressor's own bytes, as the fake wrote them.
        CHECK(file[video[i].offset + 8] == (uint8_t)(i * 7));
        CHECK(file[video[i].offset + 8 + 100] == (uint8_t)(i * 7 + 100));
    }

    // Begin, frames and end ran on one thread, the compression worker.
    std::vector<FakeCall> run;
    for (const FakeCall &c : FakeCalls())
        if (c.msg != ICM_GETINFO)
            run.push_back(c);
    REQUIRE(!run.empty());
    CHECK(run.front().msg == DRV_LOAD);
    CHECK(FakeCallsOf(ICM_COMPRESS_BEGIN).size() == 1);
    CHECK(FakeCallsOf(ICM_COMPRESS).size() == 8);
    CHECK(FakeCallsOf(ICM_DECOMPRESS).size() == 8);
    CHECK(FakeCallsOf(ICM_COMPRESS_END).size() == 1);
    CHECK(FakeCallsOf(ICM_DECOMPRESS_END).size() == 1);
    for (const FakeCall &c : run) {
        INFO("message ", c.msg);
        CHECK(c.thread == run.front().thread);
        CHECK(c.thread != GetCurrentThreadId());
    }
    // The handle stays open after the export, for the next one.
    int index = CodecFind(Fourcc("RecA"));
    CHECK(codec_catalogue.entries[index].hic != nullptr);
    CHECK((codec_catalogue.entries[index].flags & CF_KEEP_OPEN) != 0);
    FakeCodecsRemove();
}

TEST_CASE("without the compression worker the host's thread drives the compressor")
{
    Scratch scratch;
    FakeCodecsInstall({Recorder("RecA")});
    PluginSession plugin;
    UseCodec(Fourcc("RecA"), 0, 2);
    FakeCallsClear();
    RingFailNextStart();
    TestClip clip;
    clip.frames = 5;
    clip.sample_rate = 0;
    ExportRecord rec = RunExport(clip, scratch.Path("direct.avi"));
    REQUIRE(rec.result == 1);
    CHECK(rec.messages.empty());
    CHECK(FakeCallsOf(ICM_COMPRESS).size() == 5);
    CHECK(FakeCallsOf(ICM_COMPRESS_END).size() == 1);
    for (const FakeCall &c : FakeCalls())
        CHECK(c.thread == GetCurrentThreadId());
    std::vector<AviChunk> chunks = ParseChunks(ReadWholeFile(scratch.Path("direct.avi")));
    std::string kinds;
    for (const AviChunk &c : VideoChunks(chunks))
        kinds += c.id == FCC_00DB ? 'k' : 'd';
    CHECK(kinds == "kdkdk");
    FakeCodecsRemove();
}

TEST_CASE("a YUY2-only compressor is fed YUY2, unless its ini option says no")
{
    Scratch scratch;
    FakeCodecSpec y = Recorder("OnlY");
    y.rgb = false;
    y.yuy2 = true;
    TestClip clip;
    clip.frames = 3;
    clip.sample_rate = 0;

    SUBCASE("default option: YUY2 frames")
    {
        FakeCodecsInstall({y});
        PluginSession plugin;
        UseCodec(Fourcc("OnlY"), 0, 0);
        ExportRecord rec = RunExport(clip, scratch.Path("yuy2.avi"));
        REQUIRE(rec.result == 1);
        CHECK(rec.messages.empty());
        for (uint32_t format : rec.formats_asked)
            CHECK(format == Fourcc("YUY2"));
        std::vector<FakeCall> compress = FakeCallsOf(ICM_COMPRESS);
        REQUIRE(compress.size() == 3);
        BITMAPINFOHEADER in;
        memcpy(&in, compress[0].extra.data(), sizeof(in));
        CHECK(in.biCompression == Fourcc("YUY2"));
        CHECK(in.biBitCount == 16);
        CHECK(in.biSizeImage == 64u * 2 * 48);
    }
    SUBCASE("option 5: RGB frames, which it refuses")
    {
        const char text[] = "[codec]\r\nOnlY=5\r\n";
        REQUIRE(WriteWholeFile(scratch.Path("orvane.ini").c_str(), text, sizeof(text) - 1));
        std::string host = scratch.Path("orvane.exe");   // kept by reference
        HostPathsReset(host.c_str());
        FakeCodecsInstall({y});
        PluginSession plugin;
        UseCodec(Fourcc("OnlY"), 0, 0);
        ExportRecord rec = RunExport(clip, scratch.Path("refused.avi"));
        CHECK(rec.result == 0);
        CHECK(rec.messages == std::vector<std::string>({TEXT_VIDEO_INIT_FAILED}));
        CHECK(rec.video_fetches == 0);
        CHECK(FakeCallsOf(ICM_COMPRESS_BEGIN).empty());
        CHECK(FakeCallsOf(ICM_COMPRESS).empty());
    }
    FakeCodecsRemove();
}

TEST_CASE("a compressor that refuses a frame mid-export: write failure, file finished")
{
    Scratch scratch;
    FakeCodecSpec c = Recorder("Refu");
    c.refuse_frame = 5;
    FakeCodecsInstall({c});
    PluginSession plugin;
    UseCodec(Fourcc("Refu"), 0, 4);
    TestClip clip;
    clip.frames = 12;
    clip.sample_rate = 22050;
    clip.channels = 1;
    std::string path = scratch.Path("refused_frame.avi");
    ExportRecord rec = RunExport(clip, path);
    CHECK(rec.result == 1);
    CHECK(rec.messages == std::vector<std::string>({TEXT_WRITE_FAILED}));
    // The run was still ended, once.
    CHECK(FakeCallsOf(ICM_COMPRESS_END).size() == 1);
    CHECK(FakeCallsOf(ICM_DECOMPRESS_END).size() == 1);

    std::vector<uint8_t> file = ReadWholeFile(path);
    std::vector<AviChunk> chunks = ParseChunks(file);
    REQUIRE(!chunks.empty());
    CHECK(chunks[0].size + 8 == file.size());
    std::vector<AviChunk> video = VideoChunks(chunks);
    REQUIRE(video.size() == 5);
    CHECK(ReadU32(file, 48) == 5);   // avih total frames
    std::vector<IndexRow> idx1 = Idx1(file, chunks);
    int indexed_video = 0;
    for (const IndexRow &e : idx1)
        indexed_video += e.id == FCC_00DB || e.id == FCC_00DC;
    CHECK(indexed_video == 5);
    CHECK(FourccText(video[4].id) == "00db");   // frame 4 was a forced key frame
    FakeCodecsRemove();
}
