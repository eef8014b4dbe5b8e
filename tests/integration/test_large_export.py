"""An export past 4 GiB: several RIFFs, and every frame and sample still
readable by ffmpeg. Slow (about a minute) and needs about 5 GiB of disk."""
import os
import shutil
import subprocess
import sys
import unittest

import harness

WIDTH, HEIGHT = 1920, 1080
FRAME = WIDTH * HEIGHT * 3
FRAMES = 700                        # 700 x 6,220,800 bytes is past 4 GiB
RATE, SCALE, SAMPLE_RATE = 30000, 1001, 48000
PREGENERATE_MIB = 64
NEEDED = FRAMES * FRAME + (1 << 30)  # the file, the reference frames, slack


class PastFourGiB(harness.HostTestCase):
    def setUp(self):
        os.makedirs(harness.ROOT_TMP, exist_ok=True)
        free = shutil.disk_usage(harness.ROOT_TMP).free
        if free < NEEDED:
            reason = "needs %.1f GiB free in %s, has %.1f GiB" % (NEEDED / 2**30, harness.ROOT_TMP, free / 2**30)
            print("skipped: " + reason, file=sys.stderr)
            self.skipTest(reason)
        super().setUp()

    def test_export_past_4_gib_reads_back_whole(self):
        out = self.path("large.avi")
        try:
            self.check_large(out)
        finally:
            if os.path.exists(out):
                os.remove(out)

    def check_large(self, out):
        common = ["--size", "%dx%d" % (WIDTH, HEIGHT), "--rate", "%d/%d" % (RATE, SCALE),
                  "--pregenerate", "--pregenerate-mib", PREGENERATE_MIB]
        run = self.export(out, "--frames", FRAMES, "--audio-rate", SAMPLE_RATE, "--channels", 2,
                          "--dump-audio", self.path("audio.raw"), *common, timeout=1800)
        self.assertExported(run)
        self.assertGreater(os.path.getsize(out), 4 << 30)
        # Frame i of a pregenerated export is frame i mod K of the set.
        distinct = int(run.value("pregenerated").split()[0])

        riffs = harness.riff_list(out)
        self.assertGreaterEqual(len(riffs), 2)
        self.assertEqual([form for form, _, _ in riffs], [b"AVI "] + [b"AVIX"] * (len(riffs) - 1))
        _, last_offset, last_size = riffs[-1]
        self.assertEqual(last_offset + 8 + last_size, os.path.getsize(out))

        streams = harness.ffprobe_streams(out)
        self.assertEqual(harness.frames_read(harness.stream_of(streams, "video")), FRAMES)
        audio = harness.decode_audio(out)
        self.assertEqual(len(audio), harness.grid(FRAMES, SCALE, SAMPLE_RATE, RATE) * 4)
        with open(self.path("audio.raw"), "rb") as f:
            self.assertSameBytes(audio, f.read(), "audio")

        # The distinct frames, from a short export of the same set.
        reference = self.path("reference.avi")
        run = self.export(reference, "--frames", distinct, "--no-audio", "--dump-frames", self.path("set.raw"),
                          *common)
        self.assertExported(run)
        os.remove(reference)
        with open(self.path("set.raw"), "rb") as f:
            frame_set = harness.dumped_frames(f.read(), "rgb", WIDTH, HEIGHT)
        os.remove(self.path("set.raw"))
        self.assertEqual(len(frame_set), distinct)

        decoder = subprocess.Popen(["ffmpeg", "-v", "error", "-nostdin", "-i", out, "-map", "0:v:0",
                                    "-fps_mode", "passthrough", "-f", "rawvideo", "-pix_fmt", "bgr24", "-"],
                                   stdout=subprocess.PIPE)
        count = 0
        try:
            while True:
                frame = decoder.stdout.read(FRAME)
                if not frame:
                    break
                if frame != frame_set[count % distinct]:
                    self.fail("frame %d differs from frame %d of the set" % (count, count % distinct))
                count += 1
        finally:
            decoder.kill()
            decoder.stdout.close()
            decoder.wait()
        self.assertEqual(count, FRAMES)


if __name__ == "__main__":
    unittest.main(verbosity=2)
