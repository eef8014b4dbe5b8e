// PCM converter throughput against sox. Built natively by pcm_bench.sh.
//   pcm_bench WORK_DIR
// Converts ten minutes of audio block by block, one video frame's worth per
// block (29.97 fps), the way an audio stage does: each block is copied 4
// bytes into a source buffer and run into a destination buffer. The same
// input is written as raw files to WORK_DIR and converted by sox with its
// fastest rate setting; both are timed here, best of three.
#include "audio/pcm_convert.h"

#include <math.h>
#include <spawn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <time.h>

#include <string>
#include <vector>

extern char **environ;

namespace {

const int kSeconds = 600;
const int kRuns = 3;
// 30000 / 1001 frames per second.
const uint64_t kFpsNum = 30000, kFpsDen = 1001;

double Now() {
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return (double)t.tv_sec + (double)t.tv_nsec * 1e-9;
}

// Something like music: a few partials with a slow tremolo, plus noise.
std::vector<uint8_t> MakeStereo16(uint32_t rate) {
    size_t frames = (size_t)rate * kSeconds;
    std::vector<uint8_t> out(frames * 4);
    uint32_t noise = 1;
    for (size_t i = 0; i < frames; i++) {
        double t = (double)i / rate;
        double env = 0.6 + 0.4 * sin(2 * M_PI * 0.3 * t);
        double l = env * (0.5 * sin(2 * M_PI * 220 * t) + 0.2 * sin(2 * M_PI * 1330 * t));
        double r = env * (0.5 * sin(2 * M_PI * 330 * t) + 0.2 * sin(2 * M_PI * 4410 * t));
        noise = noise * 1664525u + 1013904223u;
        int n = (int)(noise >> 24) - 128;
        int16_t s[2] = {(int16_t)(l * 30000 + n), (int16_t)(r * 30000 - n)};
        memcpy(&out[i * 4], s, 4);
    }
    return out;
}

struct Result {
    double seconds;
    uint64_t bytes;
};

Result Convert(const std::vector<uint8_t> &in, uint32_t src_rate, uint32_t dst_rate, int dst_ch,
               int dst_bits) {
    WAVEFORMATEX s = {1, 2, src_rate, src_rate * 4, 4, 16, 0};
    WAVEFORMATEX d = {1, (uint16_t)dst_ch, dst_rate, dst_rate * (uint32_t)(dst_ch * dst_bits / 8),
                      (uint16_t)(dst_ch * dst_bits / 8), (uint16_t)dst_bits, 0};
    static uint8_t src_buf[0x40000], dst_buf[0x40000];
    Result best = {1e30, 0};
    for (int run = 0; run < kRuns; run++) {
        PcmConverter c;
        if (!PcmConverterPlan(&c, &s, &d)) {
            fprintf(stderr, "plan refused\n");
            exit(1);
        }
        uint64_t total = 0, sum = 0;
        size_t frames = in.size() / 4;
        double t0 = Now();
        for (uint64_t f = 0;; f++) {
            size_t a = (size_t)(f * kFpsDen * src_rate / kFpsNum);
            size_t b = (size_t)((f + 1) * kFpsDen * src_rate / kFpsNum);
            if (a >= frames)
                break;
            b = b < frames ? b : frames;
            uint32_t len = (uint32_t)((b - a) * 4);
            if (PcmConverterSourceSize(&c, len) > sizeof src_buf ||
                PcmConverterDestSize(&c, len) > sizeof dst_buf) {
                fprintf(stderr, "block does not fit\n");
                exit(1);
            }
            memcpy(src_buf + 4, &in[a * 4], len);
            uint32_t n = PcmConverterRun(&c, dst_buf, src_buf + 4, len);
            total += n;
            sum += dst_buf[n / 2];
        }
        double t = Now() - t0;
        if (sum == 1)
            putchar(' '); // keeps the output alive
        if (t < best.seconds)
            best = {t, total};
    }
    return best;
}

double RunSox(const std::vector<std::string> &args) {
    std::vector<char *> argv;
    for (const std::string &a : args)
        argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);
    double best = 1e30;
    for (int run = 0; run < kRuns; run++) {
        double t0 = Now();
        pid_t pid;
        if (posix_spawnp(&pid, argv[0], nullptr, nullptr, argv.data(), environ) != 0) {
            fprintf(stderr, "cannot run sox\n");
            exit(1);
        }
        int status = 0;
        waitpid(pid, &status, 0);
        double t = Now() - t0;
        if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
            fprintf(stderr, "sox failed\n");
            exit(1);
        }
        best = t < best ? t : best;
    }
    return best;
}

void WriteFile(const std::string &path, const std::vector<uint8_t> &data) {
    FILE *f = fopen(path.c_str(), "wb");
    if (!f || fwrite(data.data(), 1, data.size(), f) != data.size() || fclose(f) != 0) {
        fprintf(stderr, "cannot write %s\n", path.c_str());
        exit(1);
    }
}

void Row(const char *name, Result ours, double sox) {
    printf("%-36s %8.3f s %8.0fx %9.3f s %8.0fx %9.2fx   (%llu bytes out)\n", name, ours.seconds,
           kSeconds / ours.seconds, sox, kSeconds / sox, sox / ours.seconds,
           (unsigned long long)ours.bytes);
}

} // namespace

int main(int argc, char **argv) {
    if (argc != 2) {
        fprintf(stderr, "usage: pcm_bench WORK_DIR\n");
        return 2;
    }
    std::string dir = argv[1];
    std::vector<uint8_t> in48 = MakeStereo16(48000), in44 = MakeStereo16(44100);
    std::string f48 = dir + "/in48.raw", f44 = dir + "/in44.raw";
    WriteFile(f48, in48);
    WriteFile(f44, in44);

    Result a = Convert(in48, 48000, 44100, 2, 16);
    Result b = Convert(in44, 44100, 22050, 1, 8);
    double sa = RunSox({"sox", "-t", "raw", "-r", "48000", "-e", "signed-integer", "-b", "16", "-c",
                        "2", f48, "-t", "raw", "-e", "signed-integer", "-b", "16", "-c", "2",
                        "/dev/null", "rate", "-q", "44100"});
    double sb = RunSox({"sox", "-D", "-t", "raw", "-r", "44100", "-e", "signed-integer", "-b", "16",
                        "-c", "2", f44, "-t", "raw", "-e", "unsigned-integer", "-b", "8", "-c",
                        "1", "/dev/null", "rate", "-q", "22050"});

    printf("%d s of audio, blocks of one 29.97 fps frame, best of %d\n", kSeconds, kRuns);
    printf("%-36s %10s %9s %11s %9s %10s\n", "conversion", "converter", "x real", "sox rate -q",
           "x real", "sox/ours");
    Row("48000 stereo 16 -> 44100 stereo 16", a, sa);
    Row("44100 stereo 16 -> 22050 mono 8", b, sb);
    return 0;
}
