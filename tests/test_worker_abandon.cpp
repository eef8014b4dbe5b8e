// A stop that times out: a worker held up in a window handler for longer than
// the stop waits. Its own program, as each case waits out the stop once.
#include <doctest/doctest.h>

#include <windows.h>

#include <atomic>
#include <string.h>

#include "avi/avi_writer.h"
#include "fileio/write_behind_file.h"
#include "pipeline/job_ring.h"
#include "pipeline/worker_thread.h"
#include "plugin/context.h"
#include "support/avi_reader.h"
#include "support/export_host.h"

namespace {

#define SLOW_MESSAGE (WM_APP + 1)
#define SLOW_HANDLER_MS 12000   // longer than a stop waits

HANDLE handler_entered;
HANDLE handler_left;
std::atomic<int> job_calls;

LRESULT CALLBACK SlowWindowProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp)
{
    if (msg == SLOW_MESSAGE) {
        SetEvent(handler_entered);
        Sleep(SLOW_HANDLER_MS);
        SetEvent(handler_left);
        return 0;
    }
    return DefWindowProcA(hwnd, msg, wp, lp);
}

// On the calling thread: a window with a message waiting whose handler sleeps.
void PostSlowMessageToOwnWindow(void)
{
    static ATOM cls;
    if (!cls) {
        WNDCLASSA wc;
        memset(&wc, 0, sizeof(wc));
        wc.lpfnWndProc = SlowWindowProc;
        wc.hInstance = GetModuleHandleA(NULL);
        wc.lpszClassName = "VelnikSlowWindow";
        cls = RegisterClassA(&wc);
    }
    HWND window = CreateWindowA("VelnikSlowWindow", "", 0, 0, 0, 0, 0, HWND_MESSAGE, NULL,
                                GetModuleHandleA(NULL), NULL);
    REQUIRE(window != NULL);
    PostMessageA(window, SLOW_MESSAGE, 0, 0);
}

void ResetEvents(void)
{
    if (!handler_entered) {
        handler_entered = CreateEventA(NULL, TRUE, FALSE, NULL);
        handler_left = CreateEventA(NULL, TRUE, FALSE, NULL);
    }
    ResetEvent(handler_entered);
    ResetEvent(handler_left);
}

int SlowWindowJob(void)
{
    if (job_calls++ == 0)
        PostSlowMessageToOwnWindow();
    return 1;
}

int PlainJob(void)
{
    return 1;
}

} // namespace

TEST_CASE("a stop that times out leaves the thread all it still reads, and it ends unharmed")
{
    ResetEvents();
    job_calls = 0;
    static WorkerThread w;
    REQUIRE(WorkerStart(&w, SlowWindowJob, WORKER_PUMP_MESSAGES) == 1);
    REQUIRE(WorkerWaitDone(&w) == 1);
    REQUIRE(WaitForSingleObject(handler_entered, 10000) == WAIT_OBJECT_0);

    DWORD started = GetTickCount();
    WorkerStop(&w);
    CHECK(GetTickCount() - started >= 9000);
    HANDLE thread = w.thread;
    CHECK(WorkerAbandoned(&w) == 1);
    CHECK((w.job == SlowWindowJob));
    CHECK(w.start_event != NULL);
    CHECK(w.ready_event != NULL);
    // Never a second thread on the object while the first lives.
    CHECK(WorkerStart(&w, PlainJob, 0) == 0);
    CHECK((w.job == SlowWindowJob));
    WorkerStop(&w);   // harmless, and does not wait again
    CHECK(WorkerAbandoned(&w) == 1);

    // The handler returns, the thread finds its events and job intact, runs
    // no job and ends; the object is then free again.
    REQUIRE(WaitForSingleObject(handler_left, 10000) == WAIT_OBJECT_0);
    REQUIRE(thread != NULL);
    REQUIRE(WaitForSingleObject(thread, 5000) == WAIT_OBJECT_0);
    DWORD code = 1;
    GetExitCodeThread(thread, &code);
    CHECK(code == 0);
    CHECK(job_calls == 1);
    CHECK(WorkerAbandoned(&w) == 0);
    CHECK(w.thread == NULL);
    REQUIRE(WorkerStart(&w, PlainJob, 0) == 1);
    WorkerStop(&w);
    CHECK(w.thread == NULL);
}

