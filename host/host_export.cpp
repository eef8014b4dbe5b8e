// One export: the OutputInfo record, its callbacks, and the bookkeeping that
// lets tests see exactly what was handed to the plug-in.
#include "host/host.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#define MAX_PROTOCOL_REPORTS 10

struct ExportState {
    Source *source;
    const ExportOptions *options;
    uint8_t *bgr;
    uint8_t *frame;
    size_t frame_capacity;
    uint8_t *pregenerated;
    int pregenerated_count;
    uint32_t pregenerated_format;
    int16_t *audio;
    size_t audio_capacity;
    HANDLE dump_frames;
    HANDLE dump_audio;
    FILE *call_log;
    int current_frame;
    int video_calls;
    int preview_calls;
    int remaining_calls;
    int abort_polls;
    int audio_calls;
    int64_t samples_asked;
    int64_t samples_delivered;
    uint32_t last_format;
    int protocol_warnings;
    DWORD last_progress;
};

// The callbacks carry no context pointer; there is one export at a time.
static ExportState state;

static void Protocol(const char *format, int a, int b)
{
    if (++state.protocol_warnings > MAX_PROTOCOL_REPORTS)
        return;
    Out("protocol: ");
    Out(format, a, b);
    Out("\n");
}

static int Marked(const FrameMarks *marks, int frame)
{
    for (int i = 0; i < marks->count; i++)
        if (marks->frames[i] == frame)
            return 1;
    return 0;
}

static void Dump(HANDLE file, const void *data, size_t size)
{
    if (file == INVALID_HANDLE_VALUE || size == 0)
        return;
    DWORD written;
    if (!WriteFile(file, data, (DWORD)size, &written, NULL) || written != size)
        Err("dump: write failed\n");
}

static int Reserve(void **buffer, size_t *capacity, size_t size)
{
    if (size <= *capacity)
        return 1;
    void *grown = realloc(*buffer, size);
    if (!grown)
        return 0;
    *buffer = grown;
    *capacity = size;
    return 1;
}

// Frame i of the pregenerated set is frame (i mod count) of the pattern:
// callbacks then only hand out a pointer.
static int Pregenerate(uint32_t format)
{
    Source *s = state.source;
    size_t bytes = FrameBytes(format, s->width, s->height);
    size_t budget = (size_t)state.options->pregenerate_mib << 20;
    int count = (int)(budget / bytes);
    if (count > s->frame_count)
        count = s->frame_count;
    if (count < 1)
        count = 1;
    free(state.pregenerated);
    state.pregenerated = (uint8_t *)malloc(bytes * count);
    if (!state.pregenerated) {
        Err("pregenerate: cannot allocate %lu frames\n", (unsigned long)count);
        state.pregenerated_count = 0;
        return 0;
    }
    for (int i = 0; i < count; i++) {
        SourceRenderBgr(s, i, state.bgr);
        FormatFrame(state.bgr, s->width, s->height, format, state.pregenerated + bytes * i);
    }
    state.pregenerated_count = count;
    state.pregenerated_format = format;
    Out("pregenerated: %d distinct frames (%s)\n", count, format == FOURCC_YUY2 ? "YUY2" : "RGB24");
    return 1;
}

static void *__cdecl FetchVideo(int32_t frame, uint32_t format)
{
    Source *s = state.source;
    if (state.call_log)
        fprintf(state.call_log, "video %d %08lx\n", frame, (unsigned long)format);
    if (frame != state.video_calls)
        Protocol("fetch_video(%d) where frame %d was due", frame, state.video_calls);
    if (state.preview_calls != state.video_calls)
        Protocol("fetch_video(%d) after %d refresh_preview calls", frame, state.preview_calls);
    if (format != 0 && format != FOURCC_YUY2)
        Protocol("fetch_video(%d) asks for unknown format 0x%08x", frame, (int)format);
    state.video_calls++;
    state.current_frame = frame;
    state.last_format = format;
    if (state.options->fetch_delay_ms > 0)
        Sleep(state.options->fetch_delay_ms);
    if (Marked(&state.options->null_video, frame))
        return NULL;

    size_t bytes = FrameBytes(format, s->width, s->height);
    uint8_t *pixels;
    if (state.options->pregenerate) {
        if (state.pregenerated_format != format || !state.pregenerated) {
            Out("pregenerate: the plug-in asks for another format; generating again\n");
            Pregenerate(format);
        }
        if (!state.pregenerated)
            return NULL;
        pixels = state.pregenerated + bytes * (size_t)((uint32_t)frame % (uint32_t)state.pregenerated_count);
    } else {
        if (!Reserve((void **)&state.frame, &state.frame_capacity, bytes))
            return NULL;
        SourceRenderBgr(s, frame, state.bgr);
        FormatFrame(state.bgr, s->width, s->height, format, state.frame);
        pixels = state.frame;
    }
    Dump(state.dump_frames, pixels, bytes);
    return pixels;
}

