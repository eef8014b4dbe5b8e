// A lossless sample video compressor for testing the plug-in against a real
// installable driver: Zip Motion Blocks Video at 32 bits per pixel.
//
// Frames are kept as 32-bit pixels (B, G, R, 0), rows top to bottom. A key
// frame is the whole picture; a delta frame has one vector per 16x16 block
// (always zero motion; bit 0 set when the block changed) followed by the
// XOR of every changed block against the previous picture. The payloads of
// one key frame and its delta frames form one deflate stream, flushed at
// the end of every frame.
//
// Handler codes select behaviours of the same driver:
//   "ZMBV"  fast temporal compression: keeps its own copy of the previous frame;
//   "ZMBP"  compresses against the previous frame the caller hands in (lpPrev),
//           so the caller must rebuild that frame by decompressing;
//   "ZMBO"  as "ZMBV", but announces a quarter of the uncompressed frame as
//           its largest output and pads every frame with empty deflate blocks
//           to twice the uncompressed frame: it writes more than it announced;
//   "ZMBL"  as "ZMBV" with a look-ahead: holds LAG frames back, answering 0
//           bytes meanwhile, and after the lFrameCount frames that
//           ICM_COMPRESS_FRAMES_INFO announced hands them over on further
//           calls; it takes the output header's biSizeImage as its room;
//   "ZMBN"  as "ZMBL", but never hands over the frames it holds.
#include <windows.h>
#include <vfw.h>

#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <zlib.h>

#define ZMBV_KEYFRAME 1
#define ZMBV_FORMAT_32BPP 8
#define ZMBV_BLOCK 16
#define ZMBV_KEY_HEADER 7
#define STATE_MAGIC 0x5342475Au   // "ZGBS"
#define CODEC_DEFAULT_QUALITY 7500
#define CODEC_DEFAULT_KEY_RATE 30
#define ID_LEVEL 100

static const DWORD FCC_ZMBV = mmioFOURCC('Z', 'M', 'B', 'V');
static const DWORD FCC_ZMBP = mmioFOURCC('Z', 'M', 'B', 'P');
static const DWORD FCC_ZMBO = mmioFOURCC('Z', 'M', 'B', 'O');
static const DWORD FCC_ZMBL = mmioFOURCC('Z', 'M', 'B', 'L');
static const DWORD FCC_ZMBN = mmioFOURCC('Z', 'M', 'B', 'N');
#define LAG 3

// What ICM_GETSTATE hands out and ICM_SETSTATE takes back.
struct SavedState {
    uint32_t magic;
    uint32_t level;   // deflate level 1..9; 0 = from the quality
};

struct Picture {
    int width, height;
    uint32_t *cur, *prev;   // width x height pixels each
    uint8_t *payload;       // one frame's uncompressed payload
    uint32_t payload_max;
};

struct Instance {
    DWORD fcc;
    int caller_prev;        // the "ZMBP" behaviour
    int overruns;           // the "ZMBO" behaviour
    int lags, drains;       // "ZMBL" (both), "ZMBN" (lags only)
    int32_t frame_count;    // lFrameCount of ICM_COMPRESS_FRAMES_INFO
    int32_t taken;          // frames compressed into the look-ahead
    uint8_t *held[LAG + 1]; // look-ahead, oldest first from held_first
    DWORD held_size[LAG + 1], held_flags[LAG + 1];
    int held_first, held_count;
    SavedState state;
    int32_t quality;
    int32_t key_rate;
    // Compression.
    int compressing;
    Picture enc;
    z_stream deflater;
    int since_key;
    int have_prev;
    int level_in_use;
    // Decompression.
    int decompressing;
    Picture dec;
    z_stream inflater;
    int dec_have_key;
    int dec_bw, dec_bh;     // block size of the current key frame
};

static HMODULE module_handle;

static int Ieq(DWORD a, DWORD b)
{
    for (int i = 0; i < 4; i++) {
        int x = (a >> (8 * i)) & 0xFF, y = (b >> (8 * i)) & 0xFF;
        if (x >= 'a' && x <= 'z')
            x -= 32;
        if (y >= 'a' && y <= 'z')
            y -= 32;
        if (x != y)
            return 0;
    }
    return 1;
}

