// A disk that fills up mid-export, at several points and with each kind of
// write: the file left behind describes exactly the chunks that reached it.
#include <doctest/doctest.h>

#include <stdio.h>

#include "plugin/texts.h"
#include "support/export_host.h"
#include "support/full_disk.h"

TEST_CASE("after a failed write the headers and idx1 describe what is on disk")
{
    if (NoSmallDisk())
        return;
    const uint64_t rooms[] = {300 << 10, (1 << 20) + (20 << 10), (2 << 20) + (44 << 10) + 100};
    for (int32_t unit : {4096, 64, 0})
        for (uint64_t room : rooms) {
            char name[64];
            snprintf(name, sizeof(name), "single-%d-%u.avi", (int)unit, (unsigned)room);
            CAPTURE(name);
            FullDiskResult r = ExportOntoFullDisk(name, room, 160, 120, 100, unit);
            CHECK(r.refused);
            CHECK(r.frames > 0);
            CHECK(r.riffs == 1);
            CHECK(r.has_idx1);   // the cut frees the partial chunk, and idx1 fits there
        }
}

TEST_CASE("a disk with room for every chunk but not for idx1: no idx1 and no index flag")
{
    if (NoSmallDisk())
        return;
    // 300 frames of 8 x 8 with their audio: 2,179,200 bytes of chunks behind a
    // 6,144-byte head, then 9,608 bytes of idx1. The disk's 4 KiB pages hold
    // the chunks and less than half of idx1.
    const uint64_t room = (6144 + 2179200 + 4095) / 4096 * 4096;
    for (int32_t unit : {4096, 64, 0}) {
        char name[64];
        snprintf(name, sizeof(name), "no-idx1-%d.avi", (int)unit);
        CAPTURE(name);
        FullDiskResult r = ExportOntoFullDisk(name, room, 8, 8, 300, unit);
        CHECK(!r.refused);
        CHECK(r.frames == 300);
        CHECK(!r.has_idx1);
    }
}

TEST_CASE("a disk that fills where the export cannot see it: reported, and only whole chunks described")
{
    if (NoSmallDisk())
        return;
    struct Row {
        const char *what;
        int width, height, frames, sample_rate;
        uint64_t room;
        int32_t unit;
    } rows[] = {
        // The whole export is still in the write-behind ring when the loop
        // ends: only finish meets the full disk.
        {"finish writes it all", 160, 120, 40, 44100, 300 << 10, 4096},
        // 2,048-byte chunks from a 2,048-byte boundary: the disk fills
        // exactly behind a chunk, and the file cannot grow by one byte.
        {"full at a chunk boundary", 20, 34, 2000, 0, 1 << 20, 4096},
        {"full at a chunk boundary", 20, 34, 2000, 0, (2 << 20) + (12 << 10), 64},
        {"full at a chunk boundary", 20, 34, 2000, 0, 3900000 / 4096 * 4096, 0},
        // Not one chunk reaches the disk: nothing of the streams is counted,
        // their largest chunks neither.
        {"no chunk fits", 160, 120, 10, 44100, 8192, 0},
    };
    for (const Row &row : rows) {
        TestClip clip;
        clip.width = row.width;
        clip.height = row.height;
        clip.frames = row.frames;
        clip.sample_rate = row.sample_rate;
        char name[64];
        snprintf(name, sizeof(name), "finish-%dx%d-%d-%u.avi", row.width, row.height, (int)row.unit,
                 (unsigned)row.room);
        CAPTURE(name);
        std::string what = row.what;
        CAPTURE(what);
        FullDiskResult r = ExportClipOntoFullDisk(name, row.room, clip, row.unit);
        CHECK(r.result == 1);
        CHECK(r.messages == std::vector<std::string>({TEXT_WRITE_FAILED}));
        CHECK(r.refused);
        CHECK((r.frames > 0) == (row.room > 8192));
    }
}
