// velnik-host: a stand-in for the Orvane host. It loads velnik.dll the way
// the editor does, answers the export callbacks with a test pattern or a
// decoded media file, and keeps the settings block between runs.
#pragma once

#include <windows.h>

#include <stdint.h>

#include "plugin/context.h"

#define FOURCC_YUY2 0x32595559u  // "YUY2"

// ---- console (host_console.cpp) ----

// printf-style output that stays in order with raw writes.
void Out(const char *format, ...);
void Err(const char *format, ...);
// Prints prefix, then text converted from code page 932, then a newline.
void OutCp932(const char *prefix, const char *text);
// Text in code page 932 as UTF-8 into out; a text that does not convert is
// copied as it is (returns 0).
int Cp932ToUtf8(const char *text, char *out, size_t out_size);

// ---- paths and files (host_paths.cpp) ----

// Directory of velnik-host.exe, ending with a backslash.
const char *ExeDirectory(void);
// A path the Win32 calls accept: a Unix path ("/...") becomes its Wine
// DOS form; anything else is copied. Returns 0 when it does not fit.
int WindowsPath(const char *path, char *out, size_t out_size);
// The Unix path of a DOS path under Wine; a Unix path is copied. Returns 0
// when not under Wine or when it does not fit.
int UnixPath(const char *path, char *out, size_t out_size);
int RunningUnderWine(void);
int FileExists(const char *path);
// Reads a whole file into a malloc'd buffer; 0 on failure.
int ReadWholeFile(const char *path, uint8_t **data, size_t *size);
int WriteWholeFile(const char *path, const void *data, size_t size);

// ---- the loaded plug-in (host_plugin.cpp) ----

struct LoadedPlugin {
    HMODULE module;
    OutputPluginTable *table;      // the host's copy: entries called through a check
    int message_box_patched;   // import slots redirected to the recorder
};

// LoadLibraryA, redirect user32!MessageBoxA, GetOutputPluginTable. Reports
// what went wrong and returns 0 on failure.
int PluginLoad(LoadedPlugin *plugin, const char *dll_path);
void PluginUnload(LoadedPlugin *plugin);
// Entry calls that removed their own arguments from the stack (32-bit build).
int PluginConventionFaults(void);
// Redirects one named import of module. Returns the number of slots patched.
int PatchImport(HMODULE module, const char *dll_name, const char *function, void *replacement);

// Messages the plug-in showed; optionally appended, raw, to a file.
void MessagesSetFile(const char *path);
int MessagesCount(void);

// ---- settings block and ini (host_settings.cpp) ----

// Hands the file to on_set_settings. 1 loaded, 0 no file, -1 unreadable or
// refused (reported).
int SettingsLoad(const OutputPluginTable *table, const char *path);
int SettingsSave(const OutputPluginTable *table, const char *path);
// Puts a video FOURCC at offset 364 of the block through get/set.
int SettingsSetVideoFourcc(const OutputPluginTable *table, uint32_t fourcc);
// Quality, key-frame interval and data rate of the video compressor, each
// written only when given (host_video_settings.cpp).
enum { VIDEO_GIVEN_QUALITY = 1, VIDEO_GIVEN_KEY_RATE = 2, VIDEO_GIVEN_DATA_RATE = 4 };
struct VideoSettings {
    int given;
    int quality, key_rate, data_rate;
};
int SettingsSetVideoNumbers(const OutputPluginTable *table, const VideoSettings *video);

// ---- audio format choice (host_audio.cpp) ----

// Stores an audio format as the plug-in's chooser would: CHOICE is
// KIND[:RATE[:CHANNELS[:BITS]]] with KIND pcm, ima, msadpcm, alaw, ulaw or
// gsm, taken from the installed drivers' lists; "none" clears the choice.
// The plug-in's block as this host's WriterContext (free it), or null when
// it is not that layout or no memory is left.
WriterContext *SettingsCopy(const OutputPluginTable *table);
int SettingsSetAudioFormat(const OutputPluginTable *table, const char *choice);
void SettingsPrintSummary(const OutputPluginTable *table);
// A handler code as four printable characters ('.' for others) and a NUL.
void FourccText(uint32_t fourcc, char *out);

