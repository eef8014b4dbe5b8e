// The worker thread: wake-ups, progress, failure, stop, and message pumping.
#include <doctest/doctest.h>

#include <windows.h>

#include <atomic>

#include "pipeline/worker_thread.h"

// Bounded waits only: a fault shows as a failed check, not as a hung run.
#define LONG_WAIT_MS 10000

static WorkerThread worker;
static std::atomic<int> job_calls;

static int CountingJob(void)
{
    job_calls++;
    return 1;
}

static int FailingJob(void)
{
    job_calls++;
    return 0;
}

static void RequireAllZero(const WorkerThread *w)
{
    CHECK(w->thread == NULL);
    CHECK(w->options == 0);
    CHECK(w->ready_event == NULL);
    CHECK(w->start_event == NULL);
    CHECK(w->running.load() == 0);
    CHECK((w->job == nullptr));
}

static bool IsSet(HANDLE event)
{
    return WaitForSingleObject(event, 0) == WAIT_OBJECT_0;
}

static bool WaitIdle(WorkerThread *w)
{
    return WaitForSingleObject(w->ready_event, LONG_WAIT_MS) == WAIT_OBJECT_0;
}

static HANDLE DuplicateThread(const WorkerThread *w)
{
    HANDLE copy = NULL;
    DuplicateHandle(GetCurrentProcess(), w->thread, GetCurrentProcess(), &copy, 0, FALSE,
                    DUPLICATE_SAME_ACCESS);
    return copy;
}

TEST_CASE("an idle worker runs one pass per wait and stays alive")
{
    job_calls = 0;
    REQUIRE(WorkerStart(&worker, CountingJob, 0) == 1);
    CHECK(worker.thread != NULL);
    CHECK(worker.running.load() == 1);
    REQUIRE(WaitIdle(&worker));
    CHECK(job_calls.load() == 0);

    CHECK(WorkerWaitDone(&worker) == 1);
    CHECK(job_calls.load() == 1);
    CHECK(WorkerWaitDone(&worker) == 1);
    CHECK(job_calls.load() == 2);

    CHECK(WorkerSignal(&worker) == 1);
    CHECK(WorkerWaitDone(&worker) == 1);
    CHECK(job_calls.load() >= 3);

    WorkerStop(&worker);
    RequireAllZero(&worker);
}

TEST_CASE("a failed job ends the worker")
{
    job_calls = 0;
    REQUIRE(WorkerStart(&worker, FailingJob, 0) == 1);
    REQUIRE(WaitIdle(&worker));
    HANDLE thread = DuplicateThread(&worker);
    REQUIRE(thread != NULL);

    CHECK(WorkerWaitDone(&worker) == 0);
    CHECK(job_calls.load() == 1);
    CHECK(worker.running.load() == 0);
    CHECK(WaitForSingleObject(thread, LONG_WAIT_MS) == WAIT_OBJECT_0);

    // The worker left ready_event set; the calls below neither wake nor wait.
    CHECK(IsSet(worker.ready_event));
    CHECK(WorkerSignal(&worker) == 0);
    CHECK(!IsSet(worker.start_event));
    CHECK(WorkerWaitDone(&worker) == 0);
    CHECK(IsSet(worker.ready_event));
    CHECK(!IsSet(worker.start_event));
    CHECK(job_calls.load() == 1);

    DWORD code = 1;
    CHECK(GetExitCodeThread(thread, &code));
    CHECK(code == 0);
    CloseHandle(thread);
    WorkerStop(&worker);
    RequireAllZero(&worker);
}

// Fails while the owner is entering WorkerWaitDone, at a slightly different
// moment each round, to hit the gap between its check of running and its
// reset of ready_event.
static std::atomic<int> race_entered, race_go, race_delay;

static int FailOnCue(void)
{
    race_entered = 1;
    for (int spins = 0; !race_go && spins < 2000000000; spins++)
        YieldProcessor();
    for (int i = race_delay; i > 0; i--)
        YieldProcessor();
    return 0;
}

static std::atomic<int> race_result;

static DWORD WINAPI WaitDoneOnWorker(void *)
{
    race_go = 1;
    race_result = WorkerWaitDone(&worker);
    return 0;
}

