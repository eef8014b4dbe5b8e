// The conversion path of an export through Wine's ACM drivers, our own test
// codec and the in-house converter: driver priorities, one and two stages,
// remainders, pieces of oversized blocks, the end-of-stream flush, failures.
#include <doctest/doctest.h>

#include <windows.h>

#include <string.h>
#include <vector>

#include "audio/audio_codec.h"
#include "avi/avi_layout.h"
#include "pipeline/job_ring.h"
#include "plugin/context.h"
#include "plugin/plugin.h"
#include "plugin/texts.h"
#include "support/acm_test_driver.h"
#include "support/avi_reader.h"
#include "support/export_host.h"

namespace {

const uint32_t kCapacity = AUDIO_STAGE_BUFFER_SIZE;

// One export's worth of state and work areas.
struct Path {
    AudioCodecState state;
    std::vector<uint8_t> src, dst;
    uint32_t capacity;

    explicit Path(const void *chosen, uint32_t size, uint32_t cap = kCapacity)
        : src(2 * cap), dst(2 * cap), capacity(cap)
    {
        memset(&state, 0, sizeof(state));
        memcpy(state.chosen_format, chosen, size);
        state.chosen_format_size = size;
        state.flags = AUDIO_CONVERT;
    }
    int Start(const WAVEFORMATEX &host)
    {
        return AudioCodecStart(&state, &host, src.data(), capacity, dst.data(), capacity);
    }
    // Converts and appends the output; returns 0 on failure.
    int Convert(const std::vector<uint8_t> &block, std::vector<uint8_t> *out)
    {
        uint32_t n = 12345;
        const uint8_t *p = AudioCodecConvert(&state, block.data(), (uint32_t)block.size(), &n);
        if (!p)
            return 0;
        out->insert(out->end(), p, p + n);
        return 1;
    }
    int End(std::vector<uint8_t> *out, uint32_t *n)
    {
        const uint8_t *p = AudioCodecConvert(&state, (const uint8_t *)1, 0, n);
        if (!p)
            return 0;
        out->insert(out->end(), p, p + *n);
        return 1;
    }
};

// Deterministic 16-bit noise, frames of `channels` samples.
std::vector<uint8_t> Noise(uint32_t frames, int channels, uint32_t seed)
{
    std::vector<uint8_t> b(frames * channels * 2);
    uint32_t x = seed * 2654435761u + 1;
    for (size_t i = 0; i < b.size(); i++) {
        x = x * 1103515245u + 12345u;
        b[i] = (uint8_t)(x >> 16);
    }
    return b;
}

// The reference: the converter on its own, fed the same blocks with room to spare.
std::vector<uint8_t> ConvertAlone(const WAVEFORMATEX &from, const WAVEFORMATEX &to,
                                  const std::vector<std::vector<uint8_t>> &blocks)
{
    PcmConverter conv;
    REQUIRE(PcmConverterPlan(&conv, &from, &to));
    std::vector<uint8_t> out;
    for (const auto &b : blocks) {
        std::vector<uint8_t> src(PcmConverterSourceSize(&conv, (uint32_t)b.size()));
        std::vector<uint8_t> dst(PcmConverterDestSize(&conv, (uint32_t)b.size()) + 16);
        memcpy(src.data() + 4, b.data(), b.size());
        uint32_t n = PcmConverterRun(&conv, dst.data(), src.data() + 4, (uint32_t)b.size());
        out.insert(out.end(), dst.begin(), dst.begin() + n);
    }
    return out;
}

struct Drivers {
    Drivers()
    {
        REQUIRE(TestCodecInstall());
        AudioCodecInit();
    }
    ~Drivers()
    {
        AudioCodecExit();
    }
};

int SlotOf(HACMDRIVERID id)
{
    for (int i = 0; i < AUDIO_DRIVER_SLOTS; i++)
        if (audio_drivers.slots[i] == id)
            return i;
    return -1;
}

} // namespace

