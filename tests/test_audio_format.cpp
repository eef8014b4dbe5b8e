// The audio format choice through Wine's real format chooser, tag names,
// the dialog's one-line description, and what an export makes of a damaged
// stored choice.
#include <doctest/doctest.h>

#include <windows.h>
#include <mmsystem.h>
#include <mmreg.h>
#include <msacm.h>
#include <msacmdlg.h>

#include <string.h>
#include <string>
#include <vector>

#include "audio/audio_format.h"
#include "plugin/context.h"
#include "plugin/plugin.h"
#include "support/acm_test_driver.h"
#include "support/export_host.h"

namespace {

// 不明
const char kUnknown[] = "\x95\x73\x96\xBE";

void Choose(AudioCodecState *state, const void *format, uint32_t size, uint32_t flags)
{
    memset(state->chosen_format, 0, sizeof(state->chosen_format));
    memcpy(state->chosen_format, format, size);
    state->chosen_format_size = size;
    state->flags = flags;
}

// A window standing in for the settings dialog, with the description's control.
struct FakeDialog {
    HWND window, text;
    FakeDialog()
    {
        window = CreateWindowExA(0, "STATIC", "VCMSET", WS_POPUP, 0, 0, 300, 200, NULL, NULL, NULL, NULL);
        text = CreateWindowExA(0, "STATIC", "", WS_CHILD, 0, 0, 280, 20, window,
                               (HMENU)(UINT_PTR)AUDIO_FORMAT_TEXT_ID, NULL, NULL);
    }
    ~FakeDialog()
    {
        DestroyWindow(window);
    }
    std::string Text() const
    {
        char buf[300] = "";
        GetDlgItemTextA(window, AUDIO_FORMAT_TEXT_ID, buf, sizeof(buf));
        return buf;
    }
};

// What the user does in the chooser, done from another thread while the
// chooser runs modally on this one.
struct ChooserScript {
    HWND owner;
    const char *tag;       // format tag to pick by name; null keeps the first
    int rate, channels, bits;   // format to pick in the list; rate 0 keeps the first
    int ok;                     // OK or Cancel
    int found;
    std::string initial_tag, initial_format;   // what the chooser opened on
};

std::string ComboText(HWND dlg, int id)
{
    char text[256] = "";
    GetDlgItemTextA(dlg, id, text, sizeof(text));
    return text;
}

HWND FindChooser(HWND owner)
{
    for (HWND w = FindWindowExA(NULL, NULL, "#32770", NULL); w; w = FindWindowExA(NULL, w, "#32770", NULL))
        if (GetWindow(w, GW_OWNER) == owner)
            return w;
    return NULL;
}

DWORD WINAPI RunScript(void *param)
{
    ChooserScript *s = (ChooserScript *)param;
    HWND dlg = NULL;
    for (int i = 0; i < 6000 && !dlg; i++) {
        Sleep(10);
        dlg = FindChooser(s->owner);
    }
    if (!dlg)
        return 0;
    // The chooser is set up once it shows itself.
    for (int i = 0; i < 6000 && !IsWindowVisible(dlg); i++)
        Sleep(10);
    Sleep(50);
    s->found = 1;
    s->initial_tag = ComboText(dlg, IDD_ACMFORMATCHOOSE_CMB_FORMATTAG);
    s->initial_format = ComboText(dlg, IDD_ACMFORMATCHOOSE_CMB_FORMAT);
    if (s->tag) {
        LRESULT i = SendDlgItemMessageA(dlg, IDD_ACMFORMATCHOOSE_CMB_FORMATTAG, CB_FINDSTRINGEXACT,
                                        (WPARAM)-1, (LPARAM)s->tag);
        SendDlgItemMessageA(dlg, IDD_ACMFORMATCHOOSE_CMB_FORMATTAG, CB_SETCURSEL, (WPARAM)i, 0);
        SendMessageA(dlg, WM_COMMAND, MAKEWPARAM(IDD_ACMFORMATCHOOSE_CMB_FORMATTAG, CBN_SELCHANGE),
                     (LPARAM)GetDlgItem(dlg, IDD_ACMFORMATCHOOSE_CMB_FORMATTAG));
    }
    LRESULT count = SendDlgItemMessageA(dlg, IDD_ACMFORMATCHOOSE_CMB_FORMAT, CB_GETCOUNT, 0, 0);
    char want_rate[32], want_bits[32];
    const char *want_channels = s->channels == 1 ? "Mono" : "Stereo";
    wsprintfA(want_rate, "%d Hz", s->rate);
    wsprintfA(want_bits, "%d bits", s->bits);
    for (LRESULT i = 0; i < count; i++) {
        char text[256] = "";
        SendDlgItemMessageA(dlg, IDD_ACMFORMATCHOOSE_CMB_FORMAT, CB_GETLBTEXT, (WPARAM)i, (LPARAM)text);
        if (s->rate && strncmp(text, want_rate, strlen(want_rate)) == 0 && strstr(text, want_channels) &&
            (!s->bits || strstr(text, want_bits))) {
            SendDlgItemMessageA(dlg, IDD_ACMFORMATCHOOSE_CMB_FORMAT, CB_SETCURSEL, (WPARAM)i, 0);
            s->rate = 0;   // taken
        }
    }
    PostMessageA(dlg, WM_COMMAND, s->ok ? IDOK : IDCANCEL, 0);
    return 0;
}

int RunChooser(AudioCodecState *state, const WAVEFORMATEX *host, ChooserScript *script)
{
    HANDLE t = CreateThread(NULL, 0, RunScript, script, 0, NULL);
    int result = AudioFormatChoose(state, host, script->owner);
    WaitForSingleObject(t, 90000);
    CloseHandle(t);
    return result;
}

} // namespace

