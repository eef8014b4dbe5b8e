// The settings block kept in a file between runs, and the host's ini file
// that the plug-in reads beside the executable.
#include "host/host.h"

#include <stdlib.h>
#include <string.h>

int SettingsLoad(const OutputPluginTable *table, const char *path)
{
    if (!FileExists(path))
        return 0;
    uint8_t *data;
    size_t size;
    if (!ReadWholeFile(path, &data, &size)) {
        Err("settings: cannot read %s; keeping the defaults\n", path);
        return -1;
    }
    int accepted = table->on_set_settings(data, (int)size);
    free(data);
    if (accepted == 0) {
        Err("settings: the plug-in refused %s (%lu bytes, it takes %d); keeping the defaults\n", path,
            (unsigned long)size, table->on_get_settings(NULL));
        return -1;
    }
    Out("settings: loaded %s (%lu bytes)\n", path, (unsigned long)size);
    return 1;
}

int SettingsSave(const OutputPluginTable *table, const char *path)
{
    int size = table->on_get_settings(NULL);
    if (size <= 0) {
        Err("settings: the plug-in reports a block of %d bytes; nothing saved\n", size);
        return 0;
    }
    uint8_t *block = (uint8_t *)calloc(1, (size_t)size);
    if (!block)
        return 0;
    table->on_get_settings(block);
    int ok = WriteWholeFile(path, block, (size_t)size);
    free(block);
    if (!ok)
        Err("settings: cannot write %s\n", path);
    return ok;
}

int SettingsSetVideoFourcc(const OutputPluginTable *table, uint32_t fourcc)
{
    int size = table->on_get_settings(NULL);
    if (size < (int)(offsetof(WriterContext, video.fccHandler) + 4))
        return 0;
    uint8_t *block = (uint8_t *)calloc(1, (size_t)size);
    if (!block)
        return 0;
    table->on_get_settings(block);
    memcpy(block + offsetof(WriterContext, video.fccHandler), &fourcc, 4);
    int ok = table->on_set_settings(block, size) != 0;
    free(block);
    return ok;
}

void FourccText(uint32_t fourcc, char *out)
{
    for (int i = 0; i < 4; i++) {
        unsigned char c = (unsigned char)(fourcc >> (8 * i));
        out[i] = (c >= 0x20 && c < 0x7F) ? (char)c : '.';
    }
    out[4] = 0;
}

WriterContext *SettingsCopy(const OutputPluginTable *table)
{
    if (table->on_get_settings(NULL) != (int)sizeof(WriterContext))
        return NULL;
    WriterContext *ctx = (WriterContext *)calloc(1, sizeof(WriterContext));
    if (ctx)
        table->on_get_settings(ctx);
    return ctx;
}

void SettingsPrintSummary(const OutputPluginTable *table)
{
    int size = table->on_get_settings(NULL);
    Out("settings block: %d bytes\n", size);
    if (size != (int)sizeof(WriterContext)) {
        Out("  (not the %d-byte layout this host knows; not decoded)\n", (int)sizeof(WriterContext));
        return;
    }
    WriterContext *ctx = SettingsCopy(table);
    if (!ctx)
        return;
    const BITMAPINFOHEADER *b = &ctx->bih;
    char text[5];
    FourccText(b->biCompression, text);
    Out("  video format: biSize %lu, %ld x %ld, planes %u, %u bits, compression %lu%s%s%s, image size %lu\n",
        (unsigned long)b->biSize, (long)b->biWidth, (long)b->biHeight, b->biPlanes, b->biBitCount,
        (unsigned long)b->biCompression, b->biCompression ? " (" : "", b->biCompression ? text : "",
        b->biCompression ? ")" : "", (unsigned long)b->biSizeImage);
    const WAVEFORMATEX *w = &ctx->wfx;
    Out("  audio format: tag %u, %u channels, %lu Hz, %lu bytes/s, block %u, %u bits, cbSize %u\n", w->wFormatTag,
        w->nChannels, (unsigned long)w->nSamplesPerSec, (unsigned long)w->nAvgBytesPerSec, w->nBlockAlign,
        w->wBitsPerSample, w->cbSize);
    uint32_t fourcc = ctx->video.fccHandler;
    FourccText(fourcc, text);
    if (fourcc == 0)
        Out("  video compressor (offset 364): 0 (uncompressed RGB)\n");
    else
        Out("  video compressor (offset 364): \"%s\" (0x%08lx)\n", text, (unsigned long)fourcc);
    Out("  audio flags: 0x%lx (%s), chosen format size %lu\n", (unsigned long)ctx->audio.flags,
        (ctx->audio.flags & AUDIO_CONVERT) ? "convert to the chosen format" : "PCM as delivered",
        (unsigned long)ctx->audio.chosen_format_size);
    if (ctx->audio.chosen_format_size >= 16) {
        const WAVEFORMATEX *c = (const WAVEFORMATEX *)ctx->audio.chosen_format;
        Out("  chosen audio format: tag %u, %u channels, %lu Hz, %u bits\n", c->wFormatTag, c->nChannels,
            (unsigned long)c->nSamplesPerSec, c->wBitsPerSample);
    }
    Out("  last export: %ld x %ld, %ld frames, rate %lu, scale %lu, state 0x%lx\n", (long)ctx->width,
        (long)ctx->height, (long)ctx->frame_count, (unsigned long)ctx->rate, (unsigned long)ctx->scale,
        (unsigned long)ctx->state_flags);
    free(ctx);
}

int HostIniWrite(const char *section, const char *key, const char *value)
{
    char path[MAX_PATH];
    const char *dir = ExeDirectory();
    if (strlen(dir) + sizeof("orvane.ini") > sizeof(path))
        return 0;
    strcpy(path, dir);
    strcat(path, "orvane.ini");
    if (!WritePrivateProfileStringA(section, key, value, path)) {
        Err("ini: cannot write %s\n", path);
        return 0;
    }
    // Make sure the profile cache hands the plug-in the new value.
    WritePrivateProfileStringA(NULL, NULL, NULL, path);
    if (value)
        Out("ini: %s [%s] %s=%s\n", path, section, key, value);
    else
        Out("ini: %s [%s] %s removed\n", path, section, key);
    return 1;
}
