"""Real media as the export's input: velnik-host decodes it through ffmpeg
on the Unix side, and the AVI must carry the same pictures and sound."""
import subprocess
import unittest

import harness


def make_source(path, size, rate, frames, sample_rate=None):
    """A lossless clip: raw BGR24 frames and, if asked, two-tone s16 PCM."""
    num, den = rate
    seconds = frames * den / num
    cmd = ["ffmpeg", "-v", "error", "-nostdin", "-y", "-f", "lavfi",
           # testsrc2 makes even sizes only; the crop gives odd ones.
           "-i", "testsrc2=s=%dx%d:r=%d/%d,format=rgb24,crop=%d:%d:0:0" % (size[0] + 1, size[1] + 1, num, den, size[0], size[1])]
    if sample_rate:
        cmd += ["-f", "lavfi", "-i",
                "aevalsrc=0.4*sin(440*2*PI*t)|0.3*sin(660*2*PI*t):s=%d:d=%.6f" % (sample_rate, seconds)]
    cmd += ["-frames:v", str(frames), "-c:v", "rawvideo", "-pix_fmt", "bgr24"]
    if sample_rate:
        cmd += ["-c:a", "pcm_s16le"]
    cmd.append(path)
    subprocess.run(cmd, check=True)


class MediaInput(harness.HostTestCase):
    def check(self, size, rate, frames, sample_rate=None, limit=None):
        source = self.path("source.nut")
        make_source(source, size, rate, frames, sample_rate)
        out = self.path("out.avi")
        args = ["--input", source]
        if limit:
            args += ["--frames", limit]
        run = self.export(out, *args)
        self.assertExported(run)
        expected_frames = limit or frames

        streams = harness.ffprobe_streams(out)
        video = harness.stream_of(streams, "video")
        self.assertEqual((video["width"], video["height"]), size)
        self.assertEqual(harness.frames_read(video), expected_frames)
        num, den = (int(x) for x in video["r_frame_rate"].split("/"))
        self.assertEqual(num * rate[1], den * rate[0])
        frame_size = size[0] * size[1] * 3
        source_frames = harness.split(harness.decode_video(source, "bgr24"), frame_size)
        exported = harness.split(harness.decode_video(out, "bgr24"), frame_size)
        self.assertSameFrames(exported, source_frames[:expected_frames])

        audio = harness.stream_of(streams, "audio")
        if not sample_rate:
            self.assertIsNone(audio)
            return
        self.assertEqual((int(audio["sample_rate"]), audio["channels"]), (sample_rate, 2))
        samples = harness.grid(expected_frames, rate[1], sample_rate, rate[0])
        source_audio = harness.decode_audio(source)
        self.assertSameBytes(harness.decode_audio(out), source_audio[:samples * 4], "audio")

    def test_ntsc_clip_with_sound(self):
        self.check((320, 180), (30000, 1001), 45, sample_rate=48000)

    def test_first_frames_of_a_clip(self):
        self.check((320, 180), (25, 1), 40, sample_rate=44100, limit=12)

    def test_odd_sized_clip_without_sound(self):
        self.check((161, 91), (25, 1), 10)

    def test_another_rate_and_no_sound(self):
        source = self.path("source.nut")
        make_source(source, (96, 64), (25, 1), 20, sample_rate=44100)
        out = self.path("out.avi")
        self.assertExported(self.export(out, "--input", source, "--rate", "50/1", "--no-audio"))
        streams = harness.ffprobe_streams(out)
        self.assertEqual([s["codec_type"] for s in streams], ["video"])
        self.assertEqual(streams[0]["r_frame_rate"], "50/1")
        size = 96 * 64 * 3
        source_frames = harness.split(harness.decode_video(source, "bgr24"), size)
        exported = harness.split(harness.decode_video(out, "bgr24"), size)
        # Twice the rate: ffmpeg shows every source frame twice.
        self.assertSameFrames(exported, [f for f in source_frames for _ in (0, 1)])

    def test_unreadable_media_is_reported(self):
        bogus = self.path("bogus.mkv")
        with open(bogus, "wb") as f:
            f.write(b"not a media file")
        out = self.path("out.avi")
        run = self.export(out, "--input", bogus)
        self.assertEqual(run.returncode, 3, str(run))
        self.assertIn("ffprobe failed", run.stderr)
        self.assertIsNone(run.result)


if __name__ == "__main__":
    unittest.main(verbosity=2)
