// The one thread primitive: a worker that sleeps on its start event, runs
// its job over all pending work, reports progress on its ready event, and
// ends when stopped or when the job fails.
#include "pipeline/worker_thread.h"

#include <process.h>
#include <string.h>

#define WORKER_WAIT_STEP_MS 1000
#define WORKER_STOP_TIMEOUT_MS 10000
#define WORKER_WAKE_MASK 0xFF   // QS_KEY..QS_HOTKEY, QS_SENDMESSAGE

static void WorkerWaitForStart(WorkerThread *w)
{
    if (!(w->options & WORKER_PUMP_MESSAGES)) {
        WaitForSingleObject(w->start_event, INFINITE);
        return;
    }
    while (MsgWaitForMultipleObjects(1, &w->start_event, FALSE, INFINITE, WORKER_WAKE_MASK) ==
           WAIT_OBJECT_0 + 1) {
        MSG msg;
        while (PeekMessageA(&msg, NULL, 0, 0, PM_REMOVE)) {
            TranslateMessage(&msg);
            DispatchMessageA(&msg);
        }
    }
}

static unsigned __stdcall WorkerLoop(void *arg)
{
    WorkerThread *w = (WorkerThread *)arg;
    // Running is checked after the job, not before the first wait: a stop
    // that comes before this thread gets going still wakes it for one pass,
    // so work signalled just before the stop is not skipped.
    for (;;) {
        SetEvent(w->ready_event);
        WorkerWaitForStart(w);
        ResetEvent(w->start_event);
        if (w->abandoned.load(std::memory_order_acquire))
            break;   // the owner has gone on without this thread
        if (w->job() != 1) {
            w->running.store(0, std::memory_order_release);
            SetEvent(w->ready_event);
            break;
        }
        if (!w->running.load(std::memory_order_acquire))
            break;
    }
    _endthreadex(0);
    return 0;
}

static void WorkerClear(WorkerThread *w)
{
    w->thread = NULL;
    w->options = 0;
    w->ready_event = NULL;
    w->start_event = NULL;
    w->running.store(0, std::memory_order_relaxed);
    w->job = NULL;
    w->abandoned.store(0, std::memory_order_relaxed);
}

static void WorkerRelease(WorkerThread *w)
{
    CloseHandle(w->thread);
    if (w->ready_event)
        CloseHandle(w->ready_event);
    if (w->start_event)
        CloseHandle(w->start_event);
    WorkerClear(w);
}

int WorkerAbandoned(WorkerThread *w)
{
    if (!w->abandoned.load(std::memory_order_acquire))
        return 0;
    if (WaitForSingleObject(w->thread, 0) != WAIT_OBJECT_0)
        return 1;
    WorkerRelease(w);
    return 0;
}

int WorkerStart(WorkerThread *w, WorkerJob job, uint32_t options)
{
    if (WorkerAbandoned(w))
        return 0;   // never a second thread on an object the first still reads
    WorkerClear(w);
    w->running.store(1, std::memory_order_relaxed);
    w->job = job;
    w->options = options;
    w->ready_event = CreateEventA(NULL, TRUE, FALSE, NULL);
    w->start_event = CreateEventA(NULL, TRUE, FALSE, NULL);
    if (w->ready_event && w->start_event)
        w->thread = (HANDLE)_beginthreadex(NULL, 0, WorkerLoop, w, 0, NULL);
    if (!w->thread) {
        // Also the outcome when an event cannot be made: no thread, no handles.
        if (w->ready_event)
            CloseHandle(w->ready_event);
        if (w->start_event)
            CloseHandle(w->start_event);
        WorkerClear(w);
        return 0;
    }
    return 1;
}

int WorkerSignal(WorkerThread *w)
{
    if (!w->running.load(std::memory_order_acquire))
        return 0;
    SetEvent(w->start_event);
    return 1;
}

int WorkerWaitDone(WorkerThread *w)
{
    if (!w->running.load(std::memory_order_acquire))
        return 0;
    ResetEvent(w->ready_event);
    SetEvent(w->start_event);
    // The thread's end wakes us too: a job that fails between the check of
    // running above and the reset sets ready_event before the reset clears
    // it, and nothing would set it again. Re-signal now and then so that a
    // missed wake-up cannot stall us.
    HANDLE waits[2] = {w->ready_event, w->thread};
    while (WaitForMultipleObjects(2, waits, FALSE, WORKER_WAIT_STEP_MS) == WAIT_TIMEOUT)
        SetEvent(w->start_event);
    return w->running.load(std::memory_order_acquire) ? 1 : 0;
}

int WorkerNotifyReady(WorkerThread *w)
{
    SetEvent(w->ready_event);
    return 1;
}

void WorkerStop(WorkerThread *w)
{
    if (!w->thread)
        return;
    if (w->abandoned.load(std::memory_order_acquire)) {
        WorkerAbandoned(w);   // releases it if it has ended since
        return;
    }
    w->running.store(0, std::memory_order_release);
    SetEvent(w->start_event);
    if (WaitForSingleObject(w->thread, WORKER_STOP_TIMEOUT_MS) != WAIT_OBJECT_0) {
        // The thread may be deep in a window handler or a driver and will read
        // the job and both events when it comes back: keep them, and the
        // thread handle to learn when it has ended. It runs no job after this.
        w->abandoned.store(1, std::memory_order_release);
        return;
    }
    WorkerRelease(w);
}
