// The compression run against recording compressors: which messages a
// compressor gets, in which order, and every value in the structures.
#include <doctest/doctest.h>

#include <windows.h>
#include <vfw.h>

#include <string.h>

#include <string>
#include <vector>

#include "plugin/messages.h"
#include "plugin/plugin.h"
#include "tests/support/export_host.h"
#include "tests/support/fake_codec.h"
#include "video/codec_catalogue.h"
#include "video/compress_run.h"

namespace {

VideoCodecState state;

BITMAPINFOHEADER InputFormat(int width = 16, int height = 8, bool yuy2 = false)
{
    BITMAPINFOHEADER bih;
    memset(&bih, 0, sizeof(bih));
    bih.biSize = sizeof(bih);
    bih.biPlanes = 1;
    CodecInputFormat(yuy2 ? Fourcc("YUY2") : 0, &bih, width, height);
    return bih;
}

struct Run {
    std::vector<std::string> messages;
    Run(const std::vector<FakeCodecDesc> &descs)
    {
        CodecCatalogueRelease();
        FakeCodecsInstall(descs);
        CodecCatalogueBuild();
        FakeCallsClear();
        memset(&state, 0, sizeof(state));
        state.fccHandler = descs[0].fcc;
        CollectMessages(&messages);
    }
    ~Run()
    {
        VideoCompressEnd(&state);
        CollectMessages(NULL);
        CodecCatalogueRelease();
        FakeCodecsRemove();
    }
};

BITMAPINFOHEADER ExtraHeader(const FakeCall &call)
{
    BITMAPINFOHEADER bih;
    memset(&bih, 0, sizeof(bih));
    memcpy(&bih, call.extra.data(), call.extra.size() < sizeof(bih) ? call.extra.size() : sizeof(bih));
    return bih;
}

// Compresses n frames whose first byte is the frame number; returns the
// flags the compressor gave each.
std::vector<uint32_t> Frames(int n, uint32_t bytes)
{
    std::vector<uint32_t> flags;
    std::vector<uint8_t> frame(bytes);
    for (int i = 0; i < n; i++) {
        frame[0] = (uint8_t)i;
        uint32_t f = 0xFFFF, size = 0;
        const uint8_t *out = VideoCompressFrame(&state, frame.data(), &f, &size);
        REQUIRE(out != nullptr);
        flags.push_back(f);
    }
    return flags;
}

std::vector<int32_t> OfferedSizes()
{
    std::vector<int32_t> sizes;
    for (const FakeCall &c : FakeCallsOf(ICM_COMPRESS))
        sizes.push_back((int32_t)FakeData<ICCOMPRESS>(c).dwFrameSize);
    return sizes;
}

std::vector<int> ForcedKeys()
{
    std::vector<int> keys;
    for (const FakeCall &c : FakeCallsOf(ICM_COMPRESS)) {
        ICCOMPRESS icc = FakeData<ICCOMPRESS>(c);
        if (icc.dwFlags & ICCOMPRESS_KEYFRAME)
            keys.push_back(icc.lFrameNum);
    }
    return keys;
}

FakeCodecDesc Codec(const char *fcc)
{
    FakeCodecDesc s;
    s.fcc = Fourcc(fcc);
    return s;
}

FakeCodecDesc TemporalCodec(const char *fcc)
{
    FakeCodecDesc s = Codec(fcc);
    s.vidcf = VIDCF_TEMPORAL | VIDCF_QUALITY | VIDCF_CRUNCH | VIDCF_COMPRESSFRAMES;
    s.default_key_rate = 10;
    s.default_quality = 7000;
    s.configure = true;
    s.format_size = 52;
    s.out_size = 50000;
    return s;
}

}  // namespace