TEST_CASE("tag names come from the installed drivers; an unknown tag reads 不明")
{
    CHECK(std::string(AudioFormatTagName(WAVE_FORMAT_PCM)) == "PCM");
    CHECK(std::string(AudioFormatTagName(WAVE_FORMAT_GSM610)) == "GSM 6.10");
    std::string ima = AudioFormatTagName(WAVE_FORMAT_IMA_ADPCM);
    CHECK(ima.find("ADPCM") != std::string::npos);
    CHECK(std::string(AudioFormatTagName(0x7777)) == kUnknown);
    CHECK(std::string(AudioFormatTagName(WAVE_FORMAT_PCM)) == "PCM");   // not left at 不明
}

TEST_CASE("the description shows the format an export will write")
{
    PluginSession plugin;
    FakeDialog dialog;
    REQUIRE(dialog.text != NULL);
    AudioCodecState *state = &writer_context.audio;

    AudioFormatShow(dialog.window);
    CHECK(dialog.Text() == "PCM 44.100kHz 2ch");

    WAVEFORMATEX pcm = TestPcmFormat(11025, 1, 8);
    Choose(state, &pcm, 16, AUDIO_CONVERT);
    AudioFormatShow(dialog.window);
    CHECK(dialog.Text() == "PCM 11.025kHz 1ch");

    GSM610WAVEFORMAT gsm;
    memset(&gsm, 0, sizeof(gsm));
    gsm.wfx.wFormatTag = WAVE_FORMAT_GSM610;
    gsm.wfx.nChannels = 1;
    gsm.wfx.nSamplesPerSec = 8000;
    gsm.wfx.nAvgBytesPerSec = 1625;
    gsm.wfx.nBlockAlign = 65;
    gsm.wfx.cbSize = 2;
    gsm.wSamplesPerBlock = 320;
    Choose(state, &gsm, sizeof(gsm), AUDIO_CONVERT);
    AudioFormatShow(dialog.window);
    CHECK(dialog.Text() == "GSM 6.10 8.000kHz 1ch");

    WAVEFORMATEX odd = TestPcmFormat(44100, 2, 16);
    odd.wFormatTag = 0x7777;
    odd.nSamplesPerSec = 96001;
    odd.cbSize = 0;
    Choose(state, &odd, 18, AUDIO_CONVERT);
    AudioFormatShow(dialog.window);
    CHECK(dialog.Text() == std::string(kUnknown) + " 96.001kHz 2ch");

    SUBCASE("without the flag the host's format is written, and shown")
    {
        state->flags = 0;
        writer_context.wfx = TestPcmFormat(48000, 1, 16);
        AudioFormatShow(dialog.window);
        CHECK(dialog.Text() == "PCM 48.000kHz 1ch");
    }
    SUBCASE("a damaged choice shows the host's format")
    {
        state->chosen_format_size = 0;
        AudioFormatShow(dialog.window);
        CHECK(dialog.Text() == "PCM 44.100kHz 2ch");
        state->chosen_format_size = 4097;
        AudioFormatShow(dialog.window);
        CHECK(dialog.Text() == "PCM 44.100kHz 2ch");
    }
}

