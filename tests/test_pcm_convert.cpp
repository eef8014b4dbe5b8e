// PCM converter: planning, the arithmetic of the steps and the resampler,
// and block-cut invariance over the common rates. Builds for Windows (run
// under Wine) and natively with sanitizers (tests/native).
#include <doctest/doctest.h>

#include "audio/pcm_convert.h"
#include "tests/support/pcm_model.h"

#include <stdlib.h>
#include <string.h>

#include <vector>

namespace {

typedef std::vector<uint8_t> Bytes;

WAVEFORMATEX Pcm(uint32_t rate, int channels, int bits, int tag = 1) {
    WAVEFORMATEX w;
    memset(&w, 0, sizeof w);
    w.wFormatTag = (uint16_t)tag;
    w.nChannels = (uint16_t)channels;
    w.nSamplesPerSec = rate;
    w.wBitsPerSample = (uint16_t)bits;
    w.nBlockAlign = (uint16_t)(channels * bits / 8);
    w.nAvgBytesPerSec = rate * w.nBlockAlign;
    return w;
}

PcmConverter Planned(uint32_t src_rate, int src_ch, int src_bits, uint32_t dst_rate, int dst_ch,
                     int dst_bits) {
    PcmConverter c;
    memset(&c, 0x5A, sizeof c);
    WAVEFORMATEX s = Pcm(src_rate, src_ch, src_bits), d = Pcm(dst_rate, dst_ch, dst_bits);
    REQUIRE(PcmConverterPlan(&c, &s, &d) == 1);
    return c;
}

uint32_t rng_state = 12345;
uint32_t Rand() {
    rng_state = rng_state * 1664525u + 1013904223u;
    return rng_state >> 8;
}

Bytes RandomBytes(size_t n) {
    Bytes b(n);
    for (size_t i = 0; i < n; i++)
        b[i] = (uint8_t)Rand();
    return b;
}

Bytes Frames16(std::initializer_list<int> samples) {
    Bytes b;
    for (int s : samples) {
        b.push_back((uint8_t)(s & 0xFF));
        b.push_back((uint8_t)((s >> 8) & 0xFF));
    }
    return b;
}

int Sample16(const Bytes &b, size_t i) { return (int16_t)(b[2 * i] | (b[2 * i + 1] << 8)); }

const uint8_t kGuard = 0xA5;
const size_t kGuardBytes = 16;

bool GuardIntact(const Bytes &b, size_t from) {
    for (size_t i = from; i < b.size(); i++)
        if (b[i] != kGuard)
            return false;
    return true;
}

// Runs one block the way the audio stage does: the block 4 bytes into a
// source buffer of exactly the announced size, guard bytes behind both
// buffers. Appends the output.
void RunBlock(PcmConverter *c, const uint8_t *block, uint32_t length, Bytes *out) {
    uint32_t src_need = PcmConverterSourceSize(c, length);
    uint32_t dst_need = PcmConverterDestSize(c, length);
    REQUIRE(src_need >= 4 + length - length % 4);
    Bytes src(src_need + kGuardBytes, kGuard), dst(dst_need + kGuardBytes, kGuard);
    if (length)
        memcpy(src.data() + 4, block, length);
    uint32_t n = PcmConverterRun(c, dst.data(), src.data() + 4, length);
    REQUIRE(n <= dst_need);
    REQUIRE(GuardIntact(src, src_need));
    REQUIRE(GuardIntact(dst, dst_need));
    out->insert(out->end(), dst.begin(), dst.begin() + n);
}

Bytes RunBlocks(PcmConverter c, const Bytes &data, const std::vector<uint32_t> &lengths) {
    Bytes out;
    size_t at = 0;
    for (uint32_t len : lengths) {
        RunBlock(&c, data.data() + at, len, &out);
        at += len;
    }
    return out;
}

const uint32_t kRates[] = {8000, 11025, 16000, 22050, 32000, 44100, 48000, 96000};

} // namespace

