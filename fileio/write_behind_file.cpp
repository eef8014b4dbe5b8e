// The output file. Appends fill a ring that the writer thread empties in
// whole write units; a unit that starts on a cluster boundary goes through an
// unbuffered handle, anything else through a write-through handle.
#include "fileio/write_behind_file.h"

#include <string.h>

#include "plugin/messages.h"
#include "plugin/texts.h"

WriteBehindFile output_file;

#define ATTR_WRITE_THROUGH 0x88000080   // write-through, sequential scan, normal
#define ATTR_PLAIN 0x08000080           // sequential scan, normal
#define DEFAULT_UNIT_KIB 4096
#define ENTRY_ARRAY_MIN 4096            // the array doubles as scratch for "JUNK" fill

void *PageAlloc(uint32_t size)
{
    void *p = size ? VirtualAlloc(NULL, size, MEM_COMMIT, PAGE_READWRITE) : NULL;
    if (!p)
        ShowWarning(TEXT_MEMORY_ERROR);
    return p;
}

void PageFree(void *p)
{
    if (p)
        VirtualFree(p, 0, MEM_RELEASE);
}

uint32_t WriteUnitFromKiB(int32_t kib)
{
    if (kib < 0)
        kib = DEFAULT_UNIT_KIB;
    if ((uint32_t)kib > WRITE_UNIT_MAX / 1024)
        return WRITE_UNIT_MAX;
    return (uint32_t)kib * 1024;
}

static uint64_t FilePointer(void)
{
    LONG high = 0;
    DWORD low = SetFilePointer(output_file.handle, 0, &high, FILE_CURRENT);
    return (uint64_t)(uint32_t)high << 32 | low;
}

static void SetFilePointer64(uint64_t offset)
{
    LONG high = (LONG)(offset >> 32);
    SetFilePointer(output_file.handle, (LONG)(uint32_t)offset, &high, FILE_BEGIN);
}

int ReopenOutputFile(DWORD flag)
{
    WriteBehindFile *f = &output_file;
    if (f->handle != INVALID_HANDLE_VALUE) {
        FlushFileBuffers(f->handle);
        CloseHandle(f->handle);
    }
    f->handle = CreateFileA(f->name, GENERIC_WRITE, 0, NULL, OPEN_EXISTING, flag | ATTR_PLAIN, NULL);
    if (f->handle != INVALID_HANDLE_VALUE) {
        f->unbuffered = flag == FILE_FLAG_NO_BUFFERING;
        return 1;
    }
    // No more aligned writes in this export; one retry with write-through.
    f->cluster_size = 0;
    Sleep(100);
    f->handle = CreateFileA(f->name, GENERIC_WRITE, 0, NULL, OPEN_EXISTING, ATTR_WRITE_THROUGH, NULL);
    if (f->handle == INVALID_HANDLE_VALUE)
        return 0;
    f->unbuffered = 0;
    return 1;
}

// Switches the handle to suit the write, keeping the file pointer.
static void MatchHandleToWrite(const void *buffer, uint32_t n)
{
    WriteBehindFile *f = &output_file;
    uint32_t cluster = f->cluster_size;
    if (!cluster)
        return;
    int aligned = n % cluster == 0 && (uintptr_t)buffer % cluster == 0;
    if (!f->unbuffered && aligned) {
        uint64_t at = FilePointer();
        if ((uint32_t)at % cluster == 0) {
            ReopenOutputFile(FILE_FLAG_NO_BUFFERING);
            SetFilePointer64(at);
        }
    } else if (f->unbuffered && !aligned) {
        uint64_t at = FilePointer();
        ReopenOutputFile(FILE_FLAG_WRITE_THROUGH);
        SetFilePointer64(at);
    }
}

uint32_t RawWrite(const void *buffer, uint32_t n)
{
    MatchHandleToWrite(buffer, n);
    DWORD written = 0;
    WriteFile(output_file.handle, buffer, n, &written, NULL);   // a failure leaves written short
    return written;
}

