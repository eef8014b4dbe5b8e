// The settings dialog "VCMSET": its resource as compiled into the module,
// the dialog layer, and the dialog itself driven as a person would use it,
// through on_configure with installed test compressors.
#include <doctest/doctest.h>

#include <windows.h>
#include <vfw.h>
#include <mmreg.h>
#include <msacmdlg.h>

#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <string>
#include <vector>

#include "plugin/context.h"
#include "plugin/plugin.h"
#include "plugin/texts.h"
#include "support/dialog_driver.h"
#include "support/export_host.h"
#include "support/fake_codec.h"
#include "support/settings_fuzz.h"
#include "ui/dialog_ids.h"
#include "ui/dialog_layer.h"
#include "ui/settings_dialog.h"
#include "video/codec_catalogue.h"

namespace {

// 非圧縮
const char kUncompressed[] = "\x94\xF1\x88\xB3\x8F\x6B";

// ---- a compressor with a configuration state ----
//
// Installed as a function driver. Its "configuration" is a byte string:
// ICM_CONFIGURE (the user's changes in its own dialog) bumps the first byte,
// ICM_GETSTATE hands the bytes out, ICM_SETSTATE takes them back (or resets
// them with no data).

struct StateCodec {
    uint32_t fcc;
    const char *name;
    size_t state_size;          // what ICM_GETSTATE reports
    bool get_state_fails;
    std::vector<uint8_t> state;
    std::vector<std::vector<uint8_t>> set_states;   // every ICM_SETSTATE, in order
    std::vector<HWND> configure_owners, about_owners;
    int opens;
};

StateCodec state_codecs[2] = {
    {mmioFOURCC('S', 'T', 'A', 'T'), "State codec", 24, false, {}, {}, {}, {}, 0},
    {mmioFOURCC('B', 'I', 'G', 'S'), "Big state codec", 7000, false, {}, {}, {}, {}, 0},
};

std::vector<uint8_t> DefaultState(const StateCodec &c)
{
    std::vector<uint8_t> s(c.state_size);
    for (size_t i = 0; i < s.size(); i++)
        s[i] = (uint8_t)(i * 5 + 1);
    return s;
}

LRESULT StateCodecMessage(StateCodec *c, DWORD_PTR id, UINT msg, LPARAM p1, LPARAM p2)
{
    if (msg == DRV_OPEN)
        return (c->opens++, 1);
    (void)id;
    switch (msg) {
    case DRV_LOAD:
    case DRV_ENABLE:
    case DRV_DISABLE:
    case DRV_FREE:
    case DRV_CLOSE:
        return 1;
    }
    switch (msg) {
    case ICM_GETINFO: {
        ICINFO *info = (ICINFO *)p1;
        memset(info, 0, sizeof(*info));
        info->dwSize = sizeof(*info);
        info->fccType = ICTYPE_VIDEO;
        info->fccHandler = c->fcc;
        info->dwFlags = VIDCF_QUALITY;
        for (int i = 0; c->name[i]; i++)
            info->szDescription[i] = (WCHAR)c->name[i];
        return sizeof(*info);
    }
    case ICM_COMPRESS_QUERY: {
        const BITMAPINFOHEADER *in = (const BITMAPINFOHEADER *)p1;
        return in && in->biCompression == BI_RGB && in->biBitCount == 24 ? ICERR_OK : ICERR_BADFORMAT;
    }
    case ICM_GETDEFAULTQUALITY:
        *(DWORD *)p1 = 6600;
        return ICERR_OK;
    case ICM_CONFIGURE:
        if (p1 == -1)
            return ICERR_OK;
        c->configure_owners.push_back((HWND)p1);
        c->state[0]++;
        return ICERR_OK;
    case ICM_ABOUT:
        if (p1 == -1)
            return ICERR_OK;
        c->about_owners.push_back((HWND)p1);
        return ICERR_OK;
    case ICM_GETSTATE:
        if (c->get_state_fails)
            return ICERR_UNSUPPORTED;
        if (!p1)
            return (LRESULT)c->state_size;
        memcpy((void *)p1, c->state.data(), (size_t)p2 < c->state.size() ? (size_t)p2 : c->state.size());
        return ICERR_OK;
    case ICM_SETSTATE:
        if (!p1) {
            c->set_states.push_back({});
            c->state = DefaultState(*c);
            return 0;
        }
        c->set_states.push_back(std::vector<uint8_t>((uint8_t *)p1, (uint8_t *)p1 + p2));
        memcpy(c->state.data(), (void *)p1, (size_t)p2 < c->state.size() ? (size_t)p2 : c->state.size());
        return p2;
    default:
        return ICERR_UNSUPPORTED;
    }
}

template <int N> LRESULT CALLBACK StateCodecProc(DWORD_PTR id, HDRVR, UINT msg, LPARAM p1, LPARAM p2)
{
    return StateCodecMessage(&state_codecs[N], id, msg, p1, p2);
}

const DRIVERPROC state_codec_procs[2] = {StateCodecProc<0>, StateCodecProc<1>};

// ---- the test's compressors ----
//
// "QKDR" has quality (default 7500), key frames (default 15) and data rate;
// "QUAL" has quality only (default 5000); "PLAN" none of them. All three
// compress (the recording compressor), so an export can use them.
enum { QKDR = 0, QUAL = 1, PLAN = 2 };

void InstallCodecs()
{
    std::vector<FakeCodecDesc> descs(3);
    descs[QKDR].fcc = Fourcc("QKDR");
    descs[QKDR].name = "Quality keys rate";
    descs[QKDR].vidcf = VIDCF_QUALITY | VIDCF_TEMPORAL | VIDCF_FASTTEMPORALC | VIDCF_CRUNCH;
    descs[QKDR].default_quality = 7500;
    descs[QKDR].default_key_rate = 15;
    descs[QKDR].configure = true;
    descs[QKDR].about = true;
    descs[QUAL].fcc = Fourcc("QUAL");
    descs[QUAL].name = "Quality only";
    descs[QUAL].vidcf = VIDCF_QUALITY;
    descs[QUAL].default_quality = 5000;
    descs[PLAN].fcc = Fourcc("PLAN");
    descs[PLAN].name = "Plain";
    FakeCodecsInstall(descs);
    for (int i = 0; i < 2; i++) {
        StateCodec &c = state_codecs[i];
        c.state = DefaultState(c);
        c.set_states.clear();
        c.configure_owners.clear();
        c.about_owners.clear();
        c.get_state_fails = false;
        ICRemove(ICTYPE_VIDEO, c.fcc, 0);
        ICInstall(ICTYPE_VIDEO, c.fcc, (LPARAM)state_codec_procs[i], NULL, ICINSTALL_FUNCTION);
    }
}

// on_init with the test compressors installed, on_exit at the end.
struct Session {
    Session()
    {
        HostPathsReset("C:\\no such folder\\host.exe");
        InstallCodecs();
        on_init();
    }
    ~Session()
    {
        on_exit();
        FakeCodecsRemove();
        for (StateCodec &c : state_codecs)
            ICRemove(ICTYPE_VIDEO, c.fcc, 0);
        HostPathsReset(NULL);
    }
};

VideoCodecState &Block()
{
    return writer_context.video;
}

// Opens the settings dialog through the host's entry and runs the script in it.
int Configure(const std::function<void(HWND)> &script)
{
    int found = 0;
    int result = DriveDialog(VCMSET_TITLE, [] { return on_configure(NULL, GetModuleHandleA(NULL)); },
                             script, &found);
    CHECK(found == 1);
    return result;
}

// Opens the dialog, picks a compressor, types the three values, presses OK.
void ChooseAndType(const char *codec, const char *quality, const char *keys, const char *rate)
{
    Configure([&](HWND d) {
        PickItem(d, IDC_CODEC_LIST, codec);
        if (quality)
            TypeInto(d, IDC_QUALITY, quality);
        if (keys)
            TypeInto(d, IDC_KEY_RATE, keys);
        if (rate)
            TypeInto(d, IDC_DATA_RATE, rate);
        Press(d, IDOK);
    });
}

struct Shown {
    std::string item, quality, keys, rate;
    int quality_on = -1, keys_on = -1, rate_on = -1, configure_on = -1, about_on = -1, defaults_on = -1;
};

Shown Look(HWND d)
{
    Shown s;
    s.item = SelectedItem(d, IDC_CODEC_LIST);
    s.quality = TextOf(d, IDC_QUALITY);
    s.keys = TextOf(d, IDC_KEY_RATE);
    s.rate = TextOf(d, IDC_DATA_RATE);
    s.quality_on = Enabled(d, IDC_QUALITY);
    s.keys_on = Enabled(d, IDC_KEY_RATE);
    s.rate_on = Enabled(d, IDC_DATA_RATE);
    s.configure_on = Enabled(d, IDC_CODEC_CONFIGURE);
    s.about_on = Enabled(d, IDC_CODEC_ABOUT);
    s.defaults_on = Enabled(d, IDC_CODEC_DEFAULTS);
    return s;
}

// What the dialog shows when it opens, closed again with Cancel.
Shown LookAtOpening()
{
    Shown s;
    Configure([&](HWND d) {
        s = Look(d);
        Press(d, IDCANCEL);
    });
    return s;
}

int Index(const char *fcc)
{
    return CodecFind(Fourcc(fcc));
}

// ---- the compiled template ----

struct TemplateItem {
    DWORD style, exstyle;
    short x, y, cx, cy;
    int id;
    int atom;
    std::wstring text;
};

struct Template {
    DWORD style, exstyle;
    short x, y, cx, cy;
    std::wstring title, font;
    int point_size;
    std::vector<TemplateItem> items;
};

const WORD *ReadSzOrOrd(const WORD *p, std::wstring *text, int *ordinal)
{
    if (*p == 0xFFFF) {
        if (ordinal)
            *ordinal = p[1];
        return p + 2;
    }
    while (*p)
        text->push_back((wchar_t)*p++);
    return p + 1;
}

const WORD *Align4(const WORD *p, const void *base)
{
    size_t off = (const uint8_t *)p - (const uint8_t *)base;
    return (const WORD *)((const uint8_t *)base + ((off + 3) & ~(size_t)3));
}

// Parses a DLGTEMPLATE (the classic form) with its items.
Template ParseTemplate(const void *data)
{
    Template t;
    const DLGTEMPLATE *h = (const DLGTEMPLATE *)data;
    t.style = h->style;
    t.exstyle = h->dwExtendedStyle;
    t.x = h->x, t.y = h->y, t.cx = h->cx, t.cy = h->cy;
    const WORD *p = (const WORD *)((const uint8_t *)data + 18);
    std::wstring menu, cls;
    int ord = -1;
    p = ReadSzOrOrd(p, &menu, &ord);
    p = ReadSzOrOrd(p, &cls, &ord);
    p = ReadSzOrOrd(p, &t.title, NULL);
    t.point_size = *p++;
    p = ReadSzOrOrd(p, &t.font, NULL);
    for (int i = 0; i < h->cdit; i++) {
        p = Align4(p, data);
        const DLGITEMTEMPLATE *it = (const DLGITEMTEMPLATE *)p;
        TemplateItem item;
        item.style = it->style;
        item.exstyle = it->dwExtendedStyle;
        item.x = it->x, item.y = it->y, item.cx = it->cx, item.cy = it->cy;
        item.id = (short)it->id;
        p = (const WORD *)((const uint8_t *)p + 18);
        std::wstring class_name;
        item.atom = -1;
        p = ReadSzOrOrd(p, &class_name, &item.atom);
        p = ReadSzOrOrd(p, &item.text, NULL);
        WORD extra = *p++;
        p = (const WORD *)((const uint8_t *)p + extra);
        t.items.push_back(item);
    }
    return t;
}

std::wstring FromCp932(const std::string &bytes)
{
    wchar_t out[256];
    int n = MultiByteToWideChar(932, MB_ERR_INVALID_CHARS, bytes.data(), (int)bytes.size(), out, 256);
    return std::wstring(out, n > 0 ? n : 0);
}

std::vector<uint8_t> TemplateBytes(HMODULE module)
{
    HRSRC r = FindResourceExA(module, (LPCSTR)RT_DIALOG, "VCMSET", MAKELANGID(LANG_JAPANESE, SUBLANG_DEFAULT));
    if (!r)
        return {};
    const uint8_t *p = (const uint8_t *)LockResource(LoadResource(module, r));
    return std::vector<uint8_t>(p, p + SizeofResource(module, r));
}

// The ids less the drop-down list's, which also reports its focus changes.
std::vector<int> Without(const std::vector<int> &ids, int id)
{
    std::vector<int> out;
    for (int i : ids)
        if (i != id)
            out.push_back(i);
    return out;
}

} // namespace

