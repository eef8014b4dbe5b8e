// The settings-block fuzz of the test suite, longer: COUNT blocks of SEED
// from block FIRST, with the settings dialog every 50 blocks when windows
// can be opened (run it through tests/with_display.sh for that).
//
//   settings_fuzz COUNT [SEED [FIRST]]
//
// Prints the seed and index before each block, so a crash or hang names
// its block, and at the end the outcomes and blocks per second.
#define DOCTEST_CONFIG_IMPLEMENT
#include <doctest/doctest.h>

#include <windows.h>

#include <stdio.h>
#include <stdlib.h>

#include "plugin/plugin.h"
#include "tests/support/settings_fuzz.h"

static int count = 1000, first = 0;
static uint32_t seed = 1;

TEST_CASE("settings fuzz")
{
    HostPathsReset("C:\\no such folder\\host.exe");
    on_init();
    HWND probe = CreateWindowExA(0, "STATIC", "", WS_POPUP, 0, 0, 1, 1, NULL, NULL, NULL, NULL);
    int dialog_every = probe ? 50 : 0;
    if (probe)
        DestroyWindow(probe);
    DWORD start = GetTickCount();
    FuzzFigures f = FuzzSettingsBlocks(seed, first, count, dialog_every);
    double seconds = (GetTickCount() - start) / 1000.0;
    on_exit();
    printf("settings fuzz, %s: seed %u, %d blocks in %.1f s (%.1f blocks/s): %d files (%d converted), "
           "%d refused, %d dialogs\n",
           sizeof(void *) == 8 ? "x86_64" : "i686", seed, f.blocks, seconds, f.blocks / seconds, f.files,
           f.converted, f.refused, f.dialogs);
    CHECK(f.blocks == count);
}

int main(int argc, char **argv)
{
    if (argc < 2) {
        fprintf(stderr, "usage: settings_fuzz COUNT [SEED [FIRST]]\n");
        return 2;
    }
    count = atoi(argv[1]);
    seed = argc > 2 ? (uint32_t)strtoul(argv[2], NULL, 0) : 1;
    first = argc > 3 ? atoi(argv[3]) : 0;
    doctest::Context context;
    return context.run();
}
