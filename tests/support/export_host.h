// An in-process stand-in for the host: describes a synthetic clip to the
// plug-in's export entry and answers its callbacks with deterministic
// frames and tone, recording what it handed over.
#pragma once

#include <stdint.h>
#include <string>
#include <vector>

struct TestClip {
    int width = 64;
    int height = 48;
    int rate = 25;
    int scale = 1;
    int frames = 10;
    int sample_rate = 44100;   // 0: no audio
    int channels = 2;
    int flags = -1;            // OutputInfo flags; -1: from the fields above
    int abort_at = -1;         // abort_requested answers yes before this frame
    int audio_limit = -1;      // most samples delivered per call; -1: all asked
    int null_video_at = -1;    // fetch_video answers null for this frame
    int null_audio_at = -1;    // fetch_audio answers null (claiming samples) for this frame
    int claim_for_none = 0;    // samples fetch_audio claims when asked for none (not recorded)
};

struct ExportRecord {
    int result = 0;
    int video_fetches = 0;
    std::vector<uint32_t> formats_asked;
    std::vector<std::pair<int32_t, int32_t>> audio_asked;   // (first, count)
    std::vector<uint8_t> audio_delivered;                   // bytes handed over, in order
    std::vector<std::string> messages;                      // warning boxes, CP932 bytes
};

// Frame i as the host delivers it for the format (0: 24-bit RGB, else YUY2).
std::vector<uint8_t> TestFrame(const TestClip &clip, int i, uint32_t format);
int16_t TestSample(int64_t n, int channel);

// on_init for the life of a test case, on_exit at its end.
struct PluginSession {
    PluginSession();
    ~PluginSession();
};

// For tests that drive the writer directly: the context describes an
// uncompressed RGB frame of width x height at 25 fps and PCM audio with this
// block align; the file gets the frame capacity and write unit given.
struct WriterContext;
WriterContext *PrepareWriterContext(int width, int height, int block_align,
                                    uint32_t frame_capacity, int32_t unit_kib);

// Runs on_output on the clip, writing path. The plug-in must be initialised.
ExportRecord RunExport(const TestClip &clip, const std::string &path);

// Starts collecting warning boxes (also used by RunExport).
void CollectMessages(std::vector<std::string> *sink);

// A fresh folder under the build tree for one test program's files.
std::string TestFolder(const char *name);
// Wine path of a Unix folder (Z: drive), for paths given by the environment.
std::string WinePathOf(const std::string &unix_path);
