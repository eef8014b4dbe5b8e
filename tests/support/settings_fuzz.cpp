#include "settings_fuzz.h"

#include <doctest/doctest.h>

#include <windows.h>
#include <mmsystem.h>
#include <mmreg.h>
#include <msacm.h>

#include <stdio.h>
#include <string.h>
#include <string>
#include <vector>

#include "avi/avi_layout.h"
#include "avi_check.h"
#include "avi_reader.h"
#include "dialog_driver.h"
#include "export_host.h"
#include "plugin/context.h"
#include "plugin/texts.h"

namespace {

typedef std::vector<uint8_t> Bytes;

struct Random {
    uint64_t s;
    uint32_t Next()
    {
        s += 0x9E3779B97F4A7C15ull;
        uint64_t z = s;
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return (uint32_t)((z ^ (z >> 31)) >> 32);
    }
    uint32_t Below(uint32_t n) { return Next() % n; }
};

// The size, count and flag fields of the block: offset and width.
const struct {
    uint16_t at, width;
} kFields[] = {
    {0, 4}, {4, 4}, {8, 4}, {12, 4},                                  // state, size, frames
    {16, 4}, {20, 4}, {24, 4}, {28, 2}, {30, 2}, {32, 4}, {36, 4},    // frame header
    {40, 4}, {44, 4}, {48, 4}, {52, 4},
    {56, 2}, {58, 2}, {60, 4}, {64, 4}, {68, 2}, {70, 2}, {72, 2},    // host PCM
    {96, 4}, {100, 4},                                                // scale, rate
    {364, 4}, {368, 4}, {372, 4}, {376, 4}, {4540, 4}, {10688, 4},    // video choice
    {10724, 4}, {10728, 4}, {10732, 4}, {10820, 4}, {10824, 4},       // audio flags, handles
    {11044, 2}, {11046, 2}, {11048, 4}, {11052, 4}, {11056, 2},       // chosen format
    {11058, 2}, {11060, 2}, {11062, 2}, {15140, 4},
};
const uint32_t kChoiceFields = 10;   // the last ones above
const uint32_t kBoundaries[] = {0, 1, 2, 4, 8, 16, 17, 18, 20, 24, 32, 65, 255, 256, 999, 1000,
                                4095, 4096, 4097, 8000, 15208, 32767, 32768, 44100, 65535, 65536,
                                384000, 384001, 0x7FFFFFFF, 0x80000000, 0xFFFFFFFF};
const int kRates[] = {8000, 11025, 22050, 44100, 48000};

Bytes GetBlock()
{
    // Guard bytes behind the block show an overrun.
    Bytes b(SETTINGS_BLOCK_SIZE + 16, 0xEE);
    REQUIRE(GetOutputPluginTable()->on_get_settings(b.data()) == SETTINGS_BLOCK_SIZE);
    for (size_t i = SETTINGS_BLOCK_SIZE; i < b.size(); i++)
        REQUIRE(b[i] == 0xEE);
    b.resize(SETTINGS_BLOCK_SIZE);
    return b;
}

BOOL CALLBACK Collect(HACMDRIVERID, LPACMFORMATDETAILSA d, DWORD_PTR list, DWORD)
{
    const WAVEFORMATEX *w = d->pwfx;
    size_t n = w->wFormatTag == WAVE_FORMAT_PCM ? 16 : 18 + w->cbSize;
    if (n <= d->cbwfx)
        ((std::vector<Bytes> *)list)->push_back(Bytes((const uint8_t *)w, (const uint8_t *)w + n));
    return TRUE;
}

// Every format the installed drivers list: what the chooser could store.
const std::vector<Bytes> &DriverFormats()
{
    static std::vector<Bytes> list;
    if (list.empty()) {
        static uint8_t buffer[4096];
        ACMFORMATDETAILSA d;
        memset(&d, 0, sizeof(d));
        d.cbStruct = sizeof(d);
        d.pwfx = (WAVEFORMATEX *)buffer;
        d.cbwfx = sizeof(buffer);
        acmFormatEnumA(NULL, &d, Collect, (DWORD_PTR)&list, 0);
        REQUIRE(!list.empty());
    }
    return list;
}

// A block as the chooser leaves it (or the defaults), then mutated. *choice
// is the chooser's format when no mutation touched the choice, else empty.
Bytes MakeBlock(Random &r, const Bytes &defaults, Bytes *choice)
{
    Bytes b = defaults;
    WriterContext *ctx = (WriterContext *)b.data();
    choice->clear();
    if (r.Below(4)) {
        *choice = DriverFormats()[r.Below((uint32_t)DriverFormats().size())];
        memcpy(ctx->audio.chosen_format, choice->data(), choice->size());
        ctx->audio.chosen_format_size = (uint32_t)choice->size();
        ctx->audio.flags = AUDIO_CONVERT;
    }
    int mutations = r.Below(4) ? 1 + (int)r.Below(4) : 0;
    if (r.Below(64) == 0) {
        for (uint8_t &x : b)
            x = (uint8_t)r.Next();
        choice->clear();
    }
    const uint32_t fields = sizeof(kFields) / sizeof(kFields[0]);
    const uint32_t boundaries = sizeof(kBoundaries) / sizeof(kBoundaries[0]);
    for (int m = 0; m < mutations; m++) {
        uint32_t op = r.Below(8), at = 0, n = 0;
        if (op < 6) {   // a field, half the time the choice's: mostly a boundary, often 0
            const auto &f = kFields[r.Below(2) ? r.Below(fields) : fields - kChoiceFields + r.Below(kChoiceFields)];
            uint32_t v = op == 0 ? r.Next() : op == 1 ? 0 : kBoundaries[r.Below(boundaries)];
            at = f.at, n = f.width;
            memcpy(&b[at], &v, n);
        } else if (op == 6) {   // a bit flip
            at = r.Below(SETTINGS_BLOCK_SIZE), n = 1;
            b[at] ^= (uint8_t)(1u << r.Below(8));
        } else {   // a run of random bytes
            n = 1 + r.Below(64);
            at = r.Below(SETTINGS_BLOCK_SIZE - n);
            for (uint32_t i = 0; i < n; i++)
                b[at + i] = (uint8_t)r.Next();
        }
        if ((at < 10728 && at + n > 10724) || (at < 15144 && at + n > 11044))
            choice->clear();   // the flag word or the choice
    }
    return b;
}

Bytes AudioFormatOf(const Bytes &file)
{
    std::vector<AviChunk> chunks = ParseChunks(file);
    auto strf = FindChunks(chunks, FCC_STRF);
    REQUIRE(strf.size() == 2);
    return Bytes(file.begin() + strf[1].offset + 8, file.begin() + strf[1].offset + 8 + strf[1].size);
}

void ExportBlock(Random &r, const Bytes &choice, const std::string &path, FuzzFigures *out)
{
    TestClip clip;
    clip.width = 16 + 2 * (int)r.Below(16);
    clip.height = 8 + (int)r.Below(16);
    clip.frames = 1 + (int)r.Below(4);
    clip.sample_rate = kRates[r.Below(5)];
    clip.channels = 1 + (int)r.Below(2);
    DeleteFileA(path.c_str());
    ExportRecord rec = RunExport(clip, path);
    Bytes file = ReadWholeFile(path);
    if (rec.result == 0) {
        // Only a start that failed: its message, and no file.
        REQUIRE(rec.messages.size() == 1);
        CHECK((rec.messages[0] == TEXT_AUDIO_INIT_FAILED || rec.messages[0] == TEXT_VIDEO_INIT_FAILED));
        CHECK(file.empty());
        out->refused++;
        return;
    }
    REQUIRE(rec.result == 1);
    CHECK(rec.messages.empty());
    CheckAviLayout(file);
    CheckStreamFormats(file);
    Bytes written = AudioFormatOf(file);
    out->files++;
    out->converted += ReadU16(written, 0) != WAVE_FORMAT_PCM || ReadU32(written, 4) != (uint32_t)clip.sample_rate ||
                      ReadU16(written, 2) != clip.channels || ReadU16(written, 14) != 16;
    // A choice the chooser could have made is written as it is, unless it
    // is the host's own format.
    WAVEFORMATEX host = {WAVE_FORMAT_PCM, (WORD)clip.channels, (DWORD)clip.sample_rate, 0, 0, 16, 0};
    const WAVEFORMATEX *c = (const WAVEFORMATEX *)choice.data();
    if (!choice.empty() && !(c->wFormatTag == host.wFormatTag && c->nChannels == host.nChannels &&
                             c->nSamplesPerSec == host.nSamplesPerSec && c->wBitsPerSample == 16))
        CHECK(written == choice);
}

// The settings dialog, closed with OK or Cancel: Cancel keeps the block
// byte for byte, OK stores a quality within its range.
void DialogBlock(Random &r, FuzzFigures *out)
{
    Bytes before = GetBlock();
    int ok = (int)r.Below(2), found = 0;
    DriveDialog(
        VCMSET_TITLE, [] { return GetOutputPluginTable()->on_configure(NULL, GetModuleHandleA(NULL)); },
        [&](HWND d) { Press(d, ok ? IDOK : IDCANCEL); }, &found);
    REQUIRE(found == 1);
    Bytes after = GetBlock();
    const VideoCodecState *v = &((const WriterContext *)after.data())->video;
    if (ok)
        CHECK((v->quality >= 0 && v->quality <= 10000));
    else
        CHECK(after == before);
    out->dialogs++;
}

uint32_t crash_seed;
int crash_block;

// A crash on any thread ends the process with its block named and a failing
// status (Wine's debugger would otherwise end it with 0).
LONG WINAPI ReportCrash(EXCEPTION_POINTERS *e)
{
    printf("settings fuzz: exception 0x%08lX in seed %u block %d\n", (unsigned long)e->ExceptionRecord->ExceptionCode,
           crash_seed, crash_block);
    fflush(stdout);
    TerminateProcess(GetCurrentProcess(), 3);
    return EXCEPTION_EXECUTE_HANDLER;
}

} // namespace

