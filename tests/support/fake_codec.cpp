#include "tests/support/fake_codec.h"

#include <string.h>

#include <array>
#include <utility>

static std::vector<FakeCodecSpec> specs;
static std::vector<FakeCall> calls;
static int decompress_count[FAKE_CODEC_MAX];

uint32_t Fourcc(const char *four)
{
    return mmioFOURCC(four[0], four[1], four[2], four[3]);
}

static void FillInfo(const FakeCodecSpec &s, ICINFO *info)
{
    memset(info, 0, sizeof(*info));
    info->dwSize = sizeof(*info);
    info->fccType = ICTYPE_VIDEO;
    info->fccHandler = s.fcc;
    info->dwFlags = s.vidcf;
    info->dwVersionICM = ICVERSION;
    for (size_t i = 0; i < s.name.size() && i < 15; i++)
        info->szName[i] = (WCHAR)(uint8_t)s.name[i];
    // Units above 0xFF show that the catalogue keeps only the low byte.
    for (size_t i = 0; i < s.name.size() && i < 127; i++)
        info->szDescription[i] = (WCHAR)(uint8_t)s.name[i] | (s.name[i] == '~' ? 0x3000 : 0);
}

static int Accepts(const FakeCodecSpec &s, const BITMAPINFOHEADER *in)
{
    if (!in)
        return 0;
    if (in->biCompression == BI_RGB && in->biBitCount == 24)
        return s.rgb;
    if (in->biCompression == Fourcc("YUY2") && in->biBitCount == 16)
        return s.yuy2;
    return 0;
}

static void Copy(std::vector<uint8_t> &to, const void *from, size_t n)
{
    if (from)
        to.assign((const uint8_t *)from, (const uint8_t *)from + n);
}

static LRESULT Compress(int n, const FakeCodecSpec &s, ICCOMPRESS *icc, FakeCall &call)
{
    Copy(call.extra, icc->lpbiInput, sizeof(BITMAPINFOHEADER));
    call.input_first = icc->lpInput ? *(const uint8_t *)icc->lpInput : 0;
    call.prev_first = icc->lpPrev ? *(const uint8_t *)icc->lpPrev : -1;
    call.flags_before = icc->lpdwFlags ? *icc->lpdwFlags : 0xFFFFFFFF;
    if (icc->lFrameNum == s.refuse_frame)
        return ICERR_ERROR;
    uint32_t size = 100;
    if (!s.sizes.empty())
        size = s.sizes[(size_t)icc->lFrameNum < s.sizes.size() ? icc->lFrameNum : s.sizes.size() - 1];
    uint32_t room = s.out_size > 0 ? (uint32_t)s.out_size : 0;
    uint8_t *out = (uint8_t *)icc->lpOutput;
    for (uint32_t i = 0; i < size && i < room; i++)
        out[i] = (uint8_t)(icc->lFrameNum * 7 + i + n);
    icc->lpbiOutput->biSizeImage = size + s.overstate;
    int key = (icc->dwFlags & ICCOMPRESS_KEYFRAME) ||
              (s.key_every > 0 && icc->lFrameNum % s.key_every == 0);
    if (icc->lpdwFlags)
        *icc->lpdwFlags = key ? AVIIF_KEYFRAME : 0;
    if (icc->lpckid)
        *icc->lpckid = 0x12345678;
    return ICERR_OK;
}

