// The exported table, the settings block, the host paths and the ini reader,
// and the warning box.
#include <doctest/doctest.h>

#include <windows.h>

#include <stdio.h>
#include <string.h>

#include <vector>

#include "plugin/messages.h"
#include "plugin/plugin.h"
#include "plugin/texts.h"
#include "tests/support/test_files.h"

static std::vector<uint8_t> SettingsBlock()
{
    std::vector<uint8_t> block(SETTINGS_BLOCK_SIZE + 16, 0xEE);
    CHECK(on_get_settings(block.data()) == SETTINGS_BLOCK_SIZE);
    // Nothing beyond the block is touched.
    for (size_t i = SETTINGS_BLOCK_SIZE; i < block.size(); i++)
        REQUIRE(block[i] == 0xEE);
    block.resize(SETTINGS_BLOCK_SIZE);
    return block;
}

static std::vector<uint8_t> Pattern(uint32_t seed)
{
    std::vector<uint8_t> block(SETTINGS_BLOCK_SIZE);
    for (auto &b : block) {
        seed = seed * 1103515245u + 12345u;
        b = (uint8_t)(seed >> 16);
    }
    return block;
}

static void Put16(std::vector<uint8_t> &b, size_t at, uint16_t v)
{
    b[at] = (uint8_t)v;
    b[at + 1] = (uint8_t)(v >> 8);
}

static void Put32(std::vector<uint8_t> &b, size_t at, uint32_t v)
{
    for (int i = 0; i < 4; i++)
        b[at + i] = (uint8_t)(v >> (8 * i));
}

TEST_CASE("tests run with the Japanese ANSI code page")
{
    REQUIRE(GetACP() == 932);
}

TEST_CASE("the exported table")
{
    OutputPluginTable *table = GetOutputPluginTable();
    REQUIRE(table != nullptr);
    CHECK(GetOutputPluginTable() == table);

    const uintptr_t *words = (const uintptr_t *)table;
    CHECK(words[0] == 0);
    CHECK(strcmp((const char *)words[1], "Velnik") == 0);

    static const char filter[] = "AviFile (*.avi)\0*.avi\0AllFile (*.*)\0*.*\0";
    // sizeof includes the literal's own NUL: the list ends in two NULs.
    CHECK(memcmp((const char *)words[2], filter, sizeof(filter)) == 0);
    CHECK(strcmp((const char *)words[3], "Velnik 0.01") == 0);

    CHECK(words[4] == (uintptr_t)&on_init);
    CHECK(words[5] == (uintptr_t)&on_exit);
    CHECK(words[6] == (uintptr_t)&on_output);
    CHECK(words[7] == (uintptr_t)&on_configure);
    CHECK(words[8] == (uintptr_t)&on_get_settings);
    CHECK(words[9] == (uintptr_t)&on_set_settings);
    for (int i = 10; i < 16; i++)
        CHECK(words[i] == 0);
}