TEST_CASE("a run of a compressor that needs the previous frame")
{
    Run run({TemporalCodec("RecA")});
    state.quality = 6500;
    state.keyRate = 3;
    state.dataRate = 300;
    state.stateSize = 5;
    memcpy(state.state, "\x01\x02\x03\x04\x05", 5);
    BITMAPINFOHEADER in = InputFormat(16, 8);
    REQUIRE(VideoCompressBegin(&state, &in, 30, 1, 7) == 1);

    std::vector<UINT> order = FakeMessageOrder(0);
    std::vector<UINT> expected = {DRV_LOAD, DRV_ENABLE, DRV_OPEN, ICM_COMPRESS_QUERY, ICM_SETSTATE,
                                  ICM_COMPRESS_GET_FORMAT, ICM_COMPRESS_GET_FORMAT,
                                  ICM_COMPRESS_FRAMES_INFO, ICM_COMPRESS_BEGIN,
                                  ICM_COMPRESS_GET_SIZE, ICM_DECOMPRESS_BEGIN};
    CHECK(order == expected);

    int index = CodecFind(Fourcc("RecA"));
    const CodecEntry &e = codec_catalogue.entries[index];
    CHECK((e.flags & CF_KEEP_OPEN) != 0);
    CHECK(e.hic != nullptr);
    CHECK(memcmp(&state.bihIn, &in, sizeof(in)) == 0);
    CHECK(state.frameBudget == 10240);
    CHECK(state.allowance == 0);
    CHECK(state.keyCountdown == 0);
    CHECK(state.frameNum == 0);
    CHECK(state.bihOutSize == 52);
    const BITMAPINFOHEADER *out = (const BITMAPINFOHEADER *)state.bihOut;
    CHECK(out->biCompression == Fourcc("RecA"));
    CHECK(out->biSize == 52);
    CHECK(state.bihOut[51] == (uint8_t)(51 * 3));
#if !defined(_WIN64)
    CHECK(state.hic == (uint32_t)(uintptr_t)e.hic);
    CHECK(state.outBuffer != 0);
    CHECK(state.prevBuffer != 0);
#endif

    std::vector<FakeCall> set = FakeCallsOf(ICM_SETSTATE);
    REQUIRE(set.size() == 1);
    CHECK(set[0].p2 == 5);
    CHECK(set[0].data == std::vector<uint8_t>({1, 2, 3, 4, 5}));
    std::vector<FakeCall> query = FakeCallsOf(ICM_COMPRESS_QUERY);
    CHECK(query[0].p1 == (LPARAM)&state.bihIn);
    CHECK(query[0].p2 == 0);
    std::vector<FakeCall> format = FakeCallsOf(ICM_COMPRESS_GET_FORMAT);
    CHECK(format[0].p1 == (LPARAM)&state.bihIn);
    CHECK(format[0].p2 == 0);
    CHECK(format[1].p2 == (LPARAM)state.bihOut);

    ICCOMPRESSFRAMES frames = FakeData<ICCOMPRESSFRAMES>(FakeCallsOf(ICM_COMPRESS_FRAMES_INFO)[0]);
    CHECK(FakeCallsOf(ICM_COMPRESS_FRAMES_INFO)[0].p2 == sizeof(ICCOMPRESSFRAMES));
    CHECK(frames.dwFlags == 0);
    CHECK(frames.lpbiOutput == out);
    CHECK(frames.lOutput == 0);
    CHECK(frames.lpbiInput == &state.bihIn);
    CHECK(frames.lInput == 0);
    CHECK(frames.lStartFrame == 0);
    CHECK(frames.lFrameCount == 7);
    CHECK(frames.lQuality == 6500);
    CHECK(frames.lDataRate == 300 * 1024);
    CHECK(frames.lKeyRate == 3);
    CHECK(frames.dwRate == 30);
    CHECK(frames.dwScale == 1);
    CHECK(frames.dwOverheadPerFrame == 0);
    CHECK(frames.dwReserved2 == 0);
    CHECK((frames.GetData == nullptr && frames.PutData == nullptr));
    FakeCall begin = FakeCallsOf(ICM_COMPRESS_BEGIN)[0];
    CHECK(begin.p1 == (LPARAM)&state.bihIn);
    CHECK(begin.p2 == (LPARAM)state.bihOut);
    FakeCall dbegin = FakeCallsOf(ICM_DECOMPRESS_BEGIN)[0];
    CHECK(dbegin.p1 == (LPARAM)state.bihOut);
    CHECK(dbegin.p2 == (LPARAM)&state.bihIn);

    // Seven frames: keys forced at 0, 3 and 6; the compressor adds none.
    FakeDesc(0).sizes = {300, 200, 100};
    FakeCallsClear();
    std::vector<uint8_t> frame(in.biSizeImage, 0);
    const uint8_t *first_out = nullptr;
    for (int i = 0; i < 7; i++) {
        frame[0] = (uint8_t)(0x10 + i);
        uint32_t flags = 0xFFFF, size = 0;
        const uint8_t *bytes = VideoCompressFrame(&state, frame.data(), &flags, &size);
        REQUIRE(bytes != nullptr);
        if (!first_out)
            first_out = bytes;
        CHECK(bytes == first_out);   // one buffer for the run
        CHECK(size == (i == 0 ? 300u : i == 1 ? 200u : 100u));
        CHECK(flags == (i % 3 == 0 ? (uint32_t)AVIIF_KEYFRAME : 0u));
        CHECK(bytes[0] == (uint8_t)(i * 7));
    }
    CHECK(state.frameNum == 7);
    std::vector<FakeCall> compress = FakeCallsOf(ICM_COMPRESS);
    std::vector<FakeCall> decompress = FakeCallsOf(ICM_DECOMPRESS);
    REQUIRE(compress.size() == 7);
    REQUIRE(decompress.size() == 7);
    for (int i = 0; i < 7; i++) {
        INFO("frame ", i);
        bool key = i % 3 == 0;
        ICCOMPRESS icc = FakeData<ICCOMPRESS>(compress[i]);
        CHECK(compress[i].p2 == sizeof(ICCOMPRESS));
        CHECK(icc.dwFlags == (key ? (DWORD)ICCOMPRESS_KEYFRAME : 0u));
        CHECK(icc.lpbiOutput == out);
        CHECK(icc.lpOutput == first_out);
        CHECK(icc.lpbiInput == &state.bihIn);
        CHECK(compress[i].input_first == 0x10 + i);
        CHECK(icc.lpckid != nullptr);
        CHECK(compress[i].flags_before == 0);
        CHECK(icc.lFrameNum == i);
        CHECK(icc.dwQuality == 6500);
        if (key) {
            CHECK(icc.lpbiPrev == nullptr);
            CHECK(icc.lpPrev == nullptr);
        } else {
            CHECK(icc.lpbiPrev == &state.bihIn);
            CHECK(icc.lpPrev != nullptr);
            // The rebuild of frame i - 1 (the fake fills 0xA0 + count) is handed over.
            CHECK(compress[i].prev_first == 0xA0 + i);
        }
        ICDECOMPRESS icd = FakeData<ICDECOMPRESS>(decompress[i]);
        CHECK(decompress[i].p2 == sizeof(ICDECOMPRESS));
        CHECK(icd.dwFlags == (key ? 0u : (DWORD)ICDECOMPRESS_NOTKEYFRAME));
        CHECK(icd.lpbiInput == out);
        CHECK(ExtraHeader(decompress[i]).biSizeImage ==
              (i == 0 ? 300u : i == 1 ? 200u : 100u));
        CHECK(icd.lpInput == first_out);
        CHECK(icd.lpbiOutput == &state.bihIn);
        CHECK(icd.ckid == (key ? mmioFOURCC('0', '0', 'd', 'b') : mmioFOURCC('0', '0', 'd', 'c')));
        if (!key)
            CHECK(icd.lpOutput == icc.lpPrev);
    }

    FakeCallsClear();
    CHECK(VideoCompressEnd(&state) == 1);
    CHECK(FakeMessageOrder(0) == std::vector<UINT>({ICM_COMPRESS_END, ICM_DECOMPRESS_END}));
    CHECK(state.outBuffer == 0);
    CHECK(state.prevBuffer == 0);
    // The handle stays open for the next run.
    CHECK(codec_catalogue.entries[index].hic != nullptr);
    FakeCallsClear();
    CHECK(VideoCompressEnd(&state) == 1);
    CHECK(FakeCalls().empty());
    uint32_t f = 0, s = 0;
    uint8_t dummy[4] = {0};
    CHECK(VideoCompressFrame(&state, dummy, &f, &s) == nullptr);
    CHECK(FakeCalls().empty());

    // A second run reuses the handle and restores the saved state again.
    REQUIRE(VideoCompressBegin(&state, &in, 30, 1, 0) == 1);
    CHECK(FakeCallsOf(DRV_OPEN).empty());
    CHECK(FakeCallsOf(ICM_SETSTATE).size() == 1);
    CHECK(run.messages.empty());
}