TEST_CASE("plans follow the rate ratio in octaves and bounded working rates") {
    struct {
        uint32_t src, dst;
        int32_t octaves, F, T;
    } cases[] = {
        {44100, 22050, -1, 22050, 22050}, {22050, 44100, 1, 22050, 22050},
        {48000, 44100, 0, 24000, 22050},  {44100, 96000, 1, 22050, 24000},
        {8000, 44100, 2, 16000, 22050},   {44101, 48000, 0, 22050, 24000},
        {44100, 44100, 0, 22050, 22050},  {96000, 8000, -3, 24000, 16000},
    };
    for (auto &k : cases) {
        CAPTURE(k.src);
        CAPTURE(k.dst);
        PcmConverter c = Planned(k.src, 2, 16, k.dst, 1, 8);
        CHECK(c.octaves == k.octaves);
        CHECK(c.in_rate == k.F);
        CHECK(c.out_rate == k.T);
        CHECK(c.src_rate == (int32_t)k.src);
        CHECK(c.dst_rate == (int32_t)k.dst);
        CHECK((c.src_channels == 2 && c.dst_channels == 1));
        CHECK((c.src_bits == 16 && c.dst_bits == 8));
        CHECK((c.phase == 0 && c.lookback_bytes == 0 && c.held_bytes == 0));
    }
}

TEST_CASE("plans refuse what the steps cannot convert faithfully, leaving the converter") {
    WAVEFORMATEX good = Pcm(44100, 2, 16);
    WAVEFORMATEX bad[] = {
        Pcm(44100, 2, 16, 2),   Pcm(44100, 2, 16, 0x55), Pcm(44100, 2, 24),
        Pcm(44100, 2, 32),      Pcm(44100, 1, 12),       Pcm(44100, 2, 0),
        Pcm(44100, 0, 16),      Pcm(44100, 3, 16),       Pcm(44100, 6, 16),
        Pcm(0, 2, 16),          Pcm(0x80000000u, 2, 16), Pcm(0xFFFFFFFFu, 1, 8),
    };
    for (auto &b : bad) {
        PcmConverter c, before;
        memset(&c, 0x77, sizeof c);
        before = c;
        CHECK(PcmConverterPlan(&c, &b, &good) == 0);
        CHECK(PcmConverterPlan(&c, &good, &b) == 0);
        CHECK(memcmp(&c, &before, sizeof c) == 0);
    }
    // More than 16 octaves apart: the block would grow 2^17-fold.
    PcmConverter c;
    WAVEFORMATEX low = Pcm(1, 2, 16), high = Pcm(200000, 2, 16), top = Pcm(0x7FFFFFFF, 2, 16);
    CHECK(PcmConverterPlan(&c, &low, &high) == 0);
    CHECK(PcmConverterPlan(&c, &high, &low) == 0);
    CHECK(PcmConverterPlan(&c, &top, &high) == 1);
    CHECK(c.in_rate <= 32737);
    CHECK(c.out_rate <= 32737);
}

TEST_CASE("an unplanned converter converts nothing and touches no buffer") {
    PcmConverter c;
    memset(&c, 0xEE, sizeof c);
    Bytes src(64, kGuard), dst(64, kGuard);
    CHECK(PcmConverterRun(&c, dst.data(), src.data() + 4, 32) == 0);
    CHECK(GuardIntact(src, 0));
    CHECK(GuardIntact(dst, 0));
    CHECK(PcmConverterDestSize(&c, 32) == 0xFFFFFFFFu);
}

TEST_CASE("resampler: worked examples, and truncation toward zero") {
    uint8_t out[64];
    uint32_t phase = 0;
    Bytes up = Frames16({0, 0, 300, 300, 600, 600});
    REQUIRE(PcmResample(out, up.data(), 8, 2, 3, &phase) == 12);
    Bytes got(out, out + 12);
    CHECK(got == Frames16({0, 0, 150, 150, 300, 300}));
    CHECK(phase == 0);

    Bytes down = Frames16({0, 0, 300, 300, 600, 600, 900, 900});
    REQUIRE(PcmResample(out, down.data(), 12, 3, 2, &phase) == 8);
    got.assign(out, out + 8);
    CHECK(got == Frames16({100, 100, 500, 500}));
    CHECK(phase == 0);

    // -1 and -2 with equal weights: the resampler truncates to -1, the whole
    // steps shift to -2.
    Bytes pair = Frames16({-1, -1, -2, -2});
    phase = 1; // output starts half way: w0 = w1 = 1
    REQUIRE(PcmResample(out, pair.data(), 4, 2, 3, &phase) == 4);
    CHECK(Sample16(Bytes(out, out + 4), 0) == -1);
    Bytes halve = pair;
    REQUIRE(PcmHalveRate(halve.data(), 8) == 4);
    CHECK(Sample16(halve, 0) == -2);
    Bytes mono = Frames16({-1, -2});
    REQUIRE(PcmStereoToMono(mono.data(), 4) == 2);
    CHECK(Sample16(mono, 0) == -2);
}