TEST_CASE("the chooser: what the user confirms is stored with its size and flag")
{
    PluginSession plugin;
    FakeDialog dialog;
    AudioCodecState *state = &writer_context.audio;
    const WAVEFORMATEX host = writer_context.wfx;

    SUBCASE("a compressed format: 18 + cbSize bytes, extra bytes included; flag set")
    {
        ChooserScript script = {dialog.window, "GSM 6.10", 8000, 1, 0, 1, 0, "", ""};
        REQUIRE(RunChooser(state, &host, &script) == 1);
        REQUIRE(script.found);
        CHECK(script.initial_tag == "PCM");   // nothing chosen yet: the host's format
        CHECK(script.initial_format.find("44100 Hz; 16 bits; Stereo") == 0);
        const WAVEFORMATEX *f = (const WAVEFORMATEX *)state->chosen_format;
        CHECK(f->wFormatTag == WAVE_FORMAT_GSM610);
        CHECK(f->nSamplesPerSec == 8000);
        CHECK(f->nChannels == 1);
        CHECK(f->cbSize == 2);
        CHECK(state->chosen_format_size == 20u);
        CHECK(((const GSM610WAVEFORMAT *)f)->wSamplesPerBlock == 320);
        CHECK(state->flags == AUDIO_CONVERT);

        SUBCASE("cancel changes nothing")
        {
            AudioCodecState before = *state;
            ChooserScript cancel = {dialog.window, "PCM", 0, 0, 0, 0, 0, "", ""};
            CHECK(RunChooser(state, &host, &cancel) == 0);
            CHECK(memcmp(&before, state, sizeof(before)) == 0);
            CHECK(cancel.initial_tag == "GSM 6.10");   // reopened on the stored choice
            CHECK(cancel.initial_format.find("8000 Hz; Mono") == 0);
        }
        SUBCASE("the configure action shows the result whatever the chooser says")
        {
            ChooserScript cancel = {dialog.window, NULL, 0, 0, 0, 0, 0, "", ""};
            HANDLE t = CreateThread(NULL, 0, RunScript, &cancel, 0, NULL);
            AudioFormatConfigure(dialog.window);
            WaitForSingleObject(t, 90000);
            CloseHandle(t);
            CHECK(dialog.Text() == "GSM 6.10 8.000kHz 1ch");
        }
    }
    SUBCASE("the host's own format clears the flag; PCM is stored with 16 bytes")
    {
        state->flags = AUDIO_CONVERT;
        ChooserScript script = {dialog.window, "PCM", 44100, 2, 16, 1, 0, "", ""};
        REQUIRE(RunChooser(state, &host, &script) == 1);
        const WAVEFORMATEX *f = (const WAVEFORMATEX *)state->chosen_format;
        CHECK(f->wFormatTag == WAVE_FORMAT_PCM);
        CHECK(f->nSamplesPerSec == 44100);
        CHECK(f->wBitsPerSample == 16);
        CHECK(state->flags == 0);
        CHECK(state->chosen_format_size == 16u);
    }
    SUBCASE("PCM with only another width sets the flag")
    {
        ChooserScript script = {dialog.window, "PCM", 44100, 2, 8, 1, 0, "", ""};
        REQUIRE(RunChooser(state, &host, &script) == 1);
        const WAVEFORMATEX *f = (const WAVEFORMATEX *)state->chosen_format;
        CHECK(f->wBitsPerSample == 8);
        CHECK(f->nSamplesPerSec == 44100);
        CHECK(state->flags == AUDIO_CONVERT);
        CHECK(state->chosen_format_size == 16u);
        // With the flag clear the chooser opens on the host's format again.
        state->flags = 0;
        ChooserScript again = {dialog.window, NULL, 0, 0, 0, 0, 0, "", ""};
        CHECK(RunChooser(state, &host, &again) == 0);
        CHECK(again.initial_format.find("44100 Hz; 16 bits; Stereo") == 0);
    }
}

TEST_CASE("an export treats a damaged stored choice as none and writes the host's PCM")
{
    PluginSession plugin;
    TestClip clip;
    clip.frames = 5;
    std::vector<uint8_t> gsm(20, 0);
    ((WAVEFORMATEX *)gsm.data())->wFormatTag = WAVE_FORMAT_GSM610;
    struct {
        uint32_t size;
        uint16_t cb_size;
    } damaged[] = {{0, 2}, {4097, 2}, {17, 2}, {20, 4000}, {0xFFFFFFFF, 2}};
    int n = 0;
    for (const auto &d : damaged) {
        CAPTURE(d.size);
        ((WAVEFORMATEX *)gsm.data())->cbSize = d.cb_size;
        Choose(&writer_context.audio, gsm.data(), 20, AUDIO_CONVERT);
        writer_context.audio.chosen_format_size = d.size;
        std::string path = TestFolder("audio_format") + "\\damaged" + std::to_string(n++) + ".avi";
        ExportRecord r = RunExport(clip, path);
        CHECK(r.result == 1);
        CHECK(r.messages.empty());
        CHECK((writer_context.audio.flags & AUDIO_CONVERT) == 0);
        // The stream format is the host's PCM, and all delivered audio is there.
        HANDLE f = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, 0, NULL);
        REQUIRE(f != INVALID_HANDLE_VALUE);
        std::vector<uint8_t> bytes(GetFileSize(f, NULL));
        DWORD got = 0;
        ReadFile(f, bytes.data(), (DWORD)bytes.size(), &got, NULL);
        CloseHandle(f);
        std::string s(bytes.begin(), bytes.end());
        size_t auds = s.find("auds");
        REQUIRE(auds != std::string::npos);
        size_t strf = s.find("strf", auds);
        REQUIRE(strf != std::string::npos);
        CHECK(*(const uint16_t *)(bytes.data() + strf + 8) == WAVE_FORMAT_PCM);
        CHECK(r.audio_delivered.size() > 0);
    }
}
