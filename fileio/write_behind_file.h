// The export's output file: appends go through a write-behind ring that a
// writer thread flushes in large cluster-aligned units; patches drain the
// ring and write directly. Also the page allocator for large blocks.
#pragma once

#include <windows.h>

#include <atomic>
#include <stdint.h>

#include "pipeline/worker_thread.h"

struct WriteBehindFile {
    char name[MAX_PATH];
    HANDLE handle;
    uint32_t cluster_size;        // 0: no aligned (unbuffered) writes
    int unbuffered;               // handle opened with FILE_FLAG_NO_BUFFERING
    uint64_t base;                // absolute offset of the current RIFF
    uint32_t position;            // position within the current RIFF
    uint32_t frame_capacity;      // set by the driver before open
    int32_t save_unit_kib;        // "saveunitsize", set by the driver before open
    uint32_t *entries;            // 8 x frame capacity bytes
    uint32_t entries_bytes;
    uint32_t write_unit;
    uint8_t *ring;
    uint32_t ring_size;
    std::atomic<uint32_t> write_offset;   // producer only
    std::atomic<uint32_t> read_offset;    // writer thread only
    std::atomic<uint32_t> drain_requests;
    int ring_mode;
    int failed;                   // an append did not reach the disk; later appends are refused
    WorkerThread writer;
};

extern WriteBehindFile output_file;

// Largest write unit in bytes. The ring is four units, committed in one
// piece inside the host's 2 GiB address space, which a video editor already
// crowds with its own frame caches and modules: its largest free range is
// often only a few hundred MiB. 32 MiB units make a 128 MiB ring, which such
// a host can still give; disks gain nothing from single writes past a few
// MiB. A ring that cannot be had still fails the export cleanly ("memory
// error ", then the creation-failure message).
#define WRITE_UNIT_MAX (32u * 1024 * 1024)

int OpenOutputFile(const char *name, uint32_t unit);
int AppendBytes(const void *data, uint32_t n);
int DrainRing(void);
void SeekInRiff(uint32_t p);
void SeekAbsolute(uint64_t offset);
void WriteAtCursor(const void *data, uint32_t n);
void CloseOutputFile(void);

// After a failed write. OutputFileIntact drains the ring and returns 1 while
// every append so far has reached the disk. OutputFileSize is the file's size
// on disk. CutOutputFileAt stops the writer thread, cuts the file at the
// absolute offset end and goes on writing synchronously from there, appends
// allowed again, with position = end - base. Returns 0 when the file could
// not be cut there (what lies behind then stays, outside the RIFF).
int OutputFileIntact(void);
uint64_t OutputFileSize(void);
int CutOutputFileAt(uint64_t end);

// Write unit in bytes for a "saveunitsize" in KiB: 0 for synchronous
// writing. A negative value takes the default of 4096 KiB; values above
// WRITE_UNIT_MAX, which could not make a 32-bit ring, are clamped to it.
uint32_t WriteUnitFromKiB(int32_t kib);

void *PageAlloc(uint32_t size);
void PageFree(void *p);

// Internal pieces, visible for tests.
uint32_t RawWrite(const void *buffer, uint32_t n);
int ReopenOutputFile(DWORD flag);
int WriterTurn(void);
