// The one way the plug-in tells the user something: a warning box.
#pragma once

// Shows text (code page 932 bytes) in a box with no owner window, caption
// "Velnik", MB_OK | MB_ICONWARNING. Returns MessageBoxA's result.
int ShowWarning(const char *text);

// Tests read what would have been shown. While an observer is installed it
// receives every text and no box is shown; null removes it.
typedef void (*MessageObserver)(const char *text);
void SetMessageObserver(MessageObserver observer);