TEST_CASE("driver table: every enabled driver in the slot of its priority, ours too")
{
    Drivers drivers;
    int filled = 0;
    for (int i = 0; i < AUDIO_DRIVER_SLOTS; i++) {
        HACMDRIVERID id = audio_drivers.slots[i];
        if (!id)
            continue;
        filled++;
        DWORD priority = 0;
        CHECK(acmMetrics((HACMOBJ)id, ACM_METRIC_DRIVER_PRIORITY, &priority) == 0);
        CHECK(priority == (DWORD)i);
    }
    DWORD count = 0;
    acmMetrics(NULL, ACM_METRIC_COUNT_DRIVERS, &count);
    CHECK(filled == (int)count);
    CHECK(SlotOf(test_codecs[0].id) > 0);
    CHECK(SlotOf(test_codecs[1].id) > 0);
    CHECK(audio_drivers.default_src != NULL);
    CHECK(audio_drivers.default_dst != NULL);
}

TEST_CASE("drivers of equal priority: only the later one is tried; 256 and above never")
{
    Drivers drivers;
    // Wine numbers drivers by list position, so equal priorities are made here.
    memset(audio_drivers.slots, 0, sizeof(audio_drivers.slots));
    AudioDriverTableAdd(test_codecs[0].id, 7);
    AudioDriverTableAdd(test_codecs[1].id, 7);
    CHECK(audio_drivers.slots[7] == test_codecs[1].id);
    WAVEFORMATEX host = TestPcmFormat(44100, 2, 16), chosen = TestCodecFormat(44100, 2);

    SUBCASE("the later one opens the stream")
    {
        Path path(&chosen, sizeof(chosen));
        REQUIRE(path.Start(host));
        CHECK(test_codecs[1].stats.stream_opens == 1);
        CHECK(test_codecs[0].stats.open_attempts == 0);
        AudioCodecStop(&path.state);
        CHECK(test_codecs[1].stats.stream_closes == 1);
        CHECK(test_codecs[1].stats.driver_closes == test_codecs[1].stats.driver_opens);
    }
    SUBCASE("when the later one refuses, the earlier one is not asked")
    {
        test_codecs[1].refuse_open = 1;
        Path path(&chosen, sizeof(chosen));
        CHECK(path.Start(host) == 0);
        CHECK(test_codecs[0].stats.open_attempts == 0);
        CHECK(test_codecs[1].stats.open_attempts >= 1);
        CHECK(test_codecs[1].stats.driver_closes == test_codecs[1].stats.driver_opens);
    }
    SUBCASE("a priority of 256 keeps a driver out")
    {
        memset(audio_drivers.slots, 0, sizeof(audio_drivers.slots));
        AudioDriverTableAdd(test_codecs[0].id, 256);
        AudioDriverTableAdd(test_codecs[1].id, 0xFFFFFFFF);
        Path path(&chosen, sizeof(chosen));
        CHECK(path.Start(host) == 0);
        CHECK(test_codecs[0].stats.open_attempts + test_codecs[1].stats.open_attempts == 0);
    }
}

TEST_CASE("a chosen PCM format is converted in-house, byte for byte as the converter does")
{
    Drivers drivers;
    WAVEFORMATEX host = TestPcmFormat(44100, 2, 16);
    struct {
        WAVEFORMATEX chosen;
        uint32_t frames;   // per block
    } cases[] = {
        {TestPcmFormat(22050, 1, 8), 1470},
        {TestPcmFormat(48000, 2, 16), 1471},
        {TestPcmFormat(11025, 2, 8), 1763},
        // Blocks of 280 and 300 KB, larger than the stage's source buffer,
        // are converted in pieces.
        {TestPcmFormat(22050, 1, 8), 75000},
        {TestPcmFormat(44100, 1, 16), 70000},
    };
    for (const auto &c : cases) {
        CAPTURE(c.chosen.nSamplesPerSec);
        CAPTURE(c.chosen.nChannels);
        CAPTURE(c.chosen.wBitsPerSample);
        Path path(&c.chosen, 16);
        REQUIRE(path.Start(host));
        CHECK(path.state.flags == (AUDIO_CONVERT | AUDIO_OUTPUT_OPEN));
        CHECK(path.state.output_stream == 0);
        CHECK(path.state.output_driver == 0);
        std::vector<std::vector<uint8_t>> blocks;
        std::vector<uint8_t> out;
        for (uint32_t i = 0; i < 5; i++) {
            blocks.push_back(Noise(c.frames + i, 2, i));
            REQUIRE(path.Convert(blocks.back(), &out));
        }
        uint32_t n = 99;
        REQUIRE(path.End(&out, &n));
        CHECK(n == 0);
        CHECK(out == ConvertAlone(host, c.chosen, blocks));
        AudioCodecStop(&path.state);
        CHECK(path.state.flags == AUDIO_CONVERT);
    }
}