TEST_CASE("the settings block")
{
    // Start from a block full of noise so on_init has to clear every byte.
    std::vector<uint8_t> noise = Pattern(7);
    REQUIRE(on_set_settings(noise.data(), SETTINGS_BLOCK_SIZE) == SETTINGS_BLOCK_SIZE);
    REQUIRE(on_init() == 1);

    SUBCASE("after on_init it holds only the default formats")
    {
        std::vector<uint8_t> expected(SETTINGS_BLOCK_SIZE, 0);
        Put32(expected, 16, 40);        // biSize
        Put32(expected, 20, 640);       // biWidth
        Put32(expected, 24, 480);       // biHeight
        Put16(expected, 28, 1);         // biPlanes
        Put16(expected, 30, 24);        // biBitCount
        Put32(expected, 32, 0);         // biCompression BI_RGB
        Put16(expected, 56, 1);         // wFormatTag PCM
        Put16(expected, 58, 2);         // nChannels
        Put32(expected, 60, 44100);     // nSamplesPerSec
        Put32(expected, 64, 176400);    // nAvgBytesPerSec
        Put16(expected, 68, 4);         // nBlockAlign
        Put16(expected, 70, 16);        // wBitsPerSample
        Put16(expected, 72, 0);         // cbSize
        std::vector<uint8_t> block = SettingsBlock();
        for (size_t i = 0; i < block.size(); i++) {
            INFO("byte ", i);
            REQUIRE(block[i] == expected[i]);
        }
    }

    SUBCASE("a null destination only reports the size")
    {
        std::vector<uint8_t> before = SettingsBlock();
        CHECK(on_get_settings(nullptr) == SETTINGS_BLOCK_SIZE);
        CHECK(SettingsBlock() == before);
    }

    SUBCASE("the block handed out comes back byte for byte")
    {
        std::vector<uint8_t> before = SettingsBlock();
        CHECK(on_set_settings(before.data(), SETTINGS_BLOCK_SIZE) == SETTINGS_BLOCK_SIZE);
        CHECK(SettingsBlock() == before);

        // Any content, not only the defaults, and every byte of it.
        std::vector<uint8_t> other = Pattern(12345);
        CHECK(on_set_settings(other.data(), SETTINGS_BLOCK_SIZE) == SETTINGS_BLOCK_SIZE);
        CHECK(SettingsBlock() == other);
        CHECK(memcmp(&writer_context, other.data(), SETTINGS_BLOCK_SIZE) == 0);
    }

    SUBCASE("a block of any other size is refused and changes nothing")
    {
        std::vector<uint8_t> before = SettingsBlock();
        std::vector<uint8_t> other = Pattern(99);
        other.resize(SETTINGS_BLOCK_SIZE + 1, 0x55);
        const int sizes[] = {SETTINGS_BLOCK_SIZE - 1, SETTINGS_BLOCK_SIZE + 1, 0, -1, 1,
                             -SETTINGS_BLOCK_SIZE};
        for (int size : sizes) {
            INFO("size ", size);
            CHECK(on_set_settings(other.data(), size) == 0);
            CHECK(SettingsBlock() == before);
        }
        CHECK(on_set_settings(other.data(), SETTINGS_BLOCK_SIZE) == SETTINGS_BLOCK_SIZE);
        other.resize(SETTINGS_BLOCK_SIZE);
        CHECK(SettingsBlock() == other);
    }

    CHECK(on_exit() == 1);
}

TEST_CASE("FileNamePart cuts after the last separator")
{
    struct Case {
        const char *path;
        size_t cut;
    };
    const Case cases[] = {
        {"C:\\tools\\host.exe", 9},
        {"host.exe", 0},
        {"C:host.exe", 2},
        {"C:\\tools\\", 9},
        {"", 0},
        {"\\\\server\\share\\a.ini", 15},
        // CP932 characters whose second byte is 0x5C ('\'): 表 and ソ.
        {"C:\\\x95\x5C\\host.exe", 6},
        {"C:\\dir\\\x95\x5C", 7},
        {"C:\\\x83\x5C\x83\x74\x83\x67\\host.exe", 10},
        {"\x95\x5C\x83\x5C.exe", 0},
        // Half-width katakana are single bytes: the '\' after one is real.
        {"C:\\\xB1\\host.exe", 5},
        // A lead byte right before the NUL has no trail byte to skip.
        {"C:\\dir\\\x95", 7},
    };
    for (const Case &c : cases) {
        INFO("path ", doctest::String(c.path));
        CHECK(FileNamePart(c.path) == c.path + c.cut);
    }
}