TEST_CASE("the template VCMSET: size, styles, font, title and every control in tab order")
{
    std::vector<uint8_t> bytes = TemplateBytes(GetModuleHandleA(NULL));
    REQUIRE(!bytes.empty());
    Template t = ParseTemplate(bytes.data());
    CHECK(t.style == (WS_POPUP | WS_VISIBLE | WS_CAPTION | WS_SYSMENU | DS_MODALFRAME | DS_3DLOOK | DS_SETFONT));
    CHECK(t.exstyle == 0);
    CHECK(t.x == 0);
    CHECK(t.y == 0);
    CHECK(t.cx == 211);
    CHECK(t.cy == 182);
    CHECK(t.title == FromCp932("\x83\x72\x83\x66\x83\x49\x82\xCC\x88\xB3\x8F\x6B"));   // ビデオの圧縮
    CHECK(t.point_size == 9);
    CHECK(t.font == FromCp932("\x82\x6C\x82\x72\x20\x82\x6F\x83\x53\x83\x56\x83\x62\x83\x4E"));   // ＭＳ Ｐゴシック

    const DWORD child = WS_CHILD | WS_VISIBLE;
    const DWORD group = BS_GROUPBOX | child;
    const DWORD label = SS_LEFT | WS_GROUP | child;
    const DWORD edit = ES_LEFT | WS_BORDER | WS_TABSTOP | child;
    const DWORD button = BS_PUSHBUTTON | BS_CENTER | WS_TABSTOP | child;
    const DWORD list = CBS_DROPDOWNLIST | WS_VSCROLL | WS_TABSTOP | child;
    enum { BUTTON = 0x80, EDIT = 0x81, STATIC = 0x82, COMBO = 0x85 };
    struct Want {
        int id, atom;
        DWORD style, exstyle;
        short x, y, cx, cy;
        const char *text;
    } want[] = {
        {-1, BUTTON, group, 0, 4, 4, 203, 104, "\x83\x72\x83\x66\x83\x49"},   // ビデオ
        {-1, STATIC, label, 0, 11, 20, 52, 8,
         "\x88\xB3\x8F\x6B\x83\x76\x83\x8D\x83\x4F\x83\x89\x83\x80:"},   // 圧縮プログラム:
        {32500, COMBO, list, 0, 11, 29, 128, 128, "ComboBox1"},
        {-1, STATIC, label, 0, 12, 55, 64, 8,
         "\x88\xB3\x8F\x6B\x82\xCC\x95\x69\x8E\xBF (0\x81\x60" "100)"},   // 圧縮の品質 (0～100)
        {32000, EDIT, edit, WS_EX_CLIENTEDGE, 76, 52, 24, 12, ""},
        {-1, STATIC, label, 0, 12, 71, 64, 8,
         "\x83\x4C\x81\x5B\x83\x74\x83\x8C\x81\x5B\x83\x80 (0:\x96\xB3\x82\xB5)"},   // キーフレーム (0:無し)
        {32001, EDIT, edit, WS_EX_CLIENTEDGE, 76, 68, 24, 12, ""},
        {-1, STATIC, label, 0, 101, 71, 40, 8, "\x83\x74\x83\x8C\x81\x5B\x83\x80\x82\xB2\x82\xC6"},   // フレームごと
        {-1, STATIC, label, 0, 12, 87, 52, 8, "\x83\x66\x81\x5B\x83\x5E\x97\xA6 (0:\x96\xB3\x82\xB5)"},   // データ率 (0:無し)
        {32002, EDIT, edit, WS_EX_CLIENTEDGE, 76, 84, 24, 12, ""},
        {-1, STATIC, label, 0, 101, 87, 24, 8, "KB/\x95\x62"},   // KB/秒
        {32300, BUTTON, button, 0, 147, 29, 50, 14, "\x90\xDD\x92\xE8"},   // 設定
        {32301, BUTTON, button, 0, 147, 47, 50, 14, "\x95\x57\x8F\x80\x82\xC9\x96\xDF\x82\xB7"},   // 標準に戻す
        {32302, BUTTON, button, 0, 147, 65, 50, 14,
         "\x83\x6F\x81\x5B\x83\x57\x83\x87\x83\x93\x8F\xEE\x95\xF1"},   // バージョン情報
        {-1, BUTTON, group, 0, 4, 116, 203, 32, "\x83\x49\x81\x5B\x83\x66\x83\x42\x83\x49"},   // オーディオ
        {32400, STATIC, label, 0, 13, 130, 124, 8, ""},
        {32303, BUTTON, button, 0, 147, 127, 50, 14, "\x90\xDD\x92\xE8"},   // 設定
        {1, BUTTON, button, 0, 94, 157, 50, 14, "OK"},
        {2, BUTTON, button, 0, 147, 157, 50, 14, "\xB7\xAC\xDD\xBE\xD9"},   // ｷｬﾝｾﾙ
    };
    REQUIRE(t.items.size() == sizeof(want) / sizeof(want[0]));
    for (size_t i = 0; i < t.items.size(); i++) {
        CAPTURE(i);
        const TemplateItem &got = t.items[i];
        CHECK(got.id == want[i].id);
        CHECK(got.atom == want[i].atom);
        CHECK(got.style == want[i].style);
        CHECK(got.exstyle == want[i].exstyle);
        CHECK(got.x == want[i].x);
        CHECK(got.y == want[i].y);
        CHECK(got.cx == want[i].cx);
        CHECK(got.cy == want[i].cy);
        CHECK(got.text == FromCp932(want[i].text));
    }

    // The product module carries the same template.
    std::string dll = WinePathOf(VELNIK_BINARY_DIR) + "\\velnik.dll";
    HMODULE module = LoadLibraryExA(dll.c_str(), NULL, LOAD_LIBRARY_AS_DATAFILE);
    REQUIRE(module != NULL);
    CHECK(TemplateBytes(module) == bytes);
    FreeLibrary(module);
}

