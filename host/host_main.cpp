// velnik-host: command line, and the plug-in's lifecycle in the host's order:
// load, GetOutputPluginTable, on_init, entries, on_exit.
#include "host/host.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

enum {
    EXIT_OK = 0,
    EXIT_EXPORT_FAILED = 1,   // on_output returned 0
    EXIT_USAGE = 2,
    EXIT_SETUP = 3,           // the plug-in or the input could not be loaded
};

static const char usage_text[] =
    "usage: velnik-host COMMAND [options]\n"
    "commands:\n"
    "  info                      the plug-in's name, file filter, text and settings,\n"
    "                            the compressors its dialog lists and the audio\n"
    "                            conversion of the chosen format\n"
    "  export OUT.avi            export the test clip (or --input MEDIA) to OUT.avi\n"
    "  configure                 open the plug-in's settings dialog (a display is\n"
    "                            needed: a desktop or Xvfb); OK keeps the choice\n"
    "                            in the settings file\n"
    "  help                      this text\n"
    "options for every command:\n"
    "  --dll PATH                plug-in to load (default: velnik.dll beside the exe)\n"
    "  --settings FILE|none      settings block kept between runs\n"
    "                            (default: velnik-settings.bin beside the exe)\n"
    "  --format rgb|yuy2|FOURCC  video compressor put into the settings block\n"
    "  --saveunitsize N|none     write unit (KiB) in orvane.ini beside the exe\n"
    "  --ini SECTION:KEY=VALUE   any other orvane.ini entry (empty VALUE removes it)\n"
    "  --messages FILE           append each message text (code page 932) as a line\n"
    "configure options (unattended runs):\n"
    "  --snapshot FILE.bmp       picture of the dialog once it shows, and\n"
    "                            FILE.bmp.txt placing its title bar and controls\n"
    "  --press ok|cancel         press that button once it shows (after the picture)\n"
    // audio format choice
    "  --audio-format CHOICE|none  audio format chosen in the settings block, as the\n"
    "                            chooser stores it: KIND[:RATE[:CHANNELS[:BITS]]],\n"
    "                            KIND pcm, ima, msadpcm, alaw, ulaw or gsm\n"
    "export options:\n"
    "  --frames N  --size WxH  --rate R/S (or --rate R --scale S)\n"
    "  --audio-rate HZ  --channels N  --no-audio\n"
    "  --input MEDIA             decode MEDIA with ffmpeg and export it (its size;\n"
    "                            its rate unless --rate; --frames limits it)\n"
    "  --ffmpeg PATH --ffprobe PATH  Unix programs to decode with\n"
    "  --no-video-flag           OutputInfo flags without OUTPUT_HAS_VIDEO\n"
    "  --abort-at K              abort_requested is nonzero from frame K on\n"
    "  --audio-short N           fetch_audio delivers at most N samples a call\n"
    "  --audio-none-at K         fetch_audio delivers nothing for frame K\n"
    "  --null-video-at K         fetch_video returns null for frame K\n"
    "  --null-audio-at K         fetch_audio returns null (0 delivered) for frame K\n"
    "  --fetch-delay-ms H        sleep H ms in every fetch_video\n"
    "  --crowd-address-space M   before on_output, reserve address space until no\n"
    "                            free range of M MiB is left (a crowded host;\n"
    "                            32-bit build only)\n"
    "  --pregenerate [--pregenerate-mib M]  make frames before the export\n"
    "  --dump-frames FILE  --dump-audio FILE  bytes exactly as handed over\n"
    "  --call-log FILE           one line per callback\n"
    "video compressor settings (written into the settings block as the dialog would):\n"
    "  --quality N  --key-interval N  --data-rate KB_PER_S\n"
    "  --progress                print progress once a second\n"
    "marks (K) may be repeated or given as a comma list.\n"
    "exit status: 0 export ran (result 1), 1 result 0, 2 usage, 3 set-up failed\n";

struct Options {
    const char *command;
    const char *dll;
    const char *settings;
    const char *format;
    VideoSettings video;
    const char *saveunitsize;
    const char *ini[16];
    int ini_count;
    const char *messages;
    const char *snapshot;
    int press;
    const char *audio_format;   // audio format choice
    const char *input;
    MediaOptions media;
    ExportOptions export_options;
    Source source;
    int frames_given, rate_given, scale_given, no_audio;
};

static int ParseInt(const char *text, int *value)
{
    char *end;
    long v = strtol(text, &end, 10);
    if (end == text || *end)
        return 0;
    *value = (int)v;
    return 1;
}