static LRESULT Message(int n, DWORD_PTR id, UINT msg, LPARAM p1, LPARAM p2)
{
    if (n >= (int)specs.size())
        return 0;
    const FakeCodecSpec &s = specs[n];
    FakeCall call;
    call.codec = n;
    call.msg = msg;
    call.p1 = p1;
    call.p2 = p2;
    call.thread = GetCurrentThreadId();
    LRESULT result = ICERR_UNSUPPORTED;
    switch (msg) {
    case DRV_LOAD:
    case DRV_ENABLE:
    case DRV_DISABLE:
    case DRV_FREE:
    case DRV_CLOSE:
        result = 1;
        break;
    case DRV_OPEN: {
        const ICOPEN *open = (const ICOPEN *)p2;
        Copy(call.data, open, sizeof(ICOPEN));
        int mode = open ? (int)open->dwFlags : 0;
        int ok = mode == ICMODE_COMPRESS ? s.open_compress
                 : mode == ICMODE_DECOMPRESS ? s.open_decompress : 1;
        result = ok ? n + 1 : 0;
        break;
    }
    case ICM_GETINFO:
        if (id == 0 || s.get_info) {
            FillInfo(s, (ICINFO *)p1);
            result = sizeof(ICINFO);
        } else {
            result = 0;
        }
        break;
    case ICM_CONFIGURE:
        result = s.configure ? ICERR_OK : ICERR_UNSUPPORTED;
        break;
    case ICM_ABOUT:
        result = s.about ? ICERR_OK : ICERR_UNSUPPORTED;
        break;
    case ICM_GETDEFAULTQUALITY:
    case ICM_GETDEFAULTKEYFRAMERATE: {
        int32_t v = msg == ICM_GETDEFAULTQUALITY ? s.default_quality : s.default_key_rate;
        if (v >= 0) {
            *(DWORD *)p1 = (DWORD)v;
            result = ICERR_OK;
        }
        break;
    }
    case ICM_COMPRESS_QUERY:
        Copy(call.data, (const void *)p1, sizeof(BITMAPINFOHEADER));
        result = Accepts(s, (const BITMAPINFOHEADER *)p1) ? ICERR_OK : ICERR_BADFORMAT;
        break;
    case ICM_SETSTATE:
        Copy(call.data, (const void *)p1, (size_t)p2);
        result = p2;
        break;
    case ICM_COMPRESS_GET_FORMAT:
        Copy(call.extra, (const void *)p1, sizeof(BITMAPINFOHEADER));
        if (!p2) {
            result = s.format_size;
        } else if (s.format_fails) {
            result = ICERR_BADFORMAT;
        } else {
            BITMAPINFOHEADER *out = (BITMAPINFOHEADER *)p2;
            const BITMAPINFOHEADER *in = (const BITMAPINFOHEADER *)p1;
            memset(out, 0, s.format_size);
            *out = *in;
            out->biSize = s.format_size;
            out->biCompression = s.fcc;
            for (uint32_t i = sizeof(*out); i < s.format_size; i++)
                ((uint8_t *)out)[i] = (uint8_t)(i * 3);
            result = ICERR_OK;
        }
        break;
    case ICM_COMPRESS_FRAMES_INFO:
        Copy(call.data, (const void *)p1, sizeof(ICCOMPRESSFRAMES));
        result = ICERR_OK;
        break;
    case ICM_COMPRESS_BEGIN:
    case ICM_COMPRESS_END:
    case ICM_DECOMPRESS_END:
        result = ICERR_OK;
        break;
    case ICM_COMPRESS_GET_SIZE:
        result = s.out_size;
        break;
    case ICM_DECOMPRESS_BEGIN:
        result = s.decompress_begin ? ICERR_OK : ICERR_BADFORMAT;
        break;
    case ICM_COMPRESS:
        Copy(call.data, (const void *)p1, sizeof(ICCOMPRESS));
        result = Compress(n, s, (ICCOMPRESS *)p1, call);
        break;
    case ICM_DECOMPRESS: {
        ICDECOMPRESS *icd = (ICDECOMPRESS *)p1;
        Copy(call.data, icd, sizeof(ICDECOMPRESS));
        Copy(call.extra, icd->lpbiInput, sizeof(BITMAPINFOHEADER));
        // A recognisable picture: the next compress can tell it was handed this.
        const BITMAPINFOHEADER *o = icd->lpbiOutput;
        uint32_t bytes = ((o->biBitCount * o->biWidth + 7) / 8 + 3) / 4 * 4 * o->biHeight;
        memset(icd->lpOutput, 0xA0 + (++decompress_count[n] & 0x3F), bytes);
        result = ICERR_OK;
        break;
    }
    default:
        break;
    }
    calls.push_back(call);
    return result;
}

template <int N>
static LRESULT CALLBACK FakeProc(DWORD_PTR id, HDRVR, UINT msg, LPARAM p1, LPARAM p2)
{
    return Message(N, id, msg, p1, p2);
}

template <int... I>
static std::array<DRIVERPROC, sizeof...(I)> MakeProcs(std::integer_sequence<int, I...>)
{
    return {{&FakeProc<I>...}};
}

static const std::array<DRIVERPROC, FAKE_CODEC_MAX> procs =
    MakeProcs(std::make_integer_sequence<int, FAKE_CODEC_MAX>{});

void FakeCodecsRemove()
{
    for (const FakeCodecSpec &s : specs)
        ICRemove(ICTYPE_VIDEO, s.fcc, 0);
    specs.clear();
}

void FakeCodecsInstall(const std::vector<FakeCodecSpec> &list)
{
    FakeCodecsRemove();
    specs = list;
    memset(decompress_count, 0, sizeof(decompress_count));
    for (size_t i = 0; i < specs.size() && i < FAKE_CODEC_MAX; i++)
        ICInstall(ICTYPE_VIDEO, specs[i].fcc, (LPARAM)procs[i], NULL, ICINSTALL_FUNCTION);
    calls.clear();
}

FakeCodecSpec &FakeSpec(int codec)
{
    return specs[codec];
}

std::vector<FakeCall> &FakeCalls()
{
    return calls;
}

void FakeCallsClear()
{
    calls.clear();
}

std::vector<FakeCall> FakeCallsOf(UINT msg, int codec)
{
    std::vector<FakeCall> out;
    for (const FakeCall &c : calls)
        if (c.msg == msg && (codec < 0 || c.codec == codec))
            out.push_back(c);
    return out;
}

std::vector<UINT> FakeMessageOrder(int codec)
{
    std::vector<UINT> out;
    for (const FakeCall &c : calls)
        if (c.codec == codec)
            out.push_back(c.msg);
    return out;
}
