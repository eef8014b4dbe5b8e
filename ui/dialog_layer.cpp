// The generic dialog procedure and the state it works from.
#include "ui/dialog_layer.h"

DialogLayer dialog_layer;

void DialogSetHost(HINSTANCE instance, HWND owner)
{
    dialog_layer.instance = instance;
    dialog_layer.owner = owner;
}

int DialogSetList(int slot, const char *const *strings)
{
    if (slot < 0 || slot >= DIALOG_SLOTS)
        return 0;
    dialog_layer.slots[slot].strings = strings;
    return 1;
}

int DialogSetSelection(int slot, int index)
{
    if (slot < 0 || slot >= DIALOG_SLOTS)
        return 0;
    dialog_layer.slots[slot].selection = index;
    return 1;
}

void DialogSetCallback(DialogCallback callback)
{
    dialog_layer.callback = callback;
}

// Without a callback every command keeps the dialog open.
static int Notify(HWND dialog, int id)
{
    return dialog_layer.callback ? dialog_layer.callback(dialog, id) : 1;
}

static void FillSlots(HWND dialog)
{
    for (int i = 0; i < DIALOG_SLOTS; i++) {
        HWND control = GetDlgItem(dialog, DIALOG_SLOT_BASE_ID + i);
        if (!control)
            continue;
        const DialogSlot *slot = &dialog_layer.slots[i];
        if (!slot->strings) {
            EnableWindow(control, FALSE);
            continue;
        }
        for (const char *const *s = slot->strings; *s; s++)
            SendMessageA(control, CB_ADDSTRING, 0, (LPARAM)*s);
        SendMessageA(control, CB_SETCURSEL, (WPARAM)slot->selection, 0);
    }
}

static INT_PTR CALLBACK GenericDialogProc(HWND dialog, UINT message, WPARAM wparam, LPARAM lparam)
{
    (void)lparam;
    switch (message) {
    case WM_INITDIALOG:
        if (dialog_layer.title)
            SetWindowTextA(dialog, dialog_layer.title);
        FillSlots(dialog);
        Notify(dialog, DLG_INIT);
        return 1;
    case WM_COMMAND: {
        int id = LOWORD(wparam);
        if (id == IDOK || id == IDCANCEL) {
            Notify(dialog, DLG_CLOSING);
            EndDialog(dialog, id);
        } else if (Notify(dialog, id) != 1) {
            EndDialog(dialog, id);
        }
        return 1;
    }
    default:
        return 0;
    }
}

int DialogShow(const char *template_name, const char *title, HWND owner)
{
    dialog_layer.title = title;
    INT_PTR result = DialogBoxParamA(dialog_layer.instance, template_name,
                                     owner ? owner : dialog_layer.owner, GenericDialogProc, 0);
    dialog_layer.callback = NULL;
    dialog_layer.title = NULL;
    // 0 and -1 both mean the dialog never ran; that counts as Cancel.
    if (result <= 0)
        return IDCANCEL;
    return (int)result;
}
