#include "export_host.h"

#include <windows.h>

#include <string.h>

#include "fileio/write_behind_file.h"
#include "plugin/context.h"
#include "plugin/messages.h"
#include "plugin/plugin.h"
#include "video/codec_catalogue.h"

static const TestClip *current_clip;
static ExportRecord *current_record;
static std::vector<uint8_t> frame_buffer;
static std::vector<uint8_t> audio_buffer;
static int next_frame;
static std::vector<std::string> *message_sink;

static void Collect(const char *text)
{
    if (message_sink)
        message_sink->push_back(text);
}

void CollectMessages(std::vector<std::string> *sink)
{
    message_sink = sink;
    SetMessageObserver(sink ? Collect : NULL);
}

static uint32_t Mix(uint32_t x)
{
    x ^= x >> 16;
    x *= 0x7feb352d;
    x ^= x >> 15;
    x *= 0x846ca68b;
    x ^= x >> 16;
    return x;
}

std::vector<uint8_t> TestFrame(const TestClip &clip, int i, uint32_t format)
{
    int bits = format ? 16 : 24;
    uint32_t size = ImageSize(bits, clip.width, clip.height);
    std::vector<uint8_t> frame(size);
    for (uint32_t j = 0; j < size; j++)
        frame[j] = (uint8_t)Mix((uint32_t)i * 0x9E3779B9u + j);
    return frame;
}

int16_t TestSample(int64_t n, int channel)
{
    return (int16_t)Mix((uint32_t)(n * 2 + channel) ^ 0xA5A5A5A5u);
}

static int32_t __cdecl AbortRequested(void)
{
    return current_clip->abort_at >= 0 && next_frame >= current_clip->abort_at;
}

static int32_t __cdecl ShowRemainingTime(int32_t frame, int32_t)
{
    next_frame = frame;
    return 0;
}

static int32_t __cdecl RefreshPreview(void)
{
    return 0;
}

static void *__cdecl FetchVideo(int32_t frame, uint32_t format)
{
    current_record->video_fetches++;
    current_record->formats_asked.push_back(format);
    next_frame = frame + 1;
    if (frame == current_clip->null_video_at)
        return NULL;
    frame_buffer = TestFrame(*current_clip, frame, format);
    return frame_buffer.data();
}

static void *__cdecl FetchAudio(int32_t first, int32_t count, int32_t *delivered)
{
    current_record->audio_asked.push_back({first, count});
    int32_t n = count;
    if (current_clip->audio_limit >= 0 && n > current_clip->audio_limit)
        n = current_clip->audio_limit;
    *delivered = count == 0 && current_clip->claim_for_none ? current_clip->claim_for_none : n;
    if ((int)current_record->audio_asked.size() - 1 == current_clip->null_audio_at)
        return NULL;
    int channels = current_clip->channels;
    audio_buffer.resize((size_t)(*delivered > 0 ? *delivered : 0) * channels * 2 + 2);
    int16_t *out = (int16_t *)audio_buffer.data();
    for (int32_t s = 0; s < n; s++)
        for (int c = 0; c < channels; c++)
            out[s * channels + c] = TestSample((int64_t)first + s, c);
    const uint8_t *bytes = audio_buffer.data();
    current_record->audio_delivered.insert(current_record->audio_delivered.end(), bytes,
                                           bytes + (size_t)(n > 0 ? n : 0) * channels * 2);
    return audio_buffer.data();
}

ExportRecord RunExport(const TestClip &clip, const std::string &path)
{
    ExportRecord record;
    current_clip = &clip;
    current_record = &record;
    next_frame = 0;
    CollectMessages(&record.messages);

    OutputInfo info;
    memset(&info, 0, sizeof(info));
    info.flags = clip.flags >= 0 ? clip.flags
                                 : OUTPUT_HAS_VIDEO | (clip.sample_rate ? OUTPUT_HAS_AUDIO : 0);
    info.width = clip.width;
    info.height = clip.height;
    info.rate = clip.rate;
    info.scale = clip.scale;
    info.frame_count = clip.frames;
    info.sample_rate = clip.sample_rate;
    info.channel_count = clip.channels;
    info.sample_bytes = clip.channels * 2;
    info.file_path = path.c_str();
    info.fetch_audio = FetchAudio;
    info.abort_requested = AbortRequested;
    info.show_remaining_time = ShowRemainingTime;
    info.refresh_preview = RefreshPreview;
    info.fetch_video = FetchVideo;
    record.result = on_output(&info);

    CollectMessages(NULL);
    current_clip = NULL;
    current_record = NULL;
    return record;
}

PluginSession::PluginSession()
{
    on_init();
}

PluginSession::~PluginSession()
{
    on_exit();
}

WriterContext *PrepareWriterContext(int width, int height, int block_align,
                                    uint32_t frame_capacity, int32_t unit_kib)
{
    WriterContext *ctx = &writer_context;
    ctx->width = width;
    ctx->height = height;
    ctx->rate = 25;
    ctx->scale = 1;
    CodecInputFormat(0, &ctx->bih, width, height);
    ctx->wfx.nBlockAlign = (WORD)block_align;
    output_file.frame_capacity = frame_capacity;
    output_file.save_unit_kib = unit_kib;
    return ctx;
}

std::string TestFolder(const char *name)
{
    std::string dir = WinePathOf(VELNIK_BINARY_DIR) + "\\testdata";
    CreateDirectoryA(dir.c_str(), NULL);
    dir += "\\";
    dir += name;
    CreateDirectoryA(dir.c_str(), NULL);
    return dir;
}

std::string WinePathOf(const std::string &unix_path)
{
    std::string out = "Z:";
    for (char c : unix_path)
        out += c == '/' ? '\\' : c;
    return out;
}