TEST_CASE("a block whose converted output is larger than the stage is converted whole, in its own buffer")
{
    Drivers drivers;
    WAVEFORMATEX host = TestPcmFormat(48000, 2, 16), chosen = TestPcmFormat(96000, 2, 16);
    const uint32_t cap = 100000;
    Path path(&chosen, 16, cap);
    path.dst.resize(2 * cap + 64);
    memset(path.dst.data() + cap, 0xEE, cap + 64);
    REQUIRE(path.Start(host));
    // About 40 KB out, then 104 KB and 384 KB (one second of audio at one
    // frame a second) against a stage of 100 KB.
    std::vector<std::vector<uint8_t>> blocks = {Noise(5000, 2, 1), Noise(13000, 2, 2), Noise(48000, 2, 3)};
    std::vector<uint8_t> out;
    for (const auto &b : blocks)
        REQUIRE(path.Convert(b, &out));
    CHECK(out == ConvertAlone(host, chosen, blocks));
    for (uint32_t i = cap; i < 2 * cap + 64; i++)
        REQUIRE(path.dst[i] == 0xEE);
    AudioCodecStop(&path.state);
}

TEST_CASE("IMA ADPCM opens straight from the host's PCM; the unconsumed rest goes first next time")
{
    Drivers drivers;
    WAVEFORMATEX host = TestPcmFormat(44100, 2, 16);
    uint8_t chosen[64] = {0};
    WAVEFORMATEX *ima = (WAVEFORMATEX *)chosen;
    ima->wFormatTag = WAVE_FORMAT_IMA_ADPCM;
    REQUIRE(acmFormatSuggest(NULL, &host, ima, sizeof(chosen), ACM_FORMATSUGGESTF_WFORMATTAG) == 0);
    REQUIRE(ima->nSamplesPerSec == 44100);
    REQUIRE(ima->nChannels == 2);
    uint32_t frames_per_block = ((WORD *)(chosen + 18))[0];
    Path path(chosen, 18 + ima->cbSize);
    REQUIRE(path.Start(host));
    CHECK(path.state.flags == (AUDIO_CONVERT | AUDIO_OUTPUT_OPEN));
    CHECK(path.state.output_stream != 0);
    CHECK(path.state.output_driver != 0);

    // Stream the same audio through a second ACM stream in one piece: the
    // block-by-block result must match it.
    std::vector<uint8_t> all, out;
    for (int i = 0; i < 12; i++) {
        std::vector<uint8_t> b = Noise(1470 + 37 * i, 2, 100 + i);
        all.insert(all.end(), b.begin(), b.end());
        REQUIRE(path.Convert(b, &out));
    }
    uint32_t whole_blocks = (uint32_t)(all.size() / 4) / frames_per_block;
    CHECK(out.size() == whole_blocks * ima->nBlockAlign);

    HACMSTREAM s;
    REQUIRE(acmStreamOpen(&s, NULL, &host, ima, NULL, 0, 0, ACM_STREAMOPENF_NONREALTIME) == 0);
    std::vector<uint8_t> ref(all.size());
    ACMSTREAMHEADER h;
    memset(&h, 0, sizeof(h));
    h.cbStruct = sizeof(h);
    h.pbSrc = all.data();
    h.cbSrcLength = (DWORD)all.size();
    h.pbDst = ref.data();
    h.cbDstLength = (DWORD)ref.size();
    REQUIRE(acmStreamPrepareHeader(s, &h, 0) == 0);
    REQUIRE(acmStreamConvert(s, &h, ACM_STREAMCONVERTF_BLOCKALIGN) == 0);
    ref.resize(h.cbDstLengthUsed);
    acmStreamUnprepareHeader(s, &h, 0);
    acmStreamClose(s, 0);
    CHECK(out == ref);
    AudioCodecStop(&path.state);
    CHECK((path.state.flags & (AUDIO_OUTPUT_OPEN | AUDIO_PRE_OPEN)) == 0);
}

