// The user's choice of audio format: the system's ACM format chooser, the
// name of a format tag, and the one-line description in the settings dialog.
#pragma once

#include <windows.h>
#include <mmsystem.h>
#include <mmreg.h>

#include "audio/audio_codec.h"

#define AUDIO_FORMAT_TEXT_ID 32400     // static text with the export's audio format
#define AUDIO_FORMAT_BUTTON_ID 32303   // "設定" of the audio group

// Runs the chooser owned by `owner`, starting on the stored choice (or the
// host's format when none is in effect). On OK stores the format and sets or
// clears the conversion flag by comparing it with `host`. Returns 1 on OK,
// 0 when cancelled or failed (nothing changes).
int AudioFormatChoose(AudioCodecState *state, const WAVEFORMATEX *host, HWND owner);
// The tag's name as the installed drivers give it, or "不明"; valid until
// the next call.
const char *AudioFormatTagName(WORD tag);
// Puts "NAME R.RRRkHz Cch" of the format an export will write into the
// dialog's control AUDIO_FORMAT_TEXT_ID.
int AudioFormatShow(HWND dialog);
// The audio "設定" button: chooser, then the description again.
int AudioFormatConfigure(HWND dialog);
// Whether the next export converts audio. A damaged stored choice counts as
// none: the flag is cleared and the host's PCM is written.
int AudioConversionWanted(AudioCodecState *state);