static uint32_t DibStride(int width)
{
    return ((uint32_t)width * 24 + 31) / 32 * 4;
}

static int Blocks(int n)
{
    return (n + ZMBV_BLOCK - 1) / ZMBV_BLOCK;
}

static uint32_t VectorBytes(int width, int height)
{
    return ((uint32_t)(Blocks(width) * Blocks(height) * 2) + 3) & ~3u;
}

// Largest payload of a frame: the vectors and every block changed.
static uint32_t PayloadMax(int width, int height)
{
    return VectorBytes(width, height) + (uint32_t)width * height * 4;
}

static uint32_t CompressedMax(int width, int height)
{
    uint32_t n = PayloadMax(width, height);
    return ZMBV_KEY_HEADER + n + n / 8 + 1024;
}

static int SizeUsable(LONG width, LONG height)
{
    return width > 0 && height != 0 && width <= 8192 && height <= 8192 && height >= -8192;
}

static int AcceptsInput(const BITMAPINFOHEADER *in)
{
    return in && in->biCompression == BI_RGB && in->biBitCount == 24 &&
           SizeUsable(in->biWidth, in->biHeight);
}

static int IsOurFormat(const BITMAPINFOHEADER *bih)
{
    return bih && Ieq(bih->biCompression, FCC_ZMBV) && bih->biBitCount == 32 &&
           SizeUsable(bih->biWidth, bih->biHeight);
}

static void FreePicture(Picture *p)
{
    free(p->cur);
    free(p->prev);
    free(p->payload);
    memset(p, 0, sizeof(*p));
}

static int AllocPicture(Picture *p, int width, int height)
{
    FreePicture(p);
    size_t pixels = (size_t)width * height;
    p->width = width;
    p->height = height;
    p->payload_max = PayloadMax(width, height);
    p->cur = (uint32_t *)calloc(pixels, 4);
    p->prev = (uint32_t *)calloc(pixels, 4);
    p->payload = (uint8_t *)malloc(p->payload_max);
    if (!p->cur || !p->prev || !p->payload) {
        FreePicture(p);
        return 0;
    }
    return 1;
}

// 24-bit DIB (bottom-up unless the height is negative) to top-down pixels.
static void FromDib(const uint8_t *dib, LONG dib_height, int width, int height, uint32_t *out)
{
    uint32_t stride = DibStride(width);
    for (int y = 0; y < height; y++) {
        const uint8_t *row = dib + (size_t)stride * (dib_height > 0 ? height - 1 - y : y);
        uint32_t *o = out + (size_t)y * width;
        for (int x = 0; x < width; x++)
            o[x] = row[3 * x] | (uint32_t)row[3 * x + 1] << 8 | (uint32_t)row[3 * x + 2] << 16;
    }
}

static void ToDib(const uint32_t *in, int width, int height, LONG dib_height, uint8_t *dib)
{
    uint32_t stride = DibStride(width);
    for (int y = 0; y < height; y++) {
        uint8_t *row = dib + (size_t)stride * (dib_height > 0 ? height - 1 - y : y);
        const uint32_t *s = in + (size_t)y * width;
        for (int x = 0; x < width; x++) {
            row[3 * x] = (uint8_t)s[x];
            row[3 * x + 1] = (uint8_t)(s[x] >> 8);
            row[3 * x + 2] = (uint8_t)(s[x] >> 16);
        }
        memset(row + 3 * width, 0, stride - 3 * width);
    }
}

static int LevelFor(const Instance *in, int32_t quality)
{
    if (in->state.level >= 1 && in->state.level <= 9)
        return (int)in->state.level;
    if (quality < 0 || quality > 10000)
        quality = in->quality;
    return 1 + quality * 8 / 10000;
}

