// The export through the compression worker: same bytes as without it, clean
// starts and stops, slot growth, ordering under load, failures mid-export.
#include <doctest/doctest.h>

#include <windows.h>
#include <tlhelp32.h>

#include <stdlib.h>
#include <string.h>

#include "avi/avi_writer.h"
#include "host/host.h"
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
    return TestFolder("job_ring") + "\\" + name;
}

int ThreadCount(void)
{
    HANDLE snap = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    THREADENTRY32 te;
    te.dwSize = sizeof(te);
    int n = 0;
    for (BOOL ok = Thread32First(snap, &te); ok; ok = Thread32Next(snap, &te))
        n += te.th32OwnerProcessID == GetCurrentProcessId();
    CloseHandle(snap);
    return n;
}

DWORD HandleCount(void)
{
    DWORD n = 0;
    GetProcessHandleCount(GetCurrentProcess(), &n);
    return n;
}

std::vector<uint8_t> AudioChunksOf(const std::vector<uint8_t> &file, std::vector<uint32_t> *sizes)
{
    std::vector<uint8_t> out;
    for (const AviChunk &c : ParseChunks(file))
        if (c.id == FCC_01WB) {
            out.insert(out.end(), file.begin() + c.offset + 8, file.begin() + c.offset + 8 + c.size);
            if (sizes)
                sizes->push_back(c.size);
        }
    return out;
}

// AVIFileInit and AVIFileExit as this program imports them, seen on their
// way through: each thread's inits less its exits.
struct AviFileCalls {
    void(WINAPI *init)(void);
    void(WINAPI *exit)(void);
    std::vector<std::pair<DWORD, int>> balance;
    void Count(int step)
    {
        DWORD me = GetCurrentThreadId();
        for (auto &b : balance)
            if (b.first == me) {
                b.second += step;
                return;
            }
        balance.push_back({me, step});
    }
} avifile;

void WINAPI CountedInit(void)
{
    avifile.Count(1);
    avifile.init();
}

void WINAPI CountedExit(void)
{
    avifile.Count(-1);
    avifile.exit();
}

// Points this program's import slots for avifil32 at the counting versions.
void CountAviFileCalls(void)
{
    if (avifile.init)
        return;
    HMODULE avifil32 = GetModuleHandleA("avifil32.dll");
    avifile.init = (void(WINAPI *)(void))(void *)GetProcAddress(avifil32, "AVIFileInit");
    avifile.exit = (void(WINAPI *)(void))(void *)GetProcAddress(avifil32, "AVIFileExit");
    HMODULE self = GetModuleHandleA(NULL);
    REQUIRE(PatchImport(self, "avifil32.dll", "AVIFileInit", (void *)CountedInit) == 1);
    REQUIRE(PatchImport(self, "avifil32.dll", "AVIFileExit", (void *)CountedExit) == 1);
}

} // namespace

TEST_CASE("with and without the compression worker the files are the same bytes")
{
    PluginSession plugin;
    TestClip clip;
    clip.width = 160;
    clip.height = 120;
    clip.frames = 40;
    clip.rate = 30000;
    clip.scale = 1001;
    clip.sample_rate = 48000;
    clip.audio_limit = 1000;   // blocks of varying length
    std::string threaded = OutPath("threaded.avi"), direct = OutPath("direct.avi");
    ExportRecord a = RunExport(clip, threaded);
    RingFailNextStart();
    ExportRecord b = RunExport(clip, direct);
    CHECK(a.result == 1);
    CHECK(b.result == 1);
    std::vector<uint8_t> fa = ReadWholeFile(threaded), fb = ReadWholeFile(direct);
    REQUIRE(fa.size() > 100000);
    CHECK(fa.size() == fb.size());
    CHECK(fa == fb);
}

TEST_CASE("many exports in a row leave no thread or handle behind")
{
    PluginSession plugin;
    TestClip clip;
    clip.frames = 5;
    std::string path = OutPath("repeat.avi");
    RunExport(clip, path);   // first use may load system libraries
    int threads = ThreadCount();
    DWORD handles = HandleCount();
    for (int i = 0; i < 25; i++) {
        ExportRecord rec = RunExport(clip, path);
        REQUIRE(rec.result == 1);
        CHECK(job_ring.ring_active == 0);
        CHECK(job_ring.worker.thread == NULL);
        CHECK(output_file.writer.thread == NULL);
    }
    CHECK(ThreadCount() == threads);
    CHECK(HandleCount() <= handles);
}