TEST_CASE("resampler matches plain division for every working rate") {
    // The division is done by multiplication; check it against '/' over the
    // whole divisor range, with full-scale and random samples, both ways.
    Bytes src = Frames16({-32768, 32767, 32767, -32768, -32768, -32768, 32767, 32767, 1, -1});
    Bytes rnd = RandomBytes(4 * 9);
    src.insert(src.end(), rnd.begin(), rnd.end());
    const uint32_t len = (uint32_t)src.size() - 4;
    uint8_t a[256], b[256];
    for (int32_t F = 1; F <= 32767; F++) {
        int32_t Ts[] = {F + 1 <= 32767 ? F + 1 : F - 1, F / 2 + 1, 2 * F - 1 <= 32767 ? 2 * F - 1 : 32767};
        for (int32_t T : Ts) {
            uint32_t pa = (uint32_t)F / 3, pb = pa;
            uint32_t na = PcmResample(a, src.data(), len, F, T, &pa);
            uint32_t nb = ModelResample(b, src.data(), len, F, T, &pb);
            if (na != nb || pa != pb || memcmp(a, b, na) != 0) {
                CAPTURE(F);
                CAPTURE(T);
                FAIL("resampler differs from the model");
            }
        }
    }
}

TEST_CASE("whole steps: extremes and rounding") {
    Bytes b = {0, 1, 127, 128, 129, 255, 0, 0, 0, 0, 0, 0};
    const int wide[] = {-32768, -32512, -256, 0, 256, 32512};
    REQUIRE(Pcm8To16(b.data(), 6) == 12);
    for (int i = 0; i < 6; i++)
        CHECK(Sample16(b, i) == wide[i]);
    REQUIRE(Pcm16To8(b.data(), 12) == 6);
    CHECK(Bytes(b.begin(), b.begin() + 6) == Bytes({0, 1, 127, 128, 129, 255}));

    Bytes n = Frames16({-32768, -1, 0, 255, 256, 32767});
    REQUIRE(Pcm16To8(n.data(), 12) == 6);
    CHECK(Bytes(n.begin(), n.begin() + 6) == Bytes({0, 127, 128, 128, 129, 255}));

    Bytes m = Frames16({-5, 7, 0, 0});
    REQUIRE(PcmMonoToStereo(m.data(), 4) == 8);
    CHECK(m == Frames16({-5, -5, 7, 7}));
    REQUIRE(PcmDoubleRate(m.data(), 4) == 8);
    CHECK(m == Frames16({-5, -5, -5, -5}));

    Bytes h = Frames16({32767, -32768, 32767, -32768, -3, 4, 0, 1, 9, 9});
    REQUIRE(PcmHalveRate(h.data(), 20) == 8); // the odd fifth frame is not touched
    CHECK(Bytes(h.begin(), h.begin() + 8) == Frames16({32767, -32768, -2, 2}));
    Bytes s = Frames16({32767, 32767, -32768, -32768, 3, -4});
    REQUIRE(PcmStereoToMono(s.data(), 12) == 6);
    CHECK(Bytes(s.begin(), s.begin() + 6) == Frames16({32767, -32768, -1}));
}

TEST_CASE("44100 stereo 16-bit to 22050 mono 8-bit averages twice and narrows") {
    PcmConverter c = Planned(44100, 2, 16, 22050, 1, 8);
    Bytes in = Frames16({1000, 3001, 2000, -7000, -300, -301, -300, -300, 5, 6});
    Bytes out;
    RunBlock(&c, in.data(), (uint32_t)in.size(), &out);
    // ((1000+2000)>>1 + (3001-7000)>>1) >> 1 = (1500 - 2000) >> 1 = -250 -> -1 + 128
    // ((-300-300)>>1 + (-301-300)>>1) >> 1 = (-300 - 301) >> 1 = -301 -> -2 + 128
    CHECK(out == Bytes({127, 126}));
    // The fifth frame waits and is paired with the next block's first.
    CHECK(c.held_bytes == 4);
    CHECK((c.held_frame[0] == 5 && c.held_frame[1] == 6));
    Bytes next = Frames16({-2000, 1000});
    out.clear();
    RunBlock(&c, next.data(), 4, &out);
    // ((5-2000)>>1 + (6+1000)>>1) >> 1 = (-998 + 503) >> 1 = -248 -> -1 + 128
    CHECK(out == Bytes({127}));
    CHECK(c.held_bytes == 0);
}

