"""Exports that are refused, cut short, or fed less audio than asked."""
import os
import unittest

import harness


class RefusedExports(harness.HostTestCase):
    def test_flags_without_video_are_refused_silently(self):
        out = self.path("novideo.avi")
        messages = self.path("messages.txt")
        run = self.export(out, "--no-video-flag", "--frames", "3", "--messages", messages)
        self.assertNotEqual(run.returncode, 0, str(run))
        self.assertEqual(run.result, 0, str(run))
        self.assertEqual(run.value("frames fetched"), "0 (format -), abort polls 0")
        self.assertFalse(os.path.exists(out))
        self.assertFalse(os.path.exists(messages), "no message is shown")

    def test_unwritable_path_shows_the_create_message(self):
        out = self.path("missing-folder/out.avi")
        messages = self.path("messages.txt")
        run = self.export(out, "--frames", "3", "--messages", messages)
        self.assertNotEqual(run.returncode, 0, str(run))
        self.assertEqual(run.result, 0, str(run))
        with open(messages, "rb") as f:
            self.assertEqual(f.read(), harness.TEXT_CREATE_FAILED + b"\n")
        self.assertIn("message [Velnik, 0x30]: ファイルの作成に失敗しました。", run.stdout)
        self.assertFalse(os.path.exists(out))

    @unittest.skipIf(harness.ARCH == "x86_64", "a 64-bit address space cannot be used up")
    def test_largest_write_unit_in_a_crowded_host_fails_cleanly(self):
        # The largest unit's ring must fit a 32-bit host, yet a host whose
        # address space is used up cannot give it: the export then says so,
        # fetches nothing, and leaves a file already at the path untouched.
        out = self.path("crowded.avi")
        with open(out, "wb") as f:
            f.write(b"an earlier export")
        messages = self.path("messages.txt")
        run = self.export(out, "--saveunitsize", 1048576, "--crowd-address-space", 64, "--frames", 3,
                          "--size", "64x48", "--messages", messages)
        self.assertEqual(run.result, 0, str(run))
        self.assertEqual(run.value("frames fetched"), "0 (format -), abort polls 0", str(run))
        with open(messages, "rb") as f:
            self.assertEqual(f.read(), b"memory error \n" + harness.TEXT_CREATE_FAILED + b"\n")
        with open(out, "rb") as f:
            self.assertEqual(f.read(), b"an earlier export")

        # The same host with its address space free exports at that unit.
        run = self.export(out, "--saveunitsize", 1048576, "--frames", 3, "--size", "64x48")
        self.assertExported(run)
        self.assertEqual(harness.frames_read(harness.stream_of(harness.ffprobe_streams(out), "video")), 3)


class ShortExports(harness.HostTestCase):
    def probe(self, out):
        streams = harness.ffprobe_streams(out)
        return harness.stream_of(streams, "video"), harness.stream_of(streams, "audio")

    def test_abort_before_the_first_frame_still_finishes_the_file(self):
        out = self.path("abort0.avi")
        run = self.export(out, "--abort-at", "0", "--frames", "10", "--size", "64x48",
                          "--call-log", self.path("calls.txt"))
        self.assertExported(run)
        calls = harness.read_call_log(self.path("calls.txt"))
        self.assertEqual(calls, [["abort", "1"]])
        video, audio = self.probe(out)
        self.assertEqual(harness.frames_read(video), 0)
        self.assertEqual(harness.decode_video(out, "bgr24"), b"")
        self.assertIsNotNone(audio)
        self.assertEqual(harness.decode_audio(out), b"")

    def test_abort_midway_keeps_the_frames_before_it(self):
        out = self.path("abort5.avi")
        run = self.export(out, "--abort-at", "5", "--frames", "20", "--size", "64x48", "--rate", "30000/1001",
                          "--audio-rate", "48000", "--dump-audio", self.path("audio.raw"))
        self.assertExported(run)
        video, _ = self.probe(out)
        self.assertEqual(harness.frames_read(video), 5)
        audio = harness.decode_audio(out)
        self.assertEqual(len(audio), harness.grid(5, 1001, 48000, 30000) * 4)
        with open(self.path("audio.raw"), "rb") as f:
            self.assertSameBytes(audio, f.read(), "audio")

    def test_zero_frames_gives_an_empty_video_stream(self):
        out = self.path("empty.avi")
        run = self.export(out, "--frames", "0", "--size", "64x48", "--call-log", self.path("calls.txt"))
        self.assertExported(run)
        self.assertEqual(harness.read_call_log(self.path("calls.txt")), [])
        video, _ = self.probe(out)
        self.assertEqual((video["width"], video["height"]), (64, 48))
        self.assertEqual(harness.frames_read(video), 0)
        self.assertEqual(harness.decode_video(out, "bgr24"), b"")

    def test_a_null_frame_from_the_host_does_not_take_it_down(self):
        # What the plug-in makes of a null frame is its own choice; the frames
        # before it must survive in a readable file.
        out = self.path("null.avi")
        run = self.export(out, "--null-video-at", "2", "--frames", "5", "--size", "64x48",
                          "--dump-frames", self.path("frames.raw"))
        self.assertIsNotNone(run.result, str(run))
        with open(self.path("frames.raw"), "rb") as f:
            handed = harness.dumped_frames(f.read(), "rgb", 64, 48)
        decoded = harness.split(harness.decode_video(out, "bgr24"), 64 * 48 * 3)
        self.assertGreaterEqual(len(decoded), 2)
        self.assertSameFrames(decoded[:2], handed[:2])


class ShortAudio(harness.HostTestCase):
    def export_with(self, frames, *options):
        out = self.path("out.avi")
        run = self.export(out, "--frames", frames, "--size", "64x48", "--rate", "30000/1001",
                          "--audio-rate", "48000", "--channels", "2", "--dump-audio", self.path("audio.raw"),
                          "--dump-frames", self.path("frames.raw"), "--call-log", self.path("calls.txt"),
                          *options)
        self.assertExported(run)
        video = harness.stream_of(harness.ffprobe_streams(out), "video")
        self.assertEqual(harness.frames_read(video), frames)
        with open(self.path("frames.raw"), "rb") as f:
            handed = harness.dumped_frames(f.read(), "rgb", 64, 48)
        self.assertSameFrames(harness.split(harness.decode_video(out, "bgr24"), 64 * 48 * 3), handed)
        with open(self.path("audio.raw"), "rb") as f:
            handed_audio = f.read()
        self.assertSameBytes(harness.decode_audio(out), handed_audio, "audio")
        delivered = [int(c[3]) for c in harness.read_call_log(self.path("calls.txt")) if c[0] == "audio"]
        return delivered, handed_audio

    def test_fewer_samples_than_asked(self):
        delivered, audio = self.export_with(8, "--audio-short", "1000")
        self.assertEqual(delivered, [1000] * 8)
        self.assertEqual(len(audio), 8000 * 4)

    def test_no_samples_for_some_frames(self):
        delivered, audio = self.export_with(6, "--audio-none-at", "0,3,5")
        self.assertEqual([n == 0 for n in delivered], [True, False, False, True, False, True])
        self.assertEqual(len(audio), sum(delivered) * 4)
        self.assertGreater(len(audio), 0)

    def test_no_samples_at_all(self):
        delivered, audio = self.export_with(4, "--audio-short", "0")
        self.assertEqual(delivered, [0] * 4)
        self.assertEqual(audio, b"")


if __name__ == "__main__":
    unittest.main(verbosity=2)
