// The write-behind output file on real files: order of bytes across ring
// wrap-around, patches while the ring is busy, 64-bit offsets, synchronous
// mode, unit sizes, long names and a disk that fills up.
#include <doctest/doctest.h>

#include <windows.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <vector>

#include "fileio/write_behind_file.h"
#include "plugin/messages.h"
#include "tests/support/test_files.h"

static uint32_t rng_state;

static uint32_t Random(uint32_t below)
{
    rng_state = rng_state * 1664525u + 1013904223u;
    return (rng_state >> 8) % below;
}

static std::vector<uint8_t> RandomBytes(size_t n)
{
    std::vector<uint8_t> v(n);
    for (auto &b : v)
        b = (uint8_t)Random(256);
    return v;
}

// What the file should hold, by absolute offset.
struct FileModel {
    std::vector<uint8_t> bytes;
    uint64_t origin = 0;   // offset of bytes[0]

    void Put(uint64_t at, const uint8_t *data, size_t n)
    {
        REQUIRE(at >= origin);
        size_t i = (size_t)(at - origin);
        if (bytes.size() < i + n)
            bytes.resize(i + n, 0);
        memcpy(bytes.data() + i, data, n);
    }
};

// Appends n fresh bytes at the file's current end of data.
static void Append(FileModel &model, size_t n)
{
    std::vector<uint8_t> data = RandomBytes(n);
    uint64_t at = output_file.base + output_file.position;
    REQUIRE(AppendBytes(data.data(), (uint32_t)n) == 1);
    model.Put(at, data.data(), n);
}

static void CheckFileHolds(const char *path, const FileModel &model)
{
    REQUIRE(model.origin == 0);
    size_t size = 0;
    uint8_t *data = ReadWholeFile(path, &size);
    REQUIRE(data != nullptr);
    CHECK(size == model.bytes.size());
    size_t n = size < model.bytes.size() ? size : model.bytes.size();
    size_t first_difference = n;
    for (size_t i = 0; i < n; i++) {
        if (data[i] != model.bytes[i]) {
            first_difference = i;
            break;
        }
    }
    INFO("first difference at byte ", first_difference);
    CHECK(first_difference == n);
    free(data);
}

// Reads n bytes at a 64-bit offset of a file.
static std::vector<uint8_t> ReadAt(const char *path, uint64_t at, size_t n)
{
    std::vector<uint8_t> out(n);
    HANDLE h = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, 0, NULL);
    REQUIRE(h != INVALID_HANDLE_VALUE);
    LARGE_INTEGER offset;
    offset.QuadPart = (LONGLONG)at;
    REQUIRE(SetFilePointerEx(h, offset, NULL, FILE_BEGIN));
    DWORD got = 0;
    REQUIRE(ReadFile(h, out.data(), (DWORD)n, &got, NULL));
    CHECK(got == n);
    CloseHandle(h);
    return out;
}

static uint64_t FileSize(const char *path)
{
    WIN32_FILE_ATTRIBUTE_DATA data;
    REQUIRE(GetFileAttributesExA(path, GetFileExInfoStandard, &data));
    return (uint64_t)data.nFileSizeHigh << 32 | data.nFileSizeLow;
}

// Cluster size of the volume that holds folder, as the system reports it.
static uint32_t VolumeCluster(const char *folder)
{
    char root[4] = {folder[0], folder[1], folder[2], 0};
    DWORD sectors = 0, bytes = 0, free_clusters = 0, clusters = 0;
    if (!GetDiskFreeSpaceA(root, &sectors, &bytes, &free_clusters, &clusters))
        return 0;
    uint32_t cluster = sectors * bytes;
    return cluster >= 512 ? cluster : 0;
}

// A scratch folder for one test case; the name is relative to it when the
// case wants the no-cluster path (a name without a backslash).
struct Scratch {
    char folder[MAX_PATH];
    char path[MAX_PATH];

    Scratch() { REQUIRE(MakeTempFolder(folder) == 1); }
    ~Scratch()
    {
        // A folder cannot go while it is the current one.
        SetCurrentDirectoryA("C:\\");
        RemoveTempFolder(folder);
    }

    int Open(const char *name, uint32_t unit, bool relative = false)
    {
        snprintf(path, sizeof(path), "%s%s", folder, name);
        output_file.frame_capacity = 100;
        if (relative) {
            REQUIRE(SetCurrentDirectoryA(folder));
            return OpenOutputFile(name, unit);
        }
        return OpenOutputFile(path, unit);
    }
};

