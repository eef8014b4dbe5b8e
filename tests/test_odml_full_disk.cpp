// A disk that fills up around and inside "AVIX" RIFFs (1 MiB split
// threshold): the RIFFs before stay whole, the last keeps the chunks that
// reached the disk, and a continuation left without any is dropped.
#include <doctest/doctest.h>

#include <stdio.h>

#include <string>

#include "avi/avi_layout.h"
#include "plugin/texts.h"
#include "support/export_host.h"
#include "support/full_disk.h"

static_assert(AVI_RIFF_THRESHOLD == 0x100000, "these tests need the small threshold");

TEST_CASE("a failure inside a continuation RIFF leaves a complete multi-RIFF file")
{
    if (NoSmallDisk())
        return;
    // Where the RIFFs of this clip begin when nothing fails.
    FullDiskResult whole = ExportOntoFullDisk("multi-whole.avi", 0, 160, 120, 60, 4096);
    REQUIRE(whole.riffs >= 3);
    const uint64_t second = whole.riff_offsets[1], third = whole.riff_offsets[2];
    struct Point { const char *where; uint64_t room; size_t riffs; } points[] = {
        {"in the header of the second RIFF", second + 12, 1},
        {"in the first chunk of the second RIFF", second + 4096, 1},
        {"in the middle of the second RIFF", second + (300 << 10), 2},
        {"in the middle of the third RIFF", third + (500 << 10), 3},
    };
    for (int32_t unit : {4096, 64, 0})
        for (const Point &p : points) {
            char name[64];
            // The disk's pages decide the room: a whole number of them.
            uint64_t room = (p.room + 4095) / 4096 * 4096;
            snprintf(name, sizeof(name), "multi-%d-%u.avi", (int)unit, (unsigned)room);
            CAPTURE(name);
            std::string where = p.where;
            CAPTURE(where);
            FullDiskResult r = ExportOntoFullDisk(name, room, 160, 120, 100, unit);
            CHECK(r.refused);
            CHECK(r.frames > 0);
            CHECK(r.riffs == p.riffs);
        }
}

TEST_CASE("a disk that fills while a split writes the first RIFF's indexes")
{
    if (NoSmallDisk())
        return;
    // At this frame size a page boundary falls among the first RIFF's
    // indexes, which the split writes behind its "movi".
    FullDiskResult whole = ExportOntoFullDisk("split-whole.avi", 0, 165, 120, 40, 4096);
    REQUIRE(whole.riffs >= 2);
    uint64_t room = whole.riff_offsets[1] / 4096 * 4096;
    REQUIRE(room > whole.first_movi_end);
    for (int32_t unit : {4096, 64, 0}) {
        char name[64];
        snprintf(name, sizeof(name), "split-%d.avi", (int)unit);
        CAPTURE(name);
        FullDiskResult r = ExportOntoFullDisk(name, room, 165, 120, 100, unit);
        CHECK(r.refused);
        // The split is undone: one RIFF with all its chunks, and no room
        // left behind its "movi" for "idx1".
        CHECK(r.riffs == 1);
        CHECK(r.frames == whole.first_riff_frames);
        CHECK(!r.has_idx1);
    }
}

TEST_CASE("a continuation RIFF without room for all its indexes keeps the chunks it can index")
{
    if (NoSmallDisk())
        return;
    // 2,048-byte chunks without audio: the disk fills exactly behind a chunk
    // of the second RIFF, and "ix00" has only the room of the chunks given up.
    TestClip clip;
    clip.width = 20;
    clip.height = 34;
    clip.frames = 1000;
    clip.sample_rate = 0;
    FullDiskResult whole = ExportClipOntoFullDisk("prefix-20x34-whole.avi", 0, clip, 4096);
    REQUIRE(whole.riffs >= 2);
    const uint64_t room = (whole.riff_offsets[1] + (300 << 10)) / 4096 * 4096;
    for (int32_t unit : {4096, 0}) {
        char name[64];
        snprintf(name, sizeof(name), "prefix-20x34-%d.avi", (int)unit);
        CAPTURE(name);
        FullDiskResult r = ExportClipOntoFullDisk(name, room, clip, unit);
        CHECK(r.messages == std::vector<std::string>({TEXT_WRITE_FAILED}));
        CHECK(r.riffs == 2);
        CHECK(r.frames > whole.first_riff_frames);
        CHECK(r.frames < (size_t)clip.frames);
    }
}
