"""ffmpeg decodes the files that a full disk left (written by test_full_disk
and test_odml_full_disk, which compare their chunks with what was handed
over): every video chunk and all the audio in the file come back byte for
byte, and nothing more."""
import os
import re
import struct
import unittest

import harness

FOLDER = os.path.join(harness.BUILD_DIR, "testdata", "full_disk")


def chunks(path):
    """Payloads of the data chunks, walking every RIFF and LIST in order."""
    with open(path, "rb") as f:
        data = f.read()
    video, audio = [], bytearray()
    pos = 0
    while pos + 8 <= len(data):
        tag, size = struct.unpack_from("<4sI", data, pos)
        if tag in (b"RIFF", b"LIST"):
            if data[pos + 8:pos + 12] in (b"AVI ", b"AVIX", b"movi"):
                pos += 12
                continue
        elif tag == b"00db":
            video.append(data[pos + 8:pos + 8 + size])
        elif tag == b"01wb":
            audio += data[pos + 8:pos + 8 + size]
        pos += 8 + size + (size & 1)
    return video, bytes(audio)


class FullDiskFiles(unittest.TestCase):
    def test_every_chunk_decodes(self):
        names = sorted(n for n in os.listdir(FOLDER) if n.endswith(".avi")) if os.path.isdir(FOLDER) else []
        if not names:
            self.skipTest("no files in %s (the small disk was not mounted)" % FOLDER)
        for name in names:
            with self.subTest(file=name):
                path = os.path.join(FOLDER, name)
                video, audio = chunks(path)
                sized = re.search(r"-(\d+)x(\d+)-", name)
                width, height = (int(sized[1]), int(sized[2])) if sized else \
                    (8, 8) if name.startswith("no-idx1") else \
                    (165, 120) if name.startswith("split") else (160, 120)
                size = harness.frame_bytes("rgb", width, height)
                expected = harness.dumped_frames(b"".join(video), "rgb", width, height)
                self.assertEqual(len(expected), len(video))
                decoded = harness.split(harness.decode_video(path, "bgr24"), width * height * 3)
                self.assertEqual(len(decoded), len(video))
                self.assertTrue(all(len(v) == size for v in video))
                for i, (a, b) in enumerate(zip(decoded, expected)):
                    if a != b:
                        self.fail("frame %d differs from its chunk" % i)
                if harness.stream_of(harness.ffprobe_streams(path, count=False), "audio"):
                    self.assertEqual(harness.decode_audio(path), audio)
                else:
                    self.assertEqual(audio, b"")


if __name__ == "__main__":
    unittest.main(verbosity=2)
