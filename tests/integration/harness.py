"""Runs velnik-host under Wine and reads its output with ffmpeg/ffprobe.

Each test gets its own folder inside the build folder with its own copy of
velnik-host.exe and velnik.dll, so the settings file and orvane.ini that the
plug-in finds beside the executable belong to that test alone.
"""
import json
import os
import shutil
import struct
import subprocess
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE_DIR = os.environ.get("VELNIK_SOURCE_DIR", os.path.dirname(os.path.dirname(HERE)))
BUILD_DIR = os.environ.get("VELNIK_BUILD_DIR", os.path.join(SOURCE_DIR, "build", "x64"))
ARCH = os.environ.get("VELNIK_ARCH", "x86_64")
WINE_RUN = os.path.join(SOURCE_DIR, "cmake", "wine-run.sh")

# The plug-in's texts as code page 932 bytes.
TEXT_CREATE_FAILED = "ファイルの作成に失敗しました。".encode("cp932")
TEXT_WRITE_FAILED = "ファイルの書き込みに失敗しました。".encode("cp932")

ROOT_TMP = os.path.join(BUILD_DIR, "integration-tmp")


def stride(fmt, width):
    bits = 16 if fmt == "yuy2" else 24
    return ((bits * width + 7) // 8 + 3) // 4 * 4


def frame_bytes(fmt, width, height):
    return stride(fmt, width) * height


def grid(frame, scale, sample_rate, rate):
    """First sample of frame on the export's sample grid, as the driver computes it."""
    return int(float(frame) * scale * sample_rate / rate)


class HostRun:
    def __init__(self, completed):
        self.returncode = completed.returncode
        self.stdout = completed.stdout.decode("utf-8", "replace")
        self.stderr = completed.stderr.decode("utf-8", "replace")

    def value(self, key):
        """The text after 'key: ' on the host's summary line, or None."""
        for line in self.stdout.splitlines():
            if line.startswith(key + ": "):
                return line[len(key) + 2:]
        return None

    @property
    def result(self):
        v = self.value("result")
        return int(v) if v is not None else None

    def __str__(self):
        return "exit %d\n--- stdout\n%s--- stderr\n%s" % (self.returncode, self.stdout, self.stderr)


class HostTestCase(unittest.TestCase):
    """Gives each test a folder with its own host copy, removed after a pass."""

    def setUp(self):
        name = "%s.%s-%d" % (type(self).__name__, self._testMethodName, os.getpid())
        self.dir = os.path.join(ROOT_TMP, name)
        shutil.rmtree(self.dir, ignore_errors=True)
        os.makedirs(self.dir)
        for f in ("velnik-host.exe", "velnik.dll"):
            src = os.path.join(BUILD_DIR, f)
            if not os.path.exists(src):
                self.fail("%s is not built" % src)
            shutil.copy(src, self.dir)
        self.exe = os.path.join(self.dir, "velnik-host.exe")
        self.settings = self.path("settings.bin")

    def tearDown(self):
        # A failed test keeps its folder for a look at what the host left.
        outcome = getattr(self, "_outcome", None)
        if outcome is None or getattr(outcome, "success", True):
            shutil.rmtree(self.dir, ignore_errors=True)

    def path(self, name):
        return os.path.join(self.dir, name)

    def host(self, *args, timeout=600):
        cmd = [WINE_RUN, BUILD_DIR, ARCH, self.exe] + [str(a) for a in args]
        completed = subprocess.run(cmd, stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=timeout)
        return HostRun(completed)

    def export(self, out, *args, timeout=600):
        """velnik-host export with this test's settings file."""
        return self.host("export", out, "--settings", self.settings, *args, timeout=timeout)

    def assertSameFrames(self, decoded, handed):
        """Frame by frame, so a failure names the frame and prints no megabytes."""
        self.assertEqual(len(decoded), len(handed), "frame count")
        for i, (a, b) in enumerate(zip(decoded, handed)):
            if a != b:
                self.fail("frame %d differs from what was handed over" % i)

    def assertSameBytes(self, actual, expected, what):
        if actual != expected:
            at = next((i for i, (a, b) in enumerate(zip(actual, expected)) if a != b), min(len(actual), len(expected)))
            self.fail("%s: %d bytes, expected %d; first difference at byte %d" % (what, len(actual), len(expected), at))

    def assertExported(self, run):
        self.assertEqual(run.returncode, 0, str(run))
        self.assertEqual(run.result, 1, str(run))
        self.assertNotIn("protocol", run.stdout, str(run))


def ffprobe_streams(path, count=True):
    cmd = ["ffprobe", "-v", "error"]
    if count:
        cmd.append("-count_frames")
    cmd += ["-show_entries",
            "stream=index,codec_type,codec_name,codec_tag_string,width,height,pix_fmt,"
            "r_frame_rate,nb_read_frames,sample_rate,channels",
            "-of", "json", path]
    out = subprocess.run(cmd, stdout=subprocess.PIPE, stderr=subprocess.PIPE, check=True).stdout
    return json.loads(out).get("streams", [])


def stream_of(streams, kind):
    found = [s for s in streams if s.get("codec_type") == kind]
    return found[0] if found else None


def frames_read(stream):
    """ffprobe's -count_frames result; this ffprobe shows none at all for an
    empty stream, so that reads as 0 (the stream itself must exist)."""
    value = stream.get("nb_read_frames", "N/A")
    return 0 if value == "N/A" else int(value)


def decode_video(path, pix_fmt):
    cmd = ["ffmpeg", "-v", "error", "-nostdin", "-i", path, "-map", "0:v:0", "-fps_mode", "passthrough",
           "-f", "rawvideo", "-pix_fmt", pix_fmt, "-"]
    return subprocess.run(cmd, stdout=subprocess.PIPE, stderr=subprocess.PIPE, check=True).stdout


def decode_audio(path):
    cmd = ["ffmpeg", "-v", "error", "-nostdin", "-i", path, "-map", "0:a:0", "-f", "s16le", "-"]
    return subprocess.run(cmd, stdout=subprocess.PIPE, stderr=subprocess.PIPE, check=True).stdout


def dumped_frames(data, fmt, width, height):
    """Frames as handed to the plug-in, in the row order ffmpeg decodes to:
    24-bit frames are stored bottom-up with padded rows, YUY2 top-down."""
    s = stride(fmt, width)
    row = width * 3 if fmt == "rgb" else (width + 1) // 2 * 4
    size = s * height
    frames = []
    for f in range(len(data) // size):
        frame = data[f * size:(f + 1) * size]
        rows = [frame[r * s:r * s + row] for r in range(height)]
        if fmt == "rgb":
            rows.reverse()
        frames.append(b"".join(rows))
    return frames


def split(data, size):
    return [data[i:i + size] for i in range(0, len(data), size)]


def riff_list(path):
    """Top-level RIFF chunks of a file as (form type, offset, size)."""
    chunks = []
    with open(path, "rb") as f:
        f.seek(0, 2)
        end = f.tell()
        offset = 0
        while offset + 12 <= end:
            f.seek(offset)
            tag, size, form = struct.unpack("<4sI4s", f.read(12))
            if tag != b"RIFF":
                break
            chunks.append((form, offset, size))
            offset += 8 + size + (size & 1)
    return chunks


def read_call_log(path):
    with open(path) as f:
        return [line.split() for line in f]
