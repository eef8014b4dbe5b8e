// The catalogue of installed compressors, built against function drivers
// that answer as each case needs. Handlers already registered in the Wine
// prefix come first in the enumeration; the cases look at what follows them.
#include <doctest/doctest.h>

#include <windows.h>
#include <vfw.h>

#include <string.h>

#include <string>
#include <vector>

#include "plugin/plugin.h"
#include "plugin/texts.h"
#include "tests/support/fake_codec.h"
#include "tests/support/test_files.h"
#include "video/codec_catalogue.h"

namespace {

// Handlers the prefix already has, before any test installs its own.
int RegisteredHandlers()
{
    int n = 0;
    ICINFO info;
    while (ICInfo(ICTYPE_VIDEO, (DWORD)n, &info))
        n++;
    return n;
}

// Rebuilds the catalogue with the given codecs installed.
void Build(const std::vector<FakeCodecSpec> &specs)
{
    CodecCatalogueRelease();
    FakeCodecsInstall(specs);
    CodecCatalogueBuild();
}

const CodecEntry &Entry(uint32_t fcc)
{
    int i = CodecFind(fcc);
    REQUIRE(i >= 0);
    return codec_catalogue.entries[i];
}

FakeCodecSpec Spec(const char *fcc, const char *name)
{
    FakeCodecSpec s;
    s.fcc = Fourcc(fcc);
    s.name = name;
    return s;
}

const uint32_t PROBED = CF_COMPRESS | CF_YUY2_INPUT | CF_FRAMES_INFO | CF_CONFIGURE | CF_ABOUT |
                        CF_QUALITY | CF_KEYFRAMES | CF_DATARATE | CF_NEEDS_PREVIOUS;

struct Session {
    int registered;
    Session() : registered(RegisteredHandlers()) { HostPathsReset(NULL); }
    ~Session()
    {
        CodecCatalogueRelease();
        FakeCodecsRemove();
        HostPathsReset(NULL);
    }
};

}  // namespace

TEST_CASE("without installed compressors only the two built-in choices are listed")
{
    Session session;
    Build({});
    const CodecCatalogue &c = codec_catalogue;
    int n = session.registered;
    REQUIRE(c.list_count >= 2);
    CHECK(std::string(c.list[c.list_count - 2]) == "YUY2");
    CHECK(std::string(c.list[c.list_count - 1]) == TEXT_UNCOMPRESSED);
    CHECK(c.list[c.list_count] == nullptr);
    if (n == 0) {
        CHECK(c.list_count == 2);
        CHECK(c.entry_count == 2);
    }
    const CodecEntry &yuy2 = c.entries[c.list_to_index[c.list_count - 2]];
    CHECK(yuy2.flags == (CF_PRESENT | CF_BUILTIN));
    CHECK(yuy2.fccHandler == Fourcc("YUY2"));
    const CodecEntry &rgb = c.entries[c.list_to_index[c.list_count - 1]];
    CHECK(rgb.flags == (CF_PRESENT | CF_BUILTIN));
    CHECK(rgb.fccHandler == 0);
    CHECK(rgb.fccTerminator == 0);
}

