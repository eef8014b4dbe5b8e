// The catalogue of video compressors: built once at init, consulted by the
// output driver, the compression run and the dialog.
#include "video/codec_catalogue.h"

#include <string.h>

#include "plugin/plugin.h"
#include "plugin/texts.h"

CodecCatalogue codec_catalogue;

uint32_t MakeFourcc(const char *four)
{
    return (uint32_t)(uint8_t)four[0] | (uint32_t)(uint8_t)four[1] << 8 |
           (uint32_t)(uint8_t)four[2] << 16 | (uint32_t)(uint8_t)four[3] << 24;
}

uint32_t ImageSize(int32_t bit_count, int32_t width, int32_t height)
{
    uint32_t row = (((uint32_t)bit_count * (uint32_t)width + 7) / 8 + 3) / 4 * 4;
    return row * (uint32_t)height;
}

// "DIB " and "DIB\0" mean uncompressed, like 0; letters compare without case.
static uint32_t NormaliseFourcc(uint32_t fcc)
{
    if (fcc == MakeFourcc("DIB ") || fcc == MakeFourcc("DIB\0"))
        return 0;
    uint32_t out = 0;
    for (int i = 0; i < 4; i++) {
        uint32_t c = (fcc >> (8 * i)) & 0xFF;
        if (c >= 'a' && c <= 'z')
            c -= 'a' - 'A';
        out |= c << (8 * i);
    }
    return out;
}

int FourccEqual(uint32_t a, uint32_t b)
{
    return NormaliseFourcc(a) == NormaliseFourcc(b);
}

int CodecFind(uint32_t fcc)
{
    for (int i = 0; i < CODEC_CATALOGUE_SIZE; i++) {
        const CodecEntry *e = &codec_catalogue.entries[i];
        if (e->flags && FourccEqual(e->fccHandler, fcc))
            return i;
    }
    return -1;
}

int CodecIsCompressor(uint32_t fcc)
{
    int i = CodecFind(fcc);
    return i >= 0 && (codec_catalogue.entries[i].flags & CF_COMPRESS) ? 1 : 0;
}

int CodecInputFormat(uint32_t fcc, BITMAPINFOHEADER *bih, int32_t width, int32_t height)
{
    int yuy2 = 0;
    int i = CodecFind(fcc);
    if (i >= 0) {
        uint32_t flags = codec_catalogue.entries[i].flags;
        if (flags & CF_COMPRESS)
            yuy2 = (flags & CF_YUY2_INPUT) && (flags & CF_OPT_YUY2);
        else
            yuy2 = FourccEqual(fcc, MakeFourcc("YUY2"));
    }
    bih->biWidth = width;
    bih->biHeight = height;
    bih->biCompression = yuy2 ? MakeFourcc("YUY2") : BI_RGB;
    bih->biBitCount = yuy2 ? 16 : 24;
    bih->biSizeImage = ImageSize(bih->biBitCount, width, height);
    return 1;
}

static int ValidIndex(int index)
{
    return index >= 0 && index < CODEC_CATALOGUE_SIZE && codec_catalogue.entries[index].flags;
}

int CodecOpen(int index)
{
    if (!ValidIndex(index))
        return 0;
    CodecEntry *e = &codec_catalogue.entries[index];
    if (!(e->flags & CF_COMPRESS))
        return 0;
    if (e->hic)
        return 1;
    e->hic = ICOpen(ICTYPE_VIDEO, e->fccHandler, ICMODE_COMPRESS);
    return e->hic ? 1 : 0;
}

int CodecClose(int index)
{
    if (!ValidIndex(index))
        return 1;
    CodecEntry *e = &codec_catalogue.entries[index];
    if (e->flags & CF_KEEP_OPEN)
        return 1;
    if (e->hic)
        ICClose(e->hic);
    e->hic = NULL;
    return 1;
}

int CodecKeepOpen(int index)
{
    if (!ValidIndex(index))
        return 0;
    codec_catalogue.entries[index].flags |= CF_KEEP_OPEN;
    return 1;
}

static void AddListPosition(int index)
{
    CodecCatalogue *c = &codec_catalogue;
    c->index_to_list[index] = c->list_count;
    c->list_to_index[c->list_count] = index;
    c->list[c->list_count++] = c->entries[index].name;
    c->list[c->list_count] = NULL;
}

static void AddBuiltin(uint32_t fcc, const char *name)
{
    CodecCatalogue *c = &codec_catalogue;
    int index = c->entry_count++;
    CodecEntry *e = &c->entries[index];
    e->flags = CF_PRESENT | CF_BUILTIN;
    e->fccHandler = fcc;
    strcpy(e->name, name);
    AddListPosition(index);
}

// The description narrowed to bytes: each UTF-16 unit keeps its low byte.
static void TakeName(CodecEntry *e, HIC hic, ICINFO *info)
{
    if (ICGetInfo(hic, info, sizeof(*info)) <= 0)
        return;
    size_t n = 0;
    while (n < sizeof(e->name) - 1 && n < ARRAYSIZE(info->szDescription) &&
           info->szDescription[n])
        n++;
    for (size_t i = 0; i < n; i++)
        e->name[i] = (char)(info->szDescription[i] & 0xFF);
    e->name[n] = 0;
}

