// Console output. Everything goes through WriteFile so that converted
// message texts and formatted lines stay in order.
#include "host/host.h"

#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static void WriteHandle(DWORD which, const char *bytes, size_t length)
{
    HANDLE handle = GetStdHandle(which);
    if (handle == INVALID_HANDLE_VALUE || handle == NULL)
        return;
    DWORD mode;
    if (GetConsoleMode(handle, &mode)) {
        // A real console takes wide text; the bytes here are UTF-8.
        int wide_length = MultiByteToWideChar(CP_UTF8, 0, bytes, (int)length, NULL, 0);
        WCHAR *wide = (WCHAR *)malloc((wide_length + 1) * sizeof(WCHAR));
        if (!wide)
            return;
        MultiByteToWideChar(CP_UTF8, 0, bytes, (int)length, wide, wide_length);
        DWORD written;
        WriteConsoleW(handle, wide, wide_length, &written, NULL);
        free(wide);
        return;
    }
    while (length > 0) {
        DWORD written = 0;
        if (!WriteFile(handle, bytes, (DWORD)length, &written, NULL) || written == 0)
            return;
        bytes += written;
        length -= written;
    }
}

static void WriteFormatted(DWORD which, const char *format, va_list args)
{
    char buffer[4096];
    int n = vsnprintf(buffer, sizeof(buffer), format, args);
    if (n < 0)
        return;
    if ((size_t)n >= sizeof(buffer))
        n = sizeof(buffer) - 1;
    WriteHandle(which, buffer, (size_t)n);
}

void Out(const char *format, ...)
{
    va_list args;
    va_start(args, format);
    WriteFormatted(STD_OUTPUT_HANDLE, format, args);
    va_end(args);
}

void Err(const char *format, ...)
{
    va_list args;
    va_start(args, format);
    WriteFormatted(STD_ERROR_HANDLE, format, args);
    va_end(args);
}

int Cp932ToUtf8(const char *text, char *out, size_t out_size)
{
    WCHAR wide[1024];
    int n = MultiByteToWideChar(932, 0, text, -1, wide, ARRAYSIZE(wide));
    if (n <= 0 || WideCharToMultiByte(CP_UTF8, 0, wide, -1, out, (int)out_size, NULL, NULL) <= 0) {
        snprintf(out, out_size, "%s", text);   // raw bytes beat nothing
        return 0;
    }
    return 1;
}

void OutCp932(const char *prefix, const char *text)
{
    char utf8[4096];
    Cp932ToUtf8(text, utf8, sizeof(utf8));
    Out("%s%s\n", prefix, utf8);
}
