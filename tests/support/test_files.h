// Scratch folders and whole-file reads for tests that use the disk.
#pragma once

#include <stddef.h>
#include <stdint.h>

// Makes a new empty folder under the temp path and writes its path, ending in
// a backslash, to out (MAX_PATH bytes). Returns 1, or 0 on failure.
int MakeTempFolder(char *out);
// Deletes the files directly inside folder, then the folder.
void RemoveTempFolder(const char *folder);
// The whole file in a malloc'd block (free it), its size in *size; null when
// the file cannot be read.
uint8_t *ReadWholeFile(const char *path, size_t *size);
// Creates or replaces path with exactly these bytes. Returns 1 or 0.
int WriteWholeFile(const char *path, const void *data, size_t size);
