// The catalogue of video compressors: built once at init, consulted by the
// output driver, the compression run and the dialog.
#include "video/codec_catalogue.h"

#include <string.h>

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

int CodecCatalogueBuild()
{
    memset(&codec_catalogue, 0, sizeof(codec_catalogue));
    for (int i = 0; i < CODEC_CATALOGUE_SIZE; i++)
        codec_catalogue.index_to_list[i] = -1;
    // Installed compressors come first (the enumeration is added with the
    // compression run); the two built-in choices always close the list.
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
