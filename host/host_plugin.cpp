// Loading velnik.dll, and catching its message boxes: the plug-in talks to
// the user only through user32!MessageBoxA, so its import slot is pointed
// at a recorder that prints the text instead of opening a window.
#include "host/host.h"

#include <stdio.h>
#include <string.h>

static CRITICAL_SECTION message_lock;  // boxes may come from worker threads
static char message_file[MAX_PATH];
static int message_count;

void MessagesSetFile(const char *path)
{
    message_file[0] = 0;
    if (path && !WindowsPath(path, message_file, sizeof(message_file)))
        Err("messages: path too long: %s\n", path);
}

int MessagesCount(void)
{
    return message_count;
}

static int WINAPI RecordMessageBox(HWND owner, LPCSTR text, LPCSTR caption, UINT type)
{
    (void)owner;
    if (!text)
        text = "";
    EnterCriticalSection(&message_lock);
    message_count++;
    char prefix[160];
    snprintf(prefix, sizeof(prefix), "message [%s, 0x%x]: ", caption ? caption : "(no caption)", type);
    OutCp932(prefix, text);
    if (message_file[0]) {
        HANDLE file = CreateFileA(message_file, FILE_APPEND_DATA, FILE_SHARE_READ, NULL, OPEN_ALWAYS, 0, NULL);
        if (file != INVALID_HANDLE_VALUE) {
            DWORD written;
            WriteFile(file, text, (DWORD)strlen(text), &written, NULL);
            WriteFile(file, "\n", 1, &written, NULL);
            CloseHandle(file);
        } else {
            Err("messages: cannot append to %s\n", message_file);
        }
    }
    LeaveCriticalSection(&message_lock);
    return IDOK;
}

// ---- entries called through a check of the calling convention ----
//
// Every entry of the table is __cdecl: the caller removes the arguments. An
// entry built as __stdcall removes them itself, which a 32-bit host notices
// only as a corrupted stack later on. In the 32-bit build the host therefore
// calls each entry through a stub that measures how far the stack pointer
// moved across the call; anything but 0 is reported. (On x86_64 there is one
// calling convention, and the entries are called as they are.)

static const OutputPluginTable *plugin_entries;   // the plug-in's own table
static OutputPluginTable checked_table;           // what the host calls
static int convention_faults;

#if defined(_WIN32) && !defined(_WIN64)
// uint32_t CallMeasured(fn, args, n, &popped): pushes n arguments (args[0]
// last, so it lands nearest the return address), calls fn, and stores the
// bytes the callee itself took off the stack. Callee-saved edi keeps the
// stack pointer of the moment of the call.
extern "C" uint32_t __cdecl CallMeasured(const void *fn, const uint32_t *args, int n, int32_t *popped);
__asm__(
    ".text\n"
    ".globl _CallMeasured\n"
    "_CallMeasured:\n"
    "    pushl %ebp\n"
    "    movl %esp, %ebp\n"
    "    pushl %esi\n"
    "    pushl %edi\n"
    "    pushl %ebx\n"
    "    movl 16(%ebp), %ecx\n"
    "    movl 12(%ebp), %esi\n"
    "1:  testl %ecx, %ecx\n"
    "    jz 2f\n"
    "    pushl -4(%esi,%ecx,4)\n"
    "    decl %ecx\n"
    "    jmp 1b\n"
    "2:  movl %esp, %edi\n"
    "    call *8(%ebp)\n"
    "    movl %esp, %ecx\n"
    "    subl %edi, %ecx\n"
    "    movl 20(%ebp), %edx\n"
    "    movl %ecx, (%edx)\n"
    "    leal -12(%ebp), %esp\n"
    "    popl %ebx\n"
    "    popl %edi\n"
    "    popl %esi\n"
    "    popl %ebp\n"
    "    ret\n");