TEST_CASE("WorkerWaitDone returns 0 when the job fails while it waits")
{
    for (int round = 0; round < 400; round++) {
        INFO("round ", round);
        race_entered = 0;
        race_go = 0;
        race_delay = (round * 7) % 400;
        race_result = -1;
        REQUIRE(WorkerStart(&worker, FailOnCue, 0) == 1);
        REQUIRE(WaitIdle(&worker));
        REQUIRE(WorkerSignal(&worker) == 1);
        while (!race_entered)
            YieldProcessor();

        // The waiter runs on its own thread so that a hang is seen and
        // bounded here.
        HANDLE waiter = CreateThread(NULL, 0, WaitDoneOnWorker, NULL, 0, NULL);
        REQUIRE(waiter != NULL);
        DWORD waited = WaitForSingleObject(waiter, LONG_WAIT_MS);
        if (waited != WAIT_OBJECT_0) {
            TerminateThread(waiter, 1);
            CloseHandle(waiter);
            FAIL("WorkerWaitDone did not return after the job failed");
        }
        CloseHandle(waiter);
        CHECK(race_result.load() == 0);
        WorkerStop(&worker);
    }
}

TEST_CASE("a stop right after the start still runs the job once")
{
    for (int round = 0; round < 20; round++) {
        INFO("round ", round);
        job_calls = 0;
        REQUIRE(WorkerStart(&worker, CountingJob, 0) == 1);
        HANDLE thread = DuplicateThread(&worker);
        WorkerStop(&worker);
        CHECK(job_calls.load() == 1);
        RequireAllZero(&worker);
        CHECK(WaitForSingleObject(thread, 0) == WAIT_OBJECT_0);
        CloseHandle(thread);
    }
}

TEST_CASE("stop is harmless twice and on a worker never started")
{
    WorkerThread fresh = {};
    WorkerStop(&fresh);
    RequireAllZero(&fresh);
    CHECK(WorkerSignal(&fresh) == 0);
    CHECK(WorkerWaitDone(&fresh) == 0);
    RequireAllZero(&fresh);

    job_calls = 0;
    REQUIRE(WorkerStart(&fresh, CountingJob, 0) == 1);
    WorkerStop(&fresh);
    int calls = job_calls;
    WorkerStop(&fresh);
    RequireAllZero(&fresh);
    CHECK(job_calls.load() == calls);

    // The object is usable again after a stop.
    REQUIRE(WorkerStart(&fresh, CountingJob, 0) == 1);
    REQUIRE(WaitIdle(&fresh));
    calls = job_calls;
    CHECK(WorkerWaitDone(&fresh) == 1);
    CHECK(job_calls.load() == calls + 1);
    WorkerStop(&fresh);
    RequireAllZero(&fresh);
}

// Reports one unit, then holds on until the test lets it finish.
static std::atomic<int> units_done, unit_release, job_returned;

static int UnitJob(void)
{
    units_done++;
    WorkerNotifyReady(&worker);
    for (int spins = 0; !unit_release && spins < 100000; spins++)
        Sleep(1);
    job_returned = 1;
    return 1;
}

TEST_CASE("WorkerWaitDone returns after each reported unit")
{
    units_done = 0;
    unit_release = 0;
    job_returned = 0;
    REQUIRE(WorkerStart(&worker, UnitJob, 0) == 1);
    REQUIRE(WaitIdle(&worker));
    CHECK(WorkerWaitDone(&worker) == 1);
    CHECK(units_done.load() == 1);
    CHECK(job_returned.load() == 0);
    unit_release = 1;
    WorkerStop(&worker);
    CHECK(job_returned.load() == 1);
    RequireAllZero(&worker);
}

// A job that is still working when the stop comes and then succeeds.
static std::atomic<int> slow_entered;

static int SlowJob(void)
{
    slow_entered = 1;
    for (int spins = 0; worker.running.load() && spins < 100000; spins++)
        Sleep(1);
    job_calls++;
    return 1;
}

TEST_CASE("a job that succeeds after the stop request ends the thread with code 0")
{
    job_calls = 0;
    slow_entered = 0;
    REQUIRE(WorkerStart(&worker, SlowJob, 0) == 1);
    REQUIRE(WaitIdle(&worker));
    HANDLE thread = DuplicateThread(&worker);
    REQUIRE(thread != NULL);
    REQUIRE(WorkerSignal(&worker) == 1);
    while (!slow_entered)
        Sleep(1);
    WorkerStop(&worker);
    RequireAllZero(&worker);
    CHECK(job_calls.load() == 1);
    REQUIRE(WaitForSingleObject(thread, LONG_WAIT_MS) == WAIT_OBJECT_0);
    DWORD code = 1;
    CHECK(GetExitCodeThread(thread, &code));
    CHECK(code == 0);
    CloseHandle(thread);
}