int WriterTurn(void)
{
    WriteBehindFile *f = &output_file;
    for (;;) {
        if (f->writer.abandoned.load(std::memory_order_acquire))
            return 0;   // the owner has gone on without this thread
        uint32_t r = f->read_offset.load(std::memory_order_relaxed);
        uint32_t w = f->write_offset.load(std::memory_order_acquire);
        uint32_t d = r > w ? f->ring_size - r : w - r;
        if (!f->drain_requests.load(std::memory_order_acquire)) {
            if (d >= f->write_unit)
                d = f->write_unit - r % f->write_unit;   // end on a unit boundary
            else if (r < w)
                return 1;                                // less than a unit waits
        }
        if (d == 0)
            return 1;
        if (RawWrite(f->ring + r, d) != d)
            return 0;   // the thread stops; appends and drains fail from now on
        r += d;
        f->read_offset.store(r == f->ring_size ? 0 : r, std::memory_order_release);
        WorkerNotifyReady(&f->writer);
    }
}

static void ReleaseOutputFile(void)
{
    WriteBehindFile *f = &output_file;
    if (f->ring_mode) {
        f->ring_mode = 0;
        WorkerStop(&f->writer);
    }
    PageFree(f->entries);
    f->entries = NULL;
    // A writer thread abandoned by a timed-out stop may still be inside
    // WriteFile on the ring and the handle: both stay with it.
    if (!WorkerAbandoned(&f->writer)) {
        PageFree(f->ring);
        if (f->handle != INVALID_HANDLE_VALUE)
            CloseHandle(f->handle);
    }
    f->ring = NULL;
    f->handle = INVALID_HANDLE_VALUE;
}

int OpenOutputFile(const char *name, uint32_t unit)
{
    WriteBehindFile *f = &output_file;
    if (WorkerAbandoned(&f->writer))
        return 0;   // the last export's writer thread still uses this record
    f->entries = NULL;
    f->ring = NULL;
    f->ring_mode = 0;
    f->write_offset.store(0);
    f->read_offset.store(0);
    f->drain_requests.store(0);
    f->cluster_size = 0;
    f->unbuffered = 0;
    f->failed = 0;
    f->position = 0;
    f->base = 0;
    f->handle = INVALID_HANDLE_VALUE;

    size_t len = strlen(name);
    if (len >= sizeof(f->name))
        return 0;   // would not fit the name buffer: refused before anything is created
    memcpy(f->name, name, len + 1);

    // Volume root: up to the first backslash from the third character on.
    char root[MAX_PATH];
    memcpy(root, f->name, len + 1);
    char *cut = len > 2 ? strchr(root + 2, '\\') : NULL;
    DWORD sectors, bytes, free_clusters, clusters;
    if (cut) {
        cut[1] = 0;
        if (GetDiskFreeSpaceA(root, &sectors, &bytes, &free_clusters, &clusters)) {
            uint64_t cluster = (uint64_t)sectors * bytes;
            f->cluster_size = cluster >= 512 && cluster <= WRITE_UNIT_MAX ? (uint32_t)cluster : 0;
        }
    }

    // Memory first: an export that cannot have its buffers must not have
    // truncated a file already at that path.
    uint64_t entry_bytes = 8 * (uint64_t)f->frame_capacity;
    if (entry_bytes < ENTRY_ARRAY_MIN)
        entry_bytes = ENTRY_ARRAY_MIN;
    f->entries_bytes = entry_bytes > 0xFFFFF000u ? 0xFFFFF000u : (uint32_t)entry_bytes;
    f->entries = (uint32_t *)PageAlloc(f->entries_bytes);
    if (!f->entries)
        return 0;
    if (unit) {
        if (unit > WRITE_UNIT_MAX)
            unit = WRITE_UNIT_MAX;
        if (f->cluster_size && unit % f->cluster_size)
            unit += f->cluster_size - unit % f->cluster_size;
        f->write_unit = unit;
        f->ring_size = 4 * unit;
        f->ring = (uint8_t *)PageAlloc(f->ring_size);
        if (!f->ring) {
            ReleaseOutputFile();
            return 0;
        }
    }

    f->handle = CreateFileA(f->name, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS,
                            unit ? ATTR_WRITE_THROUGH : ATTR_PLAIN, NULL);
    if (f->handle == INVALID_HANDLE_VALUE) {
        ReleaseOutputFile();
        return 0;
    }
    if (unit == 0)
        return 1;

    f->ring_mode = 1;
    if (!WorkerStart(&f->writer, WriterTurn, 0)) {
        f->ring_mode = 0;
        ReleaseOutputFile();
        return 0;
    }
    return 1;
}

