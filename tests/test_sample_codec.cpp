// The sample compressor DLL (tests/codecs), loaded into this process and
// installed as a function driver: lossless round trips of both variants,
// its state and dialog, bad input, and a compression run of the plug-in
// against it.
#include <doctest/doctest.h>

#include <windows.h>
#include <vfw.h>

#include <string.h>

#include <string>
#include <vector>

#include "plugin/plugin.h"
#include "tests/support/export_host.h"
#include "video/codec_catalogue.h"
#include "video/compress_run.h"

namespace {

constexpr DWORD ZMBV = mmioFOURCC('Z', 'M', 'B', 'V');
constexpr DWORD ZMBP = mmioFOURCC('Z', 'M', 'B', 'P');

DRIVERPROC SampleDriverProc()
{
    static HMODULE module;
    if (!module) {
        std::string path = WinePathOf(VELNIK_BINARY_DIR) + "\\tests\\codecs\\velzmbv.dll";
        module = LoadLibraryA(path.c_str());
    }
    REQUIRE(module != nullptr);
    DRIVERPROC proc = (DRIVERPROC)(void *)GetProcAddress(module, "DriverProc");
    REQUIRE((proc != nullptr));
    return proc;
}

// The system enumerates function drivers by asking them for ICM_GETINFO
// without an open instance; the DLL answers only open instances (as the
// system asks a registered driver), so the shim opens one to answer.
template <DWORD FCC>
LRESULT CALLBACK Shim(DWORD_PTR id, HDRVR driver, UINT msg, LPARAM p1, LPARAM p2)
{
    DRIVERPROC proc = SampleDriverProc();
    if (id != 0 || msg != ICM_GETINFO)
        return proc(id, driver, msg, p1, p2);
    ICOPEN open;
    memset(&open, 0, sizeof(open));
    open.dwSize = sizeof(open);
    open.fccType = ICTYPE_VIDEO;
    open.fccHandler = FCC;
    open.dwFlags = ICMODE_QUERY;
    LRESULT instance = proc(0, driver, DRV_OPEN, 0, (LPARAM)&open);
    LRESULT result = proc((DWORD_PTR)instance, driver, ICM_GETINFO, p1, p2);
    proc((DWORD_PTR)instance, driver, DRV_CLOSE, 0, 0);
    return result;
}

struct Installed {
    Installed()
    {
        SampleDriverProc();
        REQUIRE(ICInstall(ICTYPE_VIDEO, ZMBV, (LPARAM)Shim<ZMBV>, NULL, ICINSTALL_FUNCTION));
        REQUIRE(ICInstall(ICTYPE_VIDEO, ZMBP, (LPARAM)Shim<ZMBP>, NULL, ICINSTALL_FUNCTION));
    }
    ~Installed()
    {
        ICRemove(ICTYPE_VIDEO, ZMBV, 0);
        ICRemove(ICTYPE_VIDEO, ZMBP, 0);
    }
};

BITMAPINFOHEADER Rgb(int width, int height)
{
    BITMAPINFOHEADER bih;
    memset(&bih, 0, sizeof(bih));
    bih.biSize = sizeof(bih);
    bih.biPlanes = 1;
    CodecInputFormat(0, &bih, width, height);
    return bih;
}

// A picture in which a square moves over a still background, so most
// blocks repeat from one frame to the next; the row padding stays zero.
std::vector<uint8_t> Picture(const BITMAPINFOHEADER &bih, int i)
{
    std::vector<uint8_t> p(bih.biSizeImage, 0);
    uint32_t stride = bih.biSizeImage / bih.biHeight;
    for (int y = 0; y < bih.biHeight; y++)
        for (int x = 0; x < bih.biWidth; x++) {
            uint8_t *px = &p[y * stride + 3 * x];
            bool square = x >= 2 * i && x < 2 * i + 10 && y >= i && y < i + 10;
            px[0] = square ? (uint8_t)(200 + i) : (uint8_t)(x * 5);
            px[1] = square ? 30 : (uint8_t)(y * 7);
            px[2] = (uint8_t)(square ? i * 11 : x ^ y);
        }
    return p;
}

struct Decoder {
    HIC hic;
    BITMAPINFOHEADER out;
    std::vector<uint8_t> picture;
    Decoder(DWORD fcc, BITMAPINFOHEADER *format, const BITMAPINFOHEADER &rgb) : out(rgb)
    {
        hic = ICOpen(ICTYPE_VIDEO, fcc, ICMODE_DECOMPRESS);
        REQUIRE(hic != nullptr);
        REQUIRE(ICSendMessage(hic, ICM_DECOMPRESS_QUERY, (DWORD_PTR)format, (DWORD_PTR)&out) ==
                ICERR_OK);
        REQUIRE(ICSendMessage(hic, ICM_DECOMPRESS_BEGIN, (DWORD_PTR)format, (DWORD_PTR)&out) ==
                ICERR_OK);
        picture.resize(out.biSizeImage);
    }
    ~Decoder()
    {
        ICSendMessage(hic, ICM_DECOMPRESS_END, 0, 0);
        ICClose(hic);
    }
    LRESULT Decode(BITMAPINFOHEADER *format, const void *data, DWORD size, bool key)
    {
        format->biSizeImage = size;
        ICDECOMPRESS icd;
        memset(&icd, 0, sizeof(icd));
        icd.dwFlags = key ? 0 : ICDECOMPRESS_NOTKEYFRAME;
        icd.lpbiInput = format;
        icd.lpInput = (void *)data;
        icd.lpbiOutput = &out;
        icd.lpOutput = picture.data();
        return ICSendMessage(hic, ICM_DECOMPRESS, (DWORD_PTR)&icd, sizeof(icd));
    }
};

}  // namespace