TEST_CASE("appended bytes reach the disk in order")
{
    struct Pattern {
        const char *what;
        uint32_t unit;
        bool relative;      // no cluster size: unaligned units
        uint32_t max_piece;  // appends of 1..max_piece bytes
        size_t total;
    };
    const Pattern patterns[] = {
        {"unit 4096, random pieces", 4096, false, 3 * 4096, 300000},
        {"unit 64 KiB, random pieces", 65536, false, 100000, 3000000},
        {"unit 1000 unaligned, random pieces", 1000, true, 5000, 100000},
        {"unit 7 unaligned, random pieces", 7, true, 40, 20000},
        {"unit 4096, one byte at a time", 4096, false, 1, 40000},
        {"unit 3 unaligned, one byte at a time", 3, true, 1, 3000},
    };
    rng_state = 1;
    for (const Pattern &p : patterns) {
        INFO(doctest::String(p.what));
        Scratch scratch;
        REQUIRE(scratch.Open("stream.avi", p.unit, p.relative) == 1);
        CHECK(output_file.ring_mode == 1);
        CHECK(output_file.writer.thread != NULL);
        if (p.relative)
            CHECK(output_file.cluster_size == 0);
        FileModel model;
        size_t total = 0;
        while (total < p.total) {
            size_t n = 1 + Random(p.max_piece);
            Append(model, n);
            total += n;
        }
        CHECK(output_file.position == total);
        CloseOutputFile();
        CheckFileHolds(scratch.path, model);
    }
}

TEST_CASE("an append larger than the whole ring")
{
    rng_state = 2;
    const struct {
        uint32_t unit;
        bool relative;
    } cases[] = {{4096, false}, {1000, true}, {5, true}};
    for (const auto &c : cases) {
        INFO("unit ", c.unit);
        Scratch scratch;
        REQUIRE(scratch.Open("big.avi", c.unit, c.relative) == 1);
        uint32_t ring = output_file.ring_size;
        REQUIRE(ring >= 4 * c.unit);
        FileModel model;
        Append(model, 10);
        Append(model, 3 * (size_t)ring + 5);
        Append(model, ring - 1);
        Append(model, 3);
        CloseOutputFile();
        CheckFileHolds(scratch.path, model);
    }
}

TEST_CASE("patches land at their offsets while the ring is busy")
{
    rng_state = 3;
    for (int relative = 0; relative < 2; relative++) {
        INFO("relative name ", relative);
        Scratch scratch;
        REQUIRE(scratch.Open("patch.avi", relative ? 1500 : 4096, relative != 0) == 1);
        uint8_t *aligned = (uint8_t *)PageAlloc(8192);
        REQUIRE(aligned != nullptr);
        FileModel model;
        for (int step = 0; step < 400; step++) {
            Append(model, 1 + Random(6000));
            if (step == 200) {
                // A new RIFF begins where the data ends.
                REQUIRE(DrainRing() == 1);
                output_file.base += output_file.position;
                output_file.position = 0;
                Append(model, 1 + Random(100));
            }
            if (step % 7 != 3)
                continue;
            uint32_t resume = output_file.position;
            uint64_t base = output_file.base;
            std::vector<uint8_t> patch = RandomBytes(1 + Random(64));
            uint32_t k = (uint32_t)patch.size();
            if (resume < k)
                continue;
            uint32_t at = Random(resume - k + 1);
            switch (step % 3) {
            case 0:
                SeekInRiff(at);
                WriteAtCursor(patch.data(), k);
                model.Put(base + at, patch.data(), k);
                break;
            case 1:
                SeekAbsolute(base + at);
                WriteAtCursor(patch.data(), k);
                model.Put(base + at, patch.data(), k);
                break;
            default: {
                // A whole aligned block at a cluster-aligned offset, which
                // may go through the unbuffered handle.
                uint64_t end = base + resume;
                if (end < 8192)
                    break;
                uint64_t block_at = Random((uint32_t)(end - 4096)) / 4096 * 4096;
                memcpy(aligned, patch.data(), k);
                memset(aligned + k, step & 0xFF, 4096 - k);
                SeekAbsolute(block_at);
                WriteAtCursor(aligned, 4096);
                model.Put(block_at, aligned, 4096);
                break;
            }
            }
            SeekInRiff(resume);
            CHECK(output_file.position == resume);
            CHECK(output_file.base == base);
        }
        PageFree(aligned);
        CloseOutputFile();
        CheckFileHolds(scratch.path, model);
    }
}