static uintptr_t CallEntry(const char *name, const void *fn, int n, uintptr_t a = 0, uintptr_t b = 0)
{
    uint32_t args[2] = {(uint32_t)a, (uint32_t)b};
    int32_t popped = 0;
    uintptr_t result = CallMeasured(fn, args, n, &popped);
    if (popped != 0) {
        convention_faults++;
        Out("protocol: calling convention of %s: the entry removed %d bytes of its arguments "
            "from the stack (a __cdecl entry removes none)\n", name, (int)popped);
    }
    return result;
}
#else
// x86_64 has one calling convention; a callee ignores arguments it lacks.
static uintptr_t CallEntry(const char *, const void *fn, int, uintptr_t a = 0, uintptr_t b = 0)
{
    return ((uintptr_t(__cdecl *)(uintptr_t, uintptr_t))fn)(a, b);
}
#endif

#define ENTRY(name) #name, (const void *)plugin_entries->name

static int __cdecl CheckedInit(void)
{
    return (int)CallEntry(ENTRY(on_init), 0);
}

static int __cdecl CheckedExit(void)
{
    return (int)CallEntry(ENTRY(on_exit), 0);
}

static int __cdecl CheckedOutput(OutputInfo *info)
{
    return (int)CallEntry(ENTRY(on_output), 1, (uintptr_t)info);
}

static int __cdecl CheckedConfigure(HWND owner, HINSTANCE instance)
{
    if (!plugin_entries->on_configure)
        return 0;
    return (int)CallEntry(ENTRY(on_configure), 2, (uintptr_t)owner, (uintptr_t)instance);
}

static int __cdecl CheckedGetSettings(void *destination)
{
    return (int)CallEntry(ENTRY(on_get_settings), 1, (uintptr_t)destination);
}

static int __cdecl CheckedSetSettings(const void *source, int size)
{
    return (int)CallEntry(ENTRY(on_set_settings), 2, (uintptr_t)source, (uintptr_t)(intptr_t)size);
}

int PluginConventionFaults(void)
{
    return convention_faults;
}

int PluginLoad(LoadedPlugin *plugin, const char *dll_path)
{
    static int lock_ready;
    if (!lock_ready) {
        InitializeCriticalSection(&message_lock);
        lock_ready = 1;
    }
    memset(plugin, 0, sizeof(*plugin));
    plugin->module = LoadLibraryA(dll_path);
    if (!plugin->module) {
        Err("error: cannot load %s (error %lu)\n", dll_path, (unsigned long)GetLastError());
        return 0;
    }
    plugin->message_box_patched = PatchImport(plugin->module, "user32.dll", "MessageBoxA", (void *)RecordMessageBox);
    if (!plugin->message_box_patched)
        Err("warning: %s imports no user32!MessageBoxA; its messages cannot be caught\n", dll_path);

    const void *get_table = (const void *)GetProcAddress(plugin->module, "GetOutputPluginTable");
    if (!get_table) {
        Err("error: %s does not export GetOutputPluginTable\n", dll_path);
        PluginUnload(plugin);
        return 0;
    }
    OutputPluginTable *t = (OutputPluginTable *)CallEntry("GetOutputPluginTable", get_table, 0);
    if (!t || !t->on_init || !t->on_exit || !t->on_output || !t->on_get_settings || !t->on_set_settings) {
        Err("error: the plug-in table of %s is incomplete\n", dll_path);
        PluginUnload(plugin);
        return 0;
    }
    // The host keeps the plug-in's words and calls its own checked entries.
    plugin_entries = t;
    checked_table = *t;
    checked_table.on_init = CheckedInit;
    checked_table.on_exit = CheckedExit;
    checked_table.on_output = CheckedOutput;
    checked_table.on_configure = CheckedConfigure;
    checked_table.on_get_settings = CheckedGetSettings;
    checked_table.on_set_settings = CheckedSetSettings;
    plugin->table = &checked_table;
    return 1;
}

void PluginUnload(LoadedPlugin *plugin)
{
    if (plugin->module)
        FreeLibrary(plugin->module);
    plugin->module = NULL;
    plugin->table = NULL;
}
