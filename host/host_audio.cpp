// --audio-format: puts an audio format into the settings block as the
// plug-in's format chooser would store it, taking the format from the
// installed ACM drivers' own lists (what the chooser offers).
#include "host/host.h"

#include <mmsystem.h>
#include <mmreg.h>
#include <msacm.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

struct AudioKind {
    const char *name;
    WORD tag;
    int rate, channels;   // defaults
};

static const AudioKind audio_kinds[] = {
    {"pcm", WAVE_FORMAT_PCM, 44100, 2},       {"ima", WAVE_FORMAT_IMA_ADPCM, 44100, 2},
    {"msadpcm", WAVE_FORMAT_ADPCM, 44100, 2}, {"alaw", WAVE_FORMAT_ALAW, 44100, 2},
    {"ulaw", WAVE_FORMAT_MULAW, 44100, 2},    {"gsm", WAVE_FORMAT_GSM610, 8000, 1},
};

struct FoundFormat {
    WAVEFORMATEX *want;
    uint8_t format[4096];
    int found;
};

static BOOL CALLBACK TakeFirst(HACMDRIVERID, LPACMFORMATDETAILSA details, DWORD_PTR instance, DWORD)
{
    FoundFormat *f = (FoundFormat *)instance;
    const WAVEFORMATEX *w = details->pwfx;
    if (w->wFormatTag != f->want->wFormatTag || w->nChannels != f->want->nChannels ||
        w->nSamplesPerSec != f->want->nSamplesPerSec ||
        (f->want->wFormatTag == WAVE_FORMAT_PCM && w->wBitsPerSample != f->want->wBitsPerSample))
        return TRUE;
    size_t size = w->wFormatTag == WAVE_FORMAT_PCM ? 16 : sizeof(WAVEFORMATEX) + w->cbSize;
    if (size > sizeof(f->format) || size > details->cbwfx)
        return TRUE;
    memcpy(f->format, w, size);
    f->found = 1;
    return FALSE;
}

int SettingsSetAudioFormat(const OutputPluginTable *table, const char *choice)
{
    WriterContext *ctx = SettingsCopy(table);
    if (!ctx)
        return 0;
    int ok = 0;
    if (!strcmp(choice, "none")) {
        ctx->audio.flags &= ~AUDIO_CONVERT;
        ok = 1;
    } else {
        char name[32] = "";
        int rate = 0, channels = 0, bits = 16;
        sscanf(choice, "%31[^:]:%d:%d:%d", name, &rate, &channels, &bits);
        const AudioKind *kind = NULL;
        for (size_t i = 0; i < sizeof(audio_kinds) / sizeof(audio_kinds[0]); i++)
            if (!_stricmp(name, audio_kinds[i].name))
                kind = &audio_kinds[i];
        static FoundFormat found;
        memset(&found, 0, sizeof(found));
        WAVEFORMATEX want;
        memset(&want, 0, sizeof(want));
        if (kind) {
            want.wFormatTag = kind->tag;
            want.nSamplesPerSec = (DWORD)(rate ? rate : kind->rate);
            want.nChannels = (WORD)(channels ? channels : kind->channels);
            want.wBitsPerSample = (WORD)bits;
            found.want = &want;
            DWORD largest = 0;
            acmMetrics(NULL, ACM_METRIC_MAX_SIZE_FORMAT, &largest);
            static uint8_t buffer[4096];
            memset(buffer, 0, sizeof(buffer));
            ACMFORMATDETAILSA details;
            memset(&details, 0, sizeof(details));
            details.cbStruct = sizeof(details);
            details.dwFormatTag = kind->tag;
            details.pwfx = (WAVEFORMATEX *)buffer;
            details.pwfx->wFormatTag = kind->tag;
            details.cbwfx = largest && largest < sizeof(buffer) ? largest : sizeof(buffer);
            acmFormatEnumA(NULL, &details, TakeFirst, (DWORD_PTR)&found, ACM_FORMATENUMF_WFORMATTAG);
        }
        if (!found.found) {
            Err("audio format: no installed driver lists %s\n", choice);
        } else {
            const WAVEFORMATEX *w = (const WAVEFORMATEX *)found.format;
            uint32_t stored = w->wFormatTag == WAVE_FORMAT_PCM ? 16 : sizeof(WAVEFORMATEX) + w->cbSize;
            const WAVEFORMATEX *host = &ctx->wfx;
            int same = w->wFormatTag == host->wFormatTag && w->nChannels == host->nChannels &&
                       w->nSamplesPerSec == host->nSamplesPerSec && w->wBitsPerSample == host->wBitsPerSample;
            memset(ctx->audio.chosen_format, 0, sizeof(ctx->audio.chosen_format));
            memcpy(ctx->audio.chosen_format, w, stored);
            ctx->audio.chosen_format_size = stored;
            if (same)
                ctx->audio.flags &= ~AUDIO_CONVERT;
            else
                ctx->audio.flags |= AUDIO_CONVERT;
            Out("audio format: tag %u, %u channels, %lu Hz, %u bits, block %u, %lu bytes stored%s\n", w->wFormatTag,
                w->nChannels, (unsigned long)w->nSamplesPerSec, w->wBitsPerSample, w->nBlockAlign,
                (unsigned long)stored, same ? " (the host's own format: no conversion)" : "");
            ok = 1;
        }
    }
    if (ok)
        ok = table->on_set_settings(ctx, (int)sizeof(*ctx)) != 0;
    free(ctx);
    return ok;
}