TEST_CASE("GSM 6.10 needs 8 kHz mono: two stages, and the end converts the last partial block")
{
    Drivers drivers;
    WAVEFORMATEX host = TestPcmFormat(44100, 2, 16);
    GSM610WAVEFORMAT gsm;
    memset(&gsm, 0, sizeof(gsm));
    gsm.wfx.wFormatTag = WAVE_FORMAT_GSM610;
    gsm.wfx.nChannels = 1;
    gsm.wfx.nSamplesPerSec = 8000;
    gsm.wfx.nAvgBytesPerSec = 1625;
    gsm.wfx.nBlockAlign = 65;
    gsm.wfx.cbSize = 2;
    gsm.wSamplesPerBlock = 320;
    Path path(&gsm, sizeof(gsm));
    REQUIRE(path.Start(host));
    CHECK(path.state.flags == (AUDIO_CONVERT | AUDIO_OUTPUT_OPEN | AUDIO_PRE_OPEN));
    CHECK(path.state.pre_stream == 0);
    CHECK(path.state.output_stream != 0);
    CHECK(path.state.intermediate.wFormatTag == WAVE_FORMAT_PCM);
    CHECK(path.state.intermediate.nSamplesPerSec == 8000);
    CHECK(path.state.intermediate.nChannels == 1);
    CHECK(path.state.intermediate.wBitsPerSample == 16);
    CHECK(path.state.intermediate.nBlockAlign == 2);
    CHECK(path.state.intermediate.nAvgBytesPerSec == 16000);
    CHECK(path.state.intermediate.cbSize == 2);

    std::vector<std::vector<uint8_t>> blocks;
    std::vector<uint8_t> out;
    for (int i = 0; i < 10; i++) {
        blocks.push_back(Noise(1764, 2, 7 + i));
        REQUIRE(path.Convert(blocks.back(), &out));
    }
    // What the first stage made of them, as samples at 8 kHz.
    uint32_t samples = (uint32_t)ConvertAlone(host, path.state.intermediate, blocks).size() / 2;
    CHECK(out.size() == samples / 320 * 65);
    uint32_t n = 0;
    REQUIRE(path.End(&out, &n));
    CHECK(n == (samples % 320 ? 65u : 0u));
    CHECK(out.size() == (samples + 319) / 320 * 65);
    AudioCodecStop(&path.state);
    CHECK(path.state.flags == AUDIO_CONVERT);
}

