// Drives a real modal dialog the way a person would, from a second thread
// while the dialog runs on the calling one: find it, type into edits, pick
// list items, press buttons, read what it shows.
#pragma once

#include <windows.h>

#include <functional>
#include <string>

// ビデオの圧縮
#define VCMSET_TITLE "\x83\x72\x83\x66\x83\x49\x82\xCC\x88\xB3\x8F\x6B"

// Runs `show` (which opens a modal dialog on this thread) while `script`
// acts on the dialog titled `title` from another thread. When the script
// returns with the dialog still open, Cancel is pressed for it. Returns what
// `show` returned; *found tells whether the script got the dialog.
int DriveDialog(const char *title, const std::function<int()> &show,
                const std::function<void(HWND)> &script, int *found = nullptr);

// A visible top-level dialog with this title (CP932), waited for up to a
// minute (the emulated build is slow to open one).
HWND WaitForDialog(const char *title, HWND not_this = NULL);
// Replaces the edit's text by typing `text` into it.
void TypeInto(HWND dialog, int id, const char *text);
// Picks the drop-down list item with this text; 0 when there is none.
int PickItem(HWND dialog, int id, const char *text);
// Presses a button and waits until the dialog has handled it.
void Press(HWND dialog, int id);
// Presses a button without waiting (for buttons that open a modal window).
void PressLater(HWND dialog, int id);
std::string TextOf(HWND dialog, int id);
int Enabled(HWND dialog, int id);
std::string SelectedItem(HWND dialog, int id);
