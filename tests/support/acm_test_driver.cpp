#include "acm_test_driver.h"

#include <string.h>

// The driver side of the ACM: messages and structures of msacmdrv.h, which
// the cross compiler does not ship.
#define TACMDM_DRIVER_DETAILS (ACMDM_BASE + 10)
#define TACMDM_FORMATTAG_DETAILS (ACMDM_BASE + 25)
#define TACMDM_FORMAT_DETAILS (ACMDM_BASE + 26)
#define TACMDM_FORMAT_SUGGEST (ACMDM_BASE + 27)
#define TACMDM_STREAM_OPEN (ACMDM_BASE + 76)
#define TACMDM_STREAM_CLOSE (ACMDM_BASE + 77)
#define TACMDM_STREAM_SIZE (ACMDM_BASE + 78)
#define TACMDM_STREAM_CONVERT (ACMDM_BASE + 79)
#define TACMDM_STREAM_PREPARE (ACMDM_BASE + 81)
#define TACMDM_STREAM_UNPREPARE (ACMDM_BASE + 82)

struct DrvStreamInstance {
    DWORD cbStruct;
    WAVEFORMATEX *pwfxSrc;
    WAVEFORMATEX *pwfxDst;
    void *pwfltr;
    DWORD_PTR dwCallback;
    DWORD_PTR dwInstance;
    DWORD fdwOpen;
    DWORD fdwDriver;
    DWORD_PTR dwDriver;
    HACMSTREAM has;
};

struct DrvStreamSize {
    DWORD cbStruct;
    DWORD fdwSize;
    DWORD cbSrcLength;
    DWORD cbDstLength;
};

TestCodecDriver test_codecs[2];

WAVEFORMATEX TestCodecFormat(int rate, int channels)
{
    WAVEFORMATEX f;
    f.wFormatTag = TEST_CODEC_TAG;
    f.nChannels = (WORD)channels;
    f.nSamplesPerSec = (DWORD)rate;
    f.wBitsPerSample = 16;
    f.nBlockAlign = (WORD)(channels * 2 * TEST_CODEC_FRAMES);
    f.nAvgBytesPerSec = (DWORD)rate * (DWORD)channels * 2;
    f.cbSize = 0;
    return f;
}

static LRESULT DriverDetails(ACMDRIVERDETAILSW *d)
{
    DWORD size = d->cbStruct;
    ACMDRIVERDETAILSW full;
    memset(&full, 0, sizeof(full));
    full.cbStruct = size < sizeof(full) ? size : sizeof(full);
    full.fccType = ACMDRIVERDETAILS_FCCTYPE_AUDIOCODEC;
    full.wMid = 0xFF;
    full.vdwACM = 0x03320000;
    full.vdwDriver = 0x01000000;
    full.fdwSupport = ACMDRIVERDETAILS_SUPPORTF_CODEC;
    full.cFormatTags = 2;
    lstrcpyW(full.szShortName, L"Test block codec");
    lstrcpyW(full.szLongName, L"Test block codec");
    memcpy(d, &full, full.cbStruct);
    return MMSYSERR_NOERROR;
}

static LRESULT FormatTagDetails(ACMFORMATTAGDETAILSW *t, DWORD query)
{
    DWORD index;
    if (query == ACM_FORMATTAGDETAILSF_INDEX)
        index = t->dwFormatTagIndex;
    else if (query == ACM_FORMATTAGDETAILSF_FORMATTAG || query == ACM_FORMATTAGDETAILSF_LARGESTSIZE)
        index = t->dwFormatTag == WAVE_FORMAT_PCM ? 0 : t->dwFormatTag == TEST_CODEC_TAG ? 1 : 2;
    else
        return MMSYSERR_NOTSUPPORTED;
    if (index > 1)
        return ACMERR_NOTPOSSIBLE;
    t->dwFormatTagIndex = index;
    t->dwFormatTag = index ? TEST_CODEC_TAG : WAVE_FORMAT_PCM;
    t->cbFormatSize = index ? sizeof(WAVEFORMATEX) : sizeof(PCMWAVEFORMAT);
    t->fdwSupport = ACMDRIVERDETAILS_SUPPORTF_CODEC;
    t->cStandardFormats = 0;
    lstrcpyW(t->szFormatTag, index ? L"Test block codec" : L"PCM");
    return MMSYSERR_NOERROR;
}

static int Takes(const WAVEFORMATEX *src, const WAVEFORMATEX *dst)
{
    return src->wFormatTag == WAVE_FORMAT_PCM && src->wBitsPerSample == 16 &&
           dst->wFormatTag == TEST_CODEC_TAG && src->nChannels == dst->nChannels &&
           src->nSamplesPerSec == dst->nSamplesPerSec &&
           dst->nBlockAlign == src->nBlockAlign * TEST_CODEC_FRAMES;
}

