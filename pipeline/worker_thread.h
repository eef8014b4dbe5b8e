// A background thread that sleeps until signalled, then runs one job
// function over all pending work.
#pragma once

#include <windows.h>

#include <atomic>
#include <stdint.h>

enum {
    WORKER_PUMP_MESSAGES = 1,   // dispatch window messages while idle
};

typedef int (*WorkerJob)(void);

// All zero is the not-started state; WorkerStop returns it there.
struct WorkerThread {
    HANDLE thread;
    uint32_t options;
    HANDLE ready_event;         // manual reset: set when idle, after each unit, on failure
    HANDLE start_event;         // manual reset: set to wake the worker
    std::atomic<int32_t> running;
    WorkerJob job;
    // Set when a stop timed out: the thread still lives and may still read
    // this object, so it is left as it is until the thread has ended.
    std::atomic<int32_t> abandoned;
};

int WorkerStart(WorkerThread *w, WorkerJob job, uint32_t options);
int WorkerSignal(WorkerThread *w);
int WorkerWaitDone(WorkerThread *w);
int WorkerNotifyReady(WorkerThread *w);
void WorkerStop(WorkerThread *w);
// 1 while a thread abandoned by a timed-out stop still lives. Once it has
// ended, releases what it held, returns the object to all zero and gives 0.
int WorkerAbandoned(WorkerThread *w);
