#include "full_disk.h"

#include <doctest/doctest.h>

#include <windows.h>

#include <stdlib.h>
#include <vector>

#include "avi/avi_writer.h"
#include "avi_check.h"
#include "avi_reader.h"
#include "export_host.h"
#include "pipeline/job_ring.h"
#include "plugin/context.h"
#include "plugin/plugin.h"
#include "test_files.h"
#include <stdio.h>

std::string SmallDiskFolder(void)
{
    const char *disk = getenv("VELNIK_SMALL_DISK");
    if (!disk || disk[0] != '/')
        return "";
    return WinePathOf(disk);
}

bool NoSmallDisk(void)
{
    if (!SmallDiskFolder().empty())
        return false;
    MESSAGE("skipped: VELNIK_SMALL_DISK is not set (no small filesystem mounted)");
    return true;
}

static void LeaveRoom(const std::string &filler, uint64_t room)
{
    DeleteFileA(filler.c_str());
    std::string folder = filler.substr(0, filler.rfind('\\') + 1);
    ULARGE_INTEGER free_bytes, total, total_free;
    REQUIRE(GetDiskFreeSpaceExA(folder.c_str(), &free_bytes, &total, &total_free));
    REQUIRE(free_bytes.QuadPart > room);
    uint64_t fill = (free_bytes.QuadPart - room) / 4096 * 4096;
    HANDLE h = CreateFileA(filler.c_str(), GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, 0, NULL);
    REQUIRE(h != INVALID_HANDLE_VALUE);
    std::vector<uint8_t> block(1 << 20, 0x5A);
    while (fill > 0) {
        DWORD n = fill < block.size() ? (DWORD)fill : (DWORD)block.size(), written = 0;
        if (!WriteFile(h, block.data(), n, &written, NULL) || written != n)
            break;
        fill -= n;
    }
    CloseHandle(h);
}

// Where the export goes, and the filler that leaves it room bytes; whatever
// fails, the small disk is left empty for the next test.
struct FullDiskTarget {
    uint64_t room;
    std::string path, filler;
    FullDiskTarget(const char *name, uint64_t room) : room(room)
    {
        std::string disk = room ? SmallDiskFolder() : TestFolder("full_disk");
        path = disk + "\\" + name;
        filler = disk + "\\filler.bin";
        DeleteFileA(path.c_str());
        if (room)
            LeaveRoom(filler, room);
    }
    ~FullDiskTarget()
    {
        DeleteFileA(filler.c_str());
        if (room)
            DeleteFileA(path.c_str());
    }
};

// Checks the file left behind against what was handed over and keeps a copy
// in testdata/full_disk for the end-to-end readers.
static FullDiskResult CheckLeftFile(const FullDiskTarget &target, const char *name,
                                    const std::vector<std::vector<uint8_t>> &sent_frames,
                                    const std::vector<uint8_t> &sent_audio)
{
    std::vector<uint8_t> file = ReadWholeFile(target.path);
    CheckedFile checked = CheckAviLayout(file);
    REQUIRE(checked.frames.size() <= sent_frames.size());
    for (size_t i = 0; i < checked.frames.size(); i++)
        REQUIRE_MESSAGE(checked.frames[i] == sent_frames[i], "frame ", i);
    REQUIRE(checked.audio.size() <= sent_audio.size());
    CHECK(std::vector<uint8_t>(sent_audio.begin(), sent_audio.begin() + checked.audio.size()) ==
          checked.audio);
    CheckWithAvifil32(target.path, checked);

    if (target.room) {
        std::string copy = TestFolder("full_disk") + "\\" + name;
        CHECK(CopyFileA(target.path.c_str(), copy.c_str(), FALSE));
    }
    FullDiskResult result;
    result.frames = checked.frames.size();
    result.riffs = checked.riffs;
    result.riff_offsets = checked.riff_offsets;
    result.first_movi_end = checked.first_movi_end;
    result.first_riff_frames = checked.first_riff_frames;
    result.has_idx1 = checked.has_idx1;
    return result;
}

FullDiskResult ExportOntoFullDisk(const char *name, uint64_t room, int width, int height, int frames,
                       int32_t unit_kib)
{
    FullDiskTarget target(name, room);
    PluginSession plugin;
    WriterContext *ctx = PrepareWriterContext(width, height, 4, (uint32_t)frames, unit_kib);
    ctx->wfx.wFormatTag = WAVE_FORMAT_PCM;
    ctx->wfx.nChannels = 2;
    ctx->wfx.nSamplesPerSec = 44100;
    ctx->wfx.wBitsPerSample = 16;
    ctx->wfx.nAvgBytesPerSec = 176400;
    TestClip clip;
    clip.width = width;
    clip.height = height;
    REQUIRE(OpenAviFile(ctx, target.path.c_str(), OPEN_VIDEO | OPEN_AUDIO) == 1);
    std::vector<std::vector<uint8_t>> sent_frames;
    std::vector<uint8_t> sent_audio;
    int refused = 0;
    for (int i = 0; i < frames && !refused; i++) {
        std::vector<uint8_t> frame = TestFrame(clip, i, 0);
        if (SubmitVideoFrame(ctx, frame.data()) != 1) {
            refused = 1;
            break;
        }
        sent_frames.push_back(frame);
        std::vector<int16_t> pcm(1764 * 2);
        for (int s = 0; s < 1764; s++)
            for (int c = 0; c < 2; c++)
                pcm[s * 2 + c] = TestSample((int64_t)i * 1764 + s, c);
        SubmitAudio(ctx, pcm.data(), (uint32_t)pcm.size() * 2);
        const uint8_t *bytes = (const uint8_t *)pcm.data();
        sent_audio.insert(sent_audio.end(), bytes, bytes + pcm.size() * 2);
    }
    SubmitAudio(ctx, NULL, 0);
    FinishAviFile(ctx);

    FullDiskResult result = CheckLeftFile(target, name, sent_frames, sent_audio);
    result.refused = refused;
    return result;
}

FullDiskResult ExportClipOntoFullDisk(const char *name, uint64_t room, const TestClip &clip,
                                      int32_t unit_kib)
{
    FullDiskTarget target(name, room);
    // The write unit comes from the ini file beside the host's executable.
    std::string host = TestFolder("full_disk_host");
    char ini[64];
    int n = snprintf(ini, sizeof(ini), "[system]\r\nsaveunitsize=%d\r\n", (int)unit_kib);
    REQUIRE(WriteWholeFile((host + "\\orvane.ini").c_str(), ini, (size_t)n));
    std::string exe = host + "\\orvane.exe";
    HostPathsReset(exe.c_str());
    ExportRecord record;
    {
        PluginSession plugin;
        record = RunExport(clip, target.path);
    }
    HostPathsReset(NULL);

    std::vector<std::vector<uint8_t>> sent_frames;
    for (int i = 0; i < record.video_fetches; i++)
        sent_frames.push_back(TestFrame(clip, i, 0));
    FullDiskResult result = CheckLeftFile(target, name, sent_frames, record.audio_delivered);
    result.refused = (int)sent_frames.size() > (int)result.frames;
    result.result = record.result;
    result.messages = record.messages;
    return result;
}
