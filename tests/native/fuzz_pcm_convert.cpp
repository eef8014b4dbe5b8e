// libFuzzer target for the PCM converter, built with AddressSanitizer and
// UndefinedBehaviorSanitizer. Every buffer is allocated at exactly the size
// the converter announces, so any access outside it is caught. Besides
// memory safety it checks that a stream cut into blocks converts like the
// uncut stream, and the resampler against plain division.
#include "audio/pcm_convert.h"
#include "tests/support/pcm_model.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <vector>

#define CHECK_OR_DIE(cond)                                                  \
    do {                                                                    \
        if (!(cond)) {                                                      \
            fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond); \
            abort();                                                        \
        }                                                                   \
    } while (0)

namespace {

const uint32_t kRates[] = {8000, 11025, 16000, 22050, 32000, 44100, 48000, 96000};
// Keeps one input cheap: frames after widening over the whole stream.
const uint64_t kMaxWidenedFrames = 1 << 15;

WAVEFORMATEX Format(FuzzedDataProvider &in) {
    WAVEFORMATEX w;
    memset(&w, 0, sizeof w);
    uint8_t kind = in.ConsumeIntegral<uint8_t>();
    w.wFormatTag = (kind & 0x0F) == 0 ? in.ConsumeIntegral<uint16_t>() : 1;
    w.nChannels = (kind & 0x30) == 0 ? in.ConsumeIntegral<uint16_t>() : (kind & 0x40) ? 2 : 1;
    w.wBitsPerSample = (kind & 0x80) && (kind & 0x0F) == 1 ? in.ConsumeIntegral<uint16_t>()
                       : (kind & 0x80)                    ? 16
                                                          : 8;
    uint8_t r = in.ConsumeIntegral<uint8_t>();
    w.nSamplesPerSec = r < 200 ? kRates[r % 8] : r < 240 ? in.ConsumeIntegralInRange<uint32_t>(1, 400000)
                                                          : in.ConsumeIntegral<uint32_t>();
    return w;
}

// One block through buffers of exactly the announced sizes, with stale
// bytes in the carried-frame slot.
void RunBlock(PcmConverter *c, const uint8_t *block, uint32_t length, std::vector<uint8_t> *out) {
    uint32_t src_size = PcmConverterSourceSize(c, length);
    uint32_t dst_size = PcmConverterDestSize(c, length);
    uint8_t *src = (uint8_t *)malloc(src_size);
    uint8_t *dst = (uint8_t *)malloc(dst_size ? dst_size : 1);
    memset(src, 0xCD, 4);
    if (length)
        memcpy(src + 4, block, length);
    uint32_t n = PcmConverterRun(c, dst, src + 4, length);
    CHECK_OR_DIE(n <= dst_size);
    out->insert(out->end(), dst, dst + n);
    free(src);
    free(dst);
}

void FuzzStream(FuzzedDataProvider &in) {
    WAVEFORMATEX s = Format(in), d = Format(in);
    PcmConverter c;
    memset(&c, 0xA7, sizeof c);
    PcmConverter before = c;
    if (!PcmConverterPlan(&c, &s, &d)) {
        CHECK_OR_DIE(memcmp(&c, &before, sizeof c) == 0);
        return;
    }
    CHECK_OR_DIE(s.wFormatTag == 1 && d.wFormatTag == 1);
    CHECK_OR_DIE((s.wBitsPerSample == 8 || s.wBitsPerSample == 16) && (s.nChannels == 1 || s.nChannels == 2));
    CHECK_OR_DIE((d.wBitsPerSample == 8 || d.wBitsPerSample == 16) && (d.nChannels == 1 || d.nChannels == 2));
    CHECK_OR_DIE(c.in_rate >= 1 && c.in_rate <= 32737 && c.out_rate >= 1 && c.out_rate <= 32737);

    const uint32_t frame = (uint32_t)(s.wBitsPerSample / 8 * s.nChannels);
    const uint64_t growth = c.octaves > 0 ? 1ull << c.octaves : 1;
    const uint32_t max_frames = (uint32_t)(kMaxWidenedFrames / growth);
    if (max_frames == 0)
        return;

    std::vector<uint32_t> cuts;
    uint32_t total = 0;
    int blocks = in.ConsumeIntegralInRange<int>(1, 24);
    for (int i = 0; i < blocks && total < max_frames; i++) {
        uint32_t n = in.ConsumeIntegralInRange<uint32_t>(0, in.ConsumeBool() ? 3 : 1000);
        n = n < max_frames - total ? n : max_frames - total;
        // Now and then a ragged end: the partial frame must be ignored.
        uint32_t ragged = frame > 1 && in.ConsumeBool() ? in.ConsumeIntegralInRange<uint32_t>(0, frame - 1) : 0;
        cuts.push_back(n * frame + ragged);
        total += n;
    }
    std::vector<uint8_t> stream, whole;
    for (uint32_t len : cuts) {
        size_t at = stream.size();
        std::vector<uint8_t> bytes = in.ConsumeBytes<uint8_t>(len);
        bytes.resize(len, 0x80);
        stream.insert(stream.end(), bytes.begin(), bytes.end());
        uint32_t whole_len = len - len % frame;
        whole.insert(whole.end(), stream.begin() + at, stream.begin() + at + whole_len);
    }

    PcmConverter one = c;
    std::vector<uint8_t> out_blocks, out_one;
    size_t at = 0;
    for (uint32_t len : cuts) {
        RunBlock(&c, stream.data() + at, len, &out_blocks);
        at += len;
    }
    RunBlock(&one, whole.data(), (uint32_t)whole.size(), &out_one);

    // Same length always; same bytes unless two or more halvings had to
    // carry a remainder that is not a power of two (then at most
    // halvings - 1 least significant bits).
    CHECK_OR_DIE(out_blocks.size() == out_one.size());
    if (one.octaves >= -1) {
        CHECK_OR_DIE(out_blocks == out_one);
    } else {
        const int bytes = d.wBitsPerSample / 8;
        for (size_t i = 0; i + bytes <= out_one.size(); i += bytes) {
            int x = bytes == 2 ? (int16_t)(out_one[i] | out_one[i + 1] << 8) : out_one[i];
            int y = bytes == 2 ? (int16_t)(out_blocks[i] | out_blocks[i + 1] << 8) : out_blocks[i];
            CHECK_OR_DIE(abs(x - y) <= -one.octaves - 1);
        }
    }
}

void FuzzResample(FuzzedDataProvider &in) {
    int32_t F = in.ConsumeIntegralInRange<int32_t>(1, 32767);
    int32_t T = in.ConsumeIntegralInRange<int32_t>(1, 32767);
    uint32_t phase = in.ConsumeIntegral<uint32_t>();
    // Up to 2^16 output frames whatever the ratio.
    uint32_t max_frames = (uint32_t)((65536ull * (uint64_t)F) / (uint64_t)T);
    max_frames = max_frames < 1 ? 1 : max_frames > 1024 ? 1024 : max_frames;
    uint32_t length = in.ConsumeIntegralInRange<uint32_t>(0, 4 * max_frames + 3);
    // The frame behind the block is read too.
    std::vector<uint8_t> src = in.ConsumeBytes<uint8_t>(length / 4 * 4 + 4);
    src.resize(length / 4 * 4 + 4, 0);
    uint64_t bound = 4 * ((uint64_t)(length / 4) * (uint64_t)T / (uint64_t)F + 1);
    uint8_t *a = (uint8_t *)malloc(bound);
    std::vector<uint8_t> b(bound + 8);
    uint32_t pa = phase, pb = phase;
    uint32_t na = PcmResample(a, src.data(), length, F, T, &pa);
    uint32_t nb = ModelResample(b.data(), src.data(), length, F, T, &pb);
    CHECK_OR_DIE(na == nb && pa == pb && na <= bound);
    CHECK_OR_DIE(memcmp(a, b.data(), na) == 0);
    free(a);
}

void FuzzStep(FuzzedDataProvider &in) {
    int which = in.ConsumeIntegralInRange<int>(0, 5);
    uint32_t length = in.ConsumeIntegralInRange<uint32_t>(0, 4096);
    bool grows = which <= 2;
    size_t size = grows ? 2 * (size_t)length : length;
    uint8_t *buf = (uint8_t *)malloc(size ? size : 1);
    std::vector<uint8_t> bytes = in.ConsumeBytes<uint8_t>(length);
    bytes.resize(length, 0);
    if (length)
        memcpy(buf, bytes.data(), length);
    uint32_t n = 0;
    switch (which) {
    case 0: n = Pcm8To16(buf, length); break;
    case 1: n = PcmMonoToStereo(buf, length); break;
    case 2: n = PcmDoubleRate(buf, length); break;
    case 3: n = PcmHalveRate(buf, length); break;
    case 4: n = PcmStereoToMono(buf, length); break;
    default: n = Pcm16To8(buf, length); break;
    }
    CHECK_OR_DIE(n <= size);
    free(buf);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    FuzzedDataProvider in(data, size);
    switch (in.ConsumeIntegralInRange<int>(0, 7)) {
    case 0: FuzzResample(in); break;
    case 1: FuzzStep(in); break;
    default: FuzzStream(in); break;
    }
    return 0;
}