TEST_CASE("both variants compress losslessly, with small delta frames")
{
    Installed installed;
    for (DWORD fcc : {ZMBV, ZMBP}) {
        INFO((fcc == ZMBV ? "ZMBV" : "ZMBP"));
        BITMAPINFOHEADER in = Rgb(50, 35);   // partial blocks and padded rows
        HIC hic = ICOpen(ICTYPE_VIDEO, fcc, ICMODE_COMPRESS);
        REQUIRE(hic != nullptr);
        ICINFO info;
        REQUIRE(ICGetInfo(hic, &info, sizeof(info)) == sizeof(info));
        CHECK(info.fccHandler == fcc);
        CHECK((info.dwFlags & VIDCF_FASTTEMPORALC) == (fcc == ZMBV ? (DWORD)VIDCF_FASTTEMPORALC : 0u));
        CHECK(ICSendMessage(hic, ICM_COMPRESS_QUERY, (DWORD_PTR)&in, 0) == ICERR_OK);
        BITMAPINFOHEADER yuy2 = in;
        yuy2.biCompression = mmioFOURCC('Y', 'U', 'Y', '2');
        yuy2.biBitCount = 16;
        CHECK(ICSendMessage(hic, ICM_COMPRESS_QUERY, (DWORD_PTR)&yuy2, 0) != ICERR_OK);
        REQUIRE(ICSendMessage(hic, ICM_COMPRESS_GET_FORMAT, (DWORD_PTR)&in, 0) == sizeof(in));
        BITMAPINFOHEADER format;
        REQUIRE(ICSendMessage(hic, ICM_COMPRESS_GET_FORMAT, (DWORD_PTR)&in, (DWORD_PTR)&format) ==
                ICERR_OK);
        CHECK(format.biCompression == ZMBV);   // both variants write the one format
        CHECK(format.biBitCount == 32);
        LRESULT max = ICSendMessage(hic, ICM_COMPRESS_GET_SIZE, (DWORD_PTR)&in, (DWORD_PTR)&format);
        REQUIRE(max > 0);
        REQUIRE(ICSendMessage(hic, ICM_COMPRESS_BEGIN, (DWORD_PTR)&in, (DWORD_PTR)&format) ==
                ICERR_OK);
        Decoder decoder(fcc, &format, in);

        std::vector<uint8_t> out((size_t)max), prev;
        uint32_t key_size = 0;
        for (int i = 0; i < 12; i++) {
            INFO("frame ", i);
            std::vector<uint8_t> picture = Picture(in, i);
            DWORD flags = 0xFFFF, ckid = 0;
            ICCOMPRESS icc;
            memset(&icc, 0, sizeof(icc));
            icc.dwFlags = i % 6 == 0 ? ICCOMPRESS_KEYFRAME : 0;
            icc.lpbiOutput = &format;
            icc.lpOutput = out.data();
            icc.lpbiInput = &in;
            icc.lpInput = picture.data();
            icc.lpckid = &ckid;
            icc.lpdwFlags = &flags;
            icc.lFrameNum = i;
            icc.dwFrameSize = 0x7FFFFFFF;
            icc.dwQuality = 7500;
            if (i % 6) {
                icc.lpbiPrev = &in;
                icc.lpPrev = prev.data();
            }
            REQUIRE(ICSendMessage(hic, ICM_COMPRESS, (DWORD_PTR)&icc, sizeof(icc)) == ICERR_OK);
            bool key = i % 6 == 0;
            CHECK(flags == (key ? (DWORD)AVIIF_KEYFRAME : 0u));
            DWORD size = format.biSizeImage;
            CHECK(size <= (DWORD)max);
            if (i == 0)
                key_size = size;
            else if (!key)
                CHECK(size < key_size / 2);
            REQUIRE(decoder.Decode(&format, out.data(), size, key) == ICERR_OK);
            CHECK(decoder.picture == picture);
            prev = picture;
        }
        ICSendMessage(hic, ICM_COMPRESS_END, 0, 0);
        ICClose(hic);
    }
}