TEST_CASE("the product module's version resource, read back as Explorer's Details tab reads it")
{
    std::string dll = WinePathOf(VELNIK_BINARY_DIR) + "\\velnik.dll";
    DWORD handle = 0;
    DWORD size = GetFileVersionInfoSizeA(dll.c_str(), &handle);
    REQUIRE(size > 0);
    std::vector<uint8_t> info(size);
    REQUIRE(GetFileVersionInfoA(dll.c_str(), 0, size, info.data()));
    UINT length = 0;

    // "0.01" is FILEVERSION 0,1,0,0.
    int major = -1, minor = -1;
    REQUIRE(sscanf(VELNIK_VERSION, "%d.%d", &major, &minor) == 2);
    VS_FIXEDFILEINFO *fixed = NULL;
    REQUIRE(VerQueryValueA(info.data(), "\\", (void **)&fixed, &length));
    REQUIRE(length == sizeof(VS_FIXEDFILEINFO));
    CHECK(fixed->dwSignature == VS_FFI_SIGNATURE);
    CHECK(fixed->dwFileVersionMS == (DWORD)MAKELONG(minor, major));
    CHECK(fixed->dwFileVersionLS == 0);
    CHECK(fixed->dwProductVersionMS == fixed->dwFileVersionMS);
    CHECK(fixed->dwProductVersionLS == 0);
    CHECK(fixed->dwFileType == VFT_DLL);

    // Japanese in code page 932 first, then neutral English.
    WORD *translations = NULL;
    REQUIRE(VerQueryValueA(info.data(), "\\VarFileInfo\\Translation", (void **)&translations, &length));
    REQUIRE(length == 4 * sizeof(WORD));
    CHECK(translations[0] == 0x0411);
    CHECK(translations[1] == 932);
    CHECK(translations[2] == 0x0009);
    CHECK(translations[3] == 1252);

    const struct {
        const char *block, *description;
    } tables[] = {
        // Orvane 用 AVI 出力プラグイン
        {"041103a4", "Orvane \x97\x70 AVI \x8F\x6F\x97\xCD\x83\x76\x83\x89\x83\x4F\x83\x43\x83\x93"},
        {"000904e4", "AVI output plug-in for Orvane"},
    };
    for (const auto &table : tables) {
        const char *rows[][2] = {{"FileDescription", table.description}, {"ProductName", VELNIK_NAME},
                                 {"FileVersion", VELNIK_VERSION}, {"ProductVersion", VELNIK_VERSION},
                                 {"OriginalFilename", "velnik.dll"}};
        for (const auto &row : rows) {
            char path[128];
            snprintf(path, sizeof(path), "\\StringFileInfo\\%s\\%s", table.block, row[0]);
            CAPTURE(path);
            const char *value = NULL;
            REQUIRE(VerQueryValueA(info.data(), path, (void **)&value, &length));
            CHECK(std::string(value) == row[1]);
        }
    }
}