// Starts a new RIFF near the given offset without writing up to it: a sparse
// jump that keeps file offsets congruent with ring offsets, as they are in a
// file written from its start, so unit pieces stay cluster-aligned.
static uint64_t JumpNear(uint64_t target)
{
    REQUIRE(DrainRing() == 1);
    uint64_t ring = output_file.ring_size;
    uint64_t at = target - target % ring + (output_file.base + output_file.position) % ring;
    output_file.base = at;
    output_file.position = 0;
    SeekInRiff(0);
    return at;
}

TEST_CASE("offsets past 4 GiB")
{
    // Sparse: only the few megabytes written take space.
    rng_state = 4;
    Scratch scratch;
    REQUIRE(scratch.Open("large.avi", 65536) == 1);

    FileModel head;
    Append(head, 100000);

    // A RIFF that starts just below 4 GiB and runs across it.
    FileModel across;
    across.origin = JumpNear(0xFFFC0000u);
    REQUIRE(across.origin < 0x100000000ull);
    REQUIRE(across.origin + 300000 > 0x100000000ull);
    Append(across, 300000);
    static const uint8_t high_patch[] = "past 4 GiB";
    static const uint8_t low_patch[] = "below 4 GiB";
    uint32_t past = (uint32_t)(0x100000000ull - across.origin) + 10;
    SeekInRiff(past);
    WriteAtCursor(high_patch, sizeof(high_patch));
    across.Put(across.origin + past, high_patch, sizeof(high_patch));
    SeekInRiff(5);
    WriteAtCursor(low_patch, sizeof(low_patch));
    across.Put(across.origin + 5, low_patch, sizeof(low_patch));
    SeekInRiff(output_file.position);
    for (int i = 0; i < 40; i++)
        Append(across, 1 + Random(20000));

    // One far above, with a high word of 2.
    FileModel far_riff;
    far_riff.origin = JumpNear(0x240000000ull);
    Append(far_riff, 150000);
    SeekInRiff(1000);
    WriteAtCursor(high_patch, sizeof(high_patch));
    far_riff.Put(far_riff.origin + 1000, high_patch, sizeof(high_patch));
    SeekAbsolute(0x100000000ull + 20);
    WriteAtCursor(low_patch, sizeof(low_patch));
    across.Put(0x100000000ull + 20, low_patch, sizeof(low_patch));
    SeekInRiff(output_file.position);
    for (int i = 0; i < 40; i++)
        Append(far_riff, 1 + Random(20000));
    CloseOutputFile();

    CHECK(FileSize(scratch.path) == far_riff.origin + far_riff.bytes.size());
    for (const FileModel *m : {&head, &across, &far_riff}) {
        INFO("region at ", m->origin);
        CHECK(ReadAt(scratch.path, m->origin, m->bytes.size()) == m->bytes);
    }
    DeleteFileA(scratch.path);
}

TEST_CASE("write unit 0 writes synchronously")
{
    rng_state = 5;
    Scratch scratch;
    REQUIRE(scratch.Open("sync.avi", 0) == 1);
    CHECK(output_file.ring_mode == 0);
    CHECK(output_file.ring == nullptr);
    CHECK(output_file.writer.thread == NULL);
    CHECK(output_file.entries != nullptr);

    FileModel model;
    for (int i = 0; i < 50; i++) {
        Append(model, 1 + Random(9000));
        LARGE_INTEGER size;
        REQUIRE(GetFileSizeEx(output_file.handle, &size));
        CHECK((uint64_t)size.QuadPart == model.bytes.size());
    }
    static const uint8_t patch[] = "patched";
    uint32_t resume = output_file.position;
    SeekInRiff(100);
    WriteAtCursor(patch, sizeof(patch));
    model.Put(100, patch, sizeof(patch));
    SeekInRiff(resume);
    Append(model, 77);
    CHECK(DrainRing() == 1);
    CloseOutputFile();
    CheckFileHolds(scratch.path, model);
}

