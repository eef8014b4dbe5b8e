// Stored settings blocks of any content through the exported table: set,
// get, a short export with audio, now and then the settings dialog. Each
// block is derived from the seed and its index alone, so one failing block
// can be run again by itself.
#pragma once

#include <stdint.h>

struct FuzzFigures {
    int blocks = 0;
    int files = 0;        // exports that wrote a file, each checked
    int converted = 0;    // of those, files whose audio is not the host's PCM
    int refused = 0;      // exports refused with the audio or video start message
    int dialogs = 0;
};

// Runs blocks first .. first + count - 1 of `seed`, printing the seed and
// index before each (a crash or hang then names its block), and the dialog
// every `dialog_every` blocks (0: never; it needs a display). Stops at the
// first failed check. The plug-in must be initialised.
FuzzFigures FuzzSettingsBlocks(uint32_t seed, int first, int count, int dialog_every);
