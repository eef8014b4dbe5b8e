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

std::string SmallDiskFolder(void)
{
    const char *disk = getenv("VELNIK_SMALL_DISK");
    if (!disk || disk[0] != '/')
        return "";
    return WinePathOf(disk);
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

FullDiskResult ExportOntoFullDisk(const char *name, uint64_t room, int width, int height, int frames,
                       int32_t unit_kib)
{
    std::string disk = room ? SmallDiskFolder() : TestFolder("full_disk");
    std::string path = disk + "\\" + name, filler = disk + "\\filler.bin";
    DeleteFileA(path.c_str());
    // Whatever fails, the small disk is left empty for the next test.
    struct Cleanup {
        std::string path, filler;
        ~Cleanup()
        {
            DeleteFileA(filler.c_str());
            DeleteFileA(path.c_str());
        }
    } cleanup{room ? path : std::string(), filler};
    if (room)
        LeaveRoom(filler, room);

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
    REQUIRE(OpenAviFile(ctx, path.c_str(), OPEN_VIDEO | OPEN_AUDIO) == 1);
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

    std::vector<uint8_t> file = ReadWholeFile(path);
    CheckedFile checked = CheckAviLayout(file);
    REQUIRE(checked.frames.size() <= sent_frames.size());
    for (size_t i = 0; i < checked.frames.size(); i++)
        REQUIRE_MESSAGE(checked.frames[i] == sent_frames[i], "frame ", i);
    REQUIRE(checked.audio.size() <= sent_audio.size());
    CHECK(std::vector<uint8_t>(sent_audio.begin(), sent_audio.begin() + checked.audio.size()) ==
          checked.audio);
    CheckWithAvifil32(path, checked);

    if (room) {
        std::string copy = TestFolder("full_disk") + "\\" + name;
        CHECK(CopyFileA(path.c_str(), copy.c_str(), FALSE));
    }
    FullDiskResult result;
    result.refused = refused;
    result.frames = checked.frames.size();
    result.riffs = checked.riffs;
    result.riff_offsets = checked.riff_offsets;
    result.first_movi_end = checked.first_movi_end;
    result.first_riff_frames = checked.first_riff_frames;
    result.has_idx1 = checked.has_idx1;
    return result;
}
