// Real media as the export's input, decoded by ffmpeg (a Unix program).
// Wine starts a Unix program from CreateProcessA, but the handle it returns
// cannot be waited on and the child does not get our pipes. So each step is
// a small shell script that writes its results into a temporary folder and
// finally a status file, which this side polls for.
#include "host/host.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#define SCRIPT_START_TIMEOUT_MS 20000

// Appends text in single quotes for /bin/sh.
static void ShellQuote(char *out, size_t out_size, const char *text)
{
    size_t n = strlen(out);
    if (n + 1 < out_size)
        out[n++] = '\'';
    for (; *text && n + 5 < out_size; text++) {
        if (*text == '\'') {
            memcpy(out + n, "'\\''", 4);
            n += 4;
        } else {
            out[n++] = *text;
        }
    }
    if (n + 1 < out_size)
        out[n++] = '\'';
    out[n] = 0;
}

static void Append(char *out, size_t out_size, const char *text)
{
    size_t n = strlen(out);
    snprintf(out + n, out_size - n, "%s", text);
}

struct MediaTemp {
    char win[MAX_PATH];     // DOS path, ends with a backslash
    char unix_dir[MAX_PATH];  // Unix path, ends with a slash
};

static void TempFile(const MediaTemp *temp, const char *name, char *out, size_t out_size)
{
    snprintf(out, out_size, "%s%s", temp->win, name);
}

static void UnixFile(const MediaTemp *temp, const char *name, char *out, size_t out_size)
{
    out[0] = 0;
    char path[MAX_PATH * 2];
    snprintf(path, sizeof(path), "%s%s", temp->unix_dir, name);
    ShellQuote(out, out_size, path);
}

// Runs body under /bin/sh and waits for it. Returns the shell's exit status,
// or -1 when the script could not be started.
static int RunShellScript(const MediaTemp *temp, const char *name, const char *body)
{
    char script[16384] = "PATH=/usr/local/bin:/usr/bin:/bin:$PATH\n";
    char file[MAX_PATH * 2 + 8], quoted[MAX_PATH * 2 + 8];
    char started_name[64], status_name[64], status_tmp[64];
    snprintf(started_name, sizeof(started_name), "%s.started", name);
    snprintf(status_name, sizeof(status_name), "%s.status", name);
    snprintf(status_tmp, sizeof(status_tmp), "%s.status.tmp", name);

    Append(script, sizeof(script), ": > ");
    UnixFile(temp, started_name, quoted, sizeof(quoted));
    Append(script, sizeof(script), quoted);
    Append(script, sizeof(script), "\n");
    Append(script, sizeof(script), body);
    Append(script, sizeof(script), "\necho $? > ");
    UnixFile(temp, status_tmp, quoted, sizeof(quoted));
    Append(script, sizeof(script), quoted);
    // The rename makes the status appear whole.
    Append(script, sizeof(script), " && mv ");
    Append(script, sizeof(script), quoted);
    Append(script, sizeof(script), " ");
    UnixFile(temp, status_name, quoted, sizeof(quoted));
    Append(script, sizeof(script), quoted);
    Append(script, sizeof(script), "\n");

    char script_name[64];
    snprintf(script_name, sizeof(script_name), "%s.sh", name);
    TempFile(temp, script_name, file, sizeof(file));
    if (!WriteWholeFile(file, script, strlen(script))) {
        Err("media: cannot write %s\n", file);
        return -1;
    }

    char command[MAX_PATH * 2 + 32];
    snprintf(command, sizeof(command), "\"/bin/sh\" \"%s%s\"", temp->unix_dir, script_name);
    STARTUPINFOA startup;
    memset(&startup, 0, sizeof(startup));
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process;
    if (!CreateProcessA(NULL, command, NULL, NULL, FALSE, 0, NULL, NULL, &startup, &process)) {
        Err("media: cannot start /bin/sh (error %lu)\n", (unsigned long)GetLastError());
        return -1;
    }
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);

    char started[MAX_PATH], status[MAX_PATH];
    TempFile(temp, started_name, started, sizeof(started));
    TempFile(temp, status_name, status, sizeof(status));
    DWORD begin = GetTickCount();
    while (!FileExists(status)) {
        if (!FileExists(started) && GetTickCount() - begin > SCRIPT_START_TIMEOUT_MS) {
            Err("media: /bin/sh did not start within %d s\n", SCRIPT_START_TIMEOUT_MS / 1000);
            return -1;
        }
        Sleep(20);
    }
    uint8_t *text;
    size_t size;
    if (!ReadWholeFile(status, &text, &size))
        return -1;
    int code = atoi((const char *)text);
    free(text);
    return code;
}

