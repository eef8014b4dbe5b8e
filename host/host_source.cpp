// The built-in test clip: a moving picture in which every frame differs, and
// tones that depend only on the absolute sample number. Both are pure
// functions of the index, so any frame or sample range can be asked for.
#include "host/host.h"

#include <math.h>
#include <stdlib.h>
#include <string.h>

uint32_t FrameStride(uint32_t format, int width)
{
    uint32_t bits = format == FOURCC_YUY2 ? 16 : 24;
    return ((bits * (uint32_t)width + 7) / 8 + 3) / 4 * 4;
}

uint32_t FrameBytes(uint32_t format, int width, int height)
{
    return FrameStride(format, width) * (uint32_t)height;
}

// One second of every channel: the frequencies are whole hertz, so the tone
// repeats exactly after sample_rate samples.
int SourceInitPattern(Source *source)
{
    source->kind = SOURCE_PATTERN;
    free(source->tone);
    source->tone = NULL;
    if (!source->has_audio)
        return 1;
    if (source->sample_rate <= 0 || source->channels <= 0)
        return 0;
    size_t count = (size_t)source->sample_rate * source->channels;
    source->tone = (int16_t *)malloc(count * sizeof(int16_t));
    if (!source->tone)
        return 0;
    const double two_pi = 6.283185307179586;
    for (int c = 0; c < source->channels; c++) {
        int64_t frequency = 220 * (c + 2);           // 440, 660, 880 ... Hz
        double amplitude = c == 0 ? 12000.0 : 9000.0;
        for (int n = 0; n < source->sample_rate; n++) {
            int64_t phase = (int64_t)n * frequency % source->sample_rate;
            double value = amplitude * sin(two_pi * (double)phase / source->sample_rate);
            source->tone[(size_t)n * source->channels + c] = (int16_t)lrint(value);
        }
    }
    return 1;
}

static void RenderPattern(int width, int height, int index, uint8_t *bgr)
{
    unsigned i = (unsigned)index;
    for (int y = 0; y < height; y++) {
        uint8_t *p = bgr + (size_t)y * width * 3;
        for (int x = 0; x < width; x++) {
            p[0] = (uint8_t)(x + 2 * i);
            p[1] = (uint8_t)(y + 3 * i);
            p[2] = (uint8_t)((x ^ y) + 5 * i);
            p += 3;
        }
    }
    // A white bar that walks to the right.
    int bar_width = width / 16;  // none on tiny frames, where it would cover all
    int step = width / 64 > 1 ? width / 64 : 1;
    int bar_x = (int)((int64_t)index * step % width);
    for (int y = 0; y < height; y++) {
        uint8_t *row = bgr + (size_t)y * width * 3;
        for (int x = bar_x; x < bar_x + bar_width && x < width; x++)
            memset(row + x * 3, 255, 3);
    }
    // The frame number in 32 square cells along the top, low bit first.
    int cell = width / 32;
    if (cell > 8)
        cell = 8;
    if (cell < 1 || cell > height)
        return;
    for (int bit = 0; bit < 32; bit++) {
        uint8_t value = ((i >> bit) & 1) ? 255 : 0;
        for (int y = 0; y < cell; y++)
            memset(bgr + ((size_t)y * width + (size_t)bit * cell) * 3, value, (size_t)cell * 3);
    }
}

static int ReadAt(HANDLE file, int64_t offset, void *data, DWORD size, DWORD *got)
{
    LARGE_INTEGER position;
    position.QuadPart = offset;
    *got = 0;
    if (!SetFilePointerEx(file, position, NULL, FILE_BEGIN))
        return 0;
    return ReadFile(file, data, size, got, NULL);
}

int SourceRenderBgr(Source *source, int index, uint8_t *bgr)
{
    if (source->kind == SOURCE_PATTERN) {
        RenderPattern(source->width, source->height, index, bgr);
        return 1;
    }
    DWORD size = (DWORD)source->width * 3 * (DWORD)source->height;
    DWORD got;
    if (index < 0 || index >= source->media_frames ||
        !ReadAt(source->video_file, (int64_t)index * size, bgr, size, &got) || got != size) {
        memset(bgr, 0, size);
        return 0;
    }
    return 1;
}

static uint8_t Clamp(int value)
{
    return (uint8_t)(value < 0 ? 0 : value > 255 ? 255 : value);
}

// Rows of 24-bit frames are stored bottom-up; YUY2 rows top-down, as AVI
// readers take them.
void FormatFrame(const uint8_t *bgr, int width, int height, uint32_t format, uint8_t *out)
{
    uint32_t stride = FrameStride(format, width);
    memset(out, 0, (size_t)stride * height);
    if (format != FOURCC_YUY2) {
        for (int y = 0; y < height; y++)
            memcpy(out + (size_t)(height - 1 - y) * stride, bgr + (size_t)y * width * 3, (size_t)width * 3);
        return;
    }
    // BT.601 studio range; an odd last pixel repeats into its pair.
    for (int y = 0; y < height; y++) {
        const uint8_t *src = bgr + (size_t)y * width * 3;
        uint8_t *dst = out + (size_t)y * stride;
        for (int x = 0; x < width; x += 2) {
            const uint8_t *a = src + x * 3;
            const uint8_t *b = src + (x + 1 < width ? x + 1 : x) * 3;
            int r = a[2] + b[2], g = a[1] + b[1], bl = a[0] + b[0];
            dst[0] = Clamp(((66 * a[2] + 129 * a[1] + 25 * a[0] + 128) >> 8) + 16);
            dst[1] = Clamp(((-38 * r - 74 * g + 112 * bl + 256) >> 9) + 128);
            dst[2] = Clamp(((66 * b[2] + 129 * b[1] + 25 * b[0] + 128) >> 8) + 16);
            dst[3] = Clamp(((112 * r - 94 * g - 18 * bl + 256) >> 9) + 128);
            dst += 4;
        }
    }
}

int SourceAudio(Source *source, int64_t first, int count, int16_t *out)
{
    if (count <= 0 || first < 0)
        return 0;
    int channels = source->channels;
    if (source->kind == SOURCE_PATTERN) {
        int64_t n = first % source->sample_rate;
        for (int k = 0; k < count; k++) {
            memcpy(out + (size_t)k * channels, source->tone + (size_t)n * channels, (size_t)channels * 2);
            if (++n == source->sample_rate)
                n = 0;
        }
        return count;
    }
    if (first >= source->media_samples)
        return 0;
    if (first + count > source->media_samples)
        count = (int)(source->media_samples - first);
    DWORD block = (DWORD)channels * 2;
    DWORD got;
    if (!ReadAt(source->audio_file, first * block, out, (DWORD)count * block, &got))
        return 0;
    return (int)(got / block);
}

void SourceClose(Source *source)
{
    if (source->kind == SOURCE_MEDIA)
        MediaClose(source);
    free(source->tone);
    source->tone = NULL;
}