TEST_CASE("the caller-previous variant makes a key frame when no previous frame is given")
{
    Installed installed;
    BITMAPINFOHEADER in = Rgb(32, 16);
    HIC hic = ICOpen(ICTYPE_VIDEO, ZMBP, ICMODE_COMPRESS);
    REQUIRE(hic != nullptr);
    BITMAPINFOHEADER format;
    ICSendMessage(hic, ICM_COMPRESS_GET_FORMAT, (DWORD_PTR)&in, (DWORD_PTR)&format);
    REQUIRE(ICSendMessage(hic, ICM_COMPRESS_BEGIN, (DWORD_PTR)&in, (DWORD_PTR)&format) == ICERR_OK);
    std::vector<uint8_t> out(ICSendMessage(hic, ICM_COMPRESS_GET_SIZE, (DWORD_PTR)&in, (DWORD_PTR)&format));
    for (int i = 0; i < 2; i++) {
        std::vector<uint8_t> picture = Picture(in, i);
        DWORD flags = 0;
        ICCOMPRESS icc;
        memset(&icc, 0, sizeof(icc));
        icc.lpbiOutput = &format;
        icc.lpOutput = out.data();
        icc.lpbiInput = &in;
        icc.lpInput = picture.data();
        icc.lpdwFlags = &flags;
        icc.lFrameNum = i;
        REQUIRE(ICSendMessage(hic, ICM_COMPRESS, (DWORD_PTR)&icc, sizeof(icc)) == ICERR_OK);
        CHECK(flags == (DWORD)AVIIF_KEYFRAME);
        CHECK(out[0] == 1);
    }
    ICSendMessage(hic, ICM_COMPRESS_END, 0, 0);
    ICClose(hic);
}

TEST_CASE("the sample compressor's state")
{
    Installed installed;
    HIC hic = ICOpen(ICTYPE_VIDEO, ZMBV, ICMODE_COMPRESS);
    REQUIRE(hic != nullptr);
    REQUIRE(ICSendMessage(hic, ICM_GETSTATE, 0, 0) == 8);
    uint8_t state[8];
    REQUIRE(ICSendMessage(hic, ICM_GETSTATE, (DWORD_PTR)state, sizeof(state)) == ICERR_OK);
    CHECK(state[4] == 0);   // level 0: from the quality
    uint8_t bad[8];
    memcpy(bad, state, 8);
    bad[0] ^= 1;
    CHECK(ICSendMessage(hic, ICM_SETSTATE, (DWORD_PTR)bad, 8) == 0);
    CHECK(ICSendMessage(hic, ICM_SETSTATE, (DWORD_PTR)state, 7) == 0);
    uint8_t nine[8];
    memcpy(nine, state, 8);
    nine[4] = 9;
    CHECK(ICSendMessage(hic, ICM_SETSTATE, (DWORD_PTR)nine, 8) == 8);
    uint8_t back[8] = {0};
    ICSendMessage(hic, ICM_GETSTATE, (DWORD_PTR)back, 8);
    CHECK(memcmp(back, nine, 8) == 0);
    nine[4] = 10;   // no such level
    CHECK(ICSendMessage(hic, ICM_SETSTATE, (DWORD_PTR)nine, 8) == 0);
    CHECK(ICSendMessage(hic, ICM_CONFIGURE, (DWORD_PTR)-1, ICMF_CONFIGURE_QUERY) == ICERR_OK);
    CHECK(ICSendMessage(hic, ICM_ABOUT, (DWORD_PTR)-1, ICMF_ABOUT_QUERY) != ICERR_OK);
    ICClose(hic);
}

namespace {

DWORD WINAPI AnswerDialog(void *)
{
    for (int i = 0; i < 200; i++) {
        HWND dlg = FindWindowA(NULL, "ZMBV test codec");
        if (dlg) {
            SetDlgItemInt(dlg, 100, 4, FALSE);
            PostMessageA(dlg, WM_COMMAND, IDOK, 0);
            return 1;
        }
        Sleep(50);
    }
    return 0;
}

}  // namespace