static void ShowErrors(const MediaTemp *temp, const char *name)
{
    char path[MAX_PATH];
    TempFile(temp, name, path, sizeof(path));
    uint8_t *text;
    size_t size;
    if (ReadWholeFile(path, &text, &size)) {
        text[size] = 0;
        Err("%s", (const char *)text);
        free(text);
    }
}

// Finds "key=value" in ffprobe's flat output.
static int ProbeValue(const char *text, const char *key, char *out, size_t out_size)
{
    size_t key_length = strlen(key);
    for (const char *line = text; line && *line;) {
        if (strncmp(line, key, key_length) == 0 && line[key_length] == '=') {
            const char *value = line + key_length + 1;
            size_t n = strcspn(value, "\r\n");
            if (n + 1 > out_size)
                return 0;
            memcpy(out, value, n);
            out[n] = 0;
            return 1;
        }
        line = strchr(line, '\n');
        if (line)
            line++;
    }
    return 0;
}

static int ReadProbe(const MediaTemp *temp, const char *name, char **text)
{
    char path[MAX_PATH];
    TempFile(temp, name, path, sizeof(path));
    uint8_t *data;
    size_t size;
    if (!ReadWholeFile(path, &data, &size))
        return 0;
    data[size] = 0;
    *text = (char *)data;
    return 1;
}

static int ParseRate(const char *text, int *rate, int *scale)
{
    long numerator = 0, denominator = 1;
    if (sscanf(text, "%ld/%ld", &numerator, &denominator) < 1 || numerator <= 0 || denominator <= 0)
        return 0;
    *rate = (int)numerator;
    *scale = (int)denominator;
    return 1;
}

static int OpenRaw(const MediaTemp *temp, const char *name, HANDLE *file, int64_t *size)
{
    char path[MAX_PATH];
    TempFile(temp, name, path, sizeof(path));
    *file = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, 0, NULL);
    LARGE_INTEGER length;
    if (*file == INVALID_HANDLE_VALUE || !GetFileSizeEx(*file, &length))
        return 0;
    *size = length.QuadPart;
    return 1;
}

static int MakeTemp(MediaTemp *temp)
{
    char base[MAX_PATH];
    DWORD n = GetTempPathA(sizeof(base), base);
    if (n == 0 || n >= sizeof(base) - 40)
        return 0;
    snprintf(temp->win, sizeof(temp->win), "%svelnik-host-%lu-%lu\\", base, (unsigned long)GetCurrentProcessId(),
             (unsigned long)GetTickCount());
    if (!CreateDirectoryA(temp->win, NULL))
        return 0;
    if (!UnixPath(temp->win, temp->unix_dir, sizeof(temp->unix_dir) - 1))
        return 0;
    size_t length = strlen(temp->unix_dir);
    if (length && temp->unix_dir[length - 1] != '/')
        strcat(temp->unix_dir, "/");
    return 1;
}