TEST_CASE("the write unit is rounded up to whole clusters")
{
    Scratch scratch;
    uint32_t cluster = VolumeCluster(scratch.folder);

    SUBCASE("on a volume with a cluster size")
    {
        if (!cluster) {
            MESSAGE("skipped: the temp volume reports no cluster size");
            return;
        }
        const uint32_t units[] = {100 * 1024 + 1, 65536, 1, cluster - 1, cluster + 1};
        for (uint32_t unit : units) {
            INFO("unit ", unit, " cluster ", cluster);
            REQUIRE(scratch.Open("unit.avi", unit) == 1);
            CHECK(output_file.cluster_size == cluster);
            CHECK(output_file.write_unit == (unit + cluster - 1) / cluster * cluster);
            CHECK(output_file.ring_size == 4 * output_file.write_unit);
            CloseOutputFile();
        }
    }

    SUBCASE("a name without a backslash after its second character has no cluster size")
    {
        REQUIRE(scratch.Open("unit.avi", 100 * 1024 + 1, true) == 1);
        CHECK(output_file.cluster_size == 0);
        CHECK(output_file.write_unit == 100 * 1024 + 1);
        CHECK(output_file.ring_size == 4 * (100 * 1024 + 1));
        CloseOutputFile();
    }

    SUBCASE("a unit too large for a 32-bit ring is clamped")
    {
        REQUIRE(scratch.Open("unit.avi", 0xFFFFFFFFu) == 1);
        CHECK(output_file.write_unit <= WRITE_UNIT_MAX);
        CHECK((uint64_t)output_file.ring_size == 4ull * output_file.write_unit);
        FileModel model;
        rng_state = 6;
        Append(model, 5000);
        CloseOutputFile();
        CheckFileHolds(scratch.path, model);
    }
}

TEST_CASE("WriteUnitFromKiB")
{
    CHECK(WriteUnitFromKiB(0) == 0);
    CHECK(WriteUnitFromKiB(1) == 1024);
    CHECK(WriteUnitFromKiB(4096) == 4u * 1024 * 1024);
    CHECK(WriteUnitFromKiB(-1) == 4u * 1024 * 1024);
    CHECK(WriteUnitFromKiB(-4096) == 4u * 1024 * 1024);
    CHECK(WriteUnitFromKiB(INT32_MIN) == 4u * 1024 * 1024);
    CHECK(WriteUnitFromKiB(WRITE_UNIT_MAX / 1024) == WRITE_UNIT_MAX);
    CHECK(WriteUnitFromKiB(WRITE_UNIT_MAX / 1024 + 1) == WRITE_UNIT_MAX);
    CHECK(WriteUnitFromKiB(1048575) == WRITE_UNIT_MAX);
    CHECK(WriteUnitFromKiB(1048576) == WRITE_UNIT_MAX);
    CHECK(WriteUnitFromKiB(4194304) == WRITE_UNIT_MAX);
    CHECK(WriteUnitFromKiB(INT32_MAX) == WRITE_UNIT_MAX);
    // Four units must still be a 32-bit size.
    CHECK(4ull * WRITE_UNIT_MAX <= 0xFFFFFFFFull);
}

TEST_CASE("a file name longer than 259 characters is refused")
{
    Scratch scratch;
    size_t folder_length = strlen(scratch.folder);
    REQUIRE(folder_length < 200);
    char name[400];
    char path[400];
    for (size_t length : {260u, 261u, 300u}) {
        INFO("length ", length);
        memset(name, 'n', sizeof(name));
        name[length - folder_length] = 0;
        snprintf(path, sizeof(path), "%s%s", scratch.folder, name);
        REQUIRE(strlen(path) == length);
        output_file.frame_capacity = 100;
        CHECK(OpenOutputFile(path, 4096) == 0);
        CHECK(output_file.handle == INVALID_HANDLE_VALUE);
        CHECK(output_file.ring_mode == 0);
        CHECK(output_file.writer.thread == NULL);
    }
    // Nothing was created, not even under a shortened name.
    char pattern[MAX_PATH];
    snprintf(pattern, sizeof(pattern), "%s*.*", scratch.folder);
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA(pattern, &found);
    int files = 0;
    if (search != INVALID_HANDLE_VALUE) {
        do {
            if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
                files++;
        } while (FindNextFileA(search, &found));
        FindClose(search);
    }
    CHECK(files == 0);

    // 259 characters still fit.
    memset(name, 'n', sizeof(name));
    name[259 - folder_length] = 0;
    REQUIRE(scratch.Open(name, 4096) == 1);
    REQUIRE(strlen(scratch.path) == 259);
    static const uint8_t data[] = "fits";
    CHECK(AppendBytes(data, sizeof(data)) == 1);
    CloseOutputFile();
    CHECK(FileSize(scratch.path) == sizeof(data));
}