TEST_CASE("host directory and ini path")
{
    char ini[MAX_PATH];

    SUBCASE("from the executable's path")
    {
        HostPathsReset("C:\\tools\\host.exe");
        CHECK(strcmp(HostModulePath(), "C:\\tools\\host.exe") == 0);
        CHECK(strcmp(HostDirectory(), "C:\\tools\\") == 0);
        memset(ini, 'x', sizeof(ini));
        CHECK(HostIniPath(ini) == 1);
        CHECK(strcmp(ini, "C:\\tools\\orvane.ini") == 0);
    }

    SUBCASE("a double-byte directory name ending in 0x5C")
    {
        HostPathsReset("D:\\\x95\x5C\\\x83\x5C\\host.exe");
        CHECK(strcmp(HostDirectory(), "D:\\\x95\x5C\\\x83\x5C\\") == 0);
        CHECK(HostIniPath(ini) == 1);
        CHECK(strcmp(ini, "D:\\\x95\x5C\\\x83\x5C\\orvane.ini") == 0);

        HostPathsReset("D:\\\x95\x5C\\host.exe");
        CHECK(strcmp(HostDirectory(), "D:\\\x95\x5C\\") == 0);
    }

    SUBCASE("the cache is kept until reset")
    {
        HostPathsReset("C:\\one\\host.exe");
        const char *dir = HostDirectory();
        CHECK(strcmp(dir, "C:\\one\\") == 0);
        CHECK(HostDirectory() == dir);
        HostPathsReset("C:\\two\\host.exe");
        CHECK(strcmp(HostDirectory(), "C:\\two\\") == 0);
    }

    SUBCASE("the real executable")
    {
        HostPathsReset(nullptr);
        char own[MAX_PATH];
        DWORD n = GetModuleFileNameA(NULL, own, sizeof(own));
        REQUIRE(n > 0);
        REQUIRE(n < sizeof(own));
        CHECK(strcmp(HostModulePath(), own) == 0);
        const char *dir = HostDirectory();
        size_t len = strlen(dir);
        REQUIRE(len > 0);
        CHECK(dir[len - 1] == '\\');
        CHECK(strncmp(dir, own, len) == 0);
        CHECK(strchr(own + len, '\\') == nullptr);
    }

    SUBCASE("an ini path that would not fit is refused")
    {
        // Directory of 249 bytes: "orvane.ini" makes 259 and the NUL 260.
        char path[400];
        memcpy(path, "C:\\", 3);
        memset(path + 3, 'a', 245);
        strcpy(path + 248, "\\h.exe");
        HostPathsReset(path);
        REQUIRE(strlen(HostDirectory()) == 249);
        memset(ini, 'x', sizeof(ini));
        CHECK(HostIniPath(ini) == 1);
        CHECK(strlen(ini) == 259);
        CHECK(strcmp(ini + 249, "orvane.ini") == 0);

        // One byte more does not fit.
        memset(path + 3, 'a', 246);
        strcpy(path + 249, "\\h.exe");
        HostPathsReset(path);
        REQUIRE(strlen(HostDirectory()) == 250);
        memset(ini, 'x', sizeof(ini));
        CHECK(HostIniPath(ini) == 0);
        CHECK(ini[0] == 0);
        CHECK(ReadHostIniInt(ini, "system", "saveunitsize", 4096) == 4096);
    }

    SUBCASE("an executable path too long for its buffer is unknown")
    {
        char path[400];
        memcpy(path, "C:\\", 3);
        memset(path + 3, 'a', 300);
        strcpy(path + 303, "\\h.exe");
        HostPathsReset(path);
        CHECK(strcmp(HostModulePath(), "") == 0);
        CHECK(strcmp(HostDirectory(), "") == 0);
        CHECK(HostIniPath(ini) == 0);
        CHECK(ini[0] == 0);
    }

    HostPathsReset(nullptr);
}