static void *__cdecl FetchAudio(int32_t first, int32_t count, int32_t *delivered)
{
    Source *s = state.source;
    const ExportOptions *o = state.options;
    state.audio_calls++;
    int frame = state.current_frame;
    // The sample grid of the whole export: frame i owns [i*scale*rate_a/rate, ...).
    int64_t due_first = (int64_t)((double)frame * s->scale * s->sample_rate / s->rate);
    int64_t due_next = (int64_t)((double)(frame + 1) * s->scale * s->sample_rate / s->rate);
    if (first != due_first || count != due_next - due_first)
        Protocol("fetch_audio(%d, %d) off the sample grid", first, count);
    int want = count > 0 ? count : 0;
    state.samples_asked += want;
    if (o->audio_short >= 0 && want > o->audio_short)
        want = o->audio_short;
    if (Marked(&o->audio_none, frame))
        want = 0;
    if (Marked(&o->null_audio, frame)) {
        *delivered = 0;
        if (state.call_log)
            fprintf(state.call_log, "audio %d %d null\n", first, count);
        return NULL;
    }
    size_t block = (size_t)s->channels * 2;
    if (!Reserve((void **)&state.audio, &state.audio_capacity, (want + 1) * block)) {
        *delivered = 0;
        return state.audio;
    }
    int got = SourceAudio(s, first, want, state.audio);
    *delivered = got;
    state.samples_delivered += got;
    Dump(state.dump_audio, state.audio, got * block);
    if (state.call_log)
        fprintf(state.call_log, "audio %d %d %d\n", first, count, got);
    return state.audio;
}

static int32_t __cdecl AbortRequested(void)
{
    state.abort_polls++;
    int abort = state.options->abort_at >= 0 && state.video_calls >= state.options->abort_at;
    if (state.call_log)
        fprintf(state.call_log, "abort %d\n", abort);
    return abort;
}

static int32_t __cdecl ShowRemainingTime(int32_t frame, int32_t frame_count)
{
    state.remaining_calls++;
    if (state.call_log)
        fprintf(state.call_log, "remaining %d %d\n", frame, frame_count);
    if (frame != state.video_calls || frame_count != state.source->frame_count)
        Protocol("show_remaining_time(%d, %d) out of step", frame, frame_count);
    if (state.options->progress) {
        DWORD now = GetTickCount();
        if (now - state.last_progress >= 1000) {
            state.last_progress = now;
            Out("progress: frame %d of %d\n", frame, frame_count);
        }
    }
    return 0;
}

static int32_t __cdecl RefreshPreview(void)
{
    state.preview_calls++;
    if (state.call_log)
        fprintf(state.call_log, "preview\n");
    if (state.preview_calls != state.video_calls)
        Protocol("refresh_preview call %d after %d frames", state.preview_calls, state.video_calls);
    return 0;
}

static HANDLE OpenDump(const char *path)
{
    if (!path)
        return INVALID_HANDLE_VALUE;
    char windows_path[MAX_PATH];
    HANDLE file = INVALID_HANDLE_VALUE;
    if (WindowsPath(path, windows_path, sizeof(windows_path)))
        file = CreateFileA(windows_path, GENERIC_WRITE, FILE_SHARE_READ, NULL, CREATE_ALWAYS, 0, NULL);
    if (file == INVALID_HANDLE_VALUE)
        Err("dump: cannot create %s\n", path);
    return file;
}

static void CloseExport(void)
{
    if (state.dump_frames != INVALID_HANDLE_VALUE)
        CloseHandle(state.dump_frames);
    if (state.dump_audio != INVALID_HANDLE_VALUE)
        CloseHandle(state.dump_audio);
    if (state.call_log)
        fclose(state.call_log);
    free(state.bgr);
    free(state.frame);
    free(state.pregenerated);
    free(state.audio);
    memset(&state, 0, sizeof(state));
}

static uint32_t SelectedFourcc(const OutputPluginTable *table)
{
    uint32_t fourcc = 0;
    int size = table->on_get_settings(NULL);
    if (size != (int)sizeof(WriterContext))
        return 0;
    uint8_t *block = (uint8_t *)calloc(1, (size_t)size);
    if (!block)
        return 0;
    table->on_get_settings(block);
    memcpy(&fourcc, block + offsetof(WriterContext, video.fccHandler), 4);
    free(block);
    return fourcc;
}