TEST_CASE("the handle is unbuffered only for aligned writes at aligned offsets")
{
    Scratch scratch;
    REQUIRE(scratch.Open("handle.avi", 65536) == 1);
    uint32_t c = output_file.cluster_size;
    if (!c) {
        MESSAGE("skipped: the temp volume reports no cluster size");
        CloseOutputFile();
        return;
    }
    uint8_t *buffer = (uint8_t *)PageAlloc(2 * c);
    REQUIRE(buffer != nullptr);
    rng_state = 7;
    std::vector<uint8_t> random = RandomBytes(2 * c);
    memcpy(buffer, random.data(), 2 * c);
    FileModel model;
    uint64_t at = 0;
    auto write = [&](const uint8_t *p, uint32_t n) {
        CHECK(RawWrite(p, n) == n);
        model.Put(at, p, n);
        at += n;
    };

    CHECK(output_file.unbuffered == 0);
    write(buffer, c);             // aligned everything
    CHECK(output_file.unbuffered == 1);
    write(buffer, c);
    CHECK(output_file.unbuffered == 1);
    write(buffer + 1, 100);       // unaligned address and length
    CHECK(output_file.unbuffered == 0);
    write(buffer, c);             // aligned block at an unaligned offset
    CHECK(output_file.unbuffered == 0);
    write(buffer, c - 100);       // back on a boundary, odd length
    CHECK(output_file.unbuffered == 0);
    write(buffer + 512, c);       // address off the cluster
    CHECK(output_file.unbuffered == 0);
    write(buffer, c);
    CHECK(output_file.unbuffered == 1);
    SeekAbsolute(c);              // a seek leaves a write-through handle
    at = c;
    CHECK(output_file.unbuffered == 0);
    write(buffer + c, c);
    CHECK(output_file.unbuffered == 1);

    PageFree(buffer);
    CloseOutputFile();
    CheckFileHolds(scratch.path, model);
}

TEST_CASE("a handle that cannot be reopened makes writes fail, and close copes")
{
    Scratch scratch;
    REQUIRE(scratch.Open("reopen.avi", 0) == 1);
    static const uint8_t data[] = "before";
    REQUIRE(AppendBytes(data, sizeof(data)) == 1);
    // The file can no longer be found under its name.
    strcpy(output_file.name, "C:\\velnik-no-such-folder\\x.avi");
    CHECK(output_file.cluster_size != 0);
    CHECK(ReopenOutputFile(FILE_FLAG_NO_BUFFERING) == 0);
    CHECK(output_file.handle == INVALID_HANDLE_VALUE);
    CHECK(output_file.cluster_size == 0);
    CHECK(AppendBytes(data, sizeof(data)) == 0);
    CHECK(output_file.position == 2 * sizeof(data));
    CloseOutputFile();
    CHECK(output_file.handle == INVALID_HANDLE_VALUE);
    CHECK(FileSize(scratch.path) == sizeof(data));
}

static int memory_messages;
static void CountMessage(const char *text)
{
    if (strcmp(text, "memory error ") == 0)
        memory_messages++;
}

TEST_CASE("PageAlloc gives zeroed, page-aligned blocks and reports a failure")
{
    memory_messages = 0;
    SetMessageObserver(CountMessage);
    uint8_t *block = (uint8_t *)PageAlloc(10000);
    REQUIRE(block != nullptr);
    CHECK((uintptr_t)block % 4096 == 0);
    int nonzero = 0;
    for (int i = 0; i < 10000; i++)
        nonzero += block[i] != 0;
    CHECK(nonzero == 0);
    memset(block, 0xFF, 10000);
    PageFree(block);
    PageFree(nullptr);
    CHECK(memory_messages == 0);

    CHECK(PageAlloc(0) == nullptr);
    CHECK(memory_messages == 1);
    SetMessageObserver(nullptr);
}

// Waits until the writer thread has taken everything from the ring without
// asking for a drain, so it writes whole units only.
static void WaitRingEmpty()
{
    for (int i = 0; i < 10000 && output_file.write_offset.load() != output_file.read_offset.load();
         i++)
        REQUIRE(WorkerWaitDone(&output_file.writer) == 1);
    REQUIRE(output_file.write_offset.load() == output_file.read_offset.load());
}

