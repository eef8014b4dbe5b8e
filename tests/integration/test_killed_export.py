"""A host that dies mid-export: the file holds what reached the disk, with the
headers as written at open. Independent readers must still read every whole
frame and the audio with it, single- and multi-RIFF."""
import os
import struct
import subprocess
import time
import unittest

import harness

WIDTH, HEIGHT, FRAMES = 320, 240, 300
FRAME = WIDTH * HEIGHT * 3
# The test clip's audio, 48000 Hz stereo at 30000/1001 fps: about 1602 samples a frame.
ESTIMATE = FRAMES * (FRAME + 8 + 1602 * 4 + 8)
SMALL_RIFF_DLL = os.path.join(harness.BUILD_DIR, "velnik_small_riff.dll")


def whole_chunks(path, wanted):
    """Counts whole chunks with this id, walking the file front to back and
    stepping into every RIFF and LIST whatever its size field says."""
    with open(path, "rb") as f:
        data = f.read()
    count = pos = 0
    while pos + 8 <= len(data):
        tag, size = struct.unpack_from("<4sI", data, pos)
        if tag in (b"RIFF", b"LIST"):
            pos += 12
            continue
        if pos + 8 + size > len(data):
            break
        count += tag == wanted
        pos += 8 + size + (size & 1)
    return count


class KilledExport(harness.HostTestCase):
    def common(self):
        return ["--frames", FRAMES, "--size", "%dx%d" % (WIDTH, HEIGHT), "--rate", "30000/1001",
                "--audio-rate", "48000", "--channels", "2"]

    def kill_at(self, out, fraction, options):
        """Starts an export and kills the host's process once the file has
        reached fraction of its expected size."""
        cmd = [harness.WINE_RUN, harness.BUILD_DIR, harness.ARCH, self.exe, "export", out,
               "--settings", self.settings, "--fetch-delay-ms", "5"] + [str(a) for a in self.common() + options]
        host = subprocess.Popen(cmd, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        try:
            while host.poll() is None:
                if os.path.exists(out) and os.path.getsize(out) >= fraction * ESTIMATE:
                    host.kill()
                    break
                time.sleep(0.005)
        finally:
            host.wait(timeout=120)
        self.assertNotEqual(host.returncode, 0, "the export ended before it could be killed")

    def test_killed_exports_stay_readable(self):
        # The same clip exported to the end: what the killed files must begin with.
        reference = self.path("finished.avi")
        self.assertExported(self.export(reference, *self.common()))
        frames = harness.split(harness.decode_video(reference, "bgr24"), FRAME)
        audio = harness.decode_audio(reference)
        self.assertEqual(len(frames), FRAMES)
        cases = [("single, 64 KiB units", 0.4, ["--saveunitsize", "64"]),
                 ("single, 4 MiB units", 0.75, []),
                 ("single, synchronous", 0.6, ["--saveunitsize", "0"]),
                 ("multi-RIFF, 64 KiB units", 0.4, ["--dll", SMALL_RIFF_DLL, "--saveunitsize", "64"]),
                 ("multi-RIFF, synchronous", 0.75, ["--dll", SMALL_RIFF_DLL, "--saveunitsize", "0"])]
        for name, fraction, options in cases:
            with self.subTest(name):
                out = self.path("killed.avi")
                self.kill_at(out, fraction, options)
                if "--dll" in options:
                    riffs = harness.riff_list(out)
                    self.assertGreater(len(riffs), 1, "a multi-RIFF file")
                    with open(out, "rb") as f:
                        f.seek(riffs[-1][1] + 12)
                        head = f.read(12)
                    # A reader that walks on past the indexes steps from an open "AVIX" 24 bytes on,
                    # expecting "movi" there.
                    if riffs[-1][1] + 8 + riffs[-1][2] != os.path.getsize(out) and len(head) == 12:
                        self.assertEqual((head[:4], head[8:]), (b"LIST", b"movi"), "the open RIFF's head")
                on_disk = whole_chunks(out, b"00db")
                self.assertGreater(on_disk, 10)
                probe = subprocess.run(["ffprobe", "-v", "warning", "-count_frames", "-show_entries",
                                        "stream=codec_type,nb_read_frames", "-of", "json", out],
                                       capture_output=True, text=True)
                self.assertEqual(probe.returncode, 0, probe.stderr)
                self.assertNotIn("invalid", probe.stderr)
                decoded = harness.split(harness.decode_video(out, "bgr24"), FRAME)
                self.assertGreaterEqual(len(decoded), 0.95 * on_disk, "%d of %d frames" % (len(decoded), on_disk))
                self.assertSameFrames(decoded, frames[:len(decoded)])
                sound = harness.decode_audio(out)
                self.assertGreaterEqual(len(sound), 0.95 * whole_chunks(out, b"01wb") * 1601 * 4)
                self.assertSameBytes(sound, audio[:len(sound)], "audio")
                os.remove(out)


if __name__ == "__main__":
    unittest.main(verbosity=2)