// Payload of a delta frame: vectors, then the XOR of the changed blocks.
static uint32_t BuildDelta(Picture *p)
{
    int bx = Blocks(p->width), by = Blocks(p->height);
    uint8_t *vec = p->payload;
    uint8_t *data = p->payload + VectorBytes(p->width, p->height);
    memset(vec, 0, VectorBytes(p->width, p->height));
    uint8_t *o = data;
    for (int j = 0; j < by; j++)
        for (int i = 0; i < bx; i++) {
            int x0 = i * ZMBV_BLOCK, y0 = j * ZMBV_BLOCK;
            int w = p->width - x0 < ZMBV_BLOCK ? p->width - x0 : ZMBV_BLOCK;
            int h = p->height - y0 < ZMBV_BLOCK ? p->height - y0 : ZMBV_BLOCK;
            int changed = 0;
            for (int y = 0; y < h && !changed; y++) {
                size_t at = (size_t)(y0 + y) * p->width + x0;
                changed = memcmp(p->cur + at, p->prev + at, (size_t)w * 4) != 0;
            }
            if (!changed)
                continue;
            vec[2 * (j * bx + i)] = 1;
            for (int y = 0; y < h; y++) {
                size_t at = (size_t)(y0 + y) * p->width + x0;
                for (int x = 0; x < w; x++) {
                    uint32_t v = p->cur[at + x] ^ p->prev[at + x];
                    memcpy(o, &v, 4);
                    o += 4;
                }
            }
        }
    return (uint32_t)(o - p->payload);
}

static LRESULT CompressBegin(Instance *in, const BITMAPINFOHEADER *src)
{
    if (!AcceptsInput(src))
        return ICERR_BADFORMAT;
    if (in->compressing) {
        deflateEnd(&in->deflater);
        in->compressing = 0;
    }
    if (!AllocPicture(&in->enc, src->biWidth, labs(src->biHeight)))
        return ICERR_MEMORY;
    memset(&in->deflater, 0, sizeof(in->deflater));
    in->level_in_use = LevelFor(in, in->quality);
    if (deflateInit(&in->deflater, in->level_in_use) != Z_OK) {
        FreePicture(&in->enc);
        return ICERR_MEMORY;
    }
    in->compressing = 1;
    in->since_key = 0;
    in->have_prev = 0;
    in->taken = 0;
    in->held_first = in->held_count = 0;
    for (int i = 0; in->lags && i <= LAG; i++) {
        free(in->held[i]);
        if (!(in->held[i] = (uint8_t *)malloc(CompressedMax(src->biWidth, labs(src->biHeight)))))
            return ICERR_MEMORY;
    }
    return ICERR_OK;
}

static void CompressEnd(Instance *in)
{
    if (in->compressing)
        deflateEnd(&in->deflater);
    in->compressing = 0;
    FreePicture(&in->enc);
    for (int i = 0; i <= LAG; i++) {
        free(in->held[i]);
        in->held[i] = NULL;
    }
}

// Compresses the caller's frame into out; the result's size and key flag.
static LRESULT Encode(Instance *in, ICCOMPRESS *icc, uint8_t *out, DWORD *size, DWORD *flags)
{
    Picture *p = &in->enc;
    const BITMAPINFOHEADER *src = icc->lpbiInput;
    FromDib((const uint8_t *)icc->lpInput, src->biHeight, p->width, p->height, p->cur);

    int key = (icc->dwFlags & ICCOMPRESS_KEYFRAME) != 0;
    if (in->key_rate > 0 && in->since_key >= in->key_rate)
        key = 1;
    if (in->caller_prev) {
        if (!icc->lpPrev || !icc->lpbiPrev)
            key = 1;
        else
            FromDib((const uint8_t *)icc->lpPrev, icc->lpbiPrev->biHeight, p->width, p->height,
                    p->prev);
    } else if (!in->have_prev) {
        key = 1;
    }

    uint32_t header;
    uint32_t n;
    if (key) {
        out[0] = ZMBV_KEYFRAME;
        out[1] = 0;   // version 0.1
        out[2] = 1;
        out[3] = 1;   // deflate
        out[4] = ZMBV_FORMAT_32BPP;
        out[5] = ZMBV_BLOCK;
        out[6] = ZMBV_BLOCK;
        header = ZMBV_KEY_HEADER;
        deflateReset(&in->deflater);
        int level = LevelFor(in, (int32_t)icc->dwQuality);
        if (level != in->level_in_use && deflateParams(&in->deflater, level, Z_DEFAULT_STRATEGY) == Z_OK)
            in->level_in_use = level;
        n = (uint32_t)p->width * p->height * 4;
        memcpy(p->payload, p->cur, n);
    } else {
        out[0] = 0;
        header = 1;
        n = BuildDelta(p);
    }

    z_stream *z = &in->deflater;
    z->next_in = p->payload;
    z->avail_in = n;
    z->next_out = out + header;
    z->avail_out = CompressedMax(p->width, p->height) - header;
    if (deflate(z, Z_SYNC_FLUSH) != Z_OK || z->avail_in != 0 || z->avail_out == 0)
        return ICERR_INTERNAL;
    *size = (DWORD)(z->next_out - out);
    *flags = key ? AVIIF_KEYFRAME : 0;

    if (!in->caller_prev) {
        uint32_t *t = p->prev;
        p->prev = p->cur;
        p->cur = t;
        in->have_prev = 1;
    }
    in->since_key = key ? 1 : in->since_key + 1;
    return ICERR_OK;
}