// Reserves (without committing) every free range of at least mib MiB, largest
// pieces first, as a long-running 32-bit host whose address space is used up
// would leave it. Returns the number of reservations made; ReleaseCrowd
// gives them back.
#define CROWD_MAX 4096
static void *crowd[CROWD_MAX];
static int crowd_count;

static int CrowdAddressSpace(int mib)
{
    uint64_t floor = (uint64_t)mib << 20;
    uint64_t piece = (uint64_t)1 << 30;
    for (; piece >= floor && crowd_count < CROWD_MAX; piece >>= 1) {
        while (crowd_count < CROWD_MAX) {
            void *p = VirtualAlloc(NULL, (SIZE_T)piece, MEM_RESERVE, PAGE_NOACCESS);
            if (!p)
                break;
            crowd[crowd_count++] = p;
        }
    }
    return crowd_count;
}

static void ReleaseCrowd(void)
{
    while (crowd_count > 0)
        VirtualFree(crowd[--crowd_count], 0, MEM_RELEASE);
}

int RunExport(const OutputPluginTable *table, Source *source, const ExportOptions *options)
{
    memset(&state, 0, sizeof(state));
    state.source = source;
    state.options = options;
    state.dump_frames = state.dump_audio = INVALID_HANDLE_VALUE;

    char path[MAX_PATH];
    if (!WindowsPath(options->output, path, sizeof(path))) {
        Err("export: output path too long: %s\n", options->output);
        return -1;
    }
    if (source->width <= 0 || source->height <= 0 || source->rate <= 0 || source->scale <= 0) {
        Err("export: size and rate must be positive\n");
        return -1;
    }
    state.bgr = (uint8_t *)malloc((size_t)source->width * 3 * source->height);
    if (!state.bgr) {
        Err("export: no memory for a %d x %d frame\n", source->width, source->height);
        return -1;
    }
    state.dump_frames = OpenDump(options->dump_frames);
    state.dump_audio = OpenDump(options->dump_audio);
    if (options->call_log) {
        char log_path[MAX_PATH];
        if (WindowsPath(options->call_log, log_path, sizeof(log_path)))
            state.call_log = fopen(log_path, "w");
        if (!state.call_log)
            Err("call log: cannot create %s\n", options->call_log);
    }
    if (options->pregenerate && source->frame_count > 0)
        Pregenerate(SelectedFourcc(table) == FOURCC_YUY2 ? FOURCC_YUY2 : 0);

    OutputInfo info;
    memset(&info, 0, sizeof(info));
    info.flags = (options->no_video_flag ? 0 : OUTPUT_HAS_VIDEO) | (source->has_audio ? OUTPUT_HAS_AUDIO : 0);
    info.width = source->width;
    info.height = source->height;
    info.rate = source->rate;
    info.scale = source->scale;
    info.frame_count = source->frame_count;
    info.sample_rate = source->sample_rate;
    info.channel_count = source->channels;
    info.sample_bytes = source->channels * 2;
    info.file_path = path;
    info.fetch_audio = FetchAudio;
    info.abort_requested = AbortRequested;
    info.show_remaining_time = ShowRemainingTime;
    info.refresh_preview = RefreshPreview;
    info.fetch_video = FetchVideo;

    Out("export: %s\n", path);
    Out("  video %d x %d, %d/%d fps, %d frames%s\n", source->width, source->height, source->rate, source->scale,
        source->frame_count, options->no_video_flag ? " (flags without OUTPUT_HAS_VIDEO)" : "");
    if (source->has_audio)
        Out("  audio %d Hz, %d channels, 16-bit PCM\n", source->sample_rate, source->channels);
    else
        Out("  no audio\n");

    LARGE_INTEGER frequency, start, stop;
    QueryPerformanceFrequency(&frequency);
    if (options->crowd_mib > 0)
        Out("address space crowded: %d reservations\n", CrowdAddressSpace(options->crowd_mib));
    QueryPerformanceCounter(&start);
    int result = table->on_output(&info);
    QueryPerformanceCounter(&stop);
    ReleaseCrowd();
    double seconds = (double)(stop.QuadPart - start.QuadPart) / (double)frequency.QuadPart;

    Out("frames fetched: %d (format %s), abort polls %d\n", state.video_calls,
        state.video_calls == 0 ? "-" : state.last_format == FOURCC_YUY2 ? "YUY2" : "RGB24", state.abort_polls);
    if (source->has_audio)
        Out("samples asked: %lld, delivered: %lld in %d calls\n", (long long)state.samples_asked,
            (long long)state.samples_delivered, state.audio_calls);
    Out("elapsed: %.3f s\n", seconds);
    if (state.protocol_warnings)
        Out("protocol warnings: %d\n", state.protocol_warnings);
    Out("messages: %d\n", MessagesCount());
    Out("result: %d\n", result);
    CloseExport();
    return result;
}
