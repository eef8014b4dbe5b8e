#include "dialog_driver.h"

namespace {

struct Run {
    const char *title;
    const std::function<void(HWND)> *script;
    int found;
};

DWORD WINAPI ScriptThread(void *param)
{
    Run *run = (Run *)param;
    HWND dialog = WaitForDialog(run->title);
    if (!dialog)
        return 0;
    run->found = 1;
    (*run->script)(dialog);
    // A script that stopped early must not leave the test hanging.
    for (int i = 0; i < 200 && IsWindow(dialog); i++) {
        if (i % 50 == 0)
            PostMessageA(dialog, WM_COMMAND, IDCANCEL, 0);
        Sleep(10);
    }
    return 0;
}

} // namespace

int DriveDialog(const char *title, const std::function<int()> &show,
                const std::function<void(HWND)> &script, int *found)
{
    Run run = {title, &script, 0};
    HANDLE thread = CreateThread(NULL, 0, ScriptThread, &run, 0, NULL);
    int result = show();
    WaitForSingleObject(thread, 180000);
    CloseHandle(thread);
    if (found)
        *found = run.found;
    return result;
}

HWND WaitForDialog(const char *title, HWND not_this)
{
    for (int i = 0; i < 6000; i++) {
        for (HWND w = FindWindowExA(NULL, NULL, "#32770", title); w;
             w = FindWindowExA(NULL, w, "#32770", title)) {
            if (w != not_this && IsWindowVisible(w))
                return w;
        }
        Sleep(10);
    }
    return NULL;
}

void TypeInto(HWND dialog, int id, const char *text)
{
    HWND edit = GetDlgItem(dialog, id);
    SendMessageA(edit, EM_SETSEL, 0, -1);
    SendMessageA(edit, WM_CHAR, VK_BACK, 1);
    for (const char *p = text; *p; p++)
        SendMessageA(edit, WM_CHAR, (WPARAM)(unsigned char)*p, 1);
}

int PickItem(HWND dialog, int id, const char *text)
{
    HWND list = GetDlgItem(dialog, id);
    LRESULT i = SendMessageA(list, CB_FINDSTRINGEXACT, (WPARAM)-1, (LPARAM)text);
    if (i == CB_ERR)
        return 0;
    // As the control reports a choice made with the mouse or the keyboard.
    SendMessageA(list, CB_SETCURSEL, (WPARAM)i, 0);
    SendMessageA(dialog, WM_COMMAND, MAKEWPARAM(id, CBN_SELCHANGE), (LPARAM)list);
    return 1;
}

void Press(HWND dialog, int id)
{
    SendMessageA(GetDlgItem(dialog, id), BM_CLICK, 0, 0);
}

void PressLater(HWND dialog, int id)
{
    PostMessageA(GetDlgItem(dialog, id), BM_CLICK, 0, 0);
}

std::string TextOf(HWND dialog, int id)
{
    char text[512] = "";
    GetDlgItemTextA(dialog, id, text, sizeof(text));
    return text;
}

int Enabled(HWND dialog, int id)
{
    return IsWindowEnabled(GetDlgItem(dialog, id)) ? 1 : 0;
}

std::string SelectedItem(HWND dialog, int id)
{
    HWND list = GetDlgItem(dialog, id);
    LRESULT i = SendMessageA(list, CB_GETCURSEL, 0, 0);
    if (i == CB_ERR)
        return "";
    char text[512] = "";
    SendMessageA(list, CB_GETLBTEXT, (WPARAM)i, (LPARAM)text);
    return text;
}