TEST_CASE("slots start at one frame or 256 KiB, grow to the largest payload, and are reused")
{
    PluginSession plugin;
    WriterContext *ctx = PrepareWriterContext(320, 240, 4, 100, 4096);
    REQUIRE(OpenAviFile(ctx, OutPath("slots.avi").c_str(), OPEN_VIDEO | OPEN_AUDIO) == 1);
    REQUIRE(job_ring.ring_active == 1);
    CHECK(job_ring.slots[0].capacity == 262144);   // the 230,400-byte frame is smaller
    CHECK(job_ring.slots[1].capacity == 262144);

    std::vector<uint8_t> big(300000, 7), small(1000, 9);
    REQUIRE(SubmitAudio(ctx, big.data(), (uint32_t)big.size()) == 1);
    REQUIRE(SubmitAudio(ctx, small.data(), (uint32_t)small.size()) == 1);
    REQUIRE(SubmitAudio(ctx, small.data(), 0) == 1);   // zero length: nothing copied
    REQUIRE(RingDrain() == 1);
    CHECK(job_ring.slots[0].capacity == 300000);
    CHECK(job_ring.slots[1].capacity == 262144);
    uint8_t *grown = job_ring.slots[0].buffer;
    REQUIRE(SubmitAudio(ctx, small.data(), (uint32_t)small.size()) == 1);   // slot 1
    REQUIRE(SubmitAudio(ctx, small.data(), (uint32_t)small.size()) == 1);   // slot 0 again
    REQUIRE(RingDrain() == 1);
    CHECK(job_ring.slots[0].buffer == grown);
    CHECK(job_ring.slots[0].capacity == 300000);
    FinishAviFile(ctx);
    CHECK(job_ring.slots[0].buffer == NULL);

    std::vector<uint32_t> sizes;
    std::vector<uint8_t> audio = AudioChunksOf(ReadWholeFile(OutPath("slots.avi")), &sizes);
    CHECK(sizes == std::vector<uint32_t>{300000, 1000, 1000, 1000});
}

TEST_CASE("thousands of small jobs arrive whole and in order")
{
    PluginSession plugin;
    // A small ring, so the writer thread wraps often.
    WriterContext *ctx = PrepareWriterContext(8, 8, 2, 6000, 16);
    std::string path = OutPath("stress.avi");
    REQUIRE(OpenAviFile(ctx, path.c_str(), OPEN_VIDEO | OPEN_AUDIO) == 1);
    REQUIRE(job_ring.ring_active == 1);

    srand(1234);
    std::vector<uint8_t> sent, frames;
    std::vector<uint8_t> block(5000);
    uint8_t frame[8 * 8 * 3];
    for (int i = 0; i < 5000; i++) {
        uint32_t n = (uint32_t)(rand() % 4000) + 2;
        for (uint32_t k = 0; k < n; k++)
            block[k] = (uint8_t)(i * 31 + k);
        REQUIRE(SubmitAudio(ctx, block.data(), n) == 1);
        sent.insert(sent.end(), block.begin(), block.begin() + n);
        if (i % 5 == 0) {
            memset(frame, i & 0xFF, sizeof(frame));
            REQUIRE(SubmitVideoFrame(ctx, frame) == 1);
            frames.push_back((uint8_t)(i & 0xFF));
        }
    }
    SubmitAudio(ctx, NULL, 0);
    FinishAviFile(ctx);

    std::vector<uint8_t> file = ReadWholeFile(path);
    CHECK(AudioChunksOf(file, NULL) == sent);
    std::vector<uint8_t> seen;
    for (const AviChunk &c : ParseChunks(file))
        if (c.id == FCC_00DB)
            seen.push_back(file[c.offset + 8]);
    CHECK(seen == frames);
}