TEST_CASE("enumeration, skip rules and probes")
{
    Session session;
    FakeCodecSpec skip_yuy2 = Spec("yuy2", "lower-case YUY2");
    FakeCodecSpec skip_dib = Spec("DIB ", "DIB");
    FakeCodecSpec full = Spec("CmpA", "Full ~ codec");
    full.vidcf = VIDCF_QUALITY | VIDCF_TEMPORAL | VIDCF_CRUNCH | VIDCF_COMPRESSFRAMES;
    full.configure = full.about = true;
    full.default_quality = 8000;
    full.default_key_rate = 15;
    FakeCodecSpec yuy2_only = Spec("CmpY", "YUY2 only");
    yuy2_only.rgb = false;
    yuy2_only.yuy2 = true;
    yuy2_only.vidcf = VIDCF_TEMPORAL | VIDCF_FASTTEMPORALC | VIDCF_QUALITY;
    FakeCodecSpec decoder = Spec("Deco", "Decoder only");
    decoder.open_compress = false;
    FakeCodecSpec dead = Spec("Dead", "Opens never");
    dead.open_compress = dead.open_decompress = false;
    FakeCodecSpec refuses = Spec("NoFm", "No format");
    refuses.rgb = false;
    refuses.vidcf = VIDCF_QUALITY;
    refuses.default_quality = 5000;
    FakeCodecSpec no_info = Spec("NoIn", "Nameless");
    no_info.get_info = false;
    no_info.vidcf = VIDCF_CRUNCH;
    Build({skip_yuy2, skip_dib, full, yuy2_only, decoder, dead, refuses, no_info});

    const CodecCatalogue &c = codec_catalogue;
    int base = session.registered;
    // Six stored after the registered ones; the two skipped have no entry.
    REQUIRE(c.entry_count == base + 6 + 2);
    const char *order[] = {"CmpA", "CmpY", "Deco", "Dead", "NoFm", "NoIn"};
    for (int i = 0; i < 6; i++)
        CHECK(c.entries[base + i].fccHandler == Fourcc(order[i]));
    CHECK(c.entries[base + 6].fccHandler == Fourcc("YUY2"));
    CHECK((c.entries[base + 6].flags & CF_BUILTIN) != 0);
    CHECK(c.entries[base + 7].fccHandler == 0);
    // The lower-case "yuy2" handler found the built-in entry, not one of its own.
    CHECK(CodecFind(Fourcc("yuy2")) == base + 6);
    CHECK(FakeCallsOf(DRV_OPEN, 0).empty());
    CHECK(FakeCallsOf(DRV_OPEN, 1).empty());

    const CodecEntry &a = Entry(Fourcc("CmpA"));
    CHECK((a.flags & PROBED) == (CF_COMPRESS | CF_FRAMES_INFO | CF_CONFIGURE | CF_ABOUT |
                                 CF_QUALITY | CF_KEYFRAMES | CF_DATARATE | CF_NEEDS_PREVIOUS));
    CHECK((a.flags & (CF_PRESENT | 7)) == (CF_PRESENT | 7));
    CHECK(a.quality == 8000);
    CHECK(a.keyRate == 15);
    CHECK(a.dataRate == 300);
    CHECK(a.hic == nullptr);
    // UTF-16 units narrowed to their low byte: U+307E became '~'.
    CHECK(std::string(a.name) == "Full ~ codec");
    CHECK(std::string((const char *)&a.fccHandler) == "CmpA");

    const CodecEntry &y = Entry(Fourcc("CmpY"));
    CHECK((y.flags & PROBED) == (CF_COMPRESS | CF_YUY2_INPUT));
    CHECK(y.quality == 0);   // the default quality was not given
    CHECK(y.keyRate == 0);
    CHECK(y.dataRate == 0);

    const CodecEntry &d = Entry(Fourcc("Deco"));
    CHECK(d.flags == (CF_PRESENT | 7));
    CHECK(std::string(d.name) == "Decoder only");
    const CodecEntry &dd = Entry(Fourcc("Dead"));
    CHECK(dd.flags == (CF_PRESENT | 7));
    CHECK(dd.name[0] == 0);
    const CodecEntry &r = Entry(Fourcc("NoFm"));
    CHECK(r.flags == (CF_PRESENT | 7));
    CHECK(r.quality == 0);
    // Nothing beyond the two queries was asked of a compressor that takes neither format.
    for (const FakeCall &call : FakeCalls())
        if (call.codec == 6 && call.msg >= ICM_USER && call.msg != ICM_COMPRESS_QUERY &&
            call.msg != ICM_GETINFO)
            FAIL("message ", call.msg, " sent to a compressor without input formats");
    CHECK(FakeCallsOf(ICM_GETDEFAULTQUALITY, 6).empty());

    // ICGetInfo failed: no name, capabilities from the enumeration's record.
    const CodecEntry &ni = Entry(Fourcc("NoIn"));
    CHECK(ni.name[0] == 0);
    CHECK((ni.flags & PROBED) == (CF_COMPRESS | CF_DATARATE));
    CHECK(ni.dataRate == 300);

    // Probe formats and the query values.
    std::vector<FakeCall> q = FakeCallsOf(ICM_COMPRESS_QUERY, 2);
    REQUIRE(q.size() == 2);
    BITMAPINFOHEADER rgb = FakeData<BITMAPINFOHEADER>(q[0]);
    CHECK(rgb.biSize == 40);
    CHECK(rgb.biWidth == 320);
    CHECK(rgb.biHeight == 240);
    CHECK(rgb.biPlanes == 1);
    CHECK(rgb.biBitCount == 24);
    CHECK(rgb.biCompression == BI_RGB);
    CHECK(rgb.biSizeImage == 320 * 240 * 3);
    CHECK(q[0].p2 == 0);
    BITMAPINFOHEADER yuv = FakeData<BITMAPINFOHEADER>(q[1]);
    CHECK(yuv.biBitCount == 16);
    CHECK(yuv.biCompression == Fourcc("YUY2"));
    CHECK(yuv.biSizeImage == 320 * 240 * 2);
    std::vector<FakeCall> cfg = FakeCallsOf(ICM_CONFIGURE, 2);
    REQUIRE(cfg.size() == 1);
    CHECK(cfg[0].p1 == (LPARAM)-1);
    REQUIRE(FakeCallsOf(ICM_ABOUT, 2).size() == 1);
    CHECK(FakeCallsOf(ICM_ABOUT, 2)[0].p1 == (LPARAM)-1);
    // Every probe handle was closed again.
    for (int i : {2, 3, 6, 7})
        CHECK(FakeCallsOf(DRV_OPEN, i).size() == FakeCallsOf(DRV_CLOSE, i).size());
    CHECK(FakeCallsOf(DRV_OPEN, 4).size() == 2);   // compression refused, then decompression
    CHECK(FakeCallsOf(DRV_CLOSE, 4).size() == 1);
    CHECK(FakeCallsOf(DRV_CLOSE, 5).empty());

    // The selectable list and its two index tables.
    REQUIRE(c.list_count >= 5);
    int first = c.list_count - 5;
    const char *names[] = {"Full ~ codec", "YUY2 only", "", "YUY2", TEXT_UNCOMPRESSED};
    int indexes[] = {base + 0, base + 1, base + 5, base + 6, base + 7};
    for (int i = 0; i < 5; i++) {
        INFO("list position ", first + i);
        CHECK(std::string(c.list[first + i]) == names[i]);
        CHECK(c.list_to_index[first + i] == indexes[i]);
        CHECK(c.index_to_list[indexes[i]] == first + i);
        CHECK(c.list[first + i] == c.entries[indexes[i]].name);
    }
    CHECK(c.list[c.list_count] == nullptr);
    for (int i : {base + 2, base + 3, base + 4})
        CHECK(c.index_to_list[i] == -1);
}

