// The job ring: the host's thread posts frames, audio blocks and the starts
// and ends of the compressors; the compression worker runs them in order.
#include "pipeline/job_ring.h"

#include <windows.h>
#include <vfw.h>

#include <string.h>

#include "avi/avi_writer.h"
#include "audio/audio_codec.h"
#include "fileio/write_behind_file.h"
#include "plugin/context.h"
#include "video/compress_run.h"

JobRing job_ring;

static int fail_next_start;
static int fail_next_grow;
// AVIFileInit ran with a video begin job on the worker; the worker owes the
// AVIFileExit, on its own thread like the init: after the end job, or when
// it ends without one (a failed job, a stop).
static int avifile_owed;
// Set when a slot buffer could not grow: the payload was not copied, and
// every later post fails so that the loss cannot go unnoticed.
static int post_failed;

static RingJobHook job_hook;

void RingFailNextStart(void)
{
    fail_next_start = 1;
}

void RingFailNextGrow(void)
{
    fail_next_grow = 1;
}

void RingSetJobHook(RingJobHook hook)
{
    job_hook = hook;
}

static void ReleaseSlots(void)
{
    for (int i = 0; i < 2; i++) {
        JobRecord *s = &job_ring.slots[i];
        PageFree(s->buffer);
        s->buffer = NULL;
        s->capacity = 0;
        s->length = 0;
        s->context = NULL;
        s->code.store(0, std::memory_order_relaxed);
    }
}

void RingReset(void)
{
    RingStop();   // nothing to do unless an earlier export was never finished
    job_ring.ring_active = 0;
    post_failed = 0;
    // A worker abandoned by a timed-out stop may still read the slots and the
    // consumer index: leave them to it. RingStart then refuses to start, and
    // the jobs run on the host's thread.
    if (WorkerAbandoned(&job_ring.worker))
        return;
    ReleaseSlots();
    job_ring.producer = 0;
    job_ring.consumer = 0;
    job_ring.ring_active = 0;
    post_failed = 0;
}

int RingStart(int32_t minimum)
{
    RingReset();
    if (fail_next_start) {
        fail_next_start = 0;
        return 0;
    }
    if (!WorkerStart(&job_ring.worker, RingDispatch, WORKER_PUMP_MESSAGES))
        return 0;
    job_ring.ring_active = 1;
    uint32_t size = minimum < (int32_t)JOB_SLOT_MIN ? JOB_SLOT_MIN : (uint32_t)minimum;
    for (int i = 0; i < 2; i++) {
        JobRecord *s = &job_ring.slots[i];
        s->buffer = (uint8_t *)PageAlloc(size);
        s->capacity = s->buffer ? size : 0;
    }
    return 1;
}

int RingPost(uint32_t code, WriterContext *context, const void *data, uint32_t length)
{
    JobRecord *s = &job_ring.slots[job_ring.producer];
    if (post_failed)
        return 0;
    while (s->code.load(std::memory_order_acquire) != 0)
        if (WorkerWaitDone(&job_ring.worker) != 1)
            return 0;
    if (length > s->capacity) {
        PageFree(s->buffer);
        s->buffer = fail_next_grow ? NULL : (uint8_t *)PageAlloc(length);
        fail_next_grow = 0;
        s->capacity = s->buffer ? length : 0;
        if (!s->buffer) {
            post_failed = 1;
            return 0;
        }
    }
    s->context = context;
    s->length = length;
    if (length)
        memcpy(s->buffer, data, length);
    s->code.store(code, std::memory_order_release);   // publishes the job
    job_ring.producer ^= 1;
    return WorkerSignal(&job_ring.worker);
}

int RingDrain(void)
{
    if (!job_ring.ring_active)
        return 1;
    for (;;) {
        if (!job_ring.worker.running.load(std::memory_order_acquire))
            return 0;
        if (job_ring.slots[0].code.load(std::memory_order_acquire) == 0 &&
            job_ring.slots[1].code.load(std::memory_order_acquire) == 0)
            return 1;
        if (WorkerWaitDone(&job_ring.worker) != 1)
            return 0;
    }
}