TEST_CASE("equal formats copy, octave up repeats frames without a carried frame") {
    int widths[] = {8, 16}, channels[] = {1, 2};
    for (int bits : widths)
        for (int ch : channels) {
            PcmConverter c = Planned(32000, ch, bits, 32000, ch, bits);
            Bytes in = RandomBytes(600), out;
            RunBlock(&c, in.data(), 600, &out);
            CHECK(out == in);
            CHECK(c.lookback_bytes == 0);
        }
    PcmConverter c = Planned(22050, 2, 16, 44100, 2, 16);
    Bytes in = Frames16({1, -2, 3, -4}), out;
    RunBlock(&c, in.data(), 8, &out);
    CHECK(out == Frames16({1, -2, 1, -2, 3, -4, 3, -4}));
    CHECK(c.lookback_bytes == 0);
}

TEST_CASE("48000 to 44100 carries the last frame of each block into the next") {
    PcmConverter c = Planned(48000, 2, 16, 44100, 2, 16);
    Bytes in = RandomBytes(4 * 100);
    Bytes src(4 + 400 + kGuardBytes, kGuard), dst(PcmConverterDestSize(&c, 400) + kGuardBytes, kGuard);
    memcpy(src.data() + 4, in.data(), 400);
    uint32_t n = PcmConverterRun(&c, dst.data(), src.data() + 4, 400);
    // 99 frames resampled: output frames start at 0, 24000, ... below 99 * 22050.
    CHECK(n == 4 * 91);
    CHECK(c.lookback_bytes == 4);
    CHECK(memcmp(c.lookback_frame, in.data() + 396, 4) == 0);
    CHECK(GuardIntact(Bytes(src.begin(), src.begin() + 4), 0)); // nothing written before the first block
    memcpy(src.data() + 4, in.data(), 8);
    PcmConverterRun(&c, dst.data(), src.data() + 4, 8);
    CHECK(memcmp(src.data(), in.data() + 396, 4) == 0);
}

TEST_CASE("blocks shorter than a frame change nothing; one-frame blocks stream normally") {
    PcmConverter c = Planned(48000, 2, 16, 44100, 1, 16);
    PcmConverter before = c;
    Bytes src(16, kGuard), dst(16, kGuard);
    CHECK(PcmConverterRun(&c, dst.data(), src.data() + 4, 0) == 0);
    CHECK(PcmConverterRun(&c, dst.data(), src.data() + 4, 3) == 0);
    CHECK(memcmp(&c, &before, sizeof c) == 0);
    CHECK(GuardIntact(src, 0));
    CHECK(GuardIntact(dst, 0));

    // A trailing partial frame is left out rather than shifting the channels.
    Bytes in = RandomBytes(4 * 51);
    Bytes whole = RunBlocks(before, in, {200});
    Bytes ragged = RunBlocks(before, in, {202});
    CHECK(ragged == whole);

    // Frame by frame, through every kind of step, gives the stream's output.
    uint32_t pairs[][2] = {{48000, 44100}, {44100, 22050}, {11025, 44100}, {8000, 96000}, {44100, 48000}};
    for (auto &p : pairs) {
        PcmConverter k = Planned(p[0], 1, 8, p[1], 2, 16);
        Bytes mono = RandomBytes(300);
        std::vector<uint32_t> ones(300, 1);
        CHECK(RunBlocks(k, mono, ones) == RunBlocks(k, mono, {300}));
    }
}

namespace {

// Output frames of one block of n source frames, from the rates alone:
// doublings first, one frame kept back when resampling, output frames start
// every F units in n' * T units, then whole groups of 2^k are averaged.
uint64_t ExpectedFrames(const PcmConverter &c, uint64_t n) {
    uint64_t w = c.octaves > 0 ? n << c.octaves : n;
    if (c.in_rate != c.out_rate)
        w = ((w - 1) * (uint64_t)c.out_rate + (uint64_t)c.in_rate - 1) / (uint64_t)c.in_rate;
    return c.octaves < 0 ? w >> -c.octaves : w;
}

struct Diff {
    size_t frames; // differing output frames
    int most;      // largest difference of one sample
};

Diff Compare(const Bytes &a, const Bytes &b, int bits, int channels) {
    Diff d = {0, 0};
    size_t bytes = (size_t)(bits / 8);
    size_t frame = bytes * (size_t)channels;
    for (size_t f = 0; f + frame <= a.size(); f += frame) {
        bool differs = false;
        for (size_t s = f; s < f + frame; s += bytes) {
            int x = bits == 16 ? (int16_t)(a[s] | a[s + 1] << 8) : a[s];
            int y = bits == 16 ? (int16_t)(b[s] | b[s + 1] << 8) : b[s];
            int e = abs(x - y);
            differs |= e != 0;
            d.most = e > d.most ? e : d.most;
        }
        d.frames += differs;
    }
    return d;
}

} // namespace

