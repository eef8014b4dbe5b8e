"""A disk that fills up mid-export. tests/run.sh mounts a small file system
(as root) and names a folder on it in VELNIK_SMALL_DISK."""
import os
import sys
import unittest

import harness

SMALL_DISK = os.environ.get("VELNIK_SMALL_DISK")
WIDTH, HEIGHT = 640, 480
FRAME = WIDTH * HEIGHT * 3
LARGEST_SMALL_DISK = 512 << 20


def skip_reason():
    if not SMALL_DISK:
        return "VELNIK_SMALL_DISK is not set (tests/run.sh sets it when it can mount a small file system)"
    if not os.path.isdir(SMALL_DISK):
        return "VELNIK_SMALL_DISK=%s is not a folder" % SMALL_DISK
    free = os.statvfs(SMALL_DISK)
    if free.f_bavail * free.f_frsize > LARGEST_SMALL_DISK:
        return "VELNIK_SMALL_DISK=%s has more than 512 MiB free; too slow to fill" % SMALL_DISK
    return None


class DiskFull(harness.HostTestCase):
    def setUp(self):
        reason = skip_reason()
        if reason:
            print("skipped: " + reason, file=sys.stderr)
            self.skipTest(reason)
        super().setUp()

    def test_write_failure_leaves_a_readable_file(self):
        # Synchronous writes (0), small units and the default 4 MiB units fail
        # at different places; each must end the same way.
        for unit in ("0", "64", "none"):
            with self.subTest(saveunitsize=unit):
                out = os.path.join(SMALL_DISK, "velnik-full-%d.avi" % os.getpid())
                try:
                    self.fill_disk(out, unit)
                finally:
                    if os.path.exists(out):
                        os.remove(out)

    def fill_disk(self, out, unit):
        free = os.statvfs(SMALL_DISK)
        frames = free.f_bavail * free.f_frsize // FRAME + 30
        messages = self.path("messages-%s.txt" % unit)
        run = self.export(out, "--saveunitsize", unit, "--frames", frames, "--size", "%dx%d" % (WIDTH, HEIGHT),
                          "--messages", messages, "--dump-frames", self.path("frames.raw"),
                          "--dump-audio", self.path("audio.raw"))
        self.assertExported(run)
        with open(messages, "rb") as f:
            self.assertEqual(f.read(), harness.TEXT_WRITE_FAILED + b"\n")
        fetched = int(run.value("frames fetched").split()[0])
        self.assertLess(fetched, frames, "the export went on after the failure")

        video = harness.stream_of(harness.ffprobe_streams(out), "video")
        self.assertEqual((video["width"], video["height"]), (WIDTH, HEIGHT))
        on_disk = harness.frames_read(video)
        self.assertGreater(on_disk, 0)
        self.assertLessEqual(on_disk, fetched)

        with open(self.path("frames.raw"), "rb") as f:
            handed = harness.dumped_frames(f.read(), "rgb", WIDTH, HEIGHT)
        decoded = harness.split(harness.decode_video(out, "bgr24"), FRAME)
        self.assertSameFrames(decoded, handed[:on_disk])
        with open(self.path("audio.raw"), "rb") as f:
            handed_audio = f.read()
        audio = harness.decode_audio(out)
        self.assertGreater(len(audio), 0)
        self.assertSameBytes(audio, handed_audio[:len(audio)], "audio")


if __name__ == "__main__":
    unittest.main(verbosity=2)
