// Single-RIFF exports through the export entry, read back chunk by chunk.
#include <doctest/doctest.h>

#include <windows.h>

#include <string.h>

#include "avi/avi_writer.h"
#include "fileio/write_behind_file.h"
#include "pipeline/job_ring.h"
#include "plugin/context.h"
#include "plugin/plugin.h"
#include "plugin/texts.h"
#include "support/avi_reader.h"
#include "support/export_host.h"

namespace {

std::string OutPath(const char *name)
{
    return TestFolder("avi_writer") + "\\" + name;
}

bool FileExists(const std::string &path)
{
    return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

// Chunk data of every "movi" chunk with this id, in file order.
std::vector<std::vector<uint8_t>> ChunkData(const std::vector<uint8_t> &file,
                                            const std::vector<AviChunk> &chunks, uint32_t id)
{
    std::vector<std::vector<uint8_t>> out;
    for (const AviChunk &c : chunks)
        if (c.id == id && c.depth == 2)
            out.emplace_back(file.begin() + c.offset + 8, file.begin() + c.offset + 8 + c.size);
    return out;
}

// Checks what any complete single-RIFF file must satisfy and returns its chunks.
std::vector<AviChunk> CheckWholeFile(const std::vector<uint8_t> &file)
{
    std::vector<AviChunk> chunks = ParseChunks(file);
    REQUIRE(chunks.size() > 3);
    CHECK(chunks[0].id == FCC_RIFF);
    CHECK(chunks[0].list_type == FCC_AVI);
    CHECK(chunks[0].size == file.size() - 8);
    auto movi = FindChunks(chunks, FCC_LIST, FCC_MOVI);
    REQUIRE(movi.size() == 1);
    CHECK((movi[0].offset + 12) % 2048 == 0);
    auto idx1 = FindChunks(chunks, FCC_IDX1);
    REQUIRE(idx1.size() == 1);
    CHECK(idx1[0].offset == movi[0].offset + 8 + movi[0].size);
    CHECK(FindChunks(chunks, FCC_IX00).empty());
    CHECK(FindChunks(chunks, FCC_IX01).empty());
    CHECK(FindChunks(chunks, FCC_INDX).empty());

    // Every idx1 record names the chunk at its offset from the "movi" type.
    uint64_t movi_type = movi[0].offset + 8;
    uint32_t records = idx1[0].size / 16;
    std::vector<AviChunk> data_chunks;
    for (const AviChunk &c : chunks)
        if (c.depth == 2 && c.offset > movi[0].offset && c.offset < idx1[0].offset)
            data_chunks.push_back(c);
    REQUIRE(data_chunks.size() == records);
    for (uint32_t r = 0; r < records; r++) {
        uint64_t rec = idx1[0].offset + 8 + 16 * (uint64_t)r;
        uint32_t id = ReadU32(file, rec);
        CHECK(id == data_chunks[r].id);
        CHECK(ReadU32(file, rec + 4) == (id == FCC_00DC ? 0u : 0x10u));
        CHECK(movi_type + ReadU32(file, rec + 8) == data_chunks[r].offset);
        CHECK(ReadU32(file, rec + 12) == data_chunks[r].size);
    }
    return chunks;
}

} // namespace

TEST_CASE("RGB with PCM: the layout, every frame and every sample")
{
    PluginSession plugin;
    TestClip clip;
    clip.width = 320;
    clip.height = 240;
    clip.frames = 12;
    clip.rate = 30000;
    clip.scale = 1001;
    clip.sample_rate = 48000;
    std::string path = OutPath("rgb_pcm.avi");
    ExportRecord rec = RunExport(clip, path);
    REQUIRE(rec.result == 1);
    CHECK(rec.messages.empty());
    std::vector<uint8_t> file = ReadWholeFile(path);
    std::vector<AviChunk> chunks = CheckWholeFile(file);

    // The fixed offsets of the header for a 40-byte video and 18-byte audio format.
    struct Expected { uint64_t offset; uint32_t id; uint32_t size_or_type; };
    const Expected layout[] = {
        {12, FCC_LIST, FCC_HDRL}, {24, FCC_AVIH, 56}, {88, FCC_LIST, FCC_STRL},
        {100, FCC_STRH, 56}, {164, FCC_STRF, 40}, {212, FCC_JUNK, 2040},
        {2260, FCC_LIST, FCC_STRL}, {2272, FCC_STRH, 56}, {2336, FCC_STRF, 18},
        {2362, FCC_JUNK, 2040}, {4410, FCC_JUNK, 260}, {4678, FCC_JUNK, 1446},
        {6132, FCC_LIST, FCC_MOVI},
    };
    for (const Expected &e : layout) {
        bool found = false;
        for (const AviChunk &c : chunks)
            if (c.offset == e.offset) {
                found = true;
                CHECK(FourccText(c.id) == FourccText(e.id));
                CHECK((c.list_type ? c.list_type : c.size) == e.size_or_type);
            }
        CHECK_MESSAGE(found, "no chunk at ", e.offset);
    }
    CHECK(ReadU32(file, 16) == 4658);
    CHECK(chunks[chunks.size() - 1].id == FCC_IDX1);
    const char text[] = "This file was made by Velnik 0.01.";
    CHECK(memcmp(file.data() + 4686, text, sizeof(text) - 1) == 0);
    for (uint32_t i = 4686 + sizeof(text) - 1; i < 6132; i++)
        REQUIRE(file[i] == 0);
    // The three placeholders stay zero-filled "JUNK" in a single-RIFF file.
    for (uint64_t at : {212u + 8, 2362u + 8})
        for (uint32_t i = 0; i < 2040; i++)
            REQUIRE(file[at + i] == 0);

    // Headers rewritten at finish.
    CHECK(ReadU32(file, 32) == 33366);       // dwMicroSecPerFrame
    CHECK(ReadU32(file, 32 + 12) == 0x810);  // flags
    CHECK(ReadU32(file, 32 + 16) == 12);     // total frames
    CHECK(ReadU32(file, 32 + 24) == 2);      // streams
    CHECK(ReadU32(file, 32 + 32) == 320);
    CHECK(ReadU32(file, 32 + 36) == 240);
    uint64_t vh = 108;
    CHECK(FourccText(ReadU32(file, vh)) == "vids");
    CHECK(ReadU32(file, vh + 4) == 0);
    CHECK(ReadU32(file, vh + 20) == 1001);
    CHECK(ReadU32(file, vh + 24) == 30000);
    CHECK(ReadU32(file, vh + 32) == 12);
    CHECK(ReadU32(file, vh + 36) == 320 * 240 * 3);
    CHECK(ReadU16(file, vh + 52) == 320);
    CHECK(ReadU16(file, vh + 54) == 240);
    uint64_t ah = 2280;
    CHECK(FourccText(ReadU32(file, ah)) == "auds");
    CHECK(ReadU32(file, ah + 4) == 1);
    CHECK(ReadU32(file, ah + 20) == 4);
    CHECK(ReadU32(file, ah + 24) == 192000);
    CHECK(ReadU32(file, ah + 32) == rec.audio_delivered.size() / 4);
    CHECK(ReadU32(file, ah + 44) == 4);

    // Frames, each an "00db" key frame in order, and the audio as delivered.
    auto frames = ChunkData(file, chunks, FCC_00DB);
    REQUIRE(frames.size() == 12);
    for (int i = 0; i < 12; i++)
        CHECK(frames[i] == TestFrame(clip, i, 0));
    CHECK(ChunkData(file, chunks, FCC_00DC).empty());
    std::vector<uint8_t> audio;
    for (auto &block : ChunkData(file, chunks, FCC_01WB))
        audio.insert(audio.end(), block.begin(), block.end());
    CHECK(audio == rec.audio_delivered);

    // The sample grid of 30000/1001 at 48 kHz.
    REQUIRE(rec.audio_asked.size() == 12);
    const int32_t firsts[] = {0, 1601, 3203, 4804, 6406, 8008};
    for (int i = 0; i < 5; i++) {
        CHECK(rec.audio_asked[i].first == firsts[i]);
        CHECK(rec.audio_asked[i].second == firsts[i + 1] - firsts[i]);
    }
}

TEST_CASE("chunks interleave one frame with its audio")
{
    PluginSession plugin;
    TestClip clip;
    clip.width = 321;
    clip.height = 241;
    clip.frames = 7;
    clip.rate = 25;
    clip.sample_rate = 44100;
    std::string path = OutPath("interleave.avi");
    ExportRecord rec = RunExport(clip, path);
    REQUIRE(rec.result == 1);
    std::vector<uint8_t> file = ReadWholeFile(path);
    std::vector<AviChunk> chunks = CheckWholeFile(file);
    std::string order;
    for (const AviChunk &c : chunks)
        if (c.depth == 2 && (c.id == FCC_00DB || c.id == FCC_01WB)) {
            order += c.id == FCC_00DB ? 'v' : 'a';
            if (c.id == FCC_00DB)
                CHECK(c.size == 964u * 241);   // rows of 321 pixels padded to 964 bytes
            else
                CHECK(c.size == 1764u * 4);
        }
    CHECK(order == "vavavavavavava");
}

TEST_CASE("YUY2 output when the built-in YUY2 entry is chosen")
{
    PluginSession plugin;
    writer_context.video.fccHandler = AVI_FCC('Y', 'U', 'Y', '2');
    TestClip clip;
    clip.width = 322;
    clip.height = 10;
    clip.frames = 3;
    clip.sample_rate = 0;
    std::string path = OutPath("yuy2.avi");
    ExportRecord rec = RunExport(clip, path);
    REQUIRE(rec.result == 1);
    for (uint32_t f : rec.formats_asked)
        CHECK(f == AVI_FCC('Y', 'U', 'Y', '2'));
    std::vector<uint8_t> file = ReadWholeFile(path);
    std::vector<AviChunk> chunks = CheckWholeFile(file);
    CHECK(ReadU32(file, 32 + 24) == 1);                       // one stream
    CHECK(FourccText(ReadU32(file, 108 + 4)) == "YUY2");      // strh handler
    CHECK(ReadU16(file, 172 + 14) == 16);                     // strf bit count
    CHECK(FourccText(ReadU32(file, 172 + 16)) == "YUY2");
    auto frames = ChunkData(file, chunks, FCC_00DB);
    REQUIRE(frames.size() == 3);
    CHECK(frames[0].size() == 644u * 10);
    CHECK(frames[2] == TestFrame(clip, 2, AVI_FCC('Y', 'U', 'Y', '2')));
}

TEST_CASE("exports without a chunk are still complete files")
{
    PluginSession plugin;
    for (int abort : {0, 1}) {
        TestClip clip;
        clip.frames = abort ? 5 : 0;
        clip.abort_at = abort ? 0 : -1;
        std::string path = OutPath(abort ? "aborted.avi" : "empty.avi");
        ExportRecord rec = RunExport(clip, path);
        CHECK(rec.result == 1);
        CHECK(rec.video_fetches == 0);
        CHECK(rec.messages.empty());
        std::vector<uint8_t> file = ReadWholeFile(path);
        std::vector<AviChunk> chunks = CheckWholeFile(file);
        auto idx1 = FindChunks(chunks, FCC_IDX1);
        CHECK(idx1[0].size == 0);
        CHECK(FindChunks(chunks, FCC_LIST, FCC_MOVI)[0].size == 4);
        CHECK(ReadU32(file, 32 + 16) == 0);
    }
}

TEST_CASE("the host's descriptions that cannot be exported are refused before any file")
{
    PluginSession plugin;
    struct Case { const char *name; TestClip clip; } cases[8];
    cases[0].name = "no_video.avi";
    cases[0].clip.flags = OUTPUT_HAS_AUDIO;
    cases[1].name = "rate0.avi";
    cases[1].clip.rate = 0;
    cases[2].name = "scale0.avi";
    cases[2].clip.scale = -1;
    cases[3].name = "no_rate_audio.avi";
    cases[3].clip.sample_rate = -5;
    cases[3].clip.flags = OUTPUT_HAS_VIDEO | OUTPUT_HAS_AUDIO;
    cases[4].name = "huge.avi";
    cases[4].clip.width = 100000;
    cases[4].clip.height = 100000;
    cases[5].name = "width0.avi";
    cases[5].clip.width = 0;
    cases[6].name = "height_negative.avi";
    cases[6].clip.height = -48;
    cases[7].name = "no_channels.avi";
    cases[7].clip.channels = 0;
    for (Case &c : cases) {
        std::string path = OutPath(c.name);
        DeleteFileA(path.c_str());
        ExportRecord rec = RunExport(c.clip, path);
        CHECK_MESSAGE(rec.result == 0, c.name);
        CHECK(rec.video_fetches == 0);
        CHECK_MESSAGE(!FileExists(path), c.name);
        // Without video the host asked for nothing this plug-in does; every
        // other refusal tells the user that no file was made.
        if (&c == &cases[0]) {
            CHECK(rec.messages.empty());
        } else {
            REQUIRE_MESSAGE(rec.messages.size() == 1, c.name);
            CHECK(rec.messages[0] == TEXT_CREATE_FAILED);
        }
    }
}

TEST_CASE("an unwritable path: the creation message and result 0")
{
    PluginSession plugin;
    TestClip clip;
    ExportRecord rec = RunExport(clip, OutPath("no_such_folder\\x.avi"));
    CHECK(rec.result == 0);
    REQUIRE(rec.messages.size() == 1);
    CHECK(rec.messages[0] == TEXT_CREATE_FAILED);
    CHECK(rec.video_fetches == 0);
}

TEST_CASE("null data from the host is a failed write, and the file is still finished")
{
    PluginSession plugin;
    for (int audio : {0, 1}) {
        TestClip clip;
        clip.frames = 8;
        if (audio)
            clip.null_audio_at = 3;
        else
            clip.null_video_at = 3;
        std::string path = OutPath(audio ? "null_audio.avi" : "null_video.avi");
        ExportRecord rec = RunExport(clip, path);
        CHECK(rec.result == 1);
        REQUIRE(rec.messages.size() == 1);
        CHECK(rec.messages[0] == TEXT_WRITE_FAILED);
        CHECK(rec.video_fetches == 4);
        std::vector<uint8_t> file = ReadWholeFile(path);
        std::vector<AviChunk> chunks = CheckWholeFile(file);
        CHECK(ChunkData(file, chunks, FCC_00DB).size() == (audio ? 4u : 3u));
    }
}

TEST_CASE("short audio from the host: only what was delivered is written")
{
    PluginSession plugin;
    for (int limit : {0, 100}) {
        TestClip clip;
        clip.frames = 6;
        clip.audio_limit = limit;
        std::string path = OutPath(limit ? "short_audio.avi" : "no_audio_delivered.avi");
        ExportRecord rec = RunExport(clip, path);
        REQUIRE(rec.result == 1);
        CHECK(rec.audio_asked.size() == 6);
        std::vector<uint8_t> file = ReadWholeFile(path);
        std::vector<AviChunk> chunks = CheckWholeFile(file);
        auto blocks = ChunkData(file, chunks, FCC_01WB);
        CHECK(blocks.size() == (limit ? 6u : 0u));
        CHECK(ReadU32(file, 2280 + 32) == (uint32_t)(limit * 6));   // audio dwLength
        CHECK(rec.audio_delivered.size() == (size_t)limit * 6 * 4);
    }
}

namespace {
std::vector<uint32_t> audio_job_lengths;
int RecordAudioJobs(uint32_t code, WriterContext *, uint32_t length)
{
    if (code == JOB_AUDIO_DATA)
        audio_job_lengths.push_back(length);
    return -1;
}
} // namespace

TEST_CASE("a frame that owns no samples sends no end of audio, whatever the host claims")
{
    PluginSession plugin;
    TestClip clip;
    clip.frames = 12;
    clip.sample_rate = 10;   // below the frame rate: frames 0, 1, 3, ... own no samples
    clip.claim_for_none = 500;
    audio_job_lengths.clear();
    RingSetJobHook(RecordAudioJobs);
    ExportRecord rec = RunExport(clip, OutPath("claims_for_none.avi"));
    RingSetJobHook(NULL);
    REQUIRE(rec.result == 1);
    CHECK(rec.messages.empty());
    int owning = 0;
    for (auto &asked : rec.audio_asked)
        owning += asked.second > 0;
    REQUIRE(owning > 0);
    REQUIRE(owning < 12);
    // One block per frame that owns samples, then the one end of audio.
    REQUIRE(audio_job_lengths.size() == (size_t)owning + 1);
    for (int i = 0; i < owning; i++)
        CHECK(audio_job_lengths[i] == 4u);
    CHECK(audio_job_lengths.back() == 0u);
    std::vector<uint8_t> file = ReadWholeFile(OutPath("claims_for_none.avi"));
    std::vector<AviChunk> chunks = CheckWholeFile(file);
    std::vector<uint8_t> written;
    for (auto &b : ChunkData(file, chunks, FCC_01WB))
        written.insert(written.end(), b.begin(), b.end());
    CHECK(written == rec.audio_delivered);
}

TEST_CASE("writer limits: oversized chunks, block align 0, a full entry array")
{
    PluginSession plugin;
    // Block align 0: a stored format that would divide by zero.
    WriterContext *ctx = PrepareWriterContext(8, 8, 0, 0, 0);
    std::string path = OutPath("limits.avi");
    REQUIRE(OpenAviFile(ctx, path.c_str(), OPEN_VIDEO | OPEN_AUDIO) == 1);

    static uint8_t bytes[300];
    CHECK(WriteVideoChunk(bytes, AVI_MAX_CHUNK, AVI_KEYFRAME) == 0);
    CHECK(WriteAudioChunk(bytes, AVI_MAX_CHUNK + 5, 1) == 0);
    CHECK(avi_writer.entry_count == 0);
    CHECK(WriteAudio(ctx, bytes, 300) == 1);
    CHECK(avi_writer.audio_blocks_in_riff == 300);
    // The array holds as many entries as it has room for, and no more.
    uint32_t room = output_file.entries_bytes / 4;
    while (avi_writer.entry_count < room)
        REQUIRE(WriteVideoFrame(ctx, bytes, NULL) == 1);
    CHECK(WriteVideoFrame(ctx, bytes, NULL) == 0);
    CHECK(avi_writer.entry_count == room);
    FinishAviFile(ctx);
    CHECK(ctx->state_flags == 0);
    std::vector<uint8_t> file = ReadWholeFile(path);
    CheckWholeFile(file);
}