TEST_CASE("the dialog layer: lists from slots, the callback and how the dialog ends")
{
    DialogSetHost(GetModuleHandleA(NULL), NULL);
    static std::vector<int> ids;
    static const char *const items[] = {"first", "second", "third", NULL};
    // A title of its own instead of the template's.
    const char *title = "Layer test";

    SUBCASE("lists are filled and selected before DLG_INIT; OK reports DLG_CLOSING first")
    {
        ids.clear();
        DialogSetList(0, items);
        DialogSetSelection(0, 1);
        DialogSetCallback([](HWND d, int id) {
            if (id == DLG_INIT)
                ids.push_back((int)SendDlgItemMessageA(d, IDC_CODEC_LIST, CB_GETCOUNT, 0, 0) * 1000 +
                              (int)SendDlgItemMessageA(d, IDC_CODEC_LIST, CB_GETCURSEL, 0, 0));
            ids.push_back(id);
            return 1;
        });
        std::string picked;
        int found = 0;
        int result = DriveDialog(title, [&] { return DialogShow("VCMSET", title, NULL); },
                                 [&](HWND d) {
                                     picked = SelectedItem(d, IDC_CODEC_LIST);
                                     Press(d, IDC_CODEC_ABOUT);
                                     PickItem(d, IDC_CODEC_LIST, "third");
                                     Press(d, IDOK);
                                 },
                                 &found);
        CHECK(found == 1);
        CHECK(result == IDOK);
        CHECK(picked == "second");
        // Controls also report focus changes; the commands keep their order.
        REQUIRE(ids.size() >= 5);
        CHECK(ids[0] == 3001);
        CHECK(ids[1] == DLG_INIT);
        CHECK(ids.back() == DLG_CLOSING);
        CHECK(Without(ids, IDC_CODEC_LIST) == std::vector<int>{3001, DLG_INIT, IDC_CODEC_ABOUT, DLG_CLOSING});
        // The pick after the button reached the callback too.
        CHECK(ids[ids.size() - 2] == IDC_CODEC_LIST);
        CHECK(dialog_layer.callback == NULL);   // cleared once the dialog ended
    }
    SUBCASE("Cancel gives 2; a callback answering other than 1 ends the dialog with that id")
    {
        ids.clear();
        DialogSetList(0, items);
        DialogSetCallback([](HWND, int id) {
            ids.push_back(id);
            return 1;
        });
        CHECK(DriveDialog(title, [&] { return DialogShow("VCMSET", title, NULL); },
                          [](HWND d) { Press(d, IDCANCEL); }) == IDCANCEL);
        CHECK(Without(ids, IDC_CODEC_LIST) == std::vector<int>{DLG_INIT, DLG_CLOSING});

        ids.clear();
        DialogSetCallback([](HWND, int id) {
            ids.push_back(id);
            return id == IDC_CODEC_DEFAULTS ? 0 : 1;
        });
        CHECK(DriveDialog(title, [&] { return DialogShow("VCMSET", title, NULL); },
                          [](HWND d) { Press(d, IDC_CODEC_DEFAULTS); }) == IDC_CODEC_DEFAULTS);
        // No DLG_CLOSING.
        CHECK(Without(ids, IDC_CODEC_LIST) == std::vector<int>{DLG_INIT, IDC_CODEC_DEFAULTS});
    }
    SUBCASE("a slot without a list disables its control")
    {
        DialogSetList(0, NULL);
        int enabled = -1;
        DriveDialog(title, [&] { return DialogShow("VCMSET", title, NULL); }, [&](HWND d) {
            enabled = Enabled(d, IDC_CODEC_LIST);
            Press(d, IDCANCEL);
        });
        CHECK(enabled == 0);
    }
    SUBCASE("a template that cannot be found counts as Cancel")
    {
        DialogSetCallback([](HWND, int) { return 1; });
        CHECK(DialogShow("NO SUCH DIALOG", NULL, NULL) == IDCANCEL);
        CHECK(dialog_layer.callback == NULL);
    }
    DialogSetList(0, NULL);
    DialogSetSelection(0, 0);
}