// ---- what the plug-in offers (host_offered.cpp) ----

// The compressors the settings dialog lists and the audio conversion of the
// chosen format, computed by the plug-in's own catalogue and audio-stage
// code (linked into the host) on the plug-in's settings block.
void PrintOffered(const OutputPluginTable *table);
// Writes section/key of orvane.ini beside the exe; value null removes the key.
int HostIniWrite(const char *section, const char *key, const char *value);

// ---- unattended settings dialog (host_dialog.cpp) ----

struct DialogWatch {
    const char *picture;   // Windows path of a BMP of the dialog, or null
    int press;             // button to press once it shows (IDOK, IDCANCEL), or 0
    int settle_ms;         // wait after it shows, before the picture
    volatile int stop;
    int found, picture_taken;
};

// Watches for the plug-in's dialog on a second thread while on_configure runs.
int DialogWatchStart(DialogWatch *watch);
void DialogWatchStop(void);

// ---- frames and audio (host_source.cpp) ----

enum { SOURCE_PATTERN = 0, SOURCE_MEDIA = 1 };

struct Source {
    int kind;
    int width, height;
    int rate, scale;
    int frame_count;
    int sample_rate, channels;
    int has_audio;
    // media: raw decodes, top-down BGR24 frames and s16le samples
    HANDLE video_file, audio_file;
    int64_t media_frames;
    int64_t media_samples;
    char temp_dir[MAX_PATH];
    // pattern: one period of the tone per channel
    int16_t *tone;
};

// Row stride of a frame as the plug-in asks for it: rows padded to 4 bytes.
uint32_t FrameStride(uint32_t format, int width);
uint32_t FrameBytes(uint32_t format, int width, int height);
int SourceInitPattern(Source *source);
// Renders frame index as top-down BGR24, width * 3 bytes a row, no padding.
int SourceRenderBgr(Source *source, int index, uint8_t *bgr);
// Top-down BGR24 into the format asked: 0 bottom-up BGR24, YUY2 top-down.
void FormatFrame(const uint8_t *bgr, int width, int height, uint32_t format, uint8_t *out);
// Fills up to count sample frames from first; returns how many exist.
int SourceAudio(Source *source, int64_t first, int count, int16_t *out);
void SourceClose(Source *source);

// ---- media decoding through ffmpeg (host_media.cpp) ----

struct MediaOptions {
    const char *ffmpeg;
    const char *ffprobe;
    int max_frames;     // 0 = all
    int rate, scale;    // 0 = the media's own frame rate
};
// Probes and decodes path into temporary raw files; fills size, rate and
// audio of source. Reports and returns 0 on failure.
int MediaOpen(Source *source, const char *path, const MediaOptions *options);
void MediaClose(Source *source);

// ---- one export (host_export.cpp) ----

#define MAX_MARKS 64

struct FrameMarks {
    int count;
    int frames[MAX_MARKS];
};

struct ExportOptions {
    const char *output;
    int no_video_flag;
    int no_audio;
    int abort_at;            // -1 = never
    int audio_short;         // -1 = deliver all asked
    FrameMarks audio_none;
    FrameMarks null_video;
    FrameMarks null_audio;
    int fetch_delay_ms;
    int crowd_mib;           // 0, or leave no free address range of this many MiB
    int pregenerate;
    int pregenerate_mib;
    const char *dump_frames;
    const char *dump_audio;
    const char *call_log;
    int progress;
};

// Runs on_output; returns its result, or -1 when the export could not be
// set up on the host's side.
int RunExport(const OutputPluginTable *table, Source *source, const ExportOptions *options);