static void Deliver(ICCOMPRESS *icc, DWORD size, DWORD flags)
{
    icc->lpbiOutput->biSizeImage = size;
    if (icc->lpdwFlags)
        *icc->lpdwFlags = flags;
    if (icc->lpckid)
        *icc->lpckid = mmioFOURCC('d', 'c', 0, 0);
}

// Frames go into the look-ahead; the oldest comes out once it is full, or
// after the announced last frame while it drains.
static LRESULT CompressLagging(Instance *in, ICCOMPRESS *icc)
{
    if (icc->lpbiOutput->biSizeImage < CompressedMax(in->enc.width, in->enc.height))
        return ICERR_BADSIZE;
    int past_end = in->frame_count > 0 && in->taken >= in->frame_count;
    if (!past_end) {
        int slot = (in->held_first + in->held_count) % (LAG + 1);
        LRESULT r = Encode(in, icc, in->held[slot], &in->held_size[slot], &in->held_flags[slot]);
        if (r != ICERR_OK)
            return r;
        in->held_count++;
        in->taken++;
    }
    DWORD size = 0, flags = 0;
    if (in->held_count > LAG || (past_end && in->drains && in->held_count > 0)) {
        int slot = in->held_first;
        size = in->held_size[slot];
        flags = in->held_flags[slot];
        memcpy(icc->lpOutput, in->held[slot], size);
        in->held_first = (slot + 1) % (LAG + 1);
        in->held_count--;
    }
    Deliver(icc, size, flags);
    return ICERR_OK;
}

static LRESULT Compress(Instance *in, ICCOMPRESS *icc)
{
    Picture *p = &in->enc;
    const BITMAPINFOHEADER *src = icc->lpbiInput;
    if (!in->compressing || !AcceptsInput(src) || src->biWidth != p->width ||
        labs(src->biHeight) != p->height || !icc->lpInput || !icc->lpOutput)
        return ICERR_BADFORMAT;
    if (in->lags)
        return CompressLagging(in, icc);
    uint8_t *out = (uint8_t *)icc->lpOutput;
    DWORD size, flags;
    LRESULT r = Encode(in, icc, out, &size, &flags);
    if (r != ICERR_OK)
        return r;
    // Empty stored blocks: valid deflate that inflates to nothing.
    static const uint8_t empty_block[5] = {0, 0, 0, 0xFF, 0xFF};
    for (DWORD target = 2 * DibStride(p->width) * p->height; in->overruns && size + 5 <= target; size += 5)
        memcpy(out + size, empty_block, 5);
    Deliver(icc, size, flags);
    return ICERR_OK;
}

static LRESULT DecompressBegin(Instance *in, const BITMAPINFOHEADER *src, const BITMAPINFOHEADER *dst)
{
    if (!IsOurFormat(src) || (dst && (!AcceptsInput(dst) || dst->biWidth != src->biWidth ||
                                      labs(dst->biHeight) != labs(src->biHeight))))
        return ICERR_BADFORMAT;
    if (in->decompressing)
        inflateEnd(&in->inflater);
    in->decompressing = 0;
    if (!AllocPicture(&in->dec, src->biWidth, labs(src->biHeight)))
        return ICERR_MEMORY;
    memset(&in->inflater, 0, sizeof(in->inflater));
    if (inflateInit(&in->inflater) != Z_OK) {
        FreePicture(&in->dec);
        return ICERR_MEMORY;
    }
    in->decompressing = 1;
    in->dec_have_key = 0;
    return ICERR_OK;
}