TEST_CASE("ReadHostIniInt reads the host's ini file")
{
    char folder[MAX_PATH];
    REQUIRE(MakeTempFolder(folder) == 1);
    char host[MAX_PATH];
    snprintf(host, sizeof(host), "%shost.exe", folder);
    HostPathsReset(host);

    char ini[MAX_PATH];
    REQUIRE(HostIniPath(ini) == 1);
    CHECK(strlen(ini) == strlen(folder) + strlen("orvane.ini"));

    // Missing file: every key takes its default.
    CHECK(ReadHostIniInt(ini, "system", "saveunitsize", 4096) == 4096);

    static const char text[] = "[system]\r\n"
                               "saveunitsize=512\r\n"
                               "negative=-5\r\n"
                               "[codec]\r\n"
                               "XVID=3\r\n";
    REQUIRE(WriteWholeFile(ini, text, sizeof(text) - 1) == 1);
    CHECK(ReadHostIniInt(ini, "system", "saveunitsize", 4096) == 512);
    CHECK(ReadHostIniInt(ini, "system", "negative", 4096) == -5);
    CHECK(ReadHostIniInt(ini, "codec", "XVID", 7) == 3);
    CHECK(ReadHostIniInt(ini, "codec", "DIV3", 7) == 7);
    CHECK(ReadHostIniInt(ini, "codec", "saveunitsize", 4096) == 4096);
    CHECK(ReadHostIniInt(ini, "nosection", "XVID", 7) == 7);
    CHECK(ReadHostIniInt("", "system", "saveunitsize", 4096) == 4096);
    CHECK(ReadHostIniInt(nullptr, "system", "saveunitsize", 4096) == 4096);

    HostPathsReset(nullptr);
    RemoveTempFolder(folder);
}

// Texts as UTF-8 here, turned into CP932 by the system, so the byte strings
// of the plug-in are checked against an independent encoding.
static std::vector<char> Cp932(const char *utf8)
{
    wchar_t wide[256];
    int n = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8, -1, wide, 256);
    REQUIRE(n > 0);
    std::vector<char> out(512);
    BOOL lossy = FALSE;
    int m = WideCharToMultiByte(932, 0, wide, -1, out.data(), (int)out.size(), NULL, &lossy);
    REQUIRE(m > 0);
    REQUIRE(!lossy);
    out.resize((size_t)m);
    return out;
}

static std::vector<std::vector<char>> observed;
static void Observe(const char *text)
{
    observed.emplace_back(text, text + strlen(text) + 1);
}

static int windows_created;
static LRESULT CALLBACK CountWindows(int code, WPARAM wparam, LPARAM lparam)
{
    if (code == HCBT_CREATEWND) {
        windows_created++;
        return 1;   // refuse it, so no box can wait for a click
    }
    return CallNextHookEx(NULL, code, wparam, lparam);
}

TEST_CASE("warnings go to the observer as CP932 bytes, and no box appears")
{
    HHOOK hook = SetWindowsHookExA(WH_CBT, CountWindows, NULL, GetCurrentThreadId());
    REQUIRE(hook != NULL);
    observed.clear();
    windows_created = 0;

    SetMessageObserver(Observe);
    CHECK(ShowWarning(TEXT_WRITE_FAILED) == IDOK);
    CHECK(ShowWarning(TEXT_CREATE_FAILED) == IDOK);
    CHECK(ShowWarning(TEXT_VIDEO_INIT_FAILED) == IDOK);
    CHECK(ShowWarning(TEXT_AUDIO_INIT_FAILED) == IDOK);
    CHECK(ShowWarning(TEXT_MEMORY_ERROR) == IDOK);
    CHECK(windows_created == 0);
    REQUIRE(observed.size() == 5);
    CHECK(observed[0] == Cp932(u8"ファイルの書き込みに失敗しました。"));
    CHECK(observed[1] == Cp932(u8"ファイルの作成に失敗しました。"));
    CHECK(observed[2] == Cp932(u8"ビデオ圧縮の初期化に失敗しました。"));
    CHECK(observed[3] == Cp932(u8"オーディオ圧縮の初期化に失敗しました"));
    CHECK(observed[4] == std::vector<char>({'m', 'e', 'm', 'o', 'r', 'y', ' ', 'e', 'r', 'r',
                                            'o', 'r', ' ', 0}));
    CHECK(std::vector<char>(TEXT_UNCOMPRESSED, TEXT_UNCOMPRESSED + sizeof(TEXT_UNCOMPRESSED)) ==
          Cp932(u8"非圧縮"));

    // Without an observer the box is really asked for (the hook refuses it),
    // which shows that the count above could have seen one.
    SetMessageObserver(nullptr);
    ShowWarning(TEXT_WRITE_FAILED);
    CHECK(windows_created > 0);
    CHECK(observed.size() == 5);

    UnhookWindowsHookEx(hook);
}