TEST_CASE("finding entries and choosing the input format")
{
    Session session;
    FakeCodecSpec rgb = Spec("CmpA", "RGB");
    FakeCodecSpec both = Spec("CmpB", "Both");
    both.yuy2 = true;
    FakeCodecSpec decoder = Spec("Deco", "Decoder");
    decoder.open_compress = false;
    Build({rgb, both, decoder});

    CHECK(CodecFind(Fourcc("cmpa")) == CodecFind(Fourcc("CMPA")));
    CHECK(CodecFind(Fourcc("cmpa")) >= 0);
    CHECK(CodecFind(Fourcc("Nope")) == -1);
    int uncompressed = codec_catalogue.list_to_index[codec_catalogue.list_count - 1];
    CHECK(CodecFind(Fourcc("DIB ")) == uncompressed);
    CHECK(CodecFind(mmioFOURCC('D', 'I', 'B', 0)) == uncompressed);
    CHECK(CodecFind(0) == uncompressed);
    CHECK(FourccEqual(Fourcc("DIB "), 0));
    CHECK_FALSE(FourccEqual(Fourcc("DIBS"), 0));
    // Only letters change case.
    CHECK_FALSE(FourccEqual(mmioFOURCC('a', '1', '[', ' '), mmioFOURCC('A', '1', '{', ' ')));

    CHECK(CodecIsCompressor(Fourcc("cmpb")));
    CHECK_FALSE(CodecIsCompressor(Fourcc("YUY2")));
    CHECK_FALSE(CodecIsCompressor(0));
    CHECK_FALSE(CodecIsCompressor(Fourcc("Deco")));
    CHECK_FALSE(CodecIsCompressor(Fourcc("Nope")));

    struct Case {
        const char *fcc;
        WORD bits;
        int32_t width;
        DWORD image;
    } cases[] = {
        {"CmpA", 24, 321, 964 * 10}, {"CmpB", 16, 321, 644 * 10}, {"YUY2", 16, 8, 16 * 10},
        {"yuy2", 16, 8, 16 * 10},    {"Deco", 24, 8, 24 * 10},    {"Nope", 24, 8, 24 * 10},
        {"DIB ", 24, 8, 24 * 10},
    };
    for (const Case &k : cases) {
        INFO(k.fcc);
        BITMAPINFOHEADER bih;
        memset(&bih, 0x5A, sizeof(bih));
        CHECK(CodecInputFormat(Fourcc(k.fcc), &bih, k.width, 10) == 1);
        CHECK(bih.biWidth == k.width);
        CHECK(bih.biHeight == 10);
        CHECK(bih.biBitCount == k.bits);
        CHECK(bih.biCompression == (k.bits == 16 ? Fourcc("YUY2") : (DWORD)BI_RGB));
        CHECK(bih.biSizeImage == k.image);
        CHECK(bih.biSize == 0x5A5A5A5A);   // the caller's other fields stay
        CHECK(bih.biPlanes == 0x5A5A);
    }
}