static void DecompressEnd(Instance *in)
{
    if (in->decompressing)
        inflateEnd(&in->inflater);
    in->decompressing = 0;
    FreePicture(&in->dec);
}

// Applies a delta payload of n bytes to the previous picture, into cur.
static int ApplyDelta(Picture *p, uint32_t n, int bw, int bh)
{
    int bx = (p->width + bw - 1) / bw, by = (p->height + bh - 1) / bh;
    uint32_t vec_bytes = ((uint32_t)(bx * by * 2) + 3) & ~3u;
    if (n < vec_bytes)
        return 0;
    const int8_t *vec = (const int8_t *)p->payload;
    const uint8_t *src = p->payload + vec_bytes, *end = p->payload + n;
    for (int j = 0; j < by; j++)
        for (int i = 0; i < bx; i++) {
            int d = vec[2 * (j * bx + i)] & 1;
            int dx = vec[2 * (j * bx + i)] >> 1, dy = vec[2 * (j * bx + i) + 1] >> 1;
            int x0 = i * bw, y0 = j * bh;
            int w = p->width - x0 < bw ? p->width - x0 : bw;
            int h = p->height - y0 < bh ? p->height - y0 : bh;
            for (int y = 0; y < h; y++)
                for (int x = 0; x < w; x++) {
                    int sx = x0 + x + dx, sy = y0 + y + dy;
                    uint32_t v = 0;
                    if (sx >= 0 && sx < p->width && sy >= 0 && sy < p->height)
                        v = p->prev[(size_t)sy * p->width + sx];
                    p->cur[(size_t)(y0 + y) * p->width + x0 + x] = v;
                }
            if (!d)
                continue;
            if ((size_t)(end - src) < (size_t)w * h * 4)
                return 0;
            for (int y = 0; y < h; y++)
                for (int x = 0; x < w; x++) {
                    uint32_t v;
                    memcpy(&v, src, 4);
                    src += 4;
                    p->cur[(size_t)(y0 + y) * p->width + x0 + x] ^= v;
                }
        }
    return 1;
}

static LRESULT Decompress(Instance *in, ICDECOMPRESS *icd)
{
    Picture *p = &in->dec;
    const BITMAPINFOHEADER *src = icd->lpbiInput;
    const uint8_t *data = (const uint8_t *)icd->lpInput;
    uint32_t size = src ? src->biSizeImage : 0;
    if (!in->decompressing || !IsOurFormat(src) || src->biWidth != p->width ||
        labs(src->biHeight) != p->height || !data || size < 1 || !icd->lpOutput ||
        !AcceptsInput(icd->lpbiOutput))
        return ICERR_BADFORMAT;
    uint32_t header = 1;
    int key = data[0] & ZMBV_KEYFRAME;
    if (key) {
        if (size < ZMBV_KEY_HEADER || data[1] != 0 || data[2] != 1 || data[3] != 1 ||
            data[4] != ZMBV_FORMAT_32BPP || data[5] == 0 || data[6] == 0)
            return ICERR_BADFORMAT;
        in->dec_bw = data[5];
        in->dec_bh = data[6];
        header = ZMBV_KEY_HEADER;
        inflateReset(&in->inflater);
        in->dec_have_key = 1;
    } else if (!in->dec_have_key) {
        return ICERR_BADFORMAT;
    }
    z_stream *z = &in->inflater;
    z->next_in = (Bytef *)data + header;
    z->avail_in = size - header;
    z->next_out = p->payload;
    z->avail_out = p->payload_max;
    int r = inflate(z, Z_SYNC_FLUSH);
    if (r != Z_OK && r != Z_STREAM_END && !(r == Z_BUF_ERROR && z->avail_in == 0))
        return ICERR_BADFORMAT;
    uint32_t n = (uint32_t)(z->next_out - p->payload);
    uint32_t *t = p->prev;
    p->prev = p->cur;
    p->cur = t;
    if (key) {
        if (n != (uint32_t)p->width * p->height * 4)
            return ICERR_BADFORMAT;
        memcpy(p->cur, p->payload, n);
    } else if (!ApplyDelta(p, n, in->dec_bw, in->dec_bh)) {
        return ICERR_BADFORMAT;
    }
    ToDib(p->cur, p->width, p->height, icd->lpbiOutput->biHeight, (uint8_t *)icd->lpOutput);
    return ICERR_OK;
}