int MediaOpen(Source *source, const char *path, const MediaOptions *options)
{
    MediaTemp temp;
    memset(&temp, 0, sizeof(temp));
    source->kind = SOURCE_MEDIA;
    source->video_file = source->audio_file = INVALID_HANDLE_VALUE;
    if (!RunningUnderWine()) {
        Err("media: decoding through ffmpeg needs Wine (the Unix side)\n");
        return 0;
    }
    char input[MAX_PATH * 2];
    if (!UnixPath(path, input, sizeof(input))) {
        Err("media: cannot find the Unix path of %s\n", path);
        return 0;
    }
    if (!MakeTemp(&temp)) {
        Err("media: cannot make a temporary folder\n");
        return 0;
    }
    strcpy(source->temp_dir, temp.win);

    char quoted_input[MAX_PATH * 3], quoted_out[MAX_PATH * 3], tool[MAX_PATH * 2];
    quoted_input[0] = tool[0] = 0;
    ShellQuote(quoted_input, sizeof(quoted_input), input);
    ShellQuote(tool, sizeof(tool), options->ffprobe);

    char body[8192];
    snprintf(body, sizeof(body),
             "%s -v error -select_streams v:0 -show_entries stream=width,height,r_frame_rate,avg_frame_rate "
             "-of default=noprint_wrappers=1 %s > ",
             tool, quoted_input);
    UnixFile(&temp, "video.txt", quoted_out, sizeof(quoted_out));
    Append(body, sizeof(body), quoted_out);
    Append(body, sizeof(body), " 2> ");
    UnixFile(&temp, "probe.err", quoted_out, sizeof(quoted_out));
    Append(body, sizeof(body), quoted_out);
    Append(body, sizeof(body), " && ");
    Append(body, sizeof(body), tool);
    Append(body, sizeof(body), " -v error -select_streams a:0 -show_entries stream=sample_rate,channels "
                               "-of default=noprint_wrappers=1 ");
    Append(body, sizeof(body), quoted_input);
    Append(body, sizeof(body), " > ");
    UnixFile(&temp, "audio.txt", quoted_out, sizeof(quoted_out));
    Append(body, sizeof(body), quoted_out);
    Append(body, sizeof(body), " 2>> ");
    UnixFile(&temp, "probe.err", quoted_out, sizeof(quoted_out));
    Append(body, sizeof(body), quoted_out);

    int status = RunShellScript(&temp, "probe", body);
    if (status != 0) {
        Err("media: ffprobe failed on %s (status %d)\n", input, status);
        ShowErrors(&temp, "probe.err");
        return 0;
    }
    char *video_text = NULL, *audio_text = NULL, value[64];
    int ok = ReadProbe(&temp, "video.txt", &video_text) && ReadProbe(&temp, "audio.txt", &audio_text);
    if (ok && ProbeValue(video_text, "width", value, sizeof(value)))
        source->width = atoi(value);
    if (ok && ProbeValue(video_text, "height", value, sizeof(value)))
        source->height = atoi(value);
    int have_rate = ok && ((ProbeValue(video_text, "r_frame_rate", value, sizeof(value)) &&
                            ParseRate(value, &source->rate, &source->scale)) ||
                           (ProbeValue(video_text, "avg_frame_rate", value, sizeof(value)) &&
                            ParseRate(value, &source->rate, &source->scale)));
    source->has_audio = 0;
    if (ok && ProbeValue(audio_text, "sample_rate", value, sizeof(value)) && atoi(value) > 0) {
        source->sample_rate = atoi(value);
        source->channels = ProbeValue(audio_text, "channels", value, sizeof(value)) ? atoi(value) : 2;
        // More than stereo is mixed down; 16-bit PCM of 1 or 2 channels is what hosts deliver.
        if (source->channels < 1 || source->channels > 2)
            source->channels = 2;
        source->has_audio = 1;
    }
    free(video_text);
    free(audio_text);
    if (options->rate > 0 && options->scale > 0) {
        // Another rate: ffmpeg drops or repeats frames to keep the timing.
        source->rate = options->rate, source->scale = options->scale;
        have_rate = 1;
    }
    if (!ok || source->width <= 0 || source->height <= 0 || !have_rate) {
        Err("media: %s has no usable video stream\n", input);
        return 0;
    }

    // Decode: top-down BGR24 at a constant rate, and s16le at the source rate.
    tool[0] = 0;
    ShellQuote(tool, sizeof(tool), options->ffmpeg);
    snprintf(body, sizeof(body), "%s -v error -nostdin -y -i %s -map 0:v:0 -fps_mode cfr -r %d/%d ", tool,
             quoted_input, source->rate, source->scale);
    if (options->max_frames > 0) {
        char limit[64];
        snprintf(limit, sizeof(limit), "-frames:v %d ", options->max_frames);
        Append(body, sizeof(body), limit);
    }
    Append(body, sizeof(body), "-pix_fmt bgr24 -f rawvideo ");
    UnixFile(&temp, "video.raw", quoted_out, sizeof(quoted_out));
    Append(body, sizeof(body), quoted_out);
    if (source->has_audio) {
        char audio[128];
        snprintf(audio, sizeof(audio), " -map 0:a:0 -ac %d -ar %d -c:a pcm_s16le ", source->channels,
                 source->sample_rate);
        Append(body, sizeof(body), audio);
        if (options->max_frames > 0) {
            // A little more than the frames need; the export takes what belongs to them.
            snprintf(audio, sizeof(audio), "-t %.3f ",
                     (double)options->max_frames * source->scale / source->rate + 1.0);
            Append(body, sizeof(body), audio);
        }
        Append(body, sizeof(body), "-f s16le ");
        UnixFile(&temp, "audio.raw", quoted_out, sizeof(quoted_out));
        Append(body, sizeof(body), quoted_out);
    }
    Append(body, sizeof(body), " 2> ");
    UnixFile(&temp, "decode.err", quoted_out, sizeof(quoted_out));
    Append(body, sizeof(body), quoted_out);

    status = RunShellScript(&temp, "decode", body);
    if (status != 0) {
        Err("media: ffmpeg failed to decode %s (status %d)\n", input, status);
        ShowErrors(&temp, "decode.err");
        return 0;
    }
    int64_t size;
    if (!OpenRaw(&temp, "video.raw", &source->video_file, &size)) {
        Err("media: no decoded video\n");
        return 0;
    }
    source->media_frames = size / ((int64_t)source->width * 3 * source->height);
    if (source->has_audio) {
        if (!OpenRaw(&temp, "audio.raw", &source->audio_file, &size)) {
            Err("media: no decoded audio\n");
            return 0;
        }
        source->media_samples = size / (source->channels * 2);
    }
    source->frame_count = (int)source->media_frames;
    Out("media: %s: %d x %d, %d/%d fps, %lld frames", input, source->width, source->height, source->rate,
        source->scale, (long long)source->media_frames);
    if (source->has_audio)
        Out(", %d Hz %d ch, %lld samples\n", source->sample_rate, source->channels,
            (long long)source->media_samples);
    else
        Out(", no audio\n");
    return 1;
}

void MediaClose(Source *source)
{
    if (source->video_file != INVALID_HANDLE_VALUE && source->video_file)
        CloseHandle(source->video_file);
    if (source->audio_file != INVALID_HANDLE_VALUE && source->audio_file)
        CloseHandle(source->audio_file);
    source->video_file = source->audio_file = INVALID_HANDLE_VALUE;
    if (!source->temp_dir[0])
        return;
    char pattern[MAX_PATH + 4], path[MAX_PATH * 2];
    snprintf(pattern, sizeof(pattern), "%s*", source->temp_dir);
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA(pattern, &found);
    if (search != INVALID_HANDLE_VALUE) {
        do {
            if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
                snprintf(path, sizeof(path), "%s%s", source->temp_dir, found.cFileName);
                DeleteFileA(path);
            }
        } while (FindNextFileA(search, &found));
        FindClose(search);
    }
    RemoveDirectoryA(source->temp_dir);
    source->temp_dir[0] = 0;
}
