// The plug-in's entries as the host calls them, and the host-path helpers.
#pragma once

#include <windows.h>

#include "plugin/context.h"

int __cdecl on_init(void);
int __cdecl on_exit(void);
int __cdecl on_output(OutputInfo *info);
int __cdecl on_configure(HWND owner, HINSTANCE instance);
int __cdecl on_get_settings(void *destination);
int __cdecl on_set_settings(const void *source, int size);

// Full path of the host's executable; "" when it cannot be had whole.
const char *HostModulePath(void);
// That path cut after its last separator ("" when unknown).
const char *HostDirectory(void);
// Pointer just past the last ':' or '\' of path, DBCS-aware.
const char *FileNamePart(const char *path);
// Composes "<host directory>orvane.ini" into out (MAX_PATH bytes). Returns 0,
// leaving out empty, when the host directory is unknown or the path would
// not fit; readers then take their defaults.
int HostIniPath(char *out);
// GetPrivateProfileIntA(section, key, fallback, file); fallback when file is
// null or empty.
int ReadHostIniInt(const char *file, const char *section, const char *key, int fallback);

// Forgets the cached host paths (tests point them elsewhere).
void HostPathsReset(const char *module_path_override);