TEST_CASE("quality: what is typed is stored times 100, clamped to 0..10000; stored values show divided")
{
    Session session;
    struct {
        const char *typed;
        int32_t stored;
    } cases[] = {{"55", 5500}, {"150", 10000}, {"-3", 0}, {"abc", 0}, {"0", 0}, {"100", 10000},
                 {"99999999", 10000}};
    for (const auto &c : cases) {
        CAPTURE(c.typed);
        ChooseAndType("Quality keys rate", c.typed, "12", "-40");
        CHECK(Block().fccHandler == Fourcc("QKDR"));
        CHECK(Block().quality == c.stored);
        CHECK(Block().keyRate == 12);
        CHECK(Block().dataRate == -40);   // stored as typed
        CHECK(Block().stateSize == 0u);   // this compressor has no state to give
    }
    Block().quality = 7550;
    Shown s = LookAtOpening();
    CHECK(s.item == "Quality keys rate");
    CHECK(s.quality == "75");
    CHECK(s.keys == "12");
    CHECK(s.rate == "-40");
}

TEST_CASE("Cancel leaves the video settings byte for byte; typed values stay as working copies")
{
    Session session;
    ChooseAndType("Quality keys rate", "40", "30", "500");
    VideoCodecState before = Block();

    int result = Configure([](HWND d) {
        TypeInto(d, IDC_QUALITY, "90");            // the chosen compressor
        PickItem(d, IDC_CODEC_LIST, "Quality only");
        TypeInto(d, IDC_QUALITY, "12");            // another one
        PickItem(d, IDC_CODEC_LIST, "YUY2");
        Press(d, IDCANCEL);
    });
    CHECK(result == 1);   // on_configure answers 1 whatever the user did
    CHECK(memcmp(&before, &Block(), sizeof(before)) == 0);

    // The chosen one shows the block's values, the other one what was typed.
    Shown chosen, other;
    Configure([&](HWND d) {
        chosen = Look(d);
        PickItem(d, IDC_CODEC_LIST, "Quality only");
        other = Look(d);
        Press(d, IDCANCEL);
    });
    CHECK(chosen.item == "Quality keys rate");
    CHECK(chosen.quality == "40");
    CHECK(chosen.keys == "30");
    CHECK(chosen.rate == "500");
    CHECK(other.quality == "12");
    CHECK(memcmp(&before, &Block(), sizeof(before)) == 0);
}

