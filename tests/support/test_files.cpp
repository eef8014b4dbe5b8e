#include "tests/support/test_files.h"

#include <windows.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

int MakeTempFolder(char *out)
{
    static unsigned counter;
    char temp[MAX_PATH];
    DWORD n = GetTempPathA(sizeof(temp), temp);
    if (n == 0 || n >= sizeof(temp))
        return 0;
    for (int attempt = 0; attempt < 100; attempt++) {
        int len = snprintf(out, MAX_PATH, "%svelnik-%lu-%lu-%u\\", temp, GetCurrentProcessId(),
                           GetTickCount(), counter++);
        if (len <= 0 || len >= MAX_PATH)
            return 0;
        if (CreateDirectoryA(out, NULL))
            return 1;
    }
    return 0;
}

void RemoveTempFolder(const char *folder)
{
    char pattern[MAX_PATH];
    snprintf(pattern, sizeof(pattern), "%s*", folder);
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA(pattern, &found);
    if (search != INVALID_HANDLE_VALUE) {
        do {
            if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
                continue;
            char path[MAX_PATH];
            snprintf(path, sizeof(path), "%s%s", folder, found.cFileName);
            DeleteFileA(path);
        } while (FindNextFileA(search, &found));
        FindClose(search);
    }
    RemoveDirectoryA(folder);
}

uint8_t *ReadWholeFile(const char *path, size_t *size)
{
    *size = 0;
    HANDLE h = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL, NULL);
    if (h == INVALID_HANDLE_VALUE)
        return NULL;
    LARGE_INTEGER length;
    uint8_t *data = NULL;
    if (GetFileSizeEx(h, &length) && (uint64_t)length.QuadPart < 0x40000000u) {
        size_t n = (size_t)length.QuadPart;
        data = (uint8_t *)malloc(n ? n : 1);
        size_t done = 0;
        while (data && done < n) {
            DWORD got = 0;
            DWORD want = (DWORD)(n - done > 0x100000 ? 0x100000 : n - done);
            if (!ReadFile(h, data + done, want, &got, NULL) || got == 0) {
                free(data);
                data = NULL;
                break;
            }
            done += got;
        }
        if (data)
            *size = n;
    }
    CloseHandle(h);
    return data;
}

int WriteWholeFile(const char *path, const void *data, size_t size)
{
    HANDLE h = CreateFileA(path, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
    if (h == INVALID_HANDLE_VALUE)
        return 0;
    DWORD written = 0;
    int ok = WriteFile(h, data, (DWORD)size, &written, NULL) && written == size;
    CloseHandle(h);
    return ok;
}
