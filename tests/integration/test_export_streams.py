"""Single-RIFF exports read back by ffprobe and ffmpeg: every frame and every
sample the host handed over comes back byte for byte."""
import os
import unittest

import harness


class SingleRiffExports(harness.HostTestCase):
    def export_and_check(self, width, height, rate, scale, frames, audio=None, fmt="rgb"):
        """Exports the test clip and compares the file with what was handed over.
        audio is (sample_rate, channels) or None. Returns the call log."""
        out = self.path("out.avi")
        args = ["--size", "%dx%d" % (width, height), "--rate", "%d/%d" % (rate, scale), "--frames", frames,
                "--format", fmt, "--dump-frames", self.path("frames.raw"),
                "--call-log", self.path("calls.txt")]
        if audio:
            args += ["--audio-rate", audio[0], "--channels", audio[1], "--dump-audio", self.path("audio.raw")]
        else:
            args.append("--no-audio")
        run = self.export(out, *args)
        self.assertExported(run)

        riffs = harness.riff_list(out)
        self.assertEqual([form for form, _, _ in riffs], [b"AVI "])
        self.assertEqual(riffs[0][2] + 8, os.path.getsize(out), "RIFF size covers the whole file")

        streams = harness.ffprobe_streams(out)
        self.assertEqual(len(streams), 2 if audio else 1, streams)
        video = harness.stream_of(streams, "video")
        self.assertEqual((video["width"], video["height"]), (width, height))
        self.assertEqual(harness.frames_read(video), frames)
        num, den = (int(x) for x in video["r_frame_rate"].split("/"))
        self.assertEqual(num * scale, den * rate, video["r_frame_rate"])

        pix_fmt = "yuyv422" if fmt == "yuy2" else "bgr24"
        self.assertEqual(video["pix_fmt"], pix_fmt)
        with open(self.path("frames.raw"), "rb") as f:
            handed = harness.dumped_frames(f.read(), fmt, width, height)
        self.assertEqual(len(handed), frames)
        decoded = harness.split(harness.decode_video(out, pix_fmt), len(handed[0]) if handed else 1)
        self.assertSameFrames(decoded, handed)
        self.assertEqual(len(set(handed)), frames, "the test clip repeats a frame")

        if audio:
            sample_rate, channels = audio
            stream = harness.stream_of(streams, "audio")
            self.assertEqual((int(stream["sample_rate"]), stream["channels"]), (sample_rate, channels))
            with open(self.path("audio.raw"), "rb") as f:
                handed_audio = f.read()
            expected = harness.grid(frames, scale, sample_rate, rate)
            self.assertEqual(len(handed_audio), expected * channels * 2)
            self.assertSameBytes(harness.decode_audio(out), handed_audio, "audio")
        return harness.read_call_log(self.path("calls.txt"))

    def test_ntsc_rate_with_48k_audio_on_the_sample_grid(self):
        calls = self.export_and_check(321, 241, 30000, 1001, 12, audio=(48000, 2))
        asked = [(int(c[1]), int(c[2])) for c in calls if c[0] == "audio"]
        self.assertEqual([n for _, n in asked[:5]], [1601, 1602, 1601, 1602, 1602])
        # Each frame's audio starts where the previous frame's ended.
        for (first, count), (next_first, _) in zip(asked, asked[1:]):
            self.assertEqual(first + count, next_first)
        self.assertEqual(sum(n for _, n in asked), 19219)

    def test_pal_rate_with_44k_mono_audio(self):
        calls = self.export_and_check(320, 240, 25, 1, 10, audio=(44100, 1))
        self.assertEqual({int(c[2]) for c in calls if c[0] == "audio"}, {1764})

    def test_video_only_at_odd_sizes(self):
        for width, height in ((321, 241), (33, 17), (2, 1)):
            with self.subTest(size=(width, height)):
                self.export_and_check(width, height, 24000, 1001, 5)

    def test_yuy2_frames_at_an_odd_width(self):
        calls = self.export_and_check(321, 241, 30000, 1001, 6, audio=(48000, 2), fmt="yuy2")
        self.assertEqual({c[2] for c in calls if c[0] == "video"}, {"32595559"})

    def test_callbacks_come_in_the_host_order(self):
        calls = self.export_and_check(64, 48, 25, 1, 3, audio=(44100, 2))
        order = [c[0] for c in calls]
        self.assertEqual(order, ["abort", "remaining", "video", "preview", "audio"] * 3)
        self.assertEqual([c[1:] for c in calls if c[0] == "remaining"], [["0", "3"], ["1", "3"], ["2", "3"]])


    def test_write_unit_does_not_change_the_file(self):
        # 0 writes synchronously; the others cut the same bytes into units of
        # different sizes, with the 2,048-byte alignment falling inside them.
        files = {}
        for unit in ("none", "0", "1", "64"):
            out = self.path("unit-%s.avi" % unit)
            run = self.export(out, "--saveunitsize", unit, "--size", "321x241", "--frames", 20,
                              "--audio-rate", 44100, "--channels", 2)
            self.assertExported(run)
            with open(out, "rb") as f:
                files[unit] = f.read()
        self.assertEqual(harness.frames_read(harness.stream_of(harness.ffprobe_streams(out), "video")), 20)
        for unit in ("0", "1", "64"):
            self.assertSameBytes(files[unit], files["none"], "file written in %s KiB units" % unit)


    def test_export_over_a_longer_file_replaces_it(self):
        # Whole-unit writes must not leave the old file's tail behind.
        out, fresh = self.path("again.avi"), self.path("fresh.avi")
        self.assertExported(self.export(out, "--size", "320x240", "--frames", 40))
        self.assertExported(self.export(out, "--size", "320x240", "--frames", 2))
        self.assertExported(self.export(fresh, "--size", "320x240", "--frames", 2))
        with open(out, "rb") as a, open(fresh, "rb") as b:
            self.assertSameBytes(a.read(), b.read(), "file written over a longer one")


if __name__ == "__main__":
    unittest.main(verbosity=2)