TEST_CASE("a compressor with fast temporal compression gets no previous frame")
{
    FakeCodecDesc fast = TemporalCodec("Fast");
    fast.vidcf |= VIDCF_FASTTEMPORALC;
    fast.vidcf &= ~(DWORD)VIDCF_COMPRESSFRAMES;
    fast.key_every = 4;
    Run run({fast});
    state.keyRate = 0;
    BITMAPINFOHEADER in = InputFormat(16, 8);
    REQUIRE(VideoCompressBegin(&state, &in, 25, 1, 0) == 1);
    CHECK(FakeCallsOf(ICM_DECOMPRESS_BEGIN).empty());
    CHECK(FakeCallsOf(ICM_COMPRESS_FRAMES_INFO).empty());
    CHECK(state.prevBuffer == 0);
    std::vector<uint32_t> flags = Frames(9, in.biSizeImage);
    // Its own key frames come back as key frames, though only frame 0 was forced.
    CHECK(ForcedKeys() == std::vector<int>({0}));
    for (int i = 0; i < 9; i++)
        CHECK(flags[i] == (i % 4 == 0 ? (uint32_t)AVIIF_KEYFRAME : 0u));
    for (const FakeCall &c : FakeCallsOf(ICM_COMPRESS)) {
        ICCOMPRESS icc = FakeData<ICCOMPRESS>(c);
        CHECK(icc.lpPrev == nullptr);
        CHECK(icc.lpbiPrev == (icc.lFrameNum == 0 ? nullptr : &state.bihIn));
    }
    CHECK(FakeCallsOf(ICM_DECOMPRESS).empty());
    FakeCallsClear();
    VideoCompressEnd(&state);
    CHECK(FakeMessageOrder(0) == std::vector<UINT>({ICM_COMPRESS_END}));
}

