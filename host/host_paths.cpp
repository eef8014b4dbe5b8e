// Paths between the Win32 side and the Unix side of Wine, and small file
// helpers.
#include "host/host.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

typedef char *(__cdecl *UnixFileNameFn)(const WCHAR *dos);
typedef WCHAR *(__cdecl *DosFileNameFn)(const char *unix_path);

static UnixFileNameFn WineUnixFileName(void)
{
    return (UnixFileNameFn)(void *)GetProcAddress(GetModuleHandleA("kernel32"), "wine_get_unix_file_name");
}

static DosFileNameFn WineDosFileName(void)
{
    return (DosFileNameFn)(void *)GetProcAddress(GetModuleHandleA("kernel32"), "wine_get_dos_file_name");
}

int RunningUnderWine(void)
{
    return WineUnixFileName() != NULL;
}

const char *ExeDirectory(void)
{
    static char directory[MAX_PATH];
    if (!directory[0]) {
        DWORD n = GetModuleFileNameA(NULL, directory, sizeof(directory));
        if (n == 0 || n >= sizeof(directory))
            n = 0;
        directory[n] = 0;
        char *cut = strrchr(directory, '\\');
        if (cut)
            cut[1] = 0;
        else
            directory[0] = 0;
    }
    return directory;
}

static int CopyPath(const char *path, char *out, size_t out_size)
{
    size_t n = strlen(path);
    if (n + 1 > out_size)
        return 0;
    memcpy(out, path, n + 1);
    return 1;
}

int WindowsPath(const char *path, char *out, size_t out_size)
{
    DosFileNameFn dos_name = WineDosFileName();
    if (path[0] != '/' || !dos_name)
        return CopyPath(path, out, out_size);
    WCHAR *wide = dos_name(path);
    if (!wide)
        return 0;
    int n = WideCharToMultiByte(CP_ACP, 0, wide, -1, out, (int)out_size, NULL, NULL);
    HeapFree(GetProcessHeap(), 0, wide);
    return n > 0;
}

int UnixPath(const char *path, char *out, size_t out_size)
{
    if (path[0] == '/')
        return CopyPath(path, out, out_size);
    UnixFileNameFn unix_name = WineUnixFileName();
    if (!unix_name)
        return 0;
    char full[MAX_PATH];
    DWORD n = GetFullPathNameA(path, sizeof(full), full, NULL);
    if (n == 0 || n >= sizeof(full))
        return 0;
    WCHAR wide[MAX_PATH];
    if (!MultiByteToWideChar(CP_ACP, 0, full, -1, wide, MAX_PATH))
        return 0;
    char *unix_path = unix_name(wide);
    if (!unix_path)
        return 0;
    int ok = CopyPath(unix_path, out, out_size);
    HeapFree(GetProcessHeap(), 0, unix_path);
    return ok;
}

int FileExists(const char *path)
{
    DWORD attributes = GetFileAttributesA(path);
    return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

int ReadWholeFile(const char *path, uint8_t **data, size_t *size)
{
    *data = NULL;
    *size = 0;
    HANDLE file = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, 0, NULL);
    if (file == INVALID_HANDLE_VALUE)
        return 0;
    LARGE_INTEGER length;
    int ok = GetFileSizeEx(file, &length) && length.QuadPart < 0x40000000;
    uint8_t *buffer = ok ? (uint8_t *)malloc((size_t)length.QuadPart + 1) : NULL;
    DWORD got = 0;
    ok = buffer && ReadFile(file, buffer, (DWORD)length.QuadPart, &got, NULL) && got == length.QuadPart;
    CloseHandle(file);
    if (!ok) {
        free(buffer);
        return 0;
    }
    *data = buffer;
    *size = got;
    return 1;
}

int WriteWholeFile(const char *path, const void *data, size_t size)
{
    HANDLE file = CreateFileA(path, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, 0, NULL);
    if (file == INVALID_HANDLE_VALUE)
        return 0;
    DWORD written = 0;
    int ok = WriteFile(file, data, (DWORD)size, &written, NULL) && written == size;
    return CloseHandle(file) && ok;
}
