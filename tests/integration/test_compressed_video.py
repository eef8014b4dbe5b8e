"""Compressed exports through an installed compressor, decoded by ffmpeg.

The sample compressor of tests/codecs (lossless ZMBV) is installed into the
test prefix as a codec installer does: its DLL into the system folder of the
build's width and "vidc.ZMBV"/"vidc.ZMBP" under Drivers32. velnik-host picks
it with --format and sets quality, key-frame interval and data rate in the
settings block; ffmpeg must then decode every frame exactly as it was handed
over, key frames where they were forced and delta frames between them.
"ZMBP" compresses against the previous frame the plug-in rebuilds, so its
pictures are right only when that rebuild is. "ZMBO" writes twice the
uncompressed frame whatever it announced; "ZMBL" and "ZMBN" hold frames
back (ZMBN for good), as look-ahead compressors do.
"""
import os
import struct
import subprocess
import unittest

import harness
from harness import BUILD_DIR, ARCH, WINE_RUN

CODEC_DIR = os.path.join(BUILD_DIR, "tests", "codecs")
# The plug-in whose compression worker never starts.
DIRECT_DLL = os.path.join(BUILD_DIR, "velnik_direct.dll")
SAMPLE_LAG = 3


def wine_path(unix_path):
    return "Z:" + os.path.abspath(unix_path).replace("/", "\\")


def install_sample_codec():
    cmd = [WINE_RUN, BUILD_DIR, ARCH, os.path.join(CODEC_DIR, "install_codec.exe"),
           "install", wine_path(os.path.join(CODEC_DIR, "velzmbv.dll"))]
    done = subprocess.run(cmd, stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=300)
    if done.returncode != 0:
        raise RuntimeError("install_codec failed: %s %s" % (done.stdout, done.stderr))


def packet_key_flags(path):
    cmd = ["ffprobe", "-v", "error", "-select_streams", "v:0", "-show_entries", "packet=flags",
           "-of", "csv=p=0", path]
    out = subprocess.run(cmd, stdout=subprocess.PIPE, stderr=subprocess.PIPE, check=True).stdout
    return [line.startswith("K") for line in out.decode().split()]


def video_chunk_sizes(path):
    """Sizes of the video chunks that "idx1" lists, in file order."""
    with open(path, "rb") as f:
        data = f.read()
    at = data.rfind(b"idx1")
    size, = struct.unpack_from("<I", data, at + 4)
    entries = [struct.unpack_from("<4sIII", data, at + 8 + i) for i in range(0, size, 16)]
    return [e[3] for e in entries if e[0][:3] == b"00d"]


def frame_positions(path):
    cmd = ["ffprobe", "-v", "error", "-select_streams", "v:0", "-show_entries", "frame=pts",
           "-of", "csv=p=0", path]
    out = subprocess.run(cmd, stdout=subprocess.PIPE, stderr=subprocess.PIPE, check=True).stdout
    return [int(p) for p in out.decode().split()]


def video_stream_header(path):
    """(fccHandler, dwQuality) of the first "strh" in the file."""
    with open(path, "rb") as f:
        head = f.read(4096)
    at = head.find(b"strh")
    handler, = struct.unpack_from("<4s", head, at + 12)
    quality, = struct.unpack_from("<I", head, at + 8 + 40)
    return handler, quality