TEST_CASE("forced key frames")
{
    struct Case {
        int32_t key_rate;
        std::vector<int> keys;
    } cases[] = {
        {1, {0, 1, 2, 3, 4, 5, 6, 7, 8, 9}},
        {4, {0, 4, 8}},
        {0, {0}},
        {-2, {0}},
    };
    for (const Case &k : cases) {
        INFO("key rate ", k.key_rate);
        Run run({TemporalCodec("Keys")});
        state.keyRate = k.key_rate;
        BITMAPINFOHEADER in = InputFormat();
        REQUIRE(VideoCompressBegin(&state, &in, 25, 1, 0) == 1);
        Frames(10, in.biSizeImage);
        CHECK(ForcedKeys() == k.keys);
    }
}

TEST_CASE("the data-rate budget")
{
    SUBCASE("300 KB/s at 30 fps: 10240 bytes a frame, carried over")
    {
        FakeCodecDesc c = Codec("Rate");
        c.sizes = {15000, 100, 10240, 40000, 10};
        Run run({c});
        state.dataRate = 300;
        BITMAPINFOHEADER in = InputFormat();
        REQUIRE(VideoCompressBegin(&state, &in, 30, 1, 0) == 1);
        CHECK(state.frameBudget == 10240);
        Frames(6, in.biSizeImage);
        // 10240; 10240 - 4760; 5380 + 10240; unchanged; 1 at least; 1 - 10 + 10240.
        CHECK(OfferedSizes() == std::vector<int32_t>({10240, 5480, 15620, 15620, 1, 10231}));
    }
    SUBCASE("300 KB/s at 30000/1001 fps: 10250 bytes (10250.24 truncated)")
    {
        Run run({Codec("Rate")});
        state.dataRate = 300;
        BITMAPINFOHEADER in = InputFormat();
        REQUIRE(VideoCompressBegin(&state, &in, 30000, 1001, 0) == 1);
        CHECK(state.frameBudget == 10250);
    }
    SUBCASE("no data rate: every frame is offered 2147483647 bytes")
    {
        Run run({Codec("Rate")});
        state.dataRate = 0;
        state.frameBudget = 77;
        state.allowance = 88;
        BITMAPINFOHEADER in = InputFormat();
        REQUIRE(VideoCompressBegin(&state, &in, 30, 1, 0) == 1);
        Frames(3, in.biSizeImage);
        CHECK(OfferedSizes() == std::vector<int32_t>(3, 2147483647));
    }
    SUBCASE("an allowance that would pass 2147483647 stops there")
    {
        FakeCodecDesc c = Codec("Rate");
        c.sizes = {1};
        Run run({c});
        state.dataRate = 2000000;   // 2048000000 bytes a frame at 1 fps
        BITMAPINFOHEADER in = InputFormat();
        REQUIRE(VideoCompressBegin(&state, &in, 1, 1, 0) == 1);
        CHECK(state.frameBudget == 2048000000);
        Frames(4, in.biSizeImage);
        CHECK(OfferedSizes() ==
              std::vector<int32_t>({2048000000, 2147483647, 2147483647, 2147483647}));
        CHECK(state.allowance == 2147483646);
    }
    SUBCASE("a data rate whose budget does not fit 32 bits saturates too")
    {
        Run run({Codec("Rate")});
        state.dataRate = 2147483647;
        BITMAPINFOHEADER in = InputFormat();
        REQUIRE(VideoCompressBegin(&state, &in, 1, 1000, 0));
        CHECK(state.frameBudget == 2147483647);
    }
}