TEST_CASE("after a failed job every post fails and the file is still finished")
{
    PluginSession plugin;
    // Frame capacity 0: room for the minimum entry array only.
    WriterContext *ctx = PrepareWriterContext(8, 8, 4, 0, 64);
    std::string path = OutPath("failed_job.avi");
    REQUIRE(OpenAviFile(ctx, path.c_str(), OPEN_VIDEO | OPEN_AUDIO) == 1);
    uint8_t frame[8 * 8 * 3] = {0};
    uint32_t room = output_file.entries_bytes / 4;
    uint32_t posted = 0;
    int failed_at = -1;
    for (uint32_t i = 0; i < room + 10; i++) {
        if (SubmitVideoFrame(ctx, frame) != 1) {
            failed_at = (int)i;
            break;
        }
        posted++;
    }
    // The job past the array's room fails; a post or two later the ring says so.
    REQUIRE(failed_at >= (int)room);
    CHECK(failed_at <= (int)room + 2);
    CHECK(SubmitAudio(ctx, frame, 4) == 0);
    CHECK(RingDrain() == 0);
    FinishAviFile(ctx);
    CHECK(job_ring.ring_active == 0);
    std::vector<uint8_t> file = ReadWholeFile(path);
    auto chunks = ParseChunks(file);
    REQUIRE(chunks.size() > 0);
    CHECK(chunks[0].size == file.size() - 8);
    CHECK(FindChunks(chunks, FCC_00DB).size() == room);
    CHECK(FindChunks(chunks, FCC_IDX1).size() == 1);
}

TEST_CASE("a disk that fills up mid-export: the write-failure message, and a finished file")
{
    const char *disk = getenv("VELNIK_SMALL_DISK");
    if (!disk) {
        MESSAGE("skipped: VELNIK_SMALL_DISK is not set (no small filesystem mounted)");
        return;
    }
    PluginSession plugin;
    TestClip clip;
    clip.width = 320;
    clip.height = 240;
    clip.frames = 100;   // about 23 MB against a few megabytes of room
    std::string path = WinePathOf(disk) + "\\ring_full.avi";
    ExportRecord rec = RunExport(clip, path);
    CHECK(rec.result == 1);
    REQUIRE(rec.messages.size() == 1);
    CHECK(rec.messages[0] == TEXT_WRITE_FAILED);
    CHECK(rec.video_fetches < 100);
    std::vector<uint8_t> file = ReadWholeFile(path);
    REQUIRE(file.size() > 6144);
    CHECK(ReadU32(file, 0) == FCC_RIFF);
    CHECK(ReadU32(file, 48) <= (uint32_t)rec.video_fetches);   // avih total frames
    DeleteFileA(path.c_str());
}

