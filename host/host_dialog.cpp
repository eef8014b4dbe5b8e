// Unattended runs of the plug-in's settings dialog: a second thread waits for
// the dialog, keeps a picture of it as it is drawn on the screen, and can
// press one of its buttons. A person running "configure" needs none of this.
#include "host/host.h"

#include <stdio.h>
#include <string.h>

static DialogWatch *watch;
static HANDLE watch_thread;

struct FoundDialog {
    HWND window;
};

static BOOL CALLBACK FindOwnDialog(HWND window, LPARAM param)
{
    DWORD pid = 0;
    GetWindowThreadProcessId(window, &pid);
    char cls[16] = "";
    GetClassNameA(window, cls, sizeof(cls));
    if (pid == GetCurrentProcessId() && strcmp(cls, "#32770") == 0 && IsWindowVisible(window)) {
        ((FoundDialog *)param)->window = window;
        return FALSE;
    }
    return TRUE;
}

static int WriteBitmap(const char *path, int width, int height, const void *bits, uint32_t row_bytes)
{
    BITMAPFILEHEADER file;
    BITMAPINFOHEADER info;
    memset(&file, 0, sizeof(file));
    memset(&info, 0, sizeof(info));
    info.biSize = sizeof(info);
    info.biWidth = width;
    info.biHeight = height;
    info.biPlanes = 1;
    info.biBitCount = 24;
    info.biSizeImage = row_bytes * (uint32_t)height;
    file.bfType = 0x4D42;   // "BM"
    file.bfOffBits = sizeof(file) + sizeof(info);
    file.bfSize = file.bfOffBits + info.biSizeImage;
    HANDLE f = CreateFileA(path, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, 0, NULL);
    if (f == INVALID_HANDLE_VALUE)
        return 0;
    DWORD done = 0;
    int ok = WriteFile(f, &file, sizeof(file), &done, NULL) && WriteFile(f, &info, sizeof(info), &done, NULL) &&
             WriteFile(f, bits, info.biSizeImage, &done, NULL) && done == info.biSizeImage;
    CloseHandle(f);
    return ok;
}

// Glyphs of text that the font lacks (they would be drawn as empty boxes).
static int MissingGlyphs(HDC dc, const WCHAR *text)
{
    int n = lstrlenW(text), missing = 0;
    WORD glyphs[512];
    if (n <= 0 || n > 512 || GetGlyphIndicesW(dc, text, n, glyphs, GGI_MARK_NONEXISTING_GLYPHS) == GDI_ERROR)
        return n > 0 ? n : 0;
    for (int i = 0; i < n; i++)
        missing += glyphs[i] == 0xFFFF;
    return missing;
}

// The face that draws the dialog's texts and the title bar, as UTF-8 names,
// and how many of their characters each face has no glyph for.
static void DescribeFonts(HWND dialog, FILE *out)
{
    HDC dc = GetDC(dialog);
    WCHAR face[LF_FACESIZE];
    char utf8[LF_FACESIZE * 3];
    HGDIOBJ old = SelectObject(dc, (HFONT)SendMessageW(dialog, WM_GETFONT, 0, 0));
    GetTextFaceW(dc, LF_FACESIZE, face);
    WideCharToMultiByte(CP_UTF8, 0, face, -1, utf8, sizeof(utf8), NULL, NULL);
    int missing = 0;
    WCHAR text[256];
    for (HWND c = GetWindow(dialog, GW_CHILD); c; c = GetWindow(c, GW_HWNDNEXT)) {
        GetWindowTextW(c, text, 256);
        missing += MissingGlyphs(dc, text);
    }
    fprintf(out, "font %d %s\n", missing, utf8);

    NONCLIENTMETRICSW metrics;
    memset(&metrics, 0, sizeof(metrics));
    metrics.cbSize = sizeof(metrics);
    SystemParametersInfoW(SPI_GETNONCLIENTMETRICS, sizeof(metrics), &metrics, 0);
    HFONT caption = CreateFontIndirectW(&metrics.lfCaptionFont);
    SelectObject(dc, caption);
    GetTextFaceW(dc, LF_FACESIZE, face);
    WideCharToMultiByte(CP_UTF8, 0, face, -1, utf8, sizeof(utf8), NULL, NULL);
    GetWindowTextW(dialog, text, 256);
    fprintf(out, "caption_font %d %s\n", MissingGlyphs(dc, text), utf8);
    SelectObject(dc, old);
    DeleteObject(caption);
    ReleaseDC(dialog, dc);
}