TEST_CASE("the saved state is restored only when the compressor and the option allow it")
{
    struct Case {
        const char *what;
        bool configure;
        bool savestate;
        uint32_t size;
        bool sent;
    } cases[] = {
        {"configurable, option on, state saved", true, true, 6144, true},
        {"no configuration dialog", false, true, 16, false},
        {"option off", true, false, 16, false},
        {"no state saved", true, true, 0, false},
        {"stored size larger than the state area", true, true, 6145, false},
        {"stored size far too large", true, true, 0x80000000u, false},
    };
    for (const Case &k : cases) {
        INFO(k.what);
        FakeCodecDesc c = Codec("Stat");
        c.configure = k.configure;
        Run run({c});
        int index = CodecFind(c.fcc);
        if (!k.savestate)
            codec_catalogue.entries[index].flags &= ~(uint32_t)CF_OPT_SAVESTATE;
        for (int i = 0; i < 6144; i++)
            state.state[i] = (uint8_t)(i * 5);
        state.stateSize = k.size;
        BITMAPINFOHEADER in = InputFormat();
        REQUIRE(VideoCompressBegin(&state, &in, 25, 1, 0) == 1);
        std::vector<FakeCall> set = FakeCallsOf(ICM_SETSTATE);
        REQUIRE(set.size() == (k.sent ? 1u : 0u));
        if (k.sent) {
            CHECK(set[0].p1 == (LPARAM)state.state);
            CHECK(set[0].data == std::vector<uint8_t>(state.state, state.state + k.size));
        }
    }
}