namespace {

// A compressor and converter that only count their starts and ends, and
// where each end ran.
struct CodecCalls {
    int begins, opens, ends, closes;
    DWORD end_thread, close_thread;
    int fail_end;      // the video end reports failure
    int fail_frames;   // frame jobs fail, which stops the worker
};
CodecCalls calls;

int RecordingCodec(uint32_t code, WriterContext *ctx, uint32_t)
{
    switch (code) {
    case JOB_VIDEO_BEGIN:
        // Its output format is the input's, so readers find a stream.
        memcpy(ctx->video.bihOut, &ctx->bih, sizeof(ctx->bih));
        ctx->video.bihOutSize = sizeof(ctx->bih);
        calls.begins++;
        return 1;
    case JOB_AUDIO_OPEN:
        calls.opens++;
        return 1;
    case JOB_VIDEO_END:
        calls.ends++;
        calls.end_thread = GetCurrentThreadId();
        return calls.fail_end ? 0 : 1;
    case JOB_AUDIO_CLOSE:
        calls.closes++;
        calls.close_thread = GetCurrentThreadId();
        return 1;
    case JOB_VIDEO_FRAME:
        return calls.fail_frames ? 0 : -1;
    }
    return -1;
}

// Opens an export that compresses video and converts audio through the
// recording codec.
WriterContext *OpenCompressedExport(const std::string &path)
{
    memset(&calls, 0, sizeof(calls));
    WriterContext *ctx = PrepareWriterContext(8, 8, 4, 100, 64);
    WAVEFORMATEX *chosen = (WAVEFORMATEX *)ctx->audio.chosen_format;
    memset(chosen, 0, sizeof(*chosen));
    chosen->wFormatTag = WAVE_FORMAT_PCM;
    chosen->nChannels = 2;
    chosen->nSamplesPerSec = 44100;
    chosen->wBitsPerSample = 16;
    chosen->nBlockAlign = 4;
    chosen->nAvgBytesPerSec = 176400;
    ctx->audio.chosen_format_size = 16;
    RingSetJobHook(RecordingCodec);
    int opened = OpenAviFile(ctx, path.c_str(),
                             OPEN_VIDEO | OPEN_AUDIO | OPEN_COMPRESS_VIDEO | OPEN_COMPRESS_AUDIO);
    REQUIRE(opened == 1);
    REQUIRE(job_ring.ring_active == 1);
    CHECK(calls.begins == 1);
    CHECK(calls.opens == 1);
    CHECK((ctx->state_flags & (CTX_VIDEO_CODEC | CTX_AUDIO_CODEC)) == (CTX_VIDEO_CODEC | CTX_AUDIO_CODEC));
    return ctx;
}

void CheckEndedOnceAndFinished(WriterContext *ctx, const std::string &path, bool on_worker)
{
    RingSetJobHook(NULL);
    CHECK(calls.ends == 1);
    CHECK(calls.closes == 1);
    DWORD host = GetCurrentThreadId();
    CHECK((calls.end_thread != host) == on_worker);
    CHECK((calls.close_thread != host) == on_worker);
    // The worker's AVIFileInit has its exit on the same thread.
    REQUIRE(avifile.balance.size() == 1);
    CHECK(avifile.balance[0].first != host);
    CHECK(avifile.balance[0].second == 0);
    CHECK(ctx->state_flags == 0);
    CHECK(job_ring.ring_active == 0);
    CHECK(job_ring.worker.thread == NULL);
    CHECK(avi_writer.audio_work[0] == NULL);
    std::vector<uint8_t> file = ReadWholeFile(path);
    auto chunks = ParseChunks(file);
    REQUIRE(chunks.size() > 0);
    CHECK(chunks[0].size == file.size() - 8);
    CHECK(FindChunks(chunks, FCC_IDX1).size() == 1);
}

} // namespace

TEST_CASE("finish ends the compressor and the converter exactly once, however the export went")
{
    CountAviFileCalls();
    PluginSession plugin;
    avifile.balance.clear();
    std::string path = OutPath("codec_ends.avi");
    uint8_t frame[8 * 8 * 3] = {0};

    SUBCASE("both ends run as jobs on the worker")
    {
        WriterContext *ctx = OpenCompressedExport(path);
        FinishAviFile(ctx);
        CheckEndedOnceAndFinished(ctx, path, true);
    }
    SUBCASE("a slot that could not grow: the end posts are refused, so they run here")
    {
        WriterContext *ctx = OpenCompressedExport(path);
        std::vector<uint8_t> big(300000, 1);
        RingFailNextGrow();
        CHECK(SubmitAudio(ctx, big.data(), (uint32_t)big.size()) == 0);
        CHECK(SubmitVideoFrame(ctx, frame) == 0);   // every later post is refused
        CHECK(job_ring.worker.running.load() == 1);  // while the worker still runs
        FinishAviFile(ctx);
        CheckEndedOnceAndFinished(ctx, path, false);
    }
    SUBCASE("a failed job stopped the worker")
    {
        WriterContext *ctx = OpenCompressedExport(path);
        calls.fail_frames = 1;
        int refused = 0;
        for (int i = 0; i < 4 && !refused; i++)
            refused = SubmitVideoFrame(ctx, frame) != 1;
        CHECK(refused);
        FinishAviFile(ctx);
        CheckEndedOnceAndFinished(ctx, path, false);
    }
    SUBCASE("a video end that fails on the worker still lets the converter close")
    {
        WriterContext *ctx = OpenCompressedExport(path);
        calls.fail_end = 1;
        FinishAviFile(ctx);
        RingSetJobHook(NULL);
        CHECK(calls.ends == 1);
        CHECK(calls.closes == 1);
        CHECK(ctx->state_flags == 0);
        CHECK(job_ring.worker.thread == NULL);
    }
    // The next export starts from a clean ring.
    TestClip clip;
    clip.frames = 3;
    ExportRecord rec = RunExport(clip, OutPath("after_codec_ends.avi"));
    CHECK(rec.result == 1);
    CHECK(rec.messages.empty());
}