static int ParseMarks(const char *text, FrameMarks *marks)
{
    char copy[256];
    snprintf(copy, sizeof(copy), "%s", text);
    for (char *item = strtok(copy, ","); item; item = strtok(NULL, ",")) {
        if (marks->count >= MAX_MARKS || !ParseInt(item, &marks->frames[marks->count]))
            return 0;
        marks->count++;
    }
    return 1;
}

static int ParseArguments(int argc, char **argv, Options *o)
{
    ExportOptions *e = &o->export_options;
    Source *s = &o->source;
    for (int i = 1; i < argc; i++) {
        const char *a = argv[i];
        const char *v = i + 1 < argc ? argv[i + 1] : NULL;
        int ok = 1, takes_value = 1;
        if (a[0] != '-' || a[1] != '-') {
            takes_value = 0;
            if (!o->command)
                o->command = a;
            else if (!e->output)
                e->output = a;
            else
                ok = 0;
        } else if (!strcmp(a, "--no-audio")) {
            takes_value = 0, o->no_audio = 1;
        } else if (!strcmp(a, "--no-video-flag")) {
            takes_value = 0, e->no_video_flag = 1;
        } else if (!strcmp(a, "--pregenerate")) {
            takes_value = 0, e->pregenerate = 1;
        } else if (!strcmp(a, "--progress")) {
            takes_value = 0, e->progress = 1;
        } else if (!strcmp(a, "--help")) {
            takes_value = 0, o->command = "help";
        } else if (!v) {
            Err("error: %s needs a value\n", a);
            return 0;
        } else if (!strcmp(a, "--dll")) {
            o->dll = v;
        } else if (!strcmp(a, "--settings")) {
            o->settings = v;
        } else if (!strcmp(a, "--format")) {
            o->format = v;
        } else if (!strcmp(a, "--saveunitsize")) {
            o->saveunitsize = v;
        } else if (!strcmp(a, "--ini")) {
            ok = o->ini_count < 16 && strchr(v, ':') && strchr(v, '=');
            if (ok)
                o->ini[o->ini_count++] = v;
        } else if (!strcmp(a, "--messages")) {
            o->messages = v;
        } else if (!strcmp(a, "--snapshot")) {
            o->snapshot = v;
        } else if (!strcmp(a, "--press")) {
            o->press = !strcmp(v, "ok") ? IDOK : !strcmp(v, "cancel") ? IDCANCEL : 0;
            ok = o->press != 0;
        } else if (!strcmp(a, "--audio-format")) {   // audio format choice
            o->audio_format = v;
        } else if (!strcmp(a, "--input")) {
            o->input = v;
        } else if (!strcmp(a, "--ffmpeg")) {
            o->media.ffmpeg = v;
        } else if (!strcmp(a, "--ffprobe")) {
            o->media.ffprobe = v;
        } else if (!strcmp(a, "--frames")) {
            ok = ParseInt(v, &s->frame_count), o->frames_given = 1;
        } else if (!strcmp(a, "--size")) {
            ok = sscanf(v, "%dx%d", &s->width, &s->height) == 2;
        } else if (!strcmp(a, "--width")) {
            ok = ParseInt(v, &s->width);
        } else if (!strcmp(a, "--height")) {
            ok = ParseInt(v, &s->height);
        } else if (!strcmp(a, "--rate")) {
            // "R/S", or "R" with --scale given separately.
            int scale = 0;
            int n = sscanf(v, "%d/%d", &s->rate, &scale);
            ok = n >= 1, o->rate_given = 1;
            if (n == 2)
                s->scale = scale;
            else if (!o->scale_given)
                s->scale = 1;
        } else if (!strcmp(a, "--scale")) {
            ok = ParseInt(v, &s->scale), o->scale_given = 1;
        } else if (!strcmp(a, "--audio-rate")) {
            ok = ParseInt(v, &s->sample_rate);
        } else if (!strcmp(a, "--channels")) {
            ok = ParseInt(v, &s->channels) && s->channels > 0;
        } else if (!strcmp(a, "--abort-at")) {
            ok = ParseInt(v, &e->abort_at);
        } else if (!strcmp(a, "--audio-short")) {
            ok = ParseInt(v, &e->audio_short) && e->audio_short >= 0;
        } else if (!strcmp(a, "--audio-none-at")) {
            ok = ParseMarks(v, &e->audio_none);
        } else if (!strcmp(a, "--null-video-at")) {
            ok = ParseMarks(v, &e->null_video);
        } else if (!strcmp(a, "--null-audio-at")) {
            ok = ParseMarks(v, &e->null_audio);
        } else if (!strcmp(a, "--fetch-delay-ms")) {
            ok = ParseInt(v, &e->fetch_delay_ms);
        } else if (!strcmp(a, "--crowd-address-space")) {
            // Only a 32-bit address space can be used up in reasonable time.
            ok = ParseInt(v, &e->crowd_mib) && e->crowd_mib > 0 && sizeof(void *) == 4;
        } else if (!strcmp(a, "--pregenerate-mib")) {
            ok = ParseInt(v, &e->pregenerate_mib) && e->pregenerate_mib > 0;
        } else if (!strcmp(a, "--dump-frames")) {
            e->dump_frames = v;
        } else if (!strcmp(a, "--dump-audio")) {
            e->dump_audio = v;
        } else if (!strcmp(a, "--call-log")) {
            e->call_log = v;
        // Video compressor settings.
        } else if (!strcmp(a, "--quality")) {
            ok = ParseInt(v, &o->video.quality), o->video.given |= VIDEO_GIVEN_QUALITY;
        } else if (!strcmp(a, "--key-interval")) {
            ok = ParseInt(v, &o->video.key_rate), o->video.given |= VIDEO_GIVEN_KEY_RATE;
        } else if (!strcmp(a, "--data-rate")) {
            ok = ParseInt(v, &o->video.data_rate), o->video.given |= VIDEO_GIVEN_DATA_RATE;
        } else {
            Err("error: unknown option %s\n", a);
            return 0;
        }
        if (!ok) {
            Err("error: bad value for %s\n", a);
            return 0;
        }
        if (takes_value)
            i++;
    }
    return 1;
}