TEST_CASE("the configuration dialog sets the level that the state then carries")
{
    // Windows need a display; without one (no X server) there is no dialog to drive.
    HWND probe = CreateWindowA("STATIC", "", WS_POPUP, 0, 0, 1, 1, NULL, NULL, NULL, NULL);
    if (!probe) {
        MESSAGE("no display: the dialog is not shown (run under xvfb-run to include it)");
        return;
    }
    DestroyWindow(probe);
    Installed installed;
    HIC hic = ICOpen(ICTYPE_VIDEO, ZMBV, ICMODE_COMPRESS);
    REQUIRE(hic != nullptr);
    HANDLE thread = CreateThread(NULL, 0, AnswerDialog, NULL, 0, NULL);
    REQUIRE(thread != nullptr);
    CHECK(ICSendMessage(hic, ICM_CONFIGURE, 0, 0) == ICERR_OK);
    WaitForSingleObject(thread, 15000);
    DWORD answered = 0;
    GetExitCodeThread(thread, &answered);
    CloseHandle(thread);
    CHECK(answered == 1);
    uint8_t state[8] = {0};
    ICSendMessage(hic, ICM_GETSTATE, (DWORD_PTR)state, 8);
    CHECK(state[4] == 4);
    ICClose(hic);
}

TEST_CASE("damaged compressed frames are refused, not read past their end")
{
    Installed installed;
    BITMAPINFOHEADER in = Rgb(32, 16);
    BITMAPINFOHEADER format;
    HIC c = ICOpen(ICTYPE_VIDEO, ZMBV, ICMODE_COMPRESS);
    ICSendMessage(c, ICM_COMPRESS_GET_FORMAT, (DWORD_PTR)&in, (DWORD_PTR)&format);
    ICClose(c);
    Decoder decoder(ZMBV, &format, in);
    uint8_t delta[4] = {0, 0x78, 0x9c, 0};
    CHECK(decoder.Decode(&format, delta, sizeof(delta), false) != ICERR_OK);   // no key yet
    uint8_t key[7] = {1, 0, 1, 1, 8, 16, 16};
    CHECK(decoder.Decode(&format, key, sizeof(key), true) != ICERR_OK);        // no picture
    uint8_t version[7] = {1, 0, 2, 1, 8, 16, 16};
    CHECK(decoder.Decode(&format, version, sizeof(version), true) != ICERR_OK);
    std::vector<uint8_t> noise(300);
    for (size_t i = 0; i < noise.size(); i++)
        noise[i] = (uint8_t)(i * 37 + 1);
    noise[0] = 1, noise[1] = 0, noise[2] = 1, noise[3] = 1, noise[4] = 8, noise[5] = 16, noise[6] = 16;
    CHECK(decoder.Decode(&format, noise.data(), (DWORD)noise.size(), true) != ICERR_OK);
}

TEST_CASE("the plug-in's run against the sample compressor: probes, state restore, rebuild")
{
    Installed installed;
    CodecCatalogueRelease();
    CodecCatalogueBuild();
    for (DWORD fcc : {ZMBV, ZMBP}) {
        INFO((fcc == ZMBV ? "ZMBV" : "ZMBP"));
        int index = CodecFind(fcc);
        REQUIRE(index >= 0);
        const CodecEntry &e = codec_catalogue.entries[index];
        uint32_t expected = CF_COMPRESS | CF_CONFIGURE | CF_QUALITY | CF_KEYFRAMES | CF_FRAMES_INFO |
                            (fcc == ZMBP ? CF_NEEDS_PREVIOUS : 0);
        CHECK((e.flags & 0xFFFF00) == expected);
        CHECK(e.quality == 7500);
        CHECK(e.keyRate == 30);

        static VideoCodecState state;
        memset(&state, 0, sizeof(state));
        state.fccHandler = fcc;
        state.quality = 10000;
        state.keyRate = 5;
        // A saved state with level 1; the run restores it before compressing.
        const uint8_t saved[8] = {'Z', 'G', 'B', 'S', 1, 0, 0, 0};
        memcpy(state.state, saved, 8);
        state.stateSize = 8;
        BITMAPINFOHEADER in = Rgb(40, 24);
        REQUIRE(VideoCompressBegin(&state, &in, 25, 1, 0) == 1);
        uint8_t now[8] = {0};
        ICSendMessage(e.hic, ICM_GETSTATE, (DWORD_PTR)now, 8);
        CHECK(memcmp(now, saved, 8) == 0);

        BITMAPINFOHEADER format;
        memcpy(&format, state.bihOut, sizeof(format));
        Decoder decoder(fcc, &format, in);
        for (int i = 0; i < 11; i++) {
            INFO("frame ", i);
            std::vector<uint8_t> picture = Picture(in, i);
            uint32_t flags = 0, size = 0;
            const uint8_t *bytes = VideoCompressFrame(&state, picture.data(), &flags, &size);
            REQUIRE(bytes != nullptr);
            bool key = i % 5 == 0;
            CHECK(((flags & AVIIF_KEYFRAME) != 0) == key);
            std::vector<uint8_t> copy(bytes, bytes + size);
            REQUIRE(decoder.Decode(&format, copy.data(), size, key) == ICERR_OK);
            CHECK(decoder.picture == picture);
        }
        VideoCompressEnd(&state);
    }
    CodecCatalogueRelease();
}