namespace {

DWORD frame_job_thread;

// The video compressor's start opens a window on the worker, as some do; a
// message to it keeps the worker busy past the stop.
int CompressorWithSlowWindow(uint32_t code, WriterContext *, uint32_t)
{
    if (code == JOB_VIDEO_BEGIN) {
        PostSlowMessageToOwnWindow();
        return 1;
    }
    if (code == JOB_VIDEO_END || code == JOB_AUDIO_CLOSE) {
        job_calls++;
        return 1;
    }
    if (code == JOB_VIDEO_FRAME)
        frame_job_thread = GetCurrentThreadId();
    return -1;
}

void CheckComplete(const std::string &path, size_t frames)
{
    std::vector<uint8_t> file = ReadWholeFile(path);
    auto chunks = ParseChunks(file);
    REQUIRE(chunks.size() > 0);
    CHECK(chunks[0].size == file.size() - 8);
    CHECK(FindChunks(chunks, FCC_IDX1).size() == 1);
    CHECK(FindChunks(chunks, FCC_00DB).size() == frames);
}

} // namespace

TEST_CASE("an export whose worker does not stop in time: the file is finished and the next export runs")
{
    PluginSession plugin;
    ResetEvents();
    job_calls = 0;
    std::string dir = TestFolder("worker_abandon");
    std::string first = dir + "\\abandoned.avi";
    WriterContext *ctx = PrepareWriterContext(8, 8, 4, 100, 64);
    RingSetJobHook(CompressorWithSlowWindow);
    REQUIRE(OpenAviFile(ctx, first.c_str(), OPEN_VIDEO | OPEN_COMPRESS_VIDEO) == 1);
    REQUIRE(WaitForSingleObject(handler_entered, 10000) == WAIT_OBJECT_0);
    // A lost payload: the end post is refused, so finish has to stop the worker.
    std::vector<uint8_t> big(300000, 3);
    RingFailNextGrow();
    CHECK(SubmitAudio(ctx, big.data(), (uint32_t)big.size()) == 0);
    FinishAviFile(ctx);
    RingSetJobHook(NULL);
    CHECK(ctx->state_flags == 0);
    CHECK(WorkerAbandoned(&job_ring.worker) == 1);
    // The compressor may still be in use on that thread: it is not ended here.
    CHECK(job_calls == 0);
    CHECK(job_ring.slots[0].buffer != NULL);
    CheckComplete(first, 0);

    // Meanwhile a new export runs without the worker, on the host's thread.
    RingSetJobHook(CompressorWithSlowWindow);
    TestClip clip;
    clip.frames = 4;
    std::string second = dir + "\\meanwhile.avi";
    ExportRecord rec = RunExport(clip, second);
    CHECK(rec.result == 1);
    CHECK(rec.messages.empty());
    CHECK(frame_job_thread == 0);   // no frame went through a job
    CHECK(job_ring.slots[0].buffer != NULL);
    CheckComplete(second, 4);

    // Once the old thread has ended, the worker is used again.
    HANDLE thread = job_ring.worker.thread;
    REQUIRE(WaitForSingleObject(handler_left, 10000) == WAIT_OBJECT_0);
    REQUIRE(WaitForSingleObject(thread, 5000) == WAIT_OBJECT_0);
    std::string third = dir + "\\after.avi";
    rec = RunExport(clip, third);
    RingSetJobHook(NULL);
    CHECK(rec.result == 1);
    CHECK(frame_job_thread != 0);
    CHECK(frame_job_thread != GetCurrentThreadId());
    CHECK(job_ring.worker.thread == NULL);
    CheckComplete(third, 4);
}
