// Installs the sample compressor the way a codec installer does: the driver
// DLL into the system folder and a "vidc.XXXX" value under Drivers32. Built
// at each width, so the 32-bit one lands in the 32-bit folder and registry
// view of a 64-bit prefix.
//   install_codec install DLL     copy DLL and register its handler codes
//   install_codec remove          undo that
#include <windows.h>

#include <stdio.h>
#include <string.h>

static const char drivers32[] = "Software\\Microsoft\\Windows NT\\CurrentVersion\\Drivers32";
static const char installed_name[] = "velzmbv.dll";
static const char *const handlers[] = {"vidc.ZMBV", "vidc.ZMBP", "vidc.ZMBO", "vidc.ZMBL",
                                       "vidc.ZMBN"};

static int ReadAll(const char *path, char **data, DWORD *size)
{
    HANDLE f = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                           NULL, OPEN_EXISTING, 0, NULL);
    if (f == INVALID_HANDLE_VALUE)
        return 0;
    *size = GetFileSize(f, NULL);
    *data = (char *)HeapAlloc(GetProcessHeap(), 0, *size ? *size : 1);
    DWORD got = 0;
    int ok = *data && *size != INVALID_FILE_SIZE && ReadFile(f, *data, *size, &got, NULL) && got == *size;
    CloseHandle(f);
    return ok;
}

// Another program may have the installed copy loaded; an identical copy
// needs no replacing, and a busy one gets a few more tries.
static int CopyDriver(const char *source, const char *target)
{
    char *a = NULL, *b = NULL;
    DWORD na = 0, nb = 0;
    int same = ReadAll(source, &a, &na) && ReadAll(target, &b, &nb) && na == nb && !memcmp(a, b, na);
    if (a)
        HeapFree(GetProcessHeap(), 0, a);
    if (b)
        HeapFree(GetProcessHeap(), 0, b);
    if (same)
        return 1;
    for (int attempt = 0; attempt < 20; attempt++) {
        if (CopyFileA(source, target, FALSE))
            return 1;
        Sleep(250);
    }
    return 0;
}

static int Install(const char *source)
{
    char target[MAX_PATH];
    UINT n = GetSystemDirectoryA(target, sizeof(target));
    if (n == 0 || n + 1 + sizeof(installed_name) > sizeof(target))
        return 0;
    strcat(target, "\\");
    strcat(target, installed_name);
    if (!CopyDriver(source, target)) {
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