int AppendBytes(const void *data, uint32_t n)
{
    WriteBehindFile *f = &output_file;
    const uint8_t *src = (const uint8_t *)data;
    f->position += n;
    // Once an append is short nothing more is appended: it would land at the
    // wrong offset, after a gap that the disk never got.
    if (f->failed)
        return 0;
    if (!f->ring_mode) {
        if (RawWrite(data, n) == n)
            return 1;
        f->failed = 1;
        return 0;
    }
    while (n > 0) {
        uint32_t r = f->read_offset.load(std::memory_order_acquire);
        uint32_t w = f->write_offset.load(std::memory_order_relaxed);
        uint32_t s = r > w ? r - w - 1 : r == 0 ? f->ring_size - w - 1 : f->ring_size - w;
        uint32_t m = s < n ? s : n;
        int alive;
        if (m > 0) {
            memcpy(f->ring + w, src, m);
            w += m;
            f->write_offset.store(w == f->ring_size ? 0 : w, std::memory_order_release);
            src += m;
            n -= m;
            alive = WorkerSignal(&f->writer);
        } else {
            alive = WorkerWaitDone(&f->writer);
        }
        if (!alive) {
            f->failed = 1;
            return 0;
        }
    }
    return 1;
}

int DrainRing(void)
{
    WriteBehindFile *f = &output_file;
    if (!f->ring_mode)
        return 1;
    int ok = 1;
    f->drain_requests.fetch_add(1, std::memory_order_release);
    while (f->write_offset.load(std::memory_order_acquire) !=
           f->read_offset.load(std::memory_order_acquire)) {
        if (!WorkerWaitDone(&f->writer)) {
            ok = 0;
            break;
        }
    }
    f->drain_requests.fetch_sub(1, std::memory_order_release);
    return ok;
}

void SeekAbsolute(uint64_t offset)
{
    WriteBehindFile *f = &output_file;
    DrainRing();
    if (f->unbuffered)
        ReopenOutputFile(FILE_FLAG_WRITE_THROUGH);
    SetFilePointer64(offset);
}

void SeekInRiff(uint32_t p)
{
    SeekAbsolute(output_file.base + p);
}

void WriteAtCursor(const void *data, uint32_t n)
{
    DrainRing();
    RawWrite(data, n);
}

int OutputFileIntact(void)
{
    if (!DrainRing())
        output_file.failed = 1;
    return !output_file.failed;
}

uint64_t OutputFileSize(void)
{
    LARGE_INTEGER size;
    if (!GetFileSizeEx(output_file.handle, &size))
        return 0;
    return (uint64_t)size.QuadPart;
}

int CutOutputFileAt(uint64_t end)
{
    WriteBehindFile *f = &output_file;
    if (f->ring_mode) {
        // What is still in the ring cannot reach the disk; it is dropped.
        f->ring_mode = 0;
        WorkerStop(&f->writer);
    }
    if (WorkerAbandoned(&f->writer) || f->handle == INVALID_HANDLE_VALUE)
        return 0;
    f->cluster_size = 0;   // the rest is small: no more aligned writes
    if (f->unbuffered && !ReopenOutputFile(FILE_FLAG_WRITE_THROUGH))
        return 0;
    SetFilePointer64(end);
    f->failed = 0;
    f->position = (uint32_t)(end - f->base);
    // A file that already ends there is left alone: setting the end where it
    // is may first grow the file by a byte (Wine does), which a full disk
    // refuses.
    return OutputFileSize() == end || SetEndOfFile(f->handle);
}

void CloseOutputFile(void)
{
    DrainRing();
    ReleaseOutputFile();
}
