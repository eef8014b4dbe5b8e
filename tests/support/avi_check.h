// Layout checks for any file the writer leaves, finished normally or after a
// failed write, single- or multi-RIFF: every size agrees with the file and
// every index and count with the chunks that are in it.
#pragma once

#include <stdint.h>
#include <string>
#include <vector>

struct CheckedFile {
    std::vector<std::vector<uint8_t>> frames;   // data of the video chunks, in file order
    std::vector<uint8_t> audio;                 // data of the audio chunks, in file order
    uint32_t first_riff_frames = 0;
    size_t riffs = 0;
    std::vector<uint64_t> riff_offsets;
    uint64_t first_movi_end = 0;   // end of the first RIFF's "movi" list
    bool has_idx1 = false;
};

// Runs the checks as doctest CHECKs and returns what the file holds.
CheckedFile CheckAviLayout(const std::vector<uint8_t> &file);

// The stream formats as readers need them: an uncompressed video "strf" is
// exactly the 40-byte header of the frames; an audio "strf" has its own
// length (PCM 16, or 18 with cbSize 0; else 18 + cbSize), sane fields, and
// the block align and byte rate that its "strh" gives.
void CheckStreamFormats(const std::vector<uint8_t> &file);

// Reads the file through avifil32: the video stream is as long as frames,
// and its frames in the first RIFF (what an AVI 1.0 reader reaches) are the
// first of frames; for a single-RIFF file the audio stream's samples are audio.
void CheckWithAvifil32(const std::string &path, const CheckedFile &checked);
