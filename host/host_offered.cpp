// `info`: what the plug-in offers on this system. The plug-in's catalogue
// and audio-stage sources are linked into the host and run here on the
// plug-in's own settings block, so the list and the audio path shown are the
// ones its dialog and its export use, without a second export in the DLL.
#include "host/host.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "audio/audio_codec.h"
#include "audio/audio_format.h"
#include "avi/avi_writer.h"
#include "fileio/write_behind_file.h"
#include "plugin/messages.h"
#include "plugin/texts.h"
#include "video/codec_catalogue.h"

struct Capability {
    uint32_t flag;
    const char *name;
};

static const Capability capabilities[] = {
    {CF_QUALITY, "quality"},     {CF_KEYFRAMES, "key frames"}, {CF_DATARATE, "data rate"},
    {CF_CONFIGURE, "configure"}, {CF_ABOUT, "about"},
};

// The bits of the [codec] ini value; the probe never sets them.
#define CODEC_INI_BITS (CF_OPT_BIT0 | CF_OPT_YUY2 | CF_OPT_SAVESTATE)

static void PrintListed(const CodecEntry *e, int chosen)
{
    char fcc[5], name[512];
    FourccText(e->fccHandler, fcc);
    if (!e->fccHandler)
        strcpy(fcc, "0");
    Cp932ToUtf8(e->name, name, sizeof(name));
    const char *mark = chosen ? " (chosen)" : "";
    if (e->flags & CF_BUILTIN) {
        Out("  %-4s \"%s\": built-in, uncompressed %s%s\n", fcc, name, e->fccHandler ? "YUY2" : "24-bit RGB",
            mark);
        return;
    }
    char can[128] = "";
    for (const Capability &c : capabilities)
        if (e->flags & c.flag) {
            strcat(can, can[0] ? ", " : "");
            strcat(can, c.name);
        }
    // The frame format an export asks the host for, by the export's own rule.
    BITMAPINFOHEADER bih;
    memset(&bih, 0, sizeof(bih));
    CodecInputFormat(e->fccHandler, &bih, 320, 240);
    Out("  %-4s \"%s\"%s\n", fcc, name, mark);
    Out("       can: %s; input: %s; ini [codec] %s=%lu in effect; an export feeds it %s\n",
        can[0] ? can : "none of quality, key frames, data rate, configure, about",
        (e->flags & CF_YUY2_INPUT) ? "YUY2 accepted" : "24-bit RGB only", fcc,
        (unsigned long)(e->flags & CODEC_INI_BITS), bih.biCompression ? "YUY2" : "24-bit RGB");
}

// The catalogue as the dialog builds it, with the entry the dialog would
// preselect for the block's choice.
static void PrintCompressors(const WriterContext *ctx)
{
    CodecCatalogueBuild();
    const CodecCatalogue *c = &codec_catalogue;
    int chosen = CodecFind(ctx->video.fccHandler);
    if (chosen < 0 || !(c->entries[chosen].flags & (CF_COMPRESS | CF_BUILTIN)))
        chosen = CodecFind(0);
    Out("compressors the settings dialog lists:\n");
    if (c->list_count <= 2)
        Out("  no video compressor installed that takes 24-bit RGB or YUY2: only the built-in entries\n");
    for (int i = 0; i < c->list_count; i++)
        PrintListed(&c->entries[c->list_to_index[i]], c->list_to_index[i] == chosen);
    for (int i = 0; i < c->entry_count; i++) {
        const CodecEntry *e = &c->entries[i];
        if (c->index_to_list[i] >= 0)
            continue;
        char fcc[5], name[512];
        FourccText(e->fccHandler, fcc);
        Cp932ToUtf8(e->name, name, sizeof(name));
        Out("  not listed: %s \"%s\": compresses neither 24-bit RGB nor YUY2\n", fcc, name);
    }
    CodecCatalogueRelease();
}

static void DriverName(HACMDRIVER driver, char *out, size_t size)
{
    HACMDRIVERID id = NULL;
    ACMDRIVERDETAILSA details;
    memset(&details, 0, sizeof(details));
    details.cbStruct = sizeof(details);
    if (acmDriverID((HACMOBJ)driver, &id, 0) == 0 && acmDriverDetailsA(id, &details, 0) == 0)
        Cp932ToUtf8(details.szLongName, out, size);
    else
        snprintf(out, size, "(unnamed driver)");
}

// The stages the export would open, opened and closed again here.
static void PrintAudioPath(WriterContext *ctx)
{
    AudioCodecState *state = &ctx->audio;
    const WAVEFORMATEX *h = &ctx->wfx;
    if (!AudioConversionWanted(state)) {
        Out("audio: the host's PCM as delivered, no conversion\n");
        return;
    }
    const WAVEFORMATEX *f = (const WAVEFORMATEX *)state->chosen_format;
    char tag[256];
    Cp932ToUtf8(AudioFormatTagName(f->wFormatTag), tag, sizeof(tag));
    Out("audio: %s (tag %u) %lu Hz %u ch, from the host's PCM %lu Hz %u ch %u bits\n", tag, f->wFormatTag,
        (unsigned long)f->nSamplesPerSec, f->nChannels, (unsigned long)h->nSamplesPerSec, h->nChannels,
        h->wBitsPerSample);
    AudioCodecInit();
    uint8_t *src = (uint8_t *)PageAlloc(AUDIO_WORK_BUFFER_SIZE);
    uint8_t *dst = (uint8_t *)PageAlloc(AUDIO_WORK_BUFFER_SIZE);
    if (!src || !dst) {
        Out("  (no memory to try the conversion)\n");
    } else if (!AudioCodecStart(state, h, src, AUDIO_WORK_CAPACITY, dst, AUDIO_WORK_CAPACITY)) {
        OutCp932("  no installed driver converts to it; an export stops with: ", TEXT_AUDIO_INIT_FAILED);
    } else {
        char name[256];
        HACMDRIVER driver = AudioStageDriver(0);
        if (driver)
            DriverName(driver, name, sizeof(name));
        if (state->flags & AUDIO_PRE_OPEN)
            Out("  two stages: the in-house converter to 16-bit PCM %lu Hz %u ch, then ACM driver \"%s\"\n",
                (unsigned long)state->intermediate.nSamplesPerSec, state->intermediate.nChannels, name);
        else if (driver)
            Out("  one stage: ACM driver \"%s\"\n", name);
        else
            Out("  one stage: the in-house PCM converter\n");
        AudioCodecStop(state);
    }
    PageFree(src);
    PageFree(dst);
    AudioCodecExit();
}

static void ShowMessage(const char *text)
{
    OutCp932("message: ", text);
}

void PrintOffered(const OutputPluginTable *table)
{
    WriterContext *ctx = SettingsCopy(table);
    if (!ctx)
        return;   // the summary has said the block is not this layout
    // This copy of the plug-in's code reports as the plug-in would, but on
    // the console rather than in a box.
    SetMessageObserver(ShowMessage);
    PrintCompressors(ctx);
    PrintAudioPath(ctx);
    SetMessageObserver(NULL);
    free(ctx);
}