static int ParseFormat(const char *text, uint32_t *fourcc)
{
    if (!_stricmp(text, "rgb") || !strcmp(text, "0")) {
        *fourcc = 0;
        return 1;
    }
    if (!_stricmp(text, "yuy2")) {
        *fourcc = FOURCC_YUY2;
        return 1;
    }
    if (strlen(text) != 4)
        return 0;
    *fourcc = (uint32_t)(uint8_t)text[0] | (uint32_t)(uint8_t)text[1] << 8 | (uint32_t)(uint8_t)text[2] << 16 |
              (uint32_t)(uint8_t)text[3] << 24;
    return 1;
}

static int ApplyIni(const Options *o)
{
    if (o->saveunitsize) {
        const char *value = strcmp(o->saveunitsize, "none") == 0 ? NULL : o->saveunitsize;
        if (!HostIniWrite("system", "saveunitsize", value))
            return 0;
    }
    for (int i = 0; i < o->ini_count; i++) {
        char section[128], key[128];
        const char *colon = strchr(o->ini[i], ':');
        const char *equals = strchr(colon, '=');
        snprintf(section, sizeof(section), "%.*s", (int)(colon - o->ini[i]), o->ini[i]);
        snprintf(key, sizeof(key), "%.*s", (int)(equals - colon - 1), colon + 1);
        if (!HostIniWrite(section, key, equals[1] ? equals + 1 : NULL))
            return 0;
    }
    return 1;
}

static void PrintInfo(const LoadedPlugin *plugin, const char *settings_origin)
{
    const OutputPluginTable *t = plugin->table;
    Out("name: %s\n", t->display_name ? t->display_name : "(null)");
    Out("file filter:\n");
    const char *p = t->file_filter;
    for (int pair = 0; p && *p && pair < 32; pair++) {
        const char *description = p;
        const char *pattern = description + strlen(description) + 1;
        Out("  %s | %s\n", description, pattern);
        if (!*pattern)
            break;
        p = pattern + strlen(pattern) + 1;
    }
    if (t->information)
        OutCp932("information: ", t->information);
    else
        Out("information: (null)\n");
    Out("table flags: %lu\n", (unsigned long)t->flags);
    Out("settings: %s\n", settings_origin);
    SettingsPrintSummary(t);
    PrintOffered(t);
}

static void DefaultSettingsPath(char *out, size_t size)
{
    snprintf(out, size, "%svelnik-settings.bin", ExeDirectory());
}

