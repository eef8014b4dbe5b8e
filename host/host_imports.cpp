// Import slots of a loaded image, pointed elsewhere: the stand-in host sees
// the plug-in's message boxes this way, and tests see a program's calls.
#include "host/host.h"

#include <windows.h>

#include <stdint.h>
#include <string.h>

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