static LRESULT Convert(TestCodecDriver *drv, DrvStreamInstance *si, ACMSTREAMHEADER *h)
{
    DWORD flags = h->dwReservedDriver[0];   // fdwConvert of the driver's header
    drv->stats.converts++;
    if (flags & ACM_STREAMCONVERTF_END)
        drv->stats.end_converts++;
    if (drv->fail_after >= 0 && drv->stats.converts > drv->fail_after)
        return MMSYSERR_ERROR;
    DWORD block = si->pwfxDst->nBlockAlign;
    DWORD whole = h->cbSrcLength / block;
    if (whole > h->cbDstLength / block)
        whole = h->cbDstLength / block;
    DWORD n = whole * block;
    memcpy(h->pbDst, h->pbSrc, n);
    DWORD used = n, out = n;
    DWORD rest = h->cbSrcLength - n;
    if ((flags & ACM_STREAMCONVERTF_END) && !(flags & ACM_STREAMCONVERTF_BLOCKALIGN) && rest &&
        rest < block && h->cbDstLength - out >= block) {
        memcpy(h->pbDst + out, h->pbSrc + used, rest);
        memset(h->pbDst + out + rest, 0, block - rest);
        used += rest;
        out += block;
    }
    h->cbSrcLengthUsed = used;
    h->cbDstLengthUsed = out;
    return MMSYSERR_NOERROR;
}

static LRESULT Message(TestCodecDriver *drv, DWORD_PTR, HDRVR, UINT msg, LPARAM p1, LPARAM p2)
{
    switch (msg) {
    case DRV_LOAD:
    case DRV_FREE:
    case DRV_ENABLE:
    case DRV_DISABLE:
        return 1;
    case DRV_OPEN:
        drv->stats.driver_opens++;
        return 1;
    case DRV_CLOSE:
        drv->stats.driver_closes++;
        return 1;
    case TACMDM_DRIVER_DETAILS:
        return DriverDetails((ACMDRIVERDETAILSW *)p1);
    case TACMDM_FORMATTAG_DETAILS:
        return FormatTagDetails((ACMFORMATTAGDETAILSW *)p1, (DWORD)p2);
    case TACMDM_FORMAT_DETAILS:
    case TACMDM_FORMAT_SUGGEST:
        return ACMERR_NOTPOSSIBLE;
    case TACMDM_STREAM_OPEN: {
        DrvStreamInstance *si = (DrvStreamInstance *)p1;
        drv->stats.open_attempts++;
        if (drv->refuse_open || !Takes(si->pwfxSrc, si->pwfxDst))
            return ACMERR_NOTPOSSIBLE;
        if (!(si->fdwOpen & ACM_STREAMOPENF_QUERY)) {
            drv->stats.stream_opens++;
            drv->stats.open_thread = GetCurrentThreadId();
        }
        return MMSYSERR_NOERROR;
    }
    case TACMDM_STREAM_CLOSE:
        drv->stats.stream_closes++;
        drv->stats.close_thread = GetCurrentThreadId();
        return MMSYSERR_NOERROR;
    case TACMDM_STREAM_SIZE: {
        DrvStreamInstance *si = (DrvStreamInstance *)p1;
        DrvStreamSize *s = (DrvStreamSize *)p2;
        DWORD block = si->pwfxDst->nBlockAlign;
        if ((s->fdwSize & ACM_STREAMSIZEF_QUERYMASK) == ACM_STREAMSIZEF_SOURCE)
            s->cbDstLength = (s->cbSrcLength + block - 1) / block * block;
        else
            s->cbSrcLength = s->cbDstLength / block * block;
        return MMSYSERR_NOERROR;
    }
    case TACMDM_STREAM_CONVERT:
        return Convert(drv, (DrvStreamInstance *)p1, (ACMSTREAMHEADER *)p2);
    case TACMDM_STREAM_PREPARE:
    case TACMDM_STREAM_UNPREPARE:
        return MMSYSERR_NOTSUPPORTED;
    }
    if (msg >= ACMDM_BASE)
        return MMSYSERR_NOTSUPPORTED;
    return DefDriverProc(0, NULL, msg, p1, p2);
}

static LRESULT CALLBACK Proc0(DWORD_PTR id, HDRVR h, UINT msg, LPARAM p1, LPARAM p2)
{
    return Message(&test_codecs[0], id, h, msg, p1, p2);
}

static LRESULT CALLBACK Proc1(DWORD_PTR id, HDRVR h, UINT msg, LPARAM p1, LPARAM p2)
{
    return Message(&test_codecs[1], id, h, msg, p1, p2);
}

void TestCodecReset(void)
{
    for (int i = 0; i < 2; i++) {
        memset(&test_codecs[i].stats, 0, sizeof(test_codecs[i].stats));
        test_codecs[i].fail_after = -1;
        test_codecs[i].refuse_open = 0;
    }
}

int TestCodecInstall(void)
{
    static int installed;
    if (!installed) {
        DRIVERPROC procs[2] = {Proc0, Proc1};
        TestCodecReset();
        for (int i = 0; i < 2; i++)
            if (acmDriverAddA(&test_codecs[i].id, GetModuleHandleA(NULL), (LPARAM)procs[i], 0,
                              ACM_DRIVERADDF_FUNCTION | ACM_DRIVERADDF_LOCAL) != 0)
                return 0;
        installed = 1;
    }
    TestCodecReset();
    return 1;
}
