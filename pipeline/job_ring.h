// Two-slot job ring between the host's thread (the only producer) and the
// compression worker (the only consumer).
#pragma once

#include <atomic>
#include <stdint.h>

#include "pipeline/worker_thread.h"

struct WriterContext;

enum {
    JOB_VIDEO_FRAME = 1,
    JOB_VIDEO_DRAIN = 2,
    JOB_AUDIO_DATA = 3,
    JOB_VIDEO_BEGIN = 5,
    JOB_AUDIO_OPEN = 6,
    JOB_VIDEO_END = 7,
    JOB_AUDIO_CLOSE = 8,
};

#define JOB_SLOT_MIN 0x40000u

struct JobRecord {
    std::atomic<uint32_t> code;   // 0: free, the producer's; else the worker's
    WriterContext *context;
    uint32_t length;
    uint8_t *buffer;
    uint32_t capacity;
};

struct JobRing {
    JobRecord slots[2];
    int producer;                 // host's thread only
    int consumer;                 // worker only
    int ring_active;
    WorkerThread worker;
};

extern JobRing job_ring;

// Clears both slots and marks the ring inactive (start of an export).
void RingReset(void);
int RingStart(int32_t minimum);
int RingPost(uint32_t code, WriterContext *context, const void *data, uint32_t length);
int RingDrain(void);
int RingDispatch(void);
// Stops the worker. While a worker abandoned by a timed-out stop lives, its
// slots are left to it (WorkerAbandoned tells).
void RingStop(void);
// A compressor start or end on the calling thread, when the ring is not
// active or its worker has stopped. An end clears its CTX_ flag. (The
// AVIFileExit owed by a begin job is made by the worker itself, on the thread
// of its AVIFileInit.)
int RingCodecDirect(uint32_t code, WriterContext *context);

int SubmitVideoFrame(WriterContext *context, const void *frame);
// After the last frame of a whole export (never after an abort or a failure):
// the frames a compressor still holds back, on the thread that compresses.
int SubmitVideoEnd(WriterContext *context);
int SubmitAudio(WriterContext *context, const void *data, uint32_t length);

// Test hooks.
// Makes the next RingStart behave as if its worker could not start.
void RingFailNextStart(void);
// Makes the next slot that has to grow fail as if no pages were left.
void RingFailNextGrow(void);
// Sees every job before it runs, on the thread that runs it, and the direct
// compressor starts and ends. A result of 0 or 1 stands for the job's own,
// which then does not run; -1 runs it.
typedef int (*RingJobHook)(uint32_t code, WriterContext *context, uint32_t length);
void RingSetJobHook(RingJobHook hook);
