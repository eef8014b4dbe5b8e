// Overlap of the host's frame fetch with compression: an export of N frames
// whose host takes H ms to deliver each frame and whose compressor takes C
// ms to compress it, timed against the ideal N x max(H, C) and against the
// same export with the compression worker forced off (everything on the
// host's thread, ideally N x (H + C)).
//
//   compress_overlap FOLDER [N H C [sleep|busy] [runs]]
//
// The compressor is a function driver inside this program; "sleep" spends
// its time in Sleep (no CPU), "busy" spins (CPU, so the two threads compete
// for cores as a real compressor would). Frames are 320x240 RGB, so the disk
// costs next to nothing. Medians of the runs are printed.
#include <windows.h>
#include <vfw.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <string>
#include <vector>

#include "pipeline/job_ring.h"
#include "plugin/messages.h"
#include "plugin/plugin.h"

static const DWORD FCC_SLOW = mmioFOURCC('S', 'L', 'O', 'W');
static int host_ms, codec_ms, busy;
static std::vector<uint8_t> frame;
static int frames_total;

static void Spend(int ms)
{
    if (!busy) {
        Sleep((DWORD)ms);
        return;
    }
    LARGE_INTEGER f, start, now;
    QueryPerformanceFrequency(&f);
    QueryPerformanceCounter(&start);
    do
        QueryPerformanceCounter(&now);
    while ((now.QuadPart - start.QuadPart) * 1000 < (LONGLONG)ms * f.QuadPart);
}

static LRESULT CALLBACK SlowCodec(DWORD_PTR id, HDRVR, UINT msg, LPARAM p1, LPARAM p2)
{
    switch (msg) {
    case DRV_LOAD:
    case DRV_ENABLE:
    case DRV_DISABLE:
    case DRV_FREE:
    case DRV_CLOSE:
        return 1;
    case DRV_OPEN:
        return 1;
    case ICM_GETINFO: {
        ICINFO *info = (ICINFO *)p1;
        memset(info, 0, sizeof(*info));
        info->dwSize = sizeof(*info);
        info->fccType = ICTYPE_VIDEO;
        info->fccHandler = FCC_SLOW;
        info->dwFlags = VIDCF_TEMPORAL | VIDCF_FASTTEMPORALC;
        return sizeof(*info);
    }
    case ICM_COMPRESS_QUERY:
        return ((BITMAPINFOHEADER *)p1)->biBitCount == 24 ? ICERR_OK : ICERR_BADFORMAT;
    case ICM_COMPRESS_GET_FORMAT:
        if (!p2)
            return sizeof(BITMAPINFOHEADER);
        *(BITMAPINFOHEADER *)p2 = *(BITMAPINFOHEADER *)p1;
        ((BITMAPINFOHEADER *)p2)->biCompression = FCC_SLOW;
        return ICERR_OK;
    case ICM_COMPRESS_GET_SIZE:
        return ((BITMAPINFOHEADER *)p1)->biSizeImage;
    case ICM_COMPRESS: {
        ICCOMPRESS *icc = (ICCOMPRESS *)p1;
        Spend(codec_ms);
        // A tenth of the frame, as a compressor would hand back.
        DWORD n = icc->lpbiInput->biSizeImage / 10;
        memcpy(icc->lpOutput, icc->lpInput, n);
        icc->lpbiOutput->biSizeImage = n;
        *icc->lpdwFlags = icc->lFrameNum % 30 == 0 ? AVIIF_KEYFRAME : 0;
        return ICERR_OK;
    }
    case ICM_COMPRESS_BEGIN:
    case ICM_COMPRESS_END:
        return ICERR_OK;
    }
    (void)id;
    (void)p2;
    return ICERR_UNSUPPORTED;
}

static int32_t __cdecl NoAbort(void)
{
    return 0;
}
static int32_t __cdecl Remaining(int32_t, int32_t)
{
    return 0;
}
static int32_t __cdecl Preview(void)
{
    return 0;
}
static void *__cdecl FetchVideo(int32_t i, uint32_t)
{
    Spend(host_ms);
    frame[0] = (uint8_t)i;
    return frame.data();
}
static void *__cdecl FetchAudio(int32_t, int32_t, int32_t *delivered)
{
    *delivered = 0;
    return NULL;
}

static double ExportMs(const std::string &path, int worker)
{
    OutputInfo info;
    memset(&info, 0, sizeof(info));
    info.flags = OUTPUT_HAS_VIDEO;
    info.width = 320;
    info.height = 240;
    info.rate = 30;
    info.scale = 1;
    info.frame_count = frames_total;
    info.file_path = path.c_str();
    info.fetch_audio = FetchAudio;
    info.abort_requested = NoAbort;
    info.show_remaining_time = Remaining;
    info.refresh_preview = Preview;
    info.fetch_video = FetchVideo;
    writer_context.video.fccHandler = FCC_SLOW;
    if (!worker)
        RingFailNextStart();
    LARGE_INTEGER f, a, b;
    QueryPerformanceFrequency(&f);
    QueryPerformanceCounter(&a);
    int ok = on_output(&info);
    QueryPerformanceCounter(&b);
    if (!ok) {
        fprintf(stderr, "export failed\n");
        exit(1);
    }
    return (double)(b.QuadPart - a.QuadPart) * 1000.0 / (double)f.QuadPart;
}

static double Median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

static void Quiet(const char *text)
{
    fprintf(stderr, "message: %s\n", text);
}

int main(int argc, char **argv)
{
    if (argc < 2) {
        fprintf(stderr, "usage: compress_overlap FOLDER [N H C [sleep|busy] [runs]]\n");
        return 2;
    }
    std::string folder = argv[1];
    frames_total = argc > 2 ? atoi(argv[2]) : 100;
    host_ms = argc > 3 ? atoi(argv[3]) : 10;
    codec_ms = argc > 4 ? atoi(argv[4]) : 10;
    busy = argc > 5 && !strcmp(argv[5], "busy");
    int runs = argc > 6 ? atoi(argv[6]) : 3;
    frame.assign(320 * 3 * 240, 0x55);
    SetMessageObserver(Quiet);
    if (!ICInstall(ICTYPE_VIDEO, FCC_SLOW, (LPARAM)SlowCodec, NULL, ICINSTALL_FUNCTION))
        return 3;
    on_init();
    std::string path = folder + "\\compress_overlap.avi";
    std::vector<double> with, without;
    for (int r = 0; r < runs; r++) {
        with.push_back(ExportMs(path, 1));
        without.push_back(ExportMs(path, 0));
    }
    on_exit();
    DeleteFileA(path.c_str());
    double ideal = (double)frames_total * (host_ms > codec_ms ? host_ms : codec_ms);
    double serial = (double)frames_total * (host_ms + codec_ms);
    double w = Median(with), wo = Median(without);
    printf("build %s under Wine; frames %d, host %d ms, compressor %d ms (%s), %d runs, medians:\n",
           sizeof(void *) == 8 ? "x64" : "i686", frames_total, host_ms, codec_ms,
           busy ? "busy" : "sleep", runs);
    printf("  with worker     %8.0f ms  = %.3f x N*max(H,C) (%.0f ms)\n", w, w / ideal, ideal);
    printf("  worker off      %8.0f ms  = %.3f x N*(H+C) (%.0f ms)\n", wo, wo / serial, serial);
    printf("  speed-up        %8.3f x  (worker off / with worker)\n", wo / w);
    return 0;
}
