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

// Walks the import descriptors of a loaded image. The optional header decides
// the thunk width, so PE32 and PE32+ images are read alike.
int PatchImport(HMODULE module, const char *dll_name, const char *function, void *replacement)
{
    uint8_t *base = (uint8_t *)module;
    IMAGE_DOS_HEADER *dos = (IMAGE_DOS_HEADER *)base;
    if (dos->e_magic != IMAGE_DOS_SIGNATURE)
        return 0;
    IMAGE_NT_HEADERS32 *nt32 = (IMAGE_NT_HEADERS32 *)(base + dos->e_lfanew);
    if (nt32->Signature != IMAGE_NT_SIGNATURE)
        return 0;

    IMAGE_DATA_DIRECTORY imports;
    size_t thunk_size;
    uint64_t ordinal_flag;
    if (nt32->OptionalHeader.Magic == IMAGE_NT_OPTIONAL_HDR32_MAGIC) {
        if (nt32->OptionalHeader.NumberOfRvaAndSizes <= IMAGE_DIRECTORY_ENTRY_IMPORT)
            return 0;
        imports = nt32->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
        thunk_size = 4;
        ordinal_flag = IMAGE_ORDINAL_FLAG32;
    } else if (nt32->OptionalHeader.Magic == IMAGE_NT_OPTIONAL_HDR64_MAGIC) {
        IMAGE_NT_HEADERS64 *nt64 = (IMAGE_NT_HEADERS64 *)nt32;
        if (nt64->OptionalHeader.NumberOfRvaAndSizes <= IMAGE_DIRECTORY_ENTRY_IMPORT)
            return 0;
        imports = nt64->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
        thunk_size = 8;
        ordinal_flag = IMAGE_ORDINAL_FLAG64;
    } else {
        return 0;
    }
    // A loaded image is always of this process's width.
    if (thunk_size != sizeof(void *) || imports.VirtualAddress == 0)
        return 0;

    // Without a name table the slots can only be matched by address.
    HMODULE target = GetModuleHandleA(dll_name);
    void *bound = target ? (void *)GetProcAddress(target, function) : NULL;

    int patched = 0;
    IMAGE_IMPORT_DESCRIPTOR *descriptor = (IMAGE_IMPORT_DESCRIPTOR *)(base + imports.VirtualAddress);
    for (; descriptor->Name; descriptor++) {
        if (lstrcmpiA((const char *)(base + descriptor->Name), dll_name) != 0)
            continue;
        uint8_t *names = descriptor->OriginalFirstThunk ? base + descriptor->OriginalFirstThunk : NULL;
        uint8_t *slots = base + descriptor->FirstThunk;
        for (size_t k = 0;; k++) {
            void **slot = (void **)(slots + k * thunk_size);
            if (*slot == NULL)
                break;
            int match;
            if (names) {
                uint64_t entry = thunk_size == 4 ? *(uint32_t *)(names + k * 4) : *(uint64_t *)(names + k * 8);
                if (entry == 0)
                    break;
                match = !(entry & ordinal_flag) &&
                        strcmp((const char *)((IMAGE_IMPORT_BY_NAME *)(base + (uint32_t)entry))->Name, function) == 0;
            } else {
                match = bound && *slot == bound;
            }
            if (!match)
                continue;
            DWORD old_protect;
            if (!VirtualProtect(slot, thunk_size, PAGE_READWRITE, &old_protect))
                continue;
            *slot = replacement;
            VirtualProtect(slot, thunk_size, old_protect, &old_protect);
            patched++;
        }
    }
    return patched;
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

    typedef OutputPluginTable *(__cdecl * GetTableFn)(void);
    GetTableFn get_table = (GetTableFn)(void *)GetProcAddress(plugin->module, "GetOutputPluginTable");
    if (!get_table) {
        Err("error: %s does not export GetOutputPluginTable\n", dll_path);
        PluginUnload(plugin);
        return 0;
    }
    plugin->table = get_table();
    OutputPluginTable *t = plugin->table;
    if (!t || !t->on_init || !t->on_exit || !t->on_output || !t->on_get_settings || !t->on_set_settings) {
        Err("error: the plug-in table of %s is incomplete\n", dll_path);
        PluginUnload(plugin);
        return 0;
    }
    return 1;
}

void PluginUnload(LoadedPlugin *plugin)
{
    if (plugin->module)
        FreeLibrary(plugin->module);
    plugin->module = NULL;
    plugin->table = NULL;
}