// A format request: the size of the format, or the format itself, of the
// same picture size as the source.
static LRESULT PutFormat(int accepted, const BITMAPINFOHEADER *in, BITMAPINFOHEADER *out,
                         WORD bits, DWORD compression, DWORD image_size)
{
    if (!accepted)
        return ICERR_BADFORMAT;
    if (!out)
        return sizeof(BITMAPINFOHEADER);
    memset(out, 0, sizeof(*out));
    out->biSize = sizeof(*out);
    out->biWidth = in->biWidth;
    out->biHeight = labs(in->biHeight);
    out->biPlanes = 1;
    out->biBitCount = bits;
    out->biCompression = compression;
    out->biSizeImage = image_size;
    return ICERR_OK;
}

// A query: the source must be accepted; a destination, when given, too, at
// the source's picture size.
static LRESULT Query(int source_ok, const BITMAPINFOHEADER *src, int dest_ok,
                     const BITMAPINFOHEADER *dst)
{
    if (!source_ok)
        return ICERR_BADFORMAT;
    if (dst && (!dest_ok || dst->biWidth != src->biWidth || labs(dst->biHeight) != labs(src->biHeight)))
        return ICERR_BADFORMAT;
    return ICERR_OK;
}

static void FillInfo(const Instance *in, ICINFO *info)
{
    const char *text = in->caller_prev ? "Velnik test ZMBV (previous frame from caller)"
                       : in->overruns  ? "Velnik test ZMBV (writes more than it announces)"
                       : in->drains    ? "Velnik test ZMBV (look-ahead)"
                       : in->lags      ? "Velnik test ZMBV (look-ahead, never drained)"
                                       : "Velnik test ZMBV (fast temporal)";
    memset(info, 0, sizeof(*info));
    info->dwSize = sizeof(*info);
    info->fccType = ICTYPE_VIDEO;
    info->fccHandler = in->fcc;
    info->dwFlags = VIDCF_QUALITY | VIDCF_TEMPORAL | VIDCF_COMPRESSFRAMES |
                    (in->caller_prev ? 0 : VIDCF_FASTTEMPORALC);
    info->dwVersion = 1;
    info->dwVersionICM = ICVERSION;
    MultiByteToWideChar(CP_ACP, 0, "ZMBV", -1, info->szName, 16);
    MultiByteToWideChar(CP_ACP, 0, text, -1, info->szDescription, 128);
}

// The configuration dialog: one number, the deflate level.
static INT_PTR CALLBACK ConfigureProc(HWND dlg, UINT msg, WPARAM wp, LPARAM lp)
{
    switch (msg) {
    case WM_INITDIALOG:
        SetWindowLongPtrA(dlg, DWLP_USER, lp);
        SetDlgItemInt(dlg, ID_LEVEL, ((Instance *)lp)->state.level, FALSE);
        return TRUE;
    case WM_COMMAND:
        if (LOWORD(wp) == IDOK) {
            Instance *in = (Instance *)GetWindowLongPtrA(dlg, DWLP_USER);
            BOOL ok = FALSE;
            UINT level = GetDlgItemInt(dlg, ID_LEVEL, &ok, FALSE);
            if (ok && level <= 9)
                in->state.level = level;
            EndDialog(dlg, IDOK);
            return TRUE;
        }
        if (LOWORD(wp) == IDCANCEL) {
            EndDialog(dlg, IDCANCEL);
            return TRUE;
        }
        break;
    }
    return FALSE;
}

static WORD *PutText(WORD *p, const char *text)
{
    while (*text)
        *p++ = (WORD)(uint8_t)*text++;
    *p++ = 0;
    return p;
}