class CompressedVideoTest(harness.HostTestCase):
    @classmethod
    def setUpClass(cls):
        install_sample_codec()

    def export_compressed(self, handler, width, height, frames, *extra):
        out = self.path("out.avi")
        run = self.export(out, "--format", handler, "--size", "%dx%d" % (width, height),
                          "--frames", frames, "--rate", "25/1", "--no-audio",
                          "--dump-frames", self.path("frames.raw"),
                          "--messages", self.path("messages.txt"), *extra)
        self.assertExported(run)
        if os.path.exists(self.path("messages.txt")):
            with open(self.path("messages.txt"), "rb") as f:
                self.assertEqual(f.read(), b"")
        return out

    def check_decodes_exactly(self, out, width, height, frames):
        streams = harness.ffprobe_streams(out)
        video = harness.stream_of(streams, "video")
        self.assertEqual(video["codec_name"], "zmbv")
        self.assertEqual(harness.frames_read(video), frames)
        with open(self.path("frames.raw"), "rb") as f:
            handed = harness.dumped_frames(f.read(), "rgb", width, height)
        decoded = harness.split(harness.decode_video(out, "bgr24"), width * 3 * height)
        self.assertSameFrames(decoded, handed)

    def test_both_variants_decode_frame_exact_with_delta_frames(self):
        for handler in ("ZMBV", "ZMBP", "ZMBO"):
            with self.subTest(handler=handler):
                width, height, frames = 161, 121, 30
                out = self.export_compressed(handler, width, height, frames,
                                             "--quality", 9000, "--key-interval", 10)
                self.check_decodes_exactly(out, width, height, frames)
                keys = packet_key_flags(out)
                self.assertEqual([i for i, k in enumerate(keys) if k], [0, 10, 20])
                fcc, quality = video_stream_header(out)
                self.assertEqual(fcc, handler.encode())
                self.assertEqual(quality, 9000)

    def test_frames_held_back_come_out_in_place_on_either_thread(self):
        width, height, frames = 64, 48, 8
        for handler, dropped in (("ZMBV", 0), ("ZMBL", 0), ("ZMBN", SAMPLE_LAG)):
            for worker, extra in (("on", ()), ("off", ("--dll", DIRECT_DLL))):
                with self.subTest(handler=handler, worker=worker):
                    out = self.export_compressed(handler, width, height, frames,
                                                 "--key-interval", 4, *extra)
                    kept = frames - dropped
                    sizes = video_chunk_sizes(out)
                    self.assertEqual(len(sizes), frames)
                    self.assertEqual([i for i, n in enumerate(sizes) if n == 0],
                                     list(range(kept, frames)))
                    self.assertEqual(frame_positions(out), list(range(kept)))
                    with open(self.path("frames.raw"), "rb") as f:
                        handed = harness.dumped_frames(f.read(), "rgb", width, height)
                    decoded = harness.split(harness.decode_video(out, "bgr24"), width * 3 * height)
                    self.assertSameFrames(decoded, handed[:kept])

    def test_key_interval_zero_forces_only_the_first_frame(self):
        width, height, frames = 96, 64, 12
        out = self.export_compressed("ZMBP", width, height, frames, "--key-interval", 0)
        self.check_decodes_exactly(out, width, height, frames)
        self.assertEqual(packet_key_flags(out), [True] + [False] * (frames - 1))

    def test_settings_block_carries_the_numbers(self):
        out = self.export_compressed("ZMBV", 64, 48, 3, "--quality", 1234, "--key-interval", 7,
                                     "--data-rate", 500)
        with open(self.settings, "rb") as f:
            block = f.read()
        self.assertEqual(len(block), 15208)
        fcc, quality, key_rate, data_rate = struct.unpack_from("<4siii", block, 356 + 8)
        self.assertEqual((fcc, quality, key_rate, data_rate), (b"ZMBV", 1234, 7, 500))
        self.check_decodes_exactly(out, 64, 48, 3)

    def test_info_shows_the_listed_compressors_and_the_audio_path_of_each_choice(self):
        rows = [
            ("none", "audio: the host's PCM as delivered, no conversion\n"),
            ("pcm:22050:1:8", "\n  one stage: the in-house PCM converter\n"),
            ("ima", '\n  one stage: ACM driver "'),
            # GSM takes 8 kHz mono only: resampled and mixed down in-house first.
            ("gsm", '\n  two stages: the in-house converter to 16-bit PCM 8000 Hz 1 ch, then ACM driver "'),
            ("msadpcm", "\n  no installed driver converts to it; an export stops with: "),
        ]
        for choice, path in rows:
            with self.subTest(audio=choice):
                run = self.host("info", "--settings", "none", "--format", "ZMBV", "--ini", "codec:ZMBP=5",
                                "--audio-format", choice)
                self.assertEqual(run.returncode, 0, str(run))
                self.assertIn(path, run.stdout, str(run))
        listed = "\n" + run.stdout.split("compressors the settings dialog lists:\n")[1]
        self.assertRegex(listed, r'\n  ZMBV "[^"\n]+" \(chosen\)\n +can: quality, key frames[^\n]*; '
                                 r'ini \[codec\] ZMBV=7 in effect; an export feeds it 24-bit RGB\n')
        self.assertRegex(listed, r'\n  ZMBP "[^"\n]+"\n[^\n]*; ini \[codec\] ZMBP=5 in effect;')
        self.assertLess(listed.index("  ZMBV"), listed.index('  YUY2 "YUY2": built-in'))


if __name__ == "__main__":
    unittest.main()