// The dialog as the screen shows it, with a text file beside the picture
// that places the title bar and every control in it.
static int TakePicture(HWND dialog, const char *path)
{
    RECT frame;
    GetWindowRect(dialog, &frame);
    int width = frame.right - frame.left, height = frame.bottom - frame.top;
    if (width <= 0 || height <= 0)
        return 0;
    BITMAPINFO info;
    memset(&info, 0, sizeof(info));
    info.bmiHeader.biSize = sizeof(info.bmiHeader);
    info.bmiHeader.biWidth = width;
    info.bmiHeader.biHeight = height;
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 24;
    void *bits = NULL;
    HDC screen = GetDC(NULL);
    HDC memory = CreateCompatibleDC(screen);
    HBITMAP bitmap = CreateDIBSection(screen, &info, DIB_RGB_COLORS, &bits, NULL, 0);
    int ok = 0;
    if (bitmap && bits) {
        HGDIOBJ old = SelectObject(memory, bitmap);
        ok = BitBlt(memory, 0, 0, width, height, screen, frame.left, frame.top, SRCCOPY);
        GdiFlush();
        SelectObject(memory, old);
        ok = ok && WriteBitmap(path, width, height, bits, ((uint32_t)width * 3 + 3) / 4 * 4);
    }
    if (bitmap)
        DeleteObject(bitmap);
    DeleteDC(memory);
    ReleaseDC(NULL, screen);
    if (!ok)
        return 0;

    char layout_path[MAX_PATH + 8];
    snprintf(layout_path, sizeof(layout_path), "%s.txt", path);
    FILE *layout = fopen(layout_path, "w");
    if (!layout)
        return 0;
    POINT client = {0, 0};
    ClientToScreen(dialog, &client);
    fprintf(layout, "window %d %d\n", width, height);
    fprintf(layout, "caption %d %d %d %d\n", 0, 0, width, (int)(client.y - frame.top));
    for (HWND c = GetWindow(dialog, GW_CHILD); c; c = GetWindow(c, GW_HWNDNEXT)) {
        RECT r;
        GetWindowRect(c, &r);
        char cls[32] = "", text[256] = "";
        GetClassNameA(c, cls, sizeof(cls));
        GetWindowTextA(c, text, sizeof(text));
        int wide = 0;
        for (const char *p = text; *p; p++)
            wide |= (unsigned char)*p >= 0x80;
        fprintf(layout, "control %d %s %d %d %d %d %d\n", GetDlgCtrlID(c), cls, (int)(r.left - frame.left),
                (int)(r.top - frame.top), (int)(r.right - r.left), (int)(r.bottom - r.top), wide);
    }
    DescribeFonts(dialog, layout);
    fclose(layout);
    return 1;
}

static DWORD WINAPI WatchThread(void *)
{
    FoundDialog found = {NULL};
    // Under emulation a dialog can take long to come up.
    for (int i = 0; i < 12000 && !found.window && !watch->stop; i++) {
        Sleep(10);
        EnumWindows(FindOwnDialog, (LPARAM)&found);
    }
    if (!found.window)
        return 0;
    watch->found = 1;
    // Once its thread answers it has set itself up; then it is drawn anew
    // and given time to reach the screen before the picture is taken.
    DWORD_PTR answer;
    SendMessageTimeoutA(found.window, WM_NULL, 0, 0, SMTO_NORMAL, 60000, &answer);
    RedrawWindow(found.window, NULL, NULL, RDW_INVALIDATE | RDW_ERASE | RDW_FRAME | RDW_ALLCHILDREN | RDW_UPDATENOW);
    Sleep(watch->settle_ms);
    if (watch->picture) {
        if (TakePicture(found.window, watch->picture))
            watch->picture_taken = 1;
        else
            Err("snapshot: could not take the dialog's picture\n");
    }
    if (watch->press)
        PostMessageA(GetDlgItem(found.window, watch->press), BM_CLICK, 0, 0);
    return 0;
}

int DialogWatchStart(DialogWatch *w)
{
    watch = w;
    watch_thread = CreateThread(NULL, 0, WatchThread, NULL, 0, NULL);
    return watch_thread != NULL;
}

void DialogWatchStop(void)
{
    if (!watch_thread)
        return;
    watch->stop = 1;
    WaitForSingleObject(watch_thread, 10000);
    CloseHandle(watch_thread);
    watch_thread = NULL;
}