TEST_CASE("test codec: order, remainders, pieces and the flush")
{
    Drivers drivers;
    WAVEFORMATEX host = TestPcmFormat(44100, 2, 16), chosen = TestCodecFormat(44100, 2);
    const uint32_t block = chosen.nBlockAlign;

    SUBCASE("output is the input in order; what waits is converted first")
    {
        Path path(&chosen, sizeof(chosen));
        REQUIRE(path.Start(host));
        std::vector<uint8_t> all, out;
        for (int i = 0; i < 9; i++) {
            std::vector<uint8_t> b = Noise(1000 + 333 * i, 2, i);
            all.insert(all.end(), b.begin(), b.end());
            REQUIRE(path.Convert(b, &out));
            CHECK(out.size() == all.size() / block * block);
        }
        uint32_t n = 0;
        REQUIRE(path.End(&out, &n));
        CHECK(n == block);   // END with block alignment gave nothing: END alone did
        CHECK(test_codecs[0].stats.end_converts + test_codecs[1].stats.end_converts == 2);
        REQUIRE(out.size() == (all.size() + block - 1) / block * block);
        CHECK(std::vector<uint8_t>(out.begin(), out.begin() + all.size()) == all);
        AudioCodecStop(&path.state);
    }
    SUBCASE("nothing waiting: the end returns no bytes without asking the codec")
    {
        Path path(&chosen, sizeof(chosen));
        REQUIRE(path.Start(host));
        std::vector<uint8_t> out;
        REQUIRE(path.Convert(Noise(TEST_CODEC_FRAMES * 3, 2, 1), &out));
        int converts = test_codecs[0].stats.converts + test_codecs[1].stats.converts;
        uint32_t n = 7;
        REQUIRE(path.End(&out, &n));
        CHECK(n == 0);
        CHECK(test_codecs[0].stats.converts + test_codecs[1].stats.converts == converts);
        AudioCodecStop(&path.state);
    }
    SUBCASE("blocks larger than the stage buffers go in pieces, never past them")
    {
        const uint32_t cap = 3000;   // room for 7 codec blocks and a little
        Path path(&chosen, sizeof(chosen), cap);
        // Guard bytes right behind each stage's buffers.
        path.src.resize(2 * cap + 64);
        path.dst.resize(2 * cap + 64);
        memset(path.src.data() + cap, 0xEE, cap + 64);
        memset(path.dst.data() + cap, 0xEE, cap + 64);
        REQUIRE(path.Start(host));
        std::vector<uint8_t> all, out;
        for (uint32_t frames : {100u, 5000u, 777u, 20000u, 3u}) {
            std::vector<uint8_t> b = Noise(frames, 2, frames);
            all.insert(all.end(), b.begin(), b.end());
            REQUIRE(path.Convert(b, &out));
            CHECK(out.size() == all.size() / block * block);
        }
        CHECK(std::vector<uint8_t>(out.begin(), out.end()) ==
              std::vector<uint8_t>(all.begin(), all.begin() + out.size()));
        for (uint32_t i = cap; i < 2 * cap + 64; i++) {
            REQUIRE(path.src[i] == 0xEE);
            REQUIRE(path.dst[i] == 0xEE);
        }
        AudioCodecStop(&path.state);
    }
    SUBCASE("a failing codec fails the block; the stream still closes")
    {
        test_codecs[0].fail_after = test_codecs[1].fail_after = 3;
        Path path(&chosen, sizeof(chosen));
        REQUIRE(path.Start(host));
        std::vector<uint8_t> out;
        for (int i = 0; i < 3; i++)
            REQUIRE(path.Convert(Noise(1000, 2, i), &out));
        CHECK(path.Convert(Noise(1000, 2, 9), &out) == 0);
        AudioCodecStop(&path.state);
        CHECK(test_codecs[0].stats.stream_closes + test_codecs[1].stats.stream_closes == 1);
        CHECK(path.state.flags == AUDIO_CONVERT);
    }
}

TEST_CASE("no way to the chosen format: start fails cleanly and can be tried again")
{
    Drivers drivers;
    WAVEFORMATEX host = TestPcmFormat(44100, 2, 16);

    SUBCASE("MS ADPCM: Wine's driver suggests the format but opens no encoder")
    {
        uint8_t chosen[64] = {0};
        WAVEFORMATEX *ms = (WAVEFORMATEX *)chosen;
        ms->wFormatTag = WAVE_FORMAT_ADPCM;
        REQUIRE(acmFormatSuggest(NULL, &host, ms, sizeof(chosen), ACM_FORMATSUGGESTF_WFORMATTAG) == 0);
        Path path(chosen, 18 + ms->cbSize);
        CHECK(path.Start(host) == 0);
        CHECK(path.state.flags == AUDIO_CONVERT);
        uint32_t n = 5;
        CHECK(AudioCodecConvert(&path.state, chosen, 4, &n) == NULL);
    }
    SUBCASE("our codec at a rate it refuses; both stages tried, everything closed")
    {
        // Only our two codecs: Wine's PCM driver opens streams to any tag.
        memset(audio_drivers.slots, 0, sizeof(audio_drivers.slots));
        AudioDriverTableAdd(test_codecs[0].id, 1);
        AudioDriverTableAdd(test_codecs[1].id, 2);
        WAVEFORMATEX chosen = TestCodecFormat(44100, 2);
        chosen.nBlockAlign = 3;   // neither takes this
        Path path(&chosen, sizeof(chosen));
        CHECK(path.Start(host) == 0);
        CHECK(path.state.flags == AUDIO_CONVERT);
        for (int i = 0; i < 2; i++) {
            CHECK(test_codecs[i].stats.open_attempts == 2);   // direct, then from the first stage
            CHECK(test_codecs[i].stats.driver_closes == test_codecs[i].stats.driver_opens);
        }
        // The next export starts afresh.
        chosen.nBlockAlign = TestCodecFormat(44100, 2).nBlockAlign;
        memcpy(path.state.chosen_format, &chosen, sizeof(chosen));
        CHECK(path.Start(host) == 1);
        AudioCodecStop(&path.state);
    }
    SUBCASE("a damaged stored size is refused before any driver sees it")
    {
        WAVEFORMATEX chosen = TestCodecFormat(44100, 2);
        chosen.cbSize = 5000;   // beyond the stored area
        Path path(&chosen, sizeof(chosen));
        CHECK(path.Start(host) == 0);
        path.state.chosen_format_size = 4097;
        CHECK(path.Start(host) == 0);
        CHECK(test_codecs[0].stats.open_attempts + test_codecs[1].stats.open_attempts == 0);
    }
}

