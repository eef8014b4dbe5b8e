// Video compressors for tests: function drivers installed with ICInstall
// that behave as each test describes and record every message they get,
// with copies of the structures the messages point to.
#pragma once

#include <windows.h>
#include <vfw.h>

#include <stdint.h>
#include <string>
#include <vector>

#define FAKE_CODEC_MAX 140

struct FakeCodecSpec {
    uint32_t fcc = 0;
    std::string name = "Fake";        // ICINFO description (ASCII)
    DWORD vidcf = 0;                  // ICINFO dwFlags
    bool rgb = true;                  // accepts 24-bit RGB
    bool yuy2 = false;                // accepts YUY2
    bool open_compress = true;        // DRV_OPEN in compression mode succeeds
    bool open_decompress = true;
    bool get_info = true;             // ICGetInfo on an open handle succeeds
    bool configure = false;           // answers the configure and about queries
    bool about = false;
    int32_t default_quality = -1;     // -1: ICM_GETDEFAULTQUALITY fails
    int32_t default_key_rate = -1;    // -1: ICM_GETDEFAULTKEYFRAMERATE fails
    uint32_t format_size = 40;        // ICM_COMPRESS_GET_FORMAT size answer
    bool format_fails = false;        // the second GET_FORMAT is refused
    LRESULT out_size = 65536;         // ICM_COMPRESS_GET_SIZE answer
    bool decompress_begin = true;     // ICM_DECOMPRESS_BEGIN succeeds
    int refuse_frame = -1;            // ICM_COMPRESS fails for this frame number
    std::vector<uint32_t> sizes;      // compressed bytes per frame (last repeats); empty: 100
    uint32_t overstate = 0;           // added to the reported size, never written
    int key_every = 0;                // own key frames every N frames (0: only when asked)
};

struct FakeCall {
    int codec;                        // index in the installed list
    UINT msg;
    LPARAM p1, p2;
    std::vector<uint8_t> data;        // copy of the structure behind p1 (or the state)
    std::vector<uint8_t> extra;       // ICM_COMPRESS: lpbiInput; ICM_DECOMPRESS: lpbiInput
    uint8_t input_first = 0;          // first byte of lpInput (ICM_COMPRESS)
    int prev_first = -1;              // first byte of lpPrev, -1 when null
    DWORD flags_before = 0xFFFFFFFF;  // *lpdwFlags as the compressor found it
    DWORD thread = 0;                 // thread that sent the message
};

// Installs the codecs (replacing any installed before) and clears the record.
void FakeCodecsInstall(const std::vector<FakeCodecSpec> &specs);
void FakeCodecsRemove();
// The installed codec's behaviour, to change between steps of a test.
FakeCodecSpec &FakeSpec(int codec);
std::vector<FakeCall> &FakeCalls();
void FakeCallsClear();
// Calls with this message, optionally of one codec only.
std::vector<FakeCall> FakeCallsOf(UINT msg, int codec = -1);
// The ICM_ and DRV_ messages in order, for one codec.
std::vector<UINT> FakeMessageOrder(int codec);

uint32_t Fourcc(const char *four);

template <typename T> T FakeData(const FakeCall &call)
{
    T value;
    memset(&value, 0, sizeof(value));
    memcpy(&value, call.data.data(), call.data.size() < sizeof(T) ? call.data.size() : sizeof(T));
    return value;
}
