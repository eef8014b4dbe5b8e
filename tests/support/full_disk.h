// Exports onto the small disk that tests/run.sh mounts, with only so much
// room left, and the checks every file left by a full disk must pass.
#pragma once

#include <stdint.h>
#include <string>
#include <vector>

// The Wine path of the small disk's folder, or "" when there is none.
std::string SmallDiskFolder(void);
// True, with a note in the test's log, when there is no small disk.
bool NoSmallDisk(void);

// Leaves room bytes free on the small disk (a filler file takes the rest),
// exports frames of width x height (RGB, 25 fps) with 44100 Hz stereo audio
// through the writer and the pipeline with the write unit given, and checks
// the file: its layout, the frames and audio against what was handed over,
// and what avifil32 reads. The file is then copied to testdata/full_disk/name
// for the end-to-end readers. A room of 0 exports to that folder on the
// ordinary disk instead, without a failure.
struct FullDiskResult {
    int refused = 0;        // a frame was refused: the disk filled up mid-export
    size_t frames = 0;      // frames the file kept
    size_t riffs = 0;
    std::vector<uint64_t> riff_offsets;
    uint64_t first_movi_end = 0;
    size_t first_riff_frames = 0;
    bool has_idx1 = false;
    int result = 0;                       // on_output's, for ExportClipOntoFullDisk
    std::vector<std::string> messages;    // its warning boxes
};
FullDiskResult ExportOntoFullDisk(const char *name, uint64_t room, int width, int height, int frames,
                       int32_t unit_kib);

// The same through the export entry, as the host drives it: the clip (audio
// unless its sample rate is 0) with the write unit in the host's ini file.
struct TestClip;
FullDiskResult ExportClipOntoFullDisk(const char *name, uint64_t room, const TestClip &clip,
                                      int32_t unit_kib);
