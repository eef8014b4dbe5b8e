// Installs the sample compressor the way a codec installer does: the driver
// DLL into the system folder and a "vidc.XXXX" value under Drivers32. Built
// at each width, so the 32-bit one lands in the 32-bit folder and registry
// view of a 64-bit prefix.
//   install_codec install DLL     copy DLL and register "ZMBV" and "ZMBP"
//   install_codec remove          undo both
#include <windows.h>

#include <stdio.h>
#include <string.h>

static const char drivers32[] = "Software\\Microsoft\\Windows NT\\CurrentVersion\\Drivers32";
static const char installed_name[] = "velzmbv.dll";
static const char *const handlers[] = {"vidc.ZMBV", "vidc.ZMBP"};

static int Install(const char *source)
{
    char target[MAX_PATH];
    UINT n = GetSystemDirectoryA(target, sizeof(target));
    if (n == 0 || n + 1 + sizeof(installed_name) > sizeof(target))
        return 0;
    strcat(target, "\\");
    strcat(target, installed_name);
    if (!CopyFileA(source, target, FALSE)) {
        fprintf(stderr, "cannot copy %s to %s (%lu)\n", source, target, GetLastError());
        return 0;
    }
    HKEY key;
    if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, drivers32, 0, NULL, 0, KEY_SET_VALUE, NULL, &key,
                        NULL) != ERROR_SUCCESS)
        return 0;
    int ok = 1;
    for (const char *h : handlers)
        ok &= RegSetValueExA(key, h, 0, REG_SZ, (const BYTE *)installed_name,
                             sizeof(installed_name)) == ERROR_SUCCESS;
    RegCloseKey(key);
    printf("%s -> %s\n", source, target);
    return ok;
}

static int Remove(void)
{
    HKEY key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, drivers32, 0, KEY_SET_VALUE, &key) == ERROR_SUCCESS) {
        for (const char *h : handlers)
            RegDeleteValueA(key, h);
        RegCloseKey(key);
    }
    char target[MAX_PATH];
    UINT n = GetSystemDirectoryA(target, sizeof(target));
    if (n && n + 1 + sizeof(installed_name) <= sizeof(target)) {
        strcat(target, "\\");
        strcat(target, installed_name);
        DeleteFileA(target);
    }
    return 1;
}

int main(int argc, char **argv)
{
    if (argc == 3 && !strcmp(argv[1], "install"))
        return Install(argv[2]) ? 0 : 1;
    if (argc == 2 && !strcmp(argv[1], "remove"))
        return Remove() ? 0 : 1;
    fprintf(stderr, "usage: install_codec install DLL | remove\n");
    return 2;
}