FuzzFigures FuzzSettingsBlocks(uint32_t seed, int first, int count, int dialog_every)
{
    FuzzFigures out;
    OutputPluginTable *table = GetOutputPluginTable();
    const Bytes defaults = GetBlock();
    const std::string path = TestFolder("settings_fuzz") + "\\block.avi";
    struct Filter {
        LPTOP_LEVEL_EXCEPTION_FILTER before = SetUnhandledExceptionFilter(ReportCrash);
        ~Filter() { SetUnhandledExceptionFilter(before); }
    } filter;
    crash_seed = seed;
    for (int i = first; i < first + count; i++) {
        printf("settings fuzz: seed %u block %d\n", seed, i);
        fflush(stdout);
        crash_block = i;
        INFO("seed ", seed, " block ", i);
        Random r = {(uint64_t)seed << 32 | (uint32_t)i};
        Bytes choice;
        Bytes block = MakeBlock(r, defaults, &choice);
        REQUIRE(table->on_set_settings(block.data(), SETTINGS_BLOCK_SIZE) == SETTINGS_BLOCK_SIZE);
        REQUIRE(GetBlock() == block);
        if (dialog_every > 0 && i % dialog_every == dialog_every - 1)
            DialogBlock(r, &out);
        ExportBlock(r, choice, path, &out);
        out.blocks++;
    }
    DeleteFileA(path.c_str());
    return out;
}