TEST_CASE("a begin that fails undoes its own steps")
{
    BITMAPINFOHEADER rgb = InputFormat();
    SUBCASE("handler not in the catalogue, or not a compressor")
    {
        FakeCodecDesc d = Codec("Deco");
        d.open_compress = false;
        Run run({d});
        CHECK(VideoCompressBegin(&state, &rgb, 25, 1, 0) == 0);
        state.fccHandler = Fourcc("Nope");
        CHECK(VideoCompressBegin(&state, &rgb, 25, 1, 0) == 0);
        state.fccHandler = Fourcc("YUY2");
        CHECK(VideoCompressBegin(&state, &rgb, 25, 1, 0) == 0);
        state.fccHandler = 0;
        CHECK(VideoCompressBegin(&state, &rgb, 25, 1, 0) == 0);
        CHECK(FakeCallsOf(DRV_OPEN).size() == 0);
    }
    SUBCASE("the compressor does not open")
    {
        Run run({Codec("Shut")});
        FakeDesc(0).open_compress = false;
        CHECK(VideoCompressBegin(&state, &rgb, 25, 1, 0) == 0);
        CHECK(FakeCallsOf(ICM_COMPRESS_QUERY).empty());
    }
    SUBCASE("the input format is refused")
    {
        FakeCodecDesc y = Codec("OnlY");
        y.rgb = false;
        y.yuy2 = true;
        Run run({y});
        CHECK(VideoCompressBegin(&state, &rgb, 25, 1, 0) == 0);
        CHECK(FakeMessageOrder(0).back() == (UINT)ICM_COMPRESS_QUERY);
        BITMAPINFOHEADER yuy2 = InputFormat(16, 8, true);
        CHECK(VideoCompressBegin(&state, &yuy2, 25, 1, 0) == 1);
    }
    SUBCASE("a format larger than the 4096 bytes kept for it")
    {
        FakeCodecDesc big = Codec("Big ");
        big.format_size = 4097;
        Run run({big});
        memset(state.bihOut, 0x77, sizeof(state.bihOut));
        CHECK(VideoCompressBegin(&state, &rgb, 25, 1, 0) == 0);
        CHECK(FakeCallsOf(ICM_COMPRESS_GET_FORMAT).size() == 1);
        CHECK(FakeCallsOf(ICM_COMPRESS_BEGIN).empty());
        CHECK(state.bihOut[4095] == 0x77);
        CHECK(state.bihOutSize == 0);
        FakeDesc(0).format_size = 4096;
        CHECK(VideoCompressBegin(&state, &rgb, 25, 1, 0) == 1);
        CHECK(state.bihOutSize == 4096);
    }
    SUBCASE("a format of size 0 is not asked for")
    {
        FakeCodecDesc none = Codec("None");
        none.format_size = 0;
        Run run({none});
        memset(state.bihOut, 0x66, sizeof(state.bihOut));
        CHECK(VideoCompressBegin(&state, &rgb, 25, 1, 0) == 1);
        CHECK(FakeCallsOf(ICM_COMPRESS_GET_FORMAT).size() == 1);
        CHECK(state.bihOutSize == 0);
        CHECK(state.bihOut[0] == 0x66);
    }
    SUBCASE("the format is refused")
    {
        FakeCodecDesc c = Codec("NoFm");
        c.format_fails = true;
        Run run({c});
        CHECK(VideoCompressBegin(&state, &rgb, 25, 1, 0) == 0);
        CHECK(FakeCallsOf(ICM_COMPRESS_BEGIN).empty());
    }
    SUBCASE("no output size: the stream is ended again")
    {
        FakeCodecDesc c = Codec("NoSz");
        c.out_size = 0;
        Run run({c});
        CHECK(VideoCompressBegin(&state, &rgb, 25, 1, 0) == 0);
        std::vector<UINT> order = FakeMessageOrder(0);
        CHECK(order.back() == (UINT)ICM_COMPRESS_END);
        CHECK(state.outBuffer == 0);
        FakeCallsClear();
        VideoCompressEnd(&state);
        CHECK(FakeCalls().empty());
    }
    SUBCASE("decompression of its own frames refused")
    {
        FakeCodecDesc c = TemporalCodec("NoDe");
        c.decompress_begin = false;
        Run run({c});
        CHECK(VideoCompressBegin(&state, &rgb, 25, 1, 0) == 0);
        std::vector<UINT> order = FakeMessageOrder(0);
        REQUIRE(order.size() >= 2);
        CHECK(order[order.size() - 2] == (UINT)ICM_DECOMPRESS_BEGIN);
        CHECK(order.back() == (UINT)ICM_COMPRESS_END);
        CHECK(state.outBuffer == 0);
        CHECK(state.prevBuffer == 0);
        FakeCallsClear();
        uint32_t f = 0, s = 0;
        CHECK(VideoCompressFrame(&state, (const uint8_t *)"x", &f, &s) == nullptr);
        VideoCompressEnd(&state);
        CHECK(FakeCalls().empty());
    }
}

TEST_CASE("frames the compressor refuses or oversizes come back as null")
{
    BITMAPINFOHEADER rgb = InputFormat();
    std::vector<uint8_t> frame(rgb.biSizeImage, 0);
    uint32_t flags = 0, size = 0;
    SUBCASE("refused")
    {
        FakeCodecDesc c = Codec("Refu");
        c.refuse_frame = 2;
        Run run({c});
        REQUIRE(VideoCompressBegin(&state, &rgb, 25, 1, 0) == 1);
        CHECK(VideoCompressFrame(&state, frame.data(), &flags, &size) != nullptr);
        CHECK(VideoCompressFrame(&state, frame.data(), &flags, &size) != nullptr);
        CHECK(VideoCompressFrame(&state, frame.data(), &flags, &size) == nullptr);
    }
    SUBCASE("a size beyond the room: twice what it asked for (more than twice the frame)")
    {
        FakeCodecDesc c = Codec("Liar");
        c.out_size = 1000;
        c.sizes = {1000, 1000};
        Run run({c});
        REQUIRE(VideoCompressBegin(&state, &rgb, 25, 1, 0) == 1);
        FakeDesc(0).overstate = 1000;
        CHECK(VideoCompressFrame(&state, frame.data(), &flags, &size) != nullptr);
        CHECK(size == 2000);
        FakeDesc(0).overstate = 1001;
        CHECK(VideoCompressFrame(&state, frame.data(), &flags, &size) == nullptr);
        CHECK(size == 0);
    }
}