int main(int argc, char **argv)
{
    static Options o;
    Source *s = &o.source;
    ExportOptions *e = &o.export_options;
    s->width = 640, s->height = 480, s->rate = 30000, s->scale = 1001, s->frame_count = 30;
    s->sample_rate = 48000, s->channels = 2;
    e->abort_at = -1, e->audio_short = -1, e->pregenerate_mib = 256;
    o.media.ffmpeg = "ffmpeg";
    o.media.ffprobe = "ffprobe";
    if (!ParseArguments(argc, argv, &o))
        return EXIT_USAGE;
    if (!o.command || !strcmp(o.command, "help")) {
        Out("%s", usage_text);
        return o.command ? EXIT_OK : EXIT_USAGE;
    }
    int is_export = !strcmp(o.command, "export");
    if (!is_export && strcmp(o.command, "info") && strcmp(o.command, "configure")) {
        Err("error: unknown command %s\n%s", o.command, usage_text);
        return EXIT_USAGE;
    }
    if (is_export && !e->output) {
        Err("error: export needs an output file\n");
        return EXIT_USAGE;
    }
    uint32_t fourcc = 0;
    if (o.format && !ParseFormat(o.format, &fourcc)) {
        Err("error: --format takes rgb, yuy2 or a four-character code\n");
        return EXIT_USAGE;
    }
    if (!ApplyIni(&o))
        return EXIT_SETUP;

    // Settings file paths go to Win32 calls; Unix paths are mapped first.
    char settings_path[MAX_PATH] = "";
    if (!o.settings)
        DefaultSettingsPath(settings_path, sizeof(settings_path));
    else if (strcmp(o.settings, "none") && !WindowsPath(o.settings, settings_path, sizeof(settings_path))) {
        Err("error: settings path too long\n");
        return EXIT_USAGE;
    }
    char dll_path[MAX_PATH];
    if (o.dll) {
        if (!WindowsPath(o.dll, dll_path, sizeof(dll_path)))
            return EXIT_USAGE;
    } else {
        snprintf(dll_path, sizeof(dll_path), "%svelnik.dll", ExeDirectory());
    }
    MessagesSetFile(o.messages);

    if (is_export) {
        if (o.input) {
            o.media.max_frames = o.frames_given ? s->frame_count : 0;
            if (o.rate_given)
                o.media.rate = s->rate, o.media.scale = s->scale;
            if (!MediaOpen(s, o.input, &o.media)) {
                SourceClose(s);
                return EXIT_SETUP;
            }
            s->has_audio = s->has_audio && !o.no_audio;
        } else {
            s->has_audio = !o.no_audio;
            if (!SourceInitPattern(s)) {
                Err("error: bad audio format (%d Hz, %d channels)\n", s->sample_rate, s->channels);
                return EXIT_USAGE;
            }
        }
    }

    LoadedPlugin plugin;
    if (!PluginLoad(&plugin, dll_path)) {
        SourceClose(s);
        return EXIT_SETUP;
    }
    OutputPluginTable *table = plugin.table;
    table->on_init();

    const char *origin = "defaults (no file)";
    char origin_text[MAX_PATH + 32];
    if (settings_path[0]) {
        int loaded = SettingsLoad(table, settings_path);
        if (loaded > 0) {
            snprintf(origin_text, sizeof(origin_text), "loaded from %s", settings_path);
            origin = origin_text;
        } else if (loaded < 0) {
            origin = "defaults (the file was refused)";
        }
    }
    if (o.format && !SettingsSetVideoFourcc(table, fourcc))
        Err("settings: could not select the video format\n");
    if (o.video.given && !SettingsSetVideoNumbers(table, &o.video))
        Err("settings: could not set the video compressor's numbers\n");

    // Audio format choice.
    if (o.audio_format && !SettingsSetAudioFormat(table, o.audio_format)) {
        Err("settings: could not select the audio format %s\n", o.audio_format);
        table->on_exit();
        PluginUnload(&plugin);
        SourceClose(s);
        return EXIT_USAGE;
    }

    int status = EXIT_OK;
    if (!strcmp(o.command, "info")) {
        PrintInfo(&plugin, origin);
    } else if (!strcmp(o.command, "configure")) {
        static DialogWatch watch;
        char picture[MAX_PATH] = "";
        if (o.snapshot && !WindowsPath(o.snapshot, picture, sizeof(picture))) {
            Err("error: snapshot path too long\n");
            status = EXIT_USAGE;
        } else {
            watch.picture = picture[0] ? picture : NULL;
            watch.press = o.press;
            watch.settle_ms = 1000;
            if ((watch.picture || watch.press) && !DialogWatchStart(&watch))
                Err("configure: cannot watch the dialog\n");
            int result = table->on_configure(GetConsoleWindow(), plugin.module);
            DialogWatchStop();
            Out("on_configure: %d\n", result);
            if (watch.picture || watch.press)
                Out("dialog: %s\n", watch.found ? "shown" : "not seen");
            if (watch.picture && watch.picture_taken)
                Out("snapshot: %s\n", picture);
        }
    } else {
        int result = RunExport(table, s, e);
        status = result > 0 ? EXIT_OK : result == 0 ? EXIT_EXPORT_FAILED : EXIT_SETUP;
    }

    if (settings_path[0])
        SettingsSave(table, settings_path);
    table->on_exit();
    PluginUnload(&plugin);
    SourceClose(s);
    if (PluginConventionFaults()) {
        Err("error: %d entry calls broke the __cdecl calling convention\n", PluginConventionFaults());
        if (status == EXIT_OK)
            status = EXIT_SETUP;
    }
    return status;
}
