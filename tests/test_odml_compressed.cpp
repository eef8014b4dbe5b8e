// A compressed export that spans several RIFFs (1 MiB threshold): delta
// frames are "00dc" chunks and carry bit 31 in the standard indexes.
#include <doctest/doctest.h>

#include <windows.h>
#include <vfw.h>

#include <string>
#include <vector>

#include "avi/avi_layout.h"
#include "plugin/plugin.h"
#include "tests/support/avi_reader.h"
#include "tests/support/export_host.h"
#include "tests/support/fake_codec.h"
#include "tests/support/test_files.h"

static_assert(AVI_RIFF_THRESHOLD == 0x100000, "this test needs the small threshold");

TEST_CASE("delta frames across AVIX RIFFs: 00dc chunks, bit 31 in ix00")
{
    char folder[MAX_PATH];
    REQUIRE(MakeTempFolder(folder));
    FakeCodecSpec c;
    c.fcc = Fourcc("Big1");
    c.vidcf = VIDCF_TEMPORAL | VIDCF_FASTTEMPORALC;
    c.default_key_rate = 5;
    c.sizes = {60000, 50001};
    FakeCodecsInstall({c});
    {
        PluginSession plugin;
        writer_context.video.fccHandler = c.fcc;
        writer_context.video.keyRate = 5;
        TestClip clip;
        clip.frames = 50;
        clip.sample_rate = 0;
        std::string path = std::string(folder) + "multi.avi";
        ExportRecord rec = RunExport(clip, path);
        REQUIRE(rec.result == 1);
        CHECK(rec.messages.empty());

        std::vector<uint8_t> file = ReadWholeFile(path);
        std::vector<AviChunk> chunks = ParseChunks(file);
        CHECK(FindChunks(chunks, FCC_RIFF, FCC_AVIX).size() >= 2);
        std::vector<AviChunk> ix = FindChunks(chunks, FCC_IX00);
        REQUIRE(ix.size() >= 3);
        int frame = 0;
        for (const AviChunk &x : ix) {
            uint32_t entries = ReadU32(file, x.offset + 12);
            uint64_t base = ReadU32(file, x.offset + 20) | (uint64_t)ReadU32(file, x.offset + 24) << 32;
            for (uint32_t e = 0; e < entries; e++, frame++) {
                INFO("frame ", frame);
                uint32_t offset = ReadU32(file, x.offset + 32 + 8 * e);
                uint32_t size = ReadU32(file, x.offset + 36 + 8 * e);
                bool key = frame % 5 == 0;
                CHECK((size >> 31) == (key ? 0u : 1u));
                CHECK((size & 0x7FFFFFFF) == (frame == 0 ? 60000u : 50001u));
                // The entry points at the chunk's data; its header names the kind.
                uint64_t at = base + offset - 8;
                CHECK(FourccText(ReadU32(file, at)) == (key ? "00db" : "00dc"));
                CHECK(ReadU32(file, at + 4) == (size & 0x7FFFFFFF));
            }
        }
        CHECK(frame == 50);
    }
    FakeCodecsRemove();
    RemoveTempFolder(folder);
}