namespace {

struct ExportedAudio {
    std::vector<uint8_t> file;
    std::vector<uint8_t> audio;   // the "01wb" chunks joined
    uint16_t tag;
    uint32_t scale;               // strh dwScale of the audio stream
    int has_idx1;
};

ExportedAudio ReadExport(const std::string &path)
{
    ExportedAudio e;
    e.file = ReadWholeFile(path);
    std::vector<AviChunk> chunks = ParseChunks(e.file);
    e.has_idx1 = !FindChunks(chunks, FCC_IDX1).empty();
    for (const AviChunk &c : chunks)
        if (c.id == FCC_01WB)
            e.audio.insert(e.audio.end(), e.file.begin() + c.offset + 8, e.file.begin() + c.offset + 8 + c.size);
    std::vector<AviChunk> strh = FindChunks(chunks, FCC_STRH), strf = FindChunks(chunks, FCC_STRF);
    e.tag = strf.size() == 2 ? ReadU16(e.file, strf[1].offset + 8) : 0;
    e.scale = strh.size() == 2 ? ReadU32(e.file, strh[1].offset + 8 + 20) : 0;
    return e;
}

std::string ExportPath(const char *name)
{
    return TestFolder("audio_codec") + "\\" + name;
}

// The plug-in loaded with our codec installed, and the codec chosen.
struct CodecExport {
    PluginSession *plugin;
    CodecExport()
    {
        REQUIRE(TestCodecInstall());
        plugin = new PluginSession;
        WAVEFORMATEX chosen = TestCodecFormat(44100, 2);
        memcpy(writer_context.audio.chosen_format, &chosen, sizeof(chosen));
        writer_context.audio.chosen_format_size = sizeof(chosen);
        writer_context.audio.flags = AUDIO_CONVERT;
    }
    ~CodecExport()
    {
        delete plugin;
    }
};

int StreamOpens()
{
    return test_codecs[0].stats.stream_opens + test_codecs[1].stats.stream_opens;
}

const TestCodecStats &Opened()
{
    return test_codecs[0].stats.stream_opens ? test_codecs[0].stats : test_codecs[1].stats;
}

} // namespace