TEST_CASE("switching compressors keeps what was typed for each")
{
    Session session;
    Shown back;
    Configure([&](HWND d) {
        PickItem(d, IDC_CODEC_LIST, "Quality keys rate");
        TypeInto(d, IDC_QUALITY, "33");
        TypeInto(d, IDC_KEY_RATE, "4");
        TypeInto(d, IDC_DATA_RATE, "800");
        PickItem(d, IDC_CODEC_LIST, "Quality only");
        TypeInto(d, IDC_QUALITY, "77");
        PickItem(d, IDC_CODEC_LIST, "Quality keys rate");
        back = Look(d);
        Press(d, IDOK);
    });
    CHECK(back.quality == "33");
    CHECK(back.keys == "4");
    CHECK(back.rate == "800");
    CHECK(Block().fccHandler == Fourcc("QKDR"));
    CHECK(Block().quality == 3300);
    CHECK(codec_catalogue.entries[Index("QUAL")].quality == 7700);
}

TEST_CASE("YUY2 and 非圧縮 disable the values and the compressor's buttons; OK stores zeros")
{
    Session session;
    for (const char *name : {"YUY2", kUncompressed}) {
        CAPTURE(name);
        ChooseAndType("Quality keys rate", "20", "5", "100");
        REQUIRE(Block().quality == 2000);
        // A saved state from before must not survive the change.
        Block().stateSize = 16;
        Shown s;
        Configure([&](HWND d) {
            PickItem(d, IDC_CODEC_LIST, name);
            s = Look(d);
            Press(d, IDOK);
        });
        CHECK(s.item == name);
        CHECK(s.quality == "");
        CHECK(s.keys == "");
        CHECK(s.rate == "");
        CHECK(s.quality_on == 0);
        CHECK(s.keys_on == 0);
        CHECK(s.rate_on == 0);
        CHECK(s.configure_on == 0);
        CHECK(s.about_on == 0);
        CHECK(s.defaults_on == 1);
        CHECK(Block().fccHandler == (strcmp(name, "YUY2") == 0 ? Fourcc("YUY2") : 0u));
        CHECK(Block().quality == 0);
        CHECK(Block().keyRate == 0);
        CHECK(Block().dataRate == 0);
        CHECK(Block().stateSize == 0u);
    }
    // A compressor enables what it supports, and only that.
    Shown q;
    Configure([&](HWND d) {
        PickItem(d, IDC_CODEC_LIST, "Quality only");
        q = Look(d);
        Press(d, IDCANCEL);
    });
    CHECK(q.quality_on == 1);
    CHECK(q.quality == "50");
    CHECK(q.keys_on == 0);
    CHECK(q.rate_on == 0);
    CHECK(q.configure_on == 0);
    CHECK(q.about_on == 0);
}

