// A codec of our own for the ACM, installed as a function driver: it packs
// 16-bit PCM into blocks of TEST_CODEC_FRAMES frames unchanged, converts a
// final partial block (zero-padded) only when asked to end the stream
// without block alignment, and counts what the ACM asks of it.
#pragma once

#include <windows.h>
#include <mmsystem.h>
#include <mmreg.h>
#include <msacm.h>

#define TEST_CODEC_TAG 0x7A01
#define TEST_CODEC_FRAMES 100

struct TestCodecStats {
    int stream_opens;     // successful stream opens
    int open_attempts;    // stream opens asked, taken or not
    int stream_closes;
    int converts;
    int end_converts;     // conversions with ACM_STREAMCONVERTF_END
    int driver_opens;     // DRV_OPEN after installation
    int driver_closes;
    DWORD open_thread;    // thread of the last stream open and close
    DWORD close_thread;
};

// Two identical drivers (0 and 1), told apart by their statistics.
struct TestCodecDriver {
    HACMDRIVERID id;
    TestCodecStats stats;
    int fail_after;       // conversions that succeed before every later one fails; -1 never
    int refuse_open;      // stream opens are refused
};

extern TestCodecDriver test_codecs[2];

// acmDriverAdd both drivers (once per process), reset their statistics.
// Returns 1 when both are installed.
int TestCodecInstall(void);
void TestCodecReset(void);
// The codec's format for PCM of this rate and channel count.
WAVEFORMATEX TestCodecFormat(int rate, int channels);