static int CodecCall(uint32_t code, WriterContext *ctx)
{
    if (job_hook) {
        int hooked = job_hook(code, ctx, 0);
        if (hooked >= 0)
            return hooked;
    }
    switch (code) {
    case JOB_VIDEO_BEGIN:
        return VideoCompressBegin(&ctx->video, &ctx->bih, ctx->rate, ctx->scale, ctx->frame_count);
    case JOB_AUDIO_OPEN:
        return AudioCodecStart(&ctx->audio, &ctx->wfx, avi_writer.audio_work[0], AUDIO_WORK_CAPACITY,
                               avi_writer.audio_work[1], AUDIO_WORK_CAPACITY);
    case JOB_VIDEO_END:
        return VideoCompressEnd(&ctx->video);
    case JOB_AUDIO_CLOSE:
        return AudioCodecStop(&ctx->audio);
    }
    return 0;
}

int RingCodecDirect(uint32_t code, WriterContext *ctx)
{
    int ok = CodecCall(code, ctx);
    if (code == JOB_VIDEO_END)
        ctx->state_flags &= ~CTX_VIDEO_CODEC;
    else if (code == JOB_AUDIO_CLOSE)
        ctx->state_flags &= ~CTX_AUDIO_CODEC;
    return ok;
}

// On the worker only.
static void PayAviFileExit(void)
{
    if (avifile_owed) {
        avifile_owed = 0;
        AVIFileExit();
    }
}

static int RunJob(uint32_t code, JobRecord *s)
{
    WriterContext *ctx = s->context;
    if (job_hook && (code == JOB_VIDEO_FRAME || code == JOB_AUDIO_DATA)) {
        int hooked = job_hook(code, ctx, s->length);
        if (hooked >= 0)
            return hooked;
    }
    switch (code) {
    case JOB_VIDEO_FRAME:
        return WriteVideoFrame(ctx, s->buffer, NULL);
    case JOB_VIDEO_DRAIN:
        return WriteVideoEnd(ctx);
    case JOB_AUDIO_DATA:
        return WriteAudio(ctx, s->length ? s->buffer : NULL, s->length);
    case JOB_VIDEO_BEGIN: {
        AVIFileInit();
        int ok = CodecCall(code, ctx);
        if (ok)
            avifile_owed = 1;
        else
            AVIFileExit();
        return ok;
    }
    case JOB_VIDEO_END: {
        int ok = RingCodecDirect(code, ctx);
        PayAviFileExit();
        return ok;
    }
    }
    return RingCodecDirect(code, ctx);
}

int RingDispatch(void)
{
    for (;;) {
        if (job_ring.worker.abandoned.load(std::memory_order_acquire))
            return 0;   // the export went on without this worker
        JobRecord *s = &job_ring.slots[job_ring.consumer];
        uint32_t code = s->code.load(std::memory_order_acquire);
        if (code == 0) {
            if (!job_ring.worker.running.load(std::memory_order_acquire))
                PayAviFileExit();   // stopped: this pass is the thread's last
            return 1;
        }
        if (RunJob(code, s) != 1) {
            PayAviFileExit();
            return 0;   // the job stays in its slot; the worker ends
        }
        s->code.store(0, std::memory_order_release);
        job_ring.consumer ^= 1;
        WorkerNotifyReady(&job_ring.worker);
    }
}

void RingStop(void)
{
    if (!job_ring.ring_active)
        return;
    job_ring.ring_active = 0;
    WorkerStop(&job_ring.worker);
    if (!WorkerAbandoned(&job_ring.worker))
        ReleaseSlots();   // else its thread may still read them
}

int SubmitVideoFrame(WriterContext *context, const void *frame)
{
    if (!frame)
        return 0;
    if (job_ring.ring_active)
        return RingPost(JOB_VIDEO_FRAME, context, frame, context->bih.biSizeImage);
    return WriteVideoFrame(context, frame, NULL);
}

int SubmitVideoEnd(WriterContext *context)
{
    if (!(context->state_flags & CTX_VIDEO_CODEC))
        return 1;
    if (job_ring.ring_active)
        return RingPost(JOB_VIDEO_DRAIN, context, NULL, 0);
    return WriteVideoEnd(context);
}

int SubmitAudio(WriterContext *context, const void *data, uint32_t length)
{
    if (length && !data)
        return 0;
    if (job_ring.ring_active)
        return RingPost(JOB_AUDIO_DATA, context, data, length);
    return WriteAudio(context, data, length);
}