TEST_CASE("標準に戻す restores the compressor's defaults: its quality and 300 KB/s")
{
    Session session;
    ChooseAndType("Quality keys rate", "10", "99", "1234");
    Shown before, after;
    Configure([&](HWND d) {
        before = Look(d);
        TypeInto(d, IDC_QUALITY, "20");   // not saved by the restore
        Press(d, IDC_CODEC_DEFAULTS);
        after = Look(d);
        Press(d, IDOK);
    });
    CHECK(before.quality == "10");
    CHECK(after.quality == "75");
    CHECK(after.keys == "15");
    CHECK(after.rate == "300");
    CHECK(Block().quality == 7500);
    CHECK(Block().keyRate == 15);
    CHECK(Block().dataRate == 300);
}

TEST_CASE("a block naming a compressor that is not installed opens on 非圧縮")
{
    Session session;
    Block().fccHandler = Fourcc("GONE");
    Block().quality = 5000;
    Shown s = LookAtOpening();
    CHECK(s.item == kUncompressed);
    CHECK(s.quality_on == 0);
    CHECK(Block().fccHandler == Fourcc("GONE"));   // Cancel: untouched
}

TEST_CASE("the compressor's own configuration: owner, saved state on OK, restored at the next opening")
{
    Session session;
    StateCodec &c = state_codecs[0];
    HWND shown_in = NULL;
    Configure([&](HWND d) {
        shown_in = d;
        PickItem(d, IDC_CODEC_LIST, "State codec");
        Press(d, IDC_CODEC_CONFIGURE);
        Press(d, IDC_CODEC_CONFIGURE);
        Press(d, IDC_CODEC_ABOUT);
        Press(d, IDOK);
    });
    // Both sent with the dialog as the owner of the compressor's windows.
    CHECK(c.configure_owners.size() == 2);
    CHECK(c.about_owners.size() == 1);
    for (HWND owner : c.configure_owners)
        CHECK(owner == shown_in);
    for (HWND owner : c.about_owners)
        CHECK(owner == shown_in);
    std::vector<uint8_t> expected = DefaultState(c);
    expected[0] += 2;
    CHECK(Block().fccHandler == c.fcc);
    REQUIRE(Block().stateSize == expected.size());
    CHECK(memcmp(Block().state, expected.data(), expected.size()) == 0);
    CHECK(Block().quality == 6600);
    // The confirmed compressor keeps its handle with its configuration.
    int n = Index("STAT");
    CHECK((codec_catalogue.entries[n].flags & CF_KEEP_OPEN) != 0);
    CHECK(codec_catalogue.entries[n].hic != NULL);

    // Next opening: the saved state is sent back before the dialog shows.
    c.set_states.clear();
    c.state = DefaultState(c);
    LookAtOpening();
    REQUIRE(c.set_states.size() == 1);
    CHECK(c.set_states[0] == expected);

    SUBCASE("a configuration cancelled with the dialog stays in force while the handle is open")
    {
        Configure([&](HWND d) {
            Press(d, IDC_CODEC_CONFIGURE);
            Press(d, IDCANCEL);
        });
        CHECK(Block().stateSize == expected.size());
        CHECK(memcmp(Block().state, expected.data(), expected.size()) == 0);   // block as it was
        CHECK(c.state[0] == (uint8_t)(expected[0] + 1));                        // compressor changed
    }
    SUBCASE("標準に戻す resets the compressor's configuration")
    {
        Configure([&](HWND d) {
            Press(d, IDC_CODEC_DEFAULTS);
            Press(d, IDOK);
        });
        // The saved state at opening, then no data: back to its defaults.
        REQUIRE(c.set_states.size() == 3);
        CHECK(c.set_states[1] == expected);
        CHECK(c.set_states[2].empty());
        std::vector<uint8_t> reset = DefaultState(c);
        REQUIRE(Block().stateSize == reset.size());
        CHECK(memcmp(Block().state, reset.data(), reset.size()) == 0);
    }
    SUBCASE("a compressor whose state cannot be read gets no saved state")
    {
        c.get_state_fails = true;
        Configure([&](HWND d) { Press(d, IDOK); });
        CHECK(Block().fccHandler == c.fcc);
        CHECK(Block().stateSize == 0u);
    }
}

TEST_CASE("a state larger than the block's 6144 bytes is saved as none")
{
    Session session;
    memset(Block().state, 0xEE, sizeof(Block().state));
    uint8_t after_state = 0;
    Configure([&](HWND d) {
        PickItem(d, IDC_CODEC_LIST, "Big state codec");
        Press(d, IDC_CODEC_CONFIGURE);
        Press(d, IDOK);
    });
    after_state = Block().state[sizeof(Block().state) - 1];
    CHECK(Block().fccHandler == state_codecs[1].fcc);
    CHECK(Block().stateSize == 0u);
    CHECK(after_state == 0xEE);   // nothing written past or into the area
    CHECK(Block().quality == 6600);
}

TEST_CASE("the ini option without state saving leaves the compressor's state out")
{
    Session session;
    int n = Index("STAT");
    REQUIRE(n >= 0);
    codec_catalogue.entries[n].flags &= ~(uint32_t)CF_OPT_SAVESTATE;   // as "codec" STAT=3 gives
    Configure([&](HWND d) {
        PickItem(d, IDC_CODEC_LIST, "State codec");
        Press(d, IDC_CODEC_CONFIGURE);
        Press(d, IDOK);
    });
    CHECK(Block().fccHandler == state_codecs[0].fcc);
    CHECK(Block().stateSize == 0u);
    CHECK(state_codecs[0].configure_owners.size() == 1);   // its dialog still opens
}