// Message pumping. The job makes a message-only window on the worker thread
// on its first pass and afterwards takes any of the test's messages still
// queued for it; the window procedure counts those dispatched.
#define TEST_MESSAGE (WM_APP + 7)

static HWND worker_window;
static std::atomic<int> dispatched, left_in_queue;
static HANDLE dispatch_event;

static LRESULT CALLBACK CountingWindowProc(HWND hwnd, UINT msg, WPARAM wparam, LPARAM lparam)
{
    if (msg == TEST_MESSAGE) {
        dispatched++;
        SetEvent(dispatch_event);
        return 0;
    }
    return DefWindowProcA(hwnd, msg, wparam, lparam);
}

static int WindowJob(void)
{
    job_calls++;
    if (!worker_window) {
        WNDCLASSA wc = {};
        wc.lpfnWndProc = CountingWindowProc;
        wc.hInstance = GetModuleHandleA(NULL);
        wc.lpszClassName = "VelnikWorkerTest";
        RegisterClassA(&wc);
        worker_window = CreateWindowExA(0, wc.lpszClassName, "", 0, 0, 0, 0, 0, HWND_MESSAGE,
                                        NULL, wc.hInstance, NULL);
        return 1;
    }
    MSG msg;
    while (PeekMessageA(&msg, worker_window, TEST_MESSAGE, TEST_MESSAGE, PM_REMOVE))
        left_in_queue++;
    return 1;
}

static void StartWindowWorker(uint32_t options)
{
    job_calls = 0;
    dispatched = 0;
    left_in_queue = 0;
    worker_window = NULL;
    dispatch_event = CreateEventA(NULL, FALSE, FALSE, NULL);
    REQUIRE(dispatch_event != NULL);
    REQUIRE(WorkerStart(&worker, WindowJob, options) == 1);
    REQUIRE(WaitIdle(&worker));
    REQUIRE(WorkerWaitDone(&worker) == 1);
    REQUIRE(worker_window != NULL);
    REQUIRE(job_calls == 1);
}

TEST_CASE("a pumping worker dispatches posted messages while idle")
{
    StartWindowWorker(WORKER_PUMP_MESSAGES);
    for (int i = 0; i < 3; i++)
        REQUIRE(PostMessageA(worker_window, TEST_MESSAGE, i, 0));
    while (dispatched < 3)
        REQUIRE(WaitForSingleObject(dispatch_event, LONG_WAIT_MS) == WAIT_OBJECT_0);
    // Messages do not run the job.
    CHECK(job_calls.load() == 1);

    // A message posted to the thread itself does not wake the job either,
    // and the worker still answers its events afterwards.
    DWORD thread_id = GetWindowThreadProcessId(worker_window, NULL);
    CHECK(PostThreadMessageA(thread_id, TEST_MESSAGE, 0, 0));
    REQUIRE(PostMessageA(worker_window, TEST_MESSAGE, 3, 0));
    while (dispatched < 4)
        REQUIRE(WaitForSingleObject(dispatch_event, LONG_WAIT_MS) == WAIT_OBJECT_0);
    CHECK(job_calls.load() == 1);
    CHECK(WorkerWaitDone(&worker) == 1);
    CHECK(job_calls.load() == 2);
    CHECK(left_in_queue.load() == 0);

    WorkerStop(&worker);
    RequireAllZero(&worker);
    CloseHandle(dispatch_event);
}

TEST_CASE("a plain worker leaves its message queue alone")
{
    StartWindowWorker(0);
    for (int i = 0; i < 3; i++)
        REQUIRE(PostMessageA(worker_window, TEST_MESSAGE, i, 0));
    // Give a wrongly pumping worker the chance to take them.
    Sleep(200);
    CHECK(dispatched.load() == 0);
    CHECK(job_calls.load() == 1);
    CHECK(WorkerWaitDone(&worker) == 1);
    CHECK(left_in_queue.load() == 3);
    CHECK(dispatched.load() == 0);

    WorkerStop(&worker);
    RequireAllZero(&worker);
    CloseHandle(dispatch_event);
}
