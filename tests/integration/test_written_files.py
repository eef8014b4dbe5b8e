"""ffprobe and ffmpeg read the files that the Windows tests wrote.

The writer's own tests check those files chunk by chunk; here the
independent readers decode every one of them: ffprobe counts the video
frames and finds exactly the number in the main header, and ffmpeg decodes
every stream without an error. Runs after the tests that write the files.
"""
import os
import struct
import subprocess
import unittest

from harness import BUILD_DIR

TESTDATA = os.path.join(BUILD_DIR, "testdata")
# Files the writer tests fill with chunks that do not match their stream
# formats on purpose (oversized frames, audio blocks of random length), and
# one whose compressor is a test hook that never gives a stream format.
DELIBERATELY_ODD = {"limits.avi", "shapes.avi", "stress.avi", "abandoned.avi"}
# Folders whose files carry formats only a test codec of that program knows
# (the audio test codec; the settings dialog's recording compressor).
TEST_CODEC_FOLDERS = {"audio_codec", "settings_dialog"}


def written_files():
    for folder, _, names in sorted(os.walk(TESTDATA)):
        if os.path.basename(folder) in TEST_CODEC_FOLDERS:
            continue
        for name in sorted(names):
            if name.endswith(".avi") and name not in DELIBERATELY_ODD:
                yield os.path.join(folder, name)


class WrittenFilesTest(unittest.TestCase):
    def test_every_file_decodes_with_its_frame_count(self):
        files = list(written_files())
        if not files:
            self.skipTest("no files from the Windows tests in %s" % TESTDATA)
        for path in files:
            with self.subTest(file=os.path.relpath(path, TESTDATA)):
                with open(path, "rb") as f:
                    header = f.read(64)
                self.assertEqual(header[:4], b"RIFF")
                total_frames = struct.unpack_from("<I", header, 48)[0]
                probe = subprocess.run(
                    ["ffprobe", "-v", "error", "-count_frames", "-select_streams", "v:0",
                     "-show_entries", "stream=nb_read_frames", "-of", "csv=p=0", path],
                    capture_output=True, text=True)
                self.assertEqual(probe.returncode, 0, probe.stderr)
                self.assertEqual(probe.stderr.strip(), "")
                read = probe.stdout.strip()
                self.assertEqual(int(read) if read.isdigit() else 0, total_frames)
                decode = subprocess.run(["ffmpeg", "-v", "error", "-i", path, "-f", "null", "-"],
                                        capture_output=True, text=True)
                self.assertEqual(decode.returncode, 0, decode.stderr)
                self.assertEqual(decode.stderr.strip(), "", decode.stderr)


if __name__ == "__main__":
    unittest.main()