TEST_CASE("the audio button runs the system's format chooser; the choice stays after Cancel")
{
    Session session;
    std::string before_text, after_text, ima_name;
    Configure([&](HWND d) {
        before_text = TextOf(d, IDC_AUDIO_TEXT);
        PressLater(d, IDC_AUDIO_CONFIGURE);
        HWND chooser = NULL;
        for (int i = 0; i < 6000 && !chooser; i++) {
            Sleep(10);
            for (HWND w = FindWindowExA(NULL, NULL, "#32770", NULL); w; w = FindWindowExA(NULL, w, "#32770", NULL))
                if (GetWindow(w, GW_OWNER) == d && IsWindowVisible(w))
                    chooser = w;
        }
        CHECK(chooser != NULL);
        if (!chooser)
            return;
        Sleep(50);
        HWND tags = GetDlgItem(chooser, IDD_ACMFORMATCHOOSE_CMB_FORMATTAG);
        LRESULT count = SendMessageA(tags, CB_GETCOUNT, 0, 0);
        for (LRESULT i = 0; i < count; i++) {
            char text[256] = "";
            SendMessageA(tags, CB_GETLBTEXT, (WPARAM)i, (LPARAM)text);
            if (strstr(text, "IMA") && strstr(text, "ADPCM"))
                ima_name = text;
        }
        CHECK(!ima_name.empty());
        PickItem(chooser, IDD_ACMFORMATCHOOSE_CMB_FORMATTAG, ima_name.c_str());
        // The first format the chooser offers for the tag.
        HWND formats = GetDlgItem(chooser, IDD_ACMFORMATCHOOSE_CMB_FORMAT);
        SendMessageA(formats, CB_SETCURSEL, 0, 0);
        SendMessageA(chooser, WM_COMMAND, MAKEWPARAM(IDD_ACMFORMATCHOOSE_CMB_FORMAT, CBN_SELCHANGE),
                     (LPARAM)formats);
        Press(chooser, IDOK);
        // The description is written once the chooser has returned.
        for (int i = 0; i < 6000 && (IsWindow(chooser) || TextOf(d, IDC_AUDIO_TEXT) == before_text); i++)
            Sleep(10);
        after_text = TextOf(d, IDC_AUDIO_TEXT);
        Press(d, IDCANCEL);
    });
    CHECK(before_text == "PCM 44.100kHz 2ch");
    const AudioCodecState &a = writer_context.audio;
    const WAVEFORMATEX *f = (const WAVEFORMATEX *)a.chosen_format;
    CHECK(f->wFormatTag == WAVE_FORMAT_IMA_ADPCM);
    CHECK(a.chosen_format_size == 18u + f->cbSize);
    CHECK((a.flags & 4) != 0);
    char expected[256];
    wsprintfA(expected, "%s %d.%03dkHz %dch", ima_name.c_str(), (int)(f->nSamplesPerSec / 1000),
              (int)(f->nSamplesPerSec % 1000), (int)f->nChannels);
    CHECK(after_text == expected);
    // Still chosen when the dialog opens again, after the Cancel.
    std::string reopened;
    Configure([&](HWND d) {
        reopened = TextOf(d, IDC_AUDIO_TEXT);
        Press(d, IDCANCEL);
    });
    CHECK(reopened == expected);
}

TEST_CASE("the next export uses the compressor and values confirmed in the dialog")
{
    Session session;
    ChooseAndType("Quality keys rate", "42", "3", "0");
    TestClip clip;
    clip.frames = 4;
    clip.sample_rate = 0;
    std::string path = TestFolder("settings_dialog") + "\\chosen.avi";
    FakeCallsClear();
    ExportRecord r = RunExport(clip, path);
    CHECK(r.result == 1);
    std::vector<FakeCall> frames = FakeCallsOf(ICM_COMPRESS, QKDR);
    REQUIRE(frames.size() == 4);
    ICCOMPRESS first = FakeData<ICCOMPRESS>(frames[0]);
    CHECK(first.dwQuality == 4200u);
    // Key frames every 3: frames 0 and 3 are asked for as key frames.
    CHECK((FakeData<ICCOMPRESS>(frames[3]).dwFlags & ICCOMPRESS_KEYFRAME) != 0);
    CHECK((FakeData<ICCOMPRESS>(frames[1]).dwFlags & ICCOMPRESS_KEYFRAME) == 0);
}

TEST_CASE("stored blocks of any content: no crash, and every file an export writes passes the layout checks")
{
    Session session;
    FuzzFigures f = FuzzSettingsBlocks(20261208, 0, 300, 50);
    MESSAGE(f.blocks, " blocks: ", f.files, " files (", f.converted, " converted), ", f.refused,
            " refused, ", f.dialogs, " dialogs");
    CHECK(f.blocks == 300);
    CHECK(f.converted > f.blocks / 4);   // the chooser's formats reach the file
}