TEST_CASE("a stream cut into blocks converts as one block, for all common rates and formats") {
    // Exact for every pair with at most one halving. With two or more (e.g.
    // 44100 -> 11025, 96000 -> 8000) a cut can leave 3, 5, 6 or 7 frames
    // short of a whole group; one held frame cannot carry those exactly, so
    // the first output frame after such a cut may differ by a least
    // significant bit, or by up to halvings - 1 after a run of blocks
    // shorter than a group. Never in length, never more than one frame per cut.
    int widths[] = {8, 16}, channels[] = {1, 2};
    const uint32_t frames = 2400;
    for (uint32_t sr : kRates)
        for (uint32_t dr : kRates)
            for (int sb : widths)
                for (int sc : channels)
                    for (int db : widths)
                        for (int dc : channels) {
                            PcmConverter c = Planned(sr, sc, sb, dr, dc, db);
                            uint32_t fb = (uint32_t)(sb / 8 * sc);
                            Bytes in = RandomBytes(frames * fb);
                            std::vector<uint32_t> cuts;
                            for (uint32_t left = frames; left;) {
                                uint32_t n = Rand() % 4 == 0 ? Rand() % 3 : Rand() % 300;
                                n = n < left ? n : left;
                                cuts.push_back(n * fb);
                                left -= n;
                            }
                            Bytes one = RunBlocks(c, in, {frames * fb});
                            Bytes cut = RunBlocks(c, in, cuts);
                            CAPTURE(sr);
                            CAPTURE(dr);
                            CAPTURE(sb);
                            CAPTURE(sc);
                            CAPTURE(db);
                            CAPTURE(dc);
                            REQUIRE(one.size() == cut.size());
                            CHECK(one.size() == ExpectedFrames(c, frames) * (size_t)(db / 8 * dc));
                            if (c.octaves >= -1) {
                                CHECK(one == cut);
                            } else {
                                Diff d = Compare(one, cut, db, dc);
                                CHECK(d.frames <= cuts.size());
                                CHECK(d.most <= -c.octaves - 1);
                            }
                        }
}

TEST_CASE("with two halvings, cuts that leave a power-of-two remainder stay exact") {
    // 44100 -> 11025 groups four frames; remainders of 1 and 2 frames are
    // carried exactly, 3 is not.
    PcmConverter c = Planned(44100, 2, 16, 11025, 2, 16);
    Bytes in = RandomBytes(4 * 1000);
    Bytes one = RunBlocks(c, in, {4000});
    CHECK(RunBlocks(c, in, {4 * 401, 4 * 1, 4 * 298, 4 * 300}) == one);
    CHECK(RunBlocks(c, in, {4 * 402, 4 * 598}) == one);
    Diff d = Compare(one, RunBlocks(c, in, {4 * 403, 4 * 597}), 16, 2);
    CHECK(d.frames <= 1);
    CHECK(d.most <= 1);
}

TEST_CASE("output frame counts follow the rate ratio") {
    const uint64_t n = 48000;
    for (uint32_t sr : kRates)
        for (uint32_t dr : kRates) {
            PcmConverter c = Planned(sr, 2, 16, dr, 2, 16);
            double want = (double)n * dr / sr;
            double got = (double)ExpectedFrames(c, n);
            CAPTURE(sr);
            CAPTURE(dr);
            CHECK(got <= want + 1);
            CHECK(got >= want - want * 2e-4 - 8);
        }
    // Bounding truncates 44101 to 22050 against 24000: the count follows
    // that ratio, not 48000 / 44101.
    // Ten seconds: 480010 frames where the true ratio gives 480000.
    PcmConverter c = Planned(44101, 2, 16, 48000, 2, 16);
    Bytes in = RandomBytes(4 * 441010), out;
    RunBlock(&c, in.data(), (uint32_t)in.size(), &out);
    CHECK(out.size() / 4 == 480010);
}