static WORD *PutItem(WORD *p, DWORD style, short x, short y, short cx, short cy, WORD id,
                     WORD kind, const char *text)
{
    p = (WORD *)(((uintptr_t)p + 3) & ~(uintptr_t)3);
    DLGITEMTEMPLATE *item = (DLGITEMTEMPLATE *)p;
    item->style = style | WS_CHILD | WS_VISIBLE;
    item->dwExtendedStyle = 0;
    item->x = x;
    item->y = y;
    item->cx = cx;
    item->cy = cy;
    item->id = id;
    p = (WORD *)(item + 1);
    *p++ = 0xFFFF;
    *p++ = kind;   // 0x80 button, 0x81 edit, 0x82 static
    p = PutText(p, text);
    *p++ = 0;      // no creation data
    return p;
}

static INT_PTR Configure(Instance *in, HWND owner)
{
    static DWORD buffer[256];
    memset(buffer, 0, sizeof(buffer));
    DLGTEMPLATE *t = (DLGTEMPLATE *)buffer;
    t->style = DS_MODALFRAME | DS_CENTER | WS_POPUP | WS_CAPTION | WS_SYSMENU;
    t->cdit = 4;
    t->cx = 180;
    t->cy = 64;
    WORD *p = (WORD *)(t + 1);
    *p++ = 0;   // no menu
    *p++ = 0;   // default class
    p = PutText(p, "ZMBV test codec");
    p = PutItem(p, SS_LEFT, 8, 10, 110, 10, 0xFFFF, 0x82, "Deflate level (0 = quality):");
    p = PutItem(p, ES_NUMBER | WS_BORDER | WS_TABSTOP, 124, 8, 40, 12, ID_LEVEL, 0x81, "");
    p = PutItem(p, BS_DEFPUSHBUTTON | WS_TABSTOP, 40, 40, 50, 14, IDOK, 0x80, "OK");
    PutItem(p, BS_PUSHBUTTON | WS_TABSTOP, 100, 40, 50, 14, IDCANCEL, 0x80, "Cancel");
    return DialogBoxIndirectParamA(module_handle, t, owner, ConfigureProc, (LPARAM)in);
}

static void Defaults(Instance *in)
{
    in->state.magic = STATE_MAGIC;
    in->state.level = 0;
    in->quality = CODEC_DEFAULT_QUALITY;
    in->key_rate = 0;
}

