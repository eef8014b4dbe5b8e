// A small table-driven dialog layer: one generic dialog procedure that fills
// drop-down lists from numbered slots and hands every command to a single
// callback. One dialog at a time; the state is process-wide.
#pragma once

#include <windows.h>

#define DIALOG_SLOTS 16
#define DIALOG_SLOT_BASE_ID 32500   // slot i fills the drop-down list with id 32500 + i

// Pseudo command ids given to the callback in place of a control id.
#define DLG_INIT 32705      // end of WM_INITDIALOG, after the lists are filled
#define DLG_CLOSING 32706   // just before the dialog ends by OK or Cancel

// Gets (dialog window, control or pseudo id); 1 keeps the dialog open, any
// other answer to a control's command ends it with that id.
typedef int (*DialogCallback)(HWND dialog, int id);

struct DialogSlot {
    const char *const *strings;   // null-terminated list, or null: control disabled
    int selection;
};

struct DialogLayer {
    HINSTANCE instance;     // module holding the templates
    HWND owner;             // default owner window
    const char *title;      // overrides the template's title when set
    DialogCallback callback;
    DialogSlot slots[DIALOG_SLOTS];
};

extern DialogLayer dialog_layer;

// Records the module the templates come from and the default owner.
void DialogSetHost(HINSTANCE instance, HWND owner);
// Runs the template modally. A null owner takes the default one, a null
// title keeps the template's. Returns the EndDialog value (1 OK, 2 Cancel),
// 2 when the dialog cannot be created. The callback is cleared afterwards.
int DialogShow(const char *template_name, const char *title, HWND owner);
int DialogSetList(int slot, const char *const *strings);
int DialogSetSelection(int slot, int index);
void DialogSetCallback(DialogCallback callback);