TEST_CASE("the per-codec option of the host's ini file")
{
    Session session;
    char folder[MAX_PATH];
    REQUIRE(MakeTempFolder(folder));
    std::string ini = std::string(folder) + "orvane.ini";
    const char text[] = "[codec]\r\nCmpY=5\r\nCmpA=3\r\nCmpH=2055\r\n[system]\r\nCmpB=0\r\n";
    REQUIRE(WriteWholeFile(ini.c_str(), text, sizeof(text) - 1));
    std::string host = std::string(folder) + "orvane.exe";
    HostPathsReset(host.c_str());

    FakeCodecSpec a = Spec("CmpA", "A");
    a.configure = true;
    FakeCodecSpec b = Spec("CmpB", "B");
    FakeCodecSpec h = Spec("CmpH", "H");
    FakeCodecSpec y = Spec("CmpY", "Y");
    y.rgb = false;
    y.yuy2 = true;
    Build({a, b, h, y});

    CHECK((Entry(Fourcc("CmpA")).flags & 7) == 3);   // no saved state
    CHECK((Entry(Fourcc("CmpB")).flags & 7) == 7);   // key in another section: default
    // Higher bits switch capabilities on as if probed (2048 = configure).
    CHECK((Entry(Fourcc("CmpH")).flags & 7) == 7);
    CHECK((Entry(Fourcc("CmpH")).flags & CF_CONFIGURE) != 0);
    CHECK((Entry(Fourcc("CmpY")).flags & 7) == 5);
    // Without the YUY2 option a YUY2-only compressor is asked for RGB.
    BITMAPINFOHEADER bih;
    memset(&bih, 0, sizeof(bih));
    CodecInputFormat(Fourcc("CmpY"), &bih, 64, 48);
    CHECK(bih.biCompression == BI_RGB);
    CHECK(bih.biBitCount == 24);

    CodecCatalogueRelease();
    HostPathsReset(NULL);
    RemoveTempFolder(folder);
}

