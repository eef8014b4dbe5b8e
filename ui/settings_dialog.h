// The settings dialog "VCMSET": compressor, quality, key frames, data rate
// and the audio format.
#pragma once

#include <windows.h>

#include "video/codec_catalogue.h"

#define VIDEO_DIALOG_TEMPLATE "VCMSET"
#define VIDEO_DIALOG_NO_ENTRY -1

// The dialog's own state: the catalogue entry whose values the edits show.
struct VideoDialog {
    int current;   // catalogue index, or VIDEO_DIALOG_NO_ENTRY
};

extern VideoDialog video_dialog;

// Runs "VCMSET" on the video sub-record. On OK the choice, its values and
// the compressor's configuration state are written into it and 1 returned;
// on Cancel (or when the dialog cannot open) it is left as it was, 0.
int VideoConfigDialog(VideoCodecState *state, HWND owner);
// The dialog's callback; always keeps it open.
int VideoDialogCommand(HWND dialog, int id);
