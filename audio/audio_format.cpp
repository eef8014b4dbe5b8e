// The audio format choice: chooser, tag names and the dialog's description.
#include "audio/audio_format.h"

#include <msacm.h>
#include <string.h>

#include "plugin/context.h"

// 不明
#define TEXT_UNKNOWN_TAG "\x95\x73\x96\xBE"

static_assert(sizeof(ACMFORMATTAGDETAILSA) == 72, "ACMFORMATTAGDETAILSA");
#ifndef _WIN64
static_assert(sizeof(ACMFORMATCHOOSEA) == 232, "ACMFORMATCHOOSEA of a 32-bit process");
#endif

static ACMFORMATTAGDETAILSA tag_details;

static int SameAsHost(const WAVEFORMATEX *f, const WAVEFORMATEX *host)
{
    return f->wFormatTag == host->wFormatTag && f->nChannels == host->nChannels &&
           f->nSamplesPerSec == host->nSamplesPerSec && f->wBitsPerSample == host->wBitsPerSample;
}

int AudioFormatChoose(AudioCodecState *state, const WAVEFORMATEX *host, HWND owner)
{
    static uint8_t format[sizeof(state->chosen_format)];
    ACMFORMATCHOOSEA choose;
    memset(&choose, 0, sizeof(choose));
    memset(format, 0, sizeof(format));
    choose.cbStruct = sizeof(choose);
    choose.fdwStyle = ACMFORMATCHOOSE_STYLEF_INITTOWFXSTRUCT;
    choose.hwndOwner = owner;
    choose.pwfx = (WAVEFORMATEX *)format;
    choose.cbwfx = sizeof(format);
    // The chooser reads the starting format by its cbSize: only a checked
    // one, never more than the buffer. A damaged host format starts nowhere.
    if ((state->flags & AUDIO_CONVERT) && AudioChosenFormatValid(state))
        memcpy(format, state->chosen_format, state->chosen_format_size);
    else if (!AudioHostFormat(host, (WAVEFORMATEX *)format))
        choose.fdwStyle = 0;

    if (acmFormatChooseA(&choose) != 0)
        return 0;
    const WAVEFORMATEX *f = (const WAVEFORMATEX *)format;
    uint32_t size = f->wFormatTag == WAVE_FORMAT_PCM ? 16 : sizeof(WAVEFORMATEX) + f->cbSize;
    // A chooser reporting more than it had room for, or a format that an
    // export would refuse, is not stored.
    if (size > sizeof(format) || !AudioFormatSane(f, size))
        return 0;
    if (SameAsHost(f, host))
        state->flags &= ~AUDIO_CONVERT;
    else
        state->flags |= AUDIO_CONVERT;
    state->chosen_format_size = size;
    memcpy(state->chosen_format, format, size);
    return 1;
}

const char *AudioFormatTagName(WORD tag)
{
    memset(&tag_details, 0, sizeof(tag_details));
    tag_details.cbStruct = sizeof(tag_details);
    tag_details.dwFormatTag = tag;
    strcpy(tag_details.szFormatTag, TEXT_UNKNOWN_TAG);
    acmFormatTagDetailsA(NULL, &tag_details, ACM_FORMATTAGDETAILSF_FORMATTAG);
    tag_details.szFormatTag[sizeof(tag_details.szFormatTag) - 1] = 0;
    return tag_details.szFormatTag;
}

int AudioFormatShow(HWND dialog)
{
    const AudioCodecState *state = &writer_context.audio;
    const WAVEFORMATEX *f = &writer_context.wfx;
    if ((state->flags & AUDIO_CONVERT) && AudioChosenFormatValid(state))
        f = (const WAVEFORMATEX *)state->chosen_format;
    char text[256];
    wsprintfA(text, "%s %d.%03dkHz %dch", AudioFormatTagName(f->wFormatTag),
              (int)(f->nSamplesPerSec / 1000), (int)(f->nSamplesPerSec % 1000), (int)f->nChannels);
    SetDlgItemTextA(dialog, AUDIO_FORMAT_TEXT_ID, text);
    return 1;
}

int AudioFormatConfigure(HWND dialog)
{
    AudioFormatChoose(&writer_context.audio, &writer_context.wfx, dialog);
    AudioFormatShow(dialog);
    return 1;
}

// A damaged choice is no choice rather than a failed export: a shared
// project file then still exports, with the host's PCM that the dialog shows,
// and choosing again in the dialog mends it. Choices that are sane but that
// no installed driver takes still fail the export's audio start.
int AudioConversionWanted(AudioCodecState *state)
{
    if (!(state->flags & AUDIO_CONVERT))
        return 0;
    if (AudioChosenFormatValid(state))
        return 1;
    state->flags &= ~AUDIO_CONVERT;
    return 0;
}