TEST_CASE("after a patch the writer goes back to aligned units")
{
    rng_state = 9;
    Scratch scratch;
    REQUIRE(scratch.Open("realign.avi", 4096) == 1);
    uint32_t unit = output_file.write_unit;
    if (!output_file.cluster_size) {
        MESSAGE("skipped: the temp volume reports no cluster size");
        CloseOutputFile();
        return;
    }
    FileModel model;
    Append(model, unit);
    WaitRingEmpty();
    CHECK(output_file.unbuffered == 1);

    // A patch drains the ring in the middle of a unit and leaves a
    // write-through handle.
    Append(model, 100);
    static const uint8_t patch[] = "patch";
    uint32_t resume = output_file.position;
    SeekInRiff(10);
    WriteAtCursor(patch, sizeof(patch));
    model.Put(10, patch, sizeof(patch));
    SeekInRiff(resume);
    CHECK(output_file.unbuffered == 0);

    // Up to the next unit boundary goes through write-through, then a whole
    // unit at an aligned offset through the unbuffered handle again; all of
    // it short of the ring's end, where a wrap would realign by itself.
    Append(model, unit - 100);
    Append(model, unit);
    REQUIRE(output_file.write_offset.load() == 3 * unit);
    WaitRingEmpty();
    CHECK(output_file.unbuffered == 1);

    CloseOutputFile();
    CheckFileHolds(scratch.path, model);
}

// The Wine path of a folder on the small disk that tests/run.sh mounts.
static bool SmallDisk(char *out)
{
    char unix_path[MAX_PATH];
    DWORD n = GetEnvironmentVariableA("VELNIK_SMALL_DISK", unix_path, sizeof(unix_path));
    if (n == 0 || n >= sizeof(unix_path) - 4 || unix_path[0] != '/')
        return false;
    snprintf(out, MAX_PATH, "Z:%s\\", unix_path);
    for (char *p = out; *p; p++)
        if (*p == '/')
            *p = '\\';
    return GetFileAttributesA(out) != INVALID_FILE_ATTRIBUTES;
}

// Appends until the disk is full; returns the bytes accepted before.
static size_t FillDisk(FileModel &model)
{
    for (int i = 0; i < 2000; i++) {
        // Into the model first: part of a refused append may reach the disk.
        std::vector<uint8_t> data = RandomBytes(10000);
        model.Put(output_file.base + output_file.position, data.data(), data.size());
        if (AppendBytes(data.data(), (uint32_t)data.size()) != 1)
            return model.bytes.size();
    }
    return 0;
}

static void CheckClosedAndPrefix(const char *path, const FileModel &model)
{
    // No handle left open: opening without sharing would fail otherwise.
    HANDLE h = CreateFileA(path, GENERIC_WRITE, 0, NULL, OPEN_EXISTING, 0, NULL);
    CHECK(h != INVALID_HANDLE_VALUE);
    if (h != INVALID_HANDLE_VALUE)
        CloseHandle(h);
    size_t size = 0;
    uint8_t *data = ReadWholeFile(path, &size);
    REQUIRE(data != nullptr);
    CHECK(size <= model.bytes.size());
    CHECK(size > 0);
    if (size <= model.bytes.size())
        CHECK(memcmp(data, model.bytes.data(), size) == 0);
    free(data);
    CHECK(DeleteFileA(path));
}

TEST_CASE("a full disk fails the next append and drain, and close still closes")
{
    char disk[MAX_PATH];
    if (!SmallDisk(disk)) {
        MESSAGE("skipped: VELNIK_SMALL_DISK names no small disk (tests/run.sh mounts one as root)");
        return;
    }
    char path[MAX_PATH];
    snprintf(path, sizeof(path), "%sfull.avi", disk);
    rng_state = 8;
    output_file.frame_capacity = 100;

    SUBCASE("in the writer thread")
    {
        REQUIRE(OpenOutputFile(path, 65536) == 1);
        FileModel model;
        REQUIRE(FillDisk(model) > 0);
        static const uint8_t one = 1;
        CHECK(AppendBytes(&one, 1) == 0);
        CHECK(DrainRing() == 0);
        CHECK(output_file.writer.running.load() == 0);
        CloseOutputFile();
        CHECK(output_file.writer.thread == NULL);
        CHECK(output_file.ring == nullptr);
        CheckClosedAndPrefix(path, model);
    }

    SUBCASE("synchronously")
    {
        REQUIRE(OpenOutputFile(path, 0) == 1);
        FileModel model;
        REQUIRE(FillDisk(model) > 0);
        CloseOutputFile();
        CheckClosedAndPrefix(path, model);
    }
}
