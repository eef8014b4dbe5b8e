// The system's own AVI reader (avifil32) as an independent check of what the
// writer produces: stream headers, formats, every frame and every sample.
#include <doctest/doctest.h>

#include <windows.h>
#include <vfw.h>

#include <string.h>

#include "plugin/context.h"
#include "support/export_host.h"

namespace {

struct AviFileReader {
    PAVIFILE file = NULL;
    AviFileReader() { AVIFileInit(); }
    ~AviFileReader()
    {
        if (file)
            AVIFileRelease(file);
        AVIFileExit();
    }
};

// Reads every video frame and all audio through avifil32 and compares them
// with what the host handed over.
void CheckWithAvifil(const std::string &path, const TestClip &clip, const ExportRecord &rec)
{
    AviFileReader reader;
    REQUIRE(AVIFileOpenA(&reader.file, path.c_str(), OF_READ | OF_SHARE_DENY_WRITE, NULL) == 0);
    AVIFILEINFOA info;
    REQUIRE(AVIFileInfoA(reader.file, &info, sizeof(info)) == 0);
    CHECK(info.dwWidth == (DWORD)clip.width);
    CHECK(info.dwHeight == (DWORD)clip.height);
    CHECK(info.dwStreams == (clip.sample_rate ? 2u : 1u));

    PAVISTREAM video = NULL;
    REQUIRE(AVIFileGetStream(reader.file, &video, streamtypeVIDEO, 0) == 0);
    AVISTREAMINFOA vinfo;
    REQUIRE(AVIStreamInfoA(video, &vinfo, sizeof(vinfo)) == 0);
    CHECK(vinfo.dwRate == (DWORD)clip.rate);
    CHECK(vinfo.dwScale == (DWORD)clip.scale);
    CHECK(vinfo.dwLength == (DWORD)clip.frames);
    BITMAPINFOHEADER bih;
    LONG size = sizeof(bih);
    REQUIRE(AVIStreamReadFormat(video, 0, &bih, &size) == 0);
    CHECK(bih.biWidth == clip.width);
    CHECK(bih.biBitCount == 24);
    std::vector<uint8_t> frame(TestFrame(clip, 0, 0).size());
    for (int i = 0; i < clip.frames; i++) {
        LONG bytes = 0, samples = 0;
        REQUIRE(AVIStreamRead(video, i, 1, frame.data(), (LONG)frame.size(), &bytes, &samples) == 0);
        CHECK(bytes == (LONG)frame.size());
        CHECK_MESSAGE(frame == TestFrame(clip, i, 0), "frame ", i);
        CHECK(AVIStreamIsKeyFrame(video, i));
    }
    AVIStreamRelease(video);

    if (!clip.sample_rate)
        return;
    PAVISTREAM audio = NULL;
    REQUIRE(AVIFileGetStream(reader.file, &audio, streamtypeAUDIO, 0) == 0);
    WAVEFORMATEX wfx;
    size = sizeof(wfx);
    REQUIRE(AVIStreamReadFormat(audio, 0, &wfx, &size) == 0);
    CHECK(wfx.wFormatTag == WAVE_FORMAT_PCM);
    CHECK(wfx.nSamplesPerSec == (DWORD)clip.sample_rate);
    CHECK(wfx.nChannels == clip.channels);
    LONG length = AVIStreamLength(audio);
    CHECK(length == (LONG)(rec.audio_delivered.size() / wfx.nBlockAlign));
    std::vector<uint8_t> pcm(rec.audio_delivered.size());
    LONG bytes = 0, samples = 0;
    REQUIRE(AVIStreamRead(audio, 0, length, pcm.data(), (LONG)pcm.size(), &bytes, &samples) == 0);
    CHECK(samples == length);
    CHECK(pcm == rec.audio_delivered);
    AVIStreamRelease(audio);
}

} // namespace

TEST_CASE("avifil32 reads an export with picture and sound frame by frame")
{
    PluginSession plugin;
    TestClip clip;
    clip.width = 321;
    clip.height = 241;
    clip.frames = 20;
    clip.rate = 30000;
    clip.scale = 1001;
    clip.sample_rate = 48000;
    std::string path = TestFolder("avifil") + "\\picture_and_sound.avi";
    ExportRecord rec = RunExport(clip, path);
    REQUIRE(rec.result == 1);
    CheckWithAvifil(path, clip, rec);
}

TEST_CASE("avifil32 reads a video-only export")
{
    PluginSession plugin;
    TestClip clip;
    clip.width = 64;
    clip.height = 2;
    clip.frames = 9;
    clip.sample_rate = 0;
    std::string path = TestFolder("avifil") + "\\video_only.avi";
    ExportRecord rec = RunExport(clip, path);
    REQUIRE(rec.result == 1);
    CheckWithAvifil(path, clip, rec);
}