TEST_CASE("an export through a codec: started and ended on the worker, every sample kept")
{
    CodecExport session;
    TestClip clip;
    clip.frames = 12;
    clip.audio_limit = 1501;   // 1501 frames a block, 18012 in all: the last codec block is partial

    std::string path;
    SUBCASE("through the compression worker")
    {
        path = ExportPath("worker.avi");
        ExportRecord r = RunExport(clip, path);
        REQUIRE(r.result == 1);
        CHECK(r.messages.empty());
        REQUIRE(StreamOpens() == 1);
        CHECK(Opened().open_thread != GetCurrentThreadId());
        CHECK(Opened().close_thread == Opened().open_thread);
        CHECK(Opened().stream_closes == 1);
    }
    SUBCASE("on the host's thread when the worker does not start")
    {
        RingFailNextStart();
        path = ExportPath("direct.avi");
        ExportRecord r = RunExport(clip, path);
        REQUIRE(r.result == 1);
        REQUIRE(StreamOpens() == 1);
        CHECK(Opened().open_thread == GetCurrentThreadId());
        CHECK(Opened().close_thread == GetCurrentThreadId());
    }
    {
        ExportedAudio e = ReadExport(path);
        CHECK(e.has_idx1);
        CHECK(e.tag == TEST_CODEC_TAG);
        CHECK(e.scale == 400u);
        // 180 whole codec blocks, and the partial last one converted by the
        // flush, padded with silence.
        std::vector<uint8_t> want(12 * 1501 * 4, 0);
        for (int f = 0; f < 12; f++)
            for (int s = 0; s < 1501; s++)
                for (int c = 0; c < 2; c++) {
                    int16_t v = TestSample((int64_t)f * 1764 + s, c);
                    memcpy(&want[((size_t)f * 1501 + s) * 4 + c * 2], &v, 2);
                }
        want.resize(181 * 400, 0);
        CHECK(e.audio.size() == want.size());
        CHECK(e.audio == want);
    }
}

TEST_CASE("a codec failing mid-export or on the last frames: the write-failure message and a finished file")
{
    // Conversions that succeed, frames: failing on the last frame's audio
    // leaves nothing for the loop to notice; only finish can tell.
    struct { int fail_after, frames; } rows[] = {{4, 20}, {0, 2}, {1, 2}};
    for (const auto &row : rows) {
        CAPTURE(row.fail_after);
        CAPTURE(row.frames);
        CodecExport session;
        test_codecs[0].fail_after = test_codecs[1].fail_after = row.fail_after;
        TestClip clip;
        clip.frames = row.frames;
        ExportRecord r = RunExport(clip, ExportPath("failing.avi"));
        CHECK(r.result == 1);
        CHECK(r.messages == std::vector<std::string>({TEXT_WRITE_FAILED}));
        CHECK(Opened().stream_closes == 1);
        ExportedAudio e = ReadExport(ExportPath("failing.avi"));
        CHECK(e.has_idx1);
        CHECK(ReadU32(e.file, 4) + 8 == e.file.size());
        // What the conversions that succeeded made is in the file.
        CHECK(e.audio.size() == (size_t)row.fail_after * 1764 * 4 / 400 * 400);
    }
}

TEST_CASE("a format no driver encodes: the audio initialisation message and no half-written file")
{
    PluginSession plugin;
    uint8_t chosen[64] = {0};
    WAVEFORMATEX *ms = (WAVEFORMATEX *)chosen;
    ms->wFormatTag = WAVE_FORMAT_ADPCM;
    WAVEFORMATEX host = writer_context.wfx;
    REQUIRE(acmFormatSuggest(NULL, &host, ms, sizeof(chosen), ACM_FORMATSUGGESTF_WFORMATTAG) == 0);
    memcpy(writer_context.audio.chosen_format, chosen, 18 + ms->cbSize);
    writer_context.audio.chosen_format_size = 18 + ms->cbSize;
    writer_context.audio.flags = AUDIO_CONVERT;
    TestClip clip;
    clip.frames = 5;
    std::string path = ExportPath("msadpcm.avi");
    ExportRecord r = RunExport(clip, path);
    CHECK(r.result == 0);
    REQUIRE(r.messages.size() == 1);
    CHECK(r.messages[0] == TEXT_AUDIO_INIT_FAILED);
    CHECK(r.video_fetches == 0);
    CHECK((writer_context.audio.flags & (AUDIO_OUTPUT_OPEN | AUDIO_PRE_OPEN)) == 0);
    CHECK((writer_context.audio.flags & AUDIO_CONVERT) != 0);   // the choice stays
    // The headers already written could never be finished: no file stays.
    CHECK(GetFileAttributesA(path.c_str()) == INVALID_FILE_ATTRIBUTES);
}
