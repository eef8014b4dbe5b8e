// The platform's own ceiling for the export benchmark: N bytes written in
// 4 MiB blocks from one page-aligned buffer through a single unbuffered,
// write-through handle, on the calling thread, with no copying at all.
//   bench_wine_write.exe FILE BYTES   prints "elapsed: S s"
#include <windows.h>

#include <stdio.h>
#include <stdlib.h>

int main(int argc, char **argv)
{
    if (argc != 3) {
        fprintf(stderr, "usage: bench_wine_write FILE BYTES\n");
        return 2;
    }
    const DWORD block = 4u << 20;
    unsigned long long total = _strtoui64(argv[2], NULL, 10);
    BYTE *buffer = (BYTE *)VirtualAlloc(NULL, block, MEM_COMMIT, PAGE_READWRITE);
    HANDLE f = CreateFileA(argv[1], GENERIC_WRITE, 0, NULL, CREATE_ALWAYS,
                           FILE_FLAG_NO_BUFFERING | FILE_FLAG_WRITE_THROUGH | FILE_ATTRIBUTE_NORMAL, NULL);
    if (!buffer || f == INVALID_HANDLE_VALUE) {
        fprintf(stderr, "cannot create %s\n", argv[1]);
        return 1;
    }
    for (DWORD i = 0; i < block; i++)
        buffer[i] = (BYTE)i;
    LARGE_INTEGER frequency, start, stop;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&start);
    for (unsigned long long done = 0; done < total; done += block) {
        DWORD written = 0;
        if (!WriteFile(f, buffer, block, &written, NULL) || written != block) {
            fprintf(stderr, "write failed\n");
            return 1;
        }
    }
    CloseHandle(f);
    QueryPerformanceCounter(&stop);
    printf("elapsed: %.3f s\n", (double)(stop.QuadPart - start.QuadPart) / (double)frequency.QuadPart);
    return 0;
}