extern "C" __declspec(dllexport) LRESULT WINAPI DriverProc(DWORD_PTR id, HDRVR, UINT msg, LPARAM p1, LPARAM p2)
{
    Instance *in = (Instance *)id;
    switch (msg) {
    case DRV_LOAD:
    case DRV_FREE:
    case DRV_ENABLE:
    case DRV_DISABLE:
    case DRV_INSTALL:
    case DRV_REMOVE:
        return 1;
    case DRV_QUERYCONFIGURE:
        return 0;
    case DRV_OPEN: {
        ICOPEN *open = (ICOPEN *)p2;
        if (open && !Ieq(open->fccType, ICTYPE_VIDEO))
            return 0;
        DWORD fcc = open ? open->fccHandler : FCC_ZMBV;
        static const DWORD codes[] = {FCC_ZMBV, FCC_ZMBP, FCC_ZMBO, FCC_ZMBL, FCC_ZMBN};
        int known = -1;
        for (int i = 0; i < 5; i++)
            if (Ieq(fcc, codes[i]))
                known = i;
        if (known < 0)
            return 0;
        Instance *made = (Instance *)calloc(1, sizeof(Instance));
        if (!made)
            return 0;
        made->fcc = codes[known];
        made->caller_prev = made->fcc == FCC_ZMBP;
        made->overruns = made->fcc == FCC_ZMBO;
        made->lags = made->fcc == FCC_ZMBL || made->fcc == FCC_ZMBN;
        made->drains = made->fcc == FCC_ZMBL;
        Defaults(made);
        if (open)
            open->dwError = ICERR_OK;
        return (LRESULT)made;
    }
    case DRV_CLOSE:
        if (in) {
            CompressEnd(in);
            DecompressEnd(in);
            free(in);
        }
        return 1;
    }
    if (!in)
        return ICERR_UNSUPPORTED;

    // The formats of the format messages (source, destination).
    const BITMAPINFOHEADER *src = (const BITMAPINFOHEADER *)p1;
    const BITMAPINFOHEADER *dst = (const BITMAPINFOHEADER *)p2;
    switch (msg) {
    case ICM_GETINFO:
        if (!p1 || (DWORD)p2 < sizeof(ICINFO))
            return 0;
        FillInfo(in, (ICINFO *)p1);
        return sizeof(ICINFO);
    case ICM_CONFIGURE:
        if (p1 == -1)
            return ICERR_OK;
        return Configure(in, (HWND)p1) == -1 ? ICERR_ERROR : ICERR_OK;
    case ICM_ABOUT:
        return ICERR_UNSUPPORTED;
    case ICM_GETSTATE:
        if (!p1)
            return sizeof(SavedState);
        if ((DWORD)p2 < sizeof(SavedState))
            return ICERR_BADSIZE;
        memcpy((void *)p1, &in->state, sizeof(SavedState));
        return ICERR_OK;
    case ICM_SETSTATE: {
        if (!p1) {
            in->state.level = 0;
            return 0;
        }
        SavedState s;
        if ((DWORD)p2 != sizeof(s))
            return 0;
        memcpy(&s, (const void *)p1, sizeof(s));
        if (s.magic != STATE_MAGIC || s.level > 9)
            return 0;
        in->state = s;
        return sizeof(s);
    }
    case ICM_GETDEFAULTQUALITY:
        *(DWORD *)p1 = CODEC_DEFAULT_QUALITY;
        return ICERR_OK;
    case ICM_GETQUALITY:
        if (!p1)
            return ICERR_BADPARAM;
        *(DWORD *)p1 = (DWORD)in->quality;
        return ICERR_OK;
    case ICM_SETQUALITY:
        if ((DWORD)p1 > 10000)
            return ICERR_BADPARAM;
        in->quality = (int32_t)p1;
        return ICERR_OK;
    case ICM_GETDEFAULTKEYFRAMERATE:
        *(DWORD *)p1 = CODEC_DEFAULT_KEY_RATE;
        return ICERR_OK;
    case ICM_COMPRESS_FRAMES_INFO: {
        const ICCOMPRESSFRAMES *f = (const ICCOMPRESSFRAMES *)p1;
        if (!f)
            return ICERR_BADPARAM;
        if (f->lQuality >= 0 && f->lQuality <= 10000)
            in->quality = f->lQuality;
        in->key_rate = f->lKeyRate > 0 ? f->lKeyRate : 0;
        in->frame_count = f->lFrameCount;
        return ICERR_OK;
    }
    case ICM_COMPRESS_QUERY:
        return Query(AcceptsInput(src), src, IsOurFormat(dst), dst);
    case ICM_COMPRESS_GET_FORMAT:
        return PutFormat(AcceptsInput(src), src, (BITMAPINFOHEADER *)p2, 32, FCC_ZMBV,
                         AcceptsInput(src) ? CompressedMax(src->biWidth, labs(src->biHeight)) : 0);
    case ICM_COMPRESS_GET_SIZE:
        if (!AcceptsInput(src))
            return 0;
        if (in->overruns)
            return DibStride(src->biWidth) * labs(src->biHeight) / 4;
        return CompressedMax(src->biWidth, labs(src->biHeight));
    case ICM_COMPRESS_BEGIN:
        return CompressBegin(in, src);
    case ICM_COMPRESS:
        return Compress(in, (ICCOMPRESS *)p1);
    case ICM_COMPRESS_END:
        CompressEnd(in);
        return ICERR_OK;
    case ICM_DECOMPRESS_QUERY:
        return Query(IsOurFormat(src), src, AcceptsInput(dst), dst);
    case ICM_DECOMPRESS_GET_FORMAT:
        return PutFormat(IsOurFormat(src), src, (BITMAPINFOHEADER *)p2, 24, BI_RGB,
                         IsOurFormat(src) ? DibStride(src->biWidth) * (DWORD)labs(src->biHeight) : 0);
    case ICM_DECOMPRESS_BEGIN:
        return DecompressBegin(in, src, dst);
    case ICM_DECOMPRESS:
        return Decompress(in, (ICDECOMPRESS *)p1);
    case ICM_DECOMPRESS_END:
        DecompressEnd(in);
        return ICERR_OK;
    }
    return ICERR_UNSUPPORTED;
}

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID)
{
    if (reason == DLL_PROCESS_ATTACH)
        module_handle = instance;
    return TRUE;
}
