// The exported table, init and exit, the settings block, and the paths of
// the host's executable and ini file.
#include "plugin/plugin.h"

#include <string.h>
#include <vfw.h>

#include "audio/audio_codec.h"
#include "plugin/texts.h"
#include "ui/dialog_layer.h"
#include "ui/settings_dialog.h"
#include "video/codec_catalogue.h"

WriterContext writer_context;

static const char file_filter[] = "AviFile (*.avi)\0*.avi\0AllFile (*.*)\0*.*\0";
static const char information[] = VELNIK_NAME " " VELNIK_VERSION;

static OutputPluginTable output_plugin_table = {
    0,
    VELNIK_NAME,
    file_filter,
    information,
    on_init,
    on_exit,
    on_output,
    on_configure,
    on_get_settings,
    on_set_settings,
    {0, 0, 0, 0, 0, 0},
};

extern "C" OutputPluginTable *__cdecl GetOutputPluginTable(void)
{
    return &output_plugin_table;
}

static void SetDefaultFormats(WriterContext *ctx)
{
    ctx->bih.biSize = sizeof(BITMAPINFOHEADER);
    ctx->bih.biWidth = 640;
    ctx->bih.biHeight = 480;
    ctx->bih.biPlanes = 1;
    ctx->bih.biBitCount = 24;
    ctx->bih.biCompression = BI_RGB;

    ctx->wfx.wFormatTag = WAVE_FORMAT_PCM;
    ctx->wfx.nChannels = 2;
    ctx->wfx.nSamplesPerSec = 44100;
    ctx->wfx.nAvgBytesPerSec = 176400;
    ctx->wfx.nBlockAlign = 4;
    ctx->wfx.wBitsPerSample = 16;
    ctx->wfx.cbSize = 0;
}

int __cdecl on_init(void)
{
    memset(&writer_context, 0, sizeof(writer_context));
    SetDefaultFormats(&writer_context);
    AVIFileInit();
    CodecCatalogueBuild();
    AudioCodecInit();
    return 1;
}

int __cdecl on_exit(void)
{
    AudioCodecExit();
    CodecCatalogueRelease();
    AVIFileExit();
    return 1;
}

int __cdecl on_configure(HWND owner, HINSTANCE instance)
{
    DialogSetHost(instance, owner);
    // The dialog's result does not matter to the host.
    VideoConfigDialog(&writer_context.video, owner);
    return 1;
}

int __cdecl on_get_settings(void *destination)
{
    if (destination)
        memcpy(destination, &writer_context, sizeof(writer_context));
    return SETTINGS_BLOCK_SIZE;
}

int __cdecl on_set_settings(const void *source, int size)
{
    if (size != SETTINGS_BLOCK_SIZE || !source)
        return 0;
    memcpy(&writer_context, source, sizeof(writer_context));
    return SETTINGS_BLOCK_SIZE;
}

/* Host paths. Filled on first use; used on the host's thread only. */
static char host_module_buffer[MAX_PATH];
static char host_directory_buffer[MAX_PATH];
static const char *host_module_path;
static const char *host_directory;
static const char *host_module_override;

void HostPathsReset(const char *module_path_override)
{
    host_module_override = module_path_override;
    host_module_path = NULL;
    host_directory = NULL;
}

const char *HostModulePath(void)
{
    if (host_module_path)
        return host_module_path;
    if (host_module_override) {
        size_t n = strlen(host_module_override);
        if (n >= sizeof(host_module_buffer))
            n = 0;
        memcpy(host_module_buffer, host_module_override, n);
        host_module_buffer[n] = 0;
    } else {
        DWORD n = GetModuleFileNameA(NULL, host_module_buffer, sizeof(host_module_buffer));
        // A truncated path names some other file; treat it as unknown.
        if (n == 0 || n >= sizeof(host_module_buffer))
            n = 0;
        host_module_buffer[n] = 0;
    }
    host_module_path = host_module_buffer;
    return host_module_path;
}

const char *HostDirectory(void)
{
    if (host_directory)
        return host_directory;
    strcpy(host_directory_buffer, HostModulePath());
    char *cut = (char *)FileNamePart(host_directory_buffer);
    *cut = 0;
    host_directory = host_directory_buffer;
    return host_directory;
}

const char *FileNamePart(const char *path)
{
    const char *result = path;
    for (const char *p = path; *p; p++) {
        if (*p == ':' || *p == '\\')
            result = p + 1;
        if (IsDBCSLeadByteEx(CP_ACP, (BYTE)*p) && p[1])
            p++;
    }
    return result;
}

int HostIniPath(char *out)
{
    static const char ini_name[] = "orvane.ini";
    const char *dir = HostDirectory();
    size_t n = strlen(dir);
    out[0] = 0;
    if (n == 0 || n + sizeof(ini_name) > MAX_PATH)
        return 0;
    wsprintfA(out, "%sorvane.ini", dir);
    return 1;
}

int ReadHostIniInt(const char *file, const char *section, const char *key, int fallback)
{
    if (!file || !file[0])
        return fallback;
    return (int)GetPrivateProfileIntA(section, key, fallback, file);
}