TEST_CASE("opening, closing and keeping compressor handles")
{
    Session session;
    FakeCodecSpec a = Spec("CmpA", "A");
    FakeCodecSpec b = Spec("CmpB", "B");
    FakeCodecSpec d = Spec("Deco", "D");
    d.open_compress = false;
    Build({a, b, d});
    FakeCallsClear();

    int ia = CodecFind(Fourcc("CmpA"));
    int ib = CodecFind(Fourcc("CmpB"));
    int id = CodecFind(Fourcc("Deco"));
    CHECK(CodecOpen(id) == 0);
    CHECK(CodecOpen(CodecFind(0)) == 0);
    CHECK(CodecOpen(-1) == 0);
    CHECK(CodecOpen(CODEC_CATALOGUE_SIZE) == 0);
    CHECK(FakeCallsOf(DRV_OPEN).empty());

    CHECK(CodecOpen(ia) == 1);
    HIC first = codec_catalogue.entries[ia].hic;
    CHECK(first != nullptr);
    CHECK(CodecOpen(ia) == 1);
    CHECK(codec_catalogue.entries[ia].hic == first);
    std::vector<FakeCall> opens = FakeCallsOf(DRV_OPEN, 0);
    REQUIRE(opens.size() == 1);
    CHECK(FakeData<ICOPEN>(opens[0]).dwFlags == ICMODE_COMPRESS);

    CHECK(CodecClose(ia) == 1);
    CHECK(codec_catalogue.entries[ia].hic == nullptr);
    CHECK(FakeCallsOf(DRV_CLOSE, 0).size() == 1);
    CHECK(CodecClose(ia) == 1);   // nothing open: nothing sent
    CHECK(FakeCallsOf(DRV_CLOSE, 0).size() == 1);

    CHECK(CodecOpen(ib) == 1);
    CHECK(CodecKeepOpen(ib) == 1);
    CHECK((codec_catalogue.entries[ib].flags & CF_KEEP_OPEN) != 0);
    CHECK(CodecClose(ib) == 1);
    CHECK(codec_catalogue.entries[ib].hic != nullptr);
    CHECK(FakeCallsOf(DRV_CLOSE, 1).empty());

    // A second build closes what the first left open before it starts over.
    FakeCallsClear();
    CodecCatalogueBuild();
    // One close more than the build's own probe opened: the kept handle.
    CHECK(FakeCallsOf(DRV_CLOSE, 1).size() == FakeCallsOf(DRV_OPEN, 1).size() + 1);
    CHECK(codec_catalogue.entries[ib].hic == nullptr);
    ib = CodecFind(Fourcc("CmpB"));
    CHECK(CodecOpen(ib) == 1);
    CHECK(CodecKeepOpen(ib) == 1);
    FakeCallsClear();

    // Release closes every handle, kept or not, and empties the table.
    ia = CodecFind(Fourcc("CmpA"));
    CHECK(CodecOpen(ia) == 1);
    CHECK(CodecCatalogueRelease() == 1);
    CHECK(FakeCallsOf(DRV_CLOSE, 0).size() == 1);
    CHECK(FakeCallsOf(DRV_CLOSE, 1).size() == 1);
    for (const CodecEntry &e : codec_catalogue.entries) {
        CHECK(e.flags == 0);
        CHECK(e.hic == nullptr);
    }
    CHECK(CodecFind(0) == -1);
}

TEST_CASE("the table holds 126 installed handlers; the enumeration stops there")
{
    Session session;
    std::vector<FakeCodecSpec> specs;
    for (int i = 0; i < 130; i++) {
        char fcc[5];
        wsprintfA(fcc, "T%03d", i);
        specs.push_back(Spec(fcc, fcc));
    }
    Build(specs);
    const CodecCatalogue &c = codec_catalogue;
    int stored = CODEC_INSTALLED_MAX - session.registered;

    REQUIRE(stored > 0);
    CHECK(c.entry_count == CODEC_CATALOGUE_SIZE);
    for (int i = 0; i < stored; i++) {
        INFO("handler ", i);
        CHECK(c.entries[session.registered + i].fccHandler == specs[i].fcc);
        CHECK((c.entries[session.registered + i].flags & CF_COMPRESS) != 0);
    }
    CHECK(c.entries[CODEC_CATALOGUE_SIZE - 2].fccHandler == Fourcc("YUY2"));
    CHECK(c.entries[CODEC_CATALOGUE_SIZE - 1].fccHandler == 0);
    CHECK(c.entries[CODEC_CATALOGUE_SIZE - 1].flags == (CF_PRESENT | CF_BUILTIN));
    int offered = 2;
    for (int i = 0; i < CODEC_CATALOGUE_SIZE; i++)
        offered += (c.entries[i].flags & CF_COMPRESS) != 0;
    CHECK(offered >= stored + 2);
    CHECK(c.list_count == offered);
    CHECK(c.list[c.list_count] == nullptr);
    // The handlers past the last free entry were never opened.
    for (int i = stored; i < 130; i++) {
        INFO("handler ", i);
        CHECK(FakeCallsOf(DRV_OPEN, i).empty());
        CHECK(CodecFind(specs[i].fcc) == -1);
    }
    CHECK(FakeCallsOf(DRV_OPEN, stored - 1).size() == 1);
}