static int CompressQuery(HIC hic, BITMAPINFOHEADER *bih, int bit_count, uint32_t compression)
{
    bih->biBitCount = (WORD)bit_count;
    bih->biCompression = compression;
    bih->biSizeImage = ImageSize(bit_count, bih->biWidth, bih->biHeight);
    return ICSendMessage(hic, ICM_COMPRESS_QUERY, (DWORD_PTR)bih, 0) == ICERR_OK;
}

// What a compressor can do, asked of its open compression handle.
static void ProbeCompressor(int index, HIC hic, ICINFO *info)
{
    CodecEntry *e = &codec_catalogue.entries[index];
    BITMAPINFOHEADER probe;
    memset(&probe, 0, sizeof(probe));
    probe.biSize = sizeof(probe);
    probe.biWidth = 320;
    probe.biHeight = 240;
    probe.biPlanes = 1;

    TakeName(e, hic, info);
    if (CompressQuery(hic, &probe, 24, BI_RGB))
        e->flags |= CF_COMPRESS;
    if (CompressQuery(hic, &probe, 16, MakeFourcc("YUY2")))
        e->flags |= CF_COMPRESS | CF_YUY2_INPUT;
    if (!(e->flags & CF_COMPRESS))
        return;

    AddListPosition(index);
    if (ICSendMessage(hic, ICM_CONFIGURE, (DWORD_PTR)-1, ICMF_CONFIGURE_QUERY) == ICERR_OK)
        e->flags |= CF_CONFIGURE;
    if (ICSendMessage(hic, ICM_ABOUT, (DWORD_PTR)-1, ICMF_ABOUT_QUERY) == ICERR_OK)
        e->flags |= CF_ABOUT;
    DWORD vidcf = info->dwFlags;
    if (vidcf & VIDCF_QUALITY) {
        DWORD value = 0;
        if (ICSendMessage(hic, ICM_GETDEFAULTQUALITY, (DWORD_PTR)&value, sizeof(value)) ==
            ICERR_OK) {
            e->quality = (int32_t)value;
            e->flags |= CF_QUALITY;
        }
    }
    if (vidcf & VIDCF_TEMPORAL) {
        DWORD value = 0;
        if (ICSendMessage(hic, ICM_GETDEFAULTKEYFRAMERATE, (DWORD_PTR)&value, sizeof(value)) ==
            ICERR_OK) {
            e->keyRate = (int32_t)value;
            e->flags |= CF_KEYFRAMES;
        }
        if (!(vidcf & VIDCF_FASTTEMPORALC))
            e->flags |= CF_NEEDS_PREVIOUS;
    }
    if (vidcf & VIDCF_CRUNCH) {
        e->dataRate = CODEC_DEFAULT_DATA_RATE;
        e->flags |= CF_DATARATE;
    }
    if (vidcf & VIDCF_COMPRESSFRAMES)
        e->flags |= CF_FRAMES_INFO;
}

static void AddInstalled(const ICINFO *found, const char *ini)
{
    CodecCatalogue *c = &codec_catalogue;
    int index = c->entry_count++;
    CodecEntry *e = &c->entries[index];
    e->fccHandler = found->fccHandler;
    ICINFO info = *found;

    HIC hic = ICOpen(ICTYPE_VIDEO, e->fccHandler, ICMODE_COMPRESS);
    if (hic) {
        ProbeCompressor(index, hic, &info);
        ICClose(hic);
    } else {
        // Decompress-only: stored with its name, never offered.
        hic = ICOpen(ICTYPE_VIDEO, e->fccHandler, ICMODE_DECOMPRESS);
        if (hic) {
            TakeName(e, hic, &info);
            ICClose(hic);
        }
    }
    e->flags |= CF_PRESENT;
    // The entry's handler code and the zero word after it form the key.
    e->flags |= (uint32_t)ReadHostIniInt(ini, "codec", (const char *)&e->fccHandler,
                                         CODEC_DEFAULT_INI_OPTION);
}

int CodecCatalogueBuild()
{
    CodecCatalogue *c = &codec_catalogue;
    CodecCatalogueRelease();   // a second build must not strand open handles
    memset(c, 0, sizeof(*c));
    for (int i = 0; i < CODEC_CATALOGUE_SIZE; i++)
        c->index_to_list[i] = -1;
    char ini[MAX_PATH];
    HostIniPath(ini);

    ICINFO info;
    // The bound only guards against an enumeration that never ends.
    for (DWORD i = 0; i < 0x10000; i++) {
        memset(&info, 0, sizeof(info));
        info.dwSize = sizeof(info);
        if (!ICInfo(ICTYPE_VIDEO, i, &info))
            break;
        // Uncompressed and YUY2 output are the built-in entries' business.
        if (FourccEqual(info.fccHandler, 0) || FourccEqual(info.fccHandler, MakeFourcc("YUY2")))
            continue;
        // The table is fixed: once it is full the rest are not looked at.
        if (c->entry_count >= CODEC_INSTALLED_MAX)
            break;
        AddInstalled(&info, ini);
    }
    AddBuiltin(MakeFourcc("YUY2"), "YUY2");
    AddBuiltin(0, TEXT_UNCOMPRESSED);
    return 1;
}
int CodecCatalogueRelease()
{
    for (int i = 0; i < CODEC_CATALOGUE_SIZE; i++) {
        CodecEntry *e = &codec_catalogue.entries[i];
        if (!e->flags)
            continue;
        if (e->hic)
            ICClose(e->hic);
        e->hic = NULL;
        e->flags = 0;
    }
    return 1;
}
