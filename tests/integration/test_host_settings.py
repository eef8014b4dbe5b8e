"""The plug-in table as the host sees it, and the settings block kept
between runs of the host."""
import codecs
import os
import re
import struct
import subprocess
import unittest
import zipfile

import harness

BLOCK_SIZE = 15208
FOURCC_OFFSET = 364


class TableAndSettings(harness.HostTestCase):
    def test_info_shows_the_table_and_the_default_block(self):
        run = self.host("info", "--settings", "none")
        self.assertEqual(run.returncode, 0, str(run))
        out = run.stdout
        self.assertNotIn("protocol", out, str(run))
        self.assertEqual(run.value("name"), "Velnik")
        self.assertIn("  AviFile (*.avi) | *.avi\n  AllFile (*.*) | *.*\n", out)
        self.assertEqual(run.value("information"), "Velnik 0.01")
        self.assertEqual(run.value("settings block"), "%d bytes" % BLOCK_SIZE)
        self.assertIn("video format: biSize 40, 640 x 480, planes 1, 24 bits, compression 0,", out)
        self.assertIn("audio format: tag 1, 2 channels, 44100 Hz, 176400 bytes/s, block 4, 16 bits, cbSize 0",
                      out)
        self.assertIn("video compressor (offset 364): 0 (uncompressed RGB)", out)
        self.assertIn("audio flags: 0x0 (PCM as delivered), chosen format size 0", out)
        self.assertEqual(run.value("settings"), "defaults (no file)")

    def test_entries_that_remove_their_own_arguments_are_caught(self):
        # The real plug-in passes the host's check (no "protocol" line above);
        # a plug-in whose settings entries are __stdcall must not.
        dll = os.path.join(harness.BUILD_DIR, "tests", "stdcall_plugin.dll")
        run = self.host("info", "--settings", "none", "--dll", dll)
        if harness.ARCH == "x86_64":
            # One calling convention: nothing to catch.
            self.assertEqual(run.returncode, 0, str(run))
            self.assertNotIn("protocol", run.stdout, str(run))
        else:
            self.assertEqual(run.returncode, 3, str(run))
            self.assertIn("protocol: calling convention of on_get_settings: the entry removed 4 bytes", run.stdout,
                          str(run))
            self.assertIn("entry calls broke the __cdecl calling convention", run.stderr, str(run))

    def test_saved_block_is_loaded_by_the_next_run(self):
        first = self.export(self.path("first.avi"), "--format", "yuy2", "--size", "64x48", "--frames", "2",
                            "--no-audio")
        self.assertExported(first)
        with open(self.settings, "rb") as f:
            block = f.read()
        self.assertEqual(len(block), BLOCK_SIZE)
        self.assertEqual(block[FOURCC_OFFSET:FOURCC_OFFSET + 4], b"YUY2")
        # The block also carries the last export's description.
        self.assertEqual(struct.unpack_from("<iii", block, 4), (64, 48, 2))

        # No --format now: the choice can only come from the saved block.
        second = self.export(self.path("second.avi"), "--size", "64x48", "--frames", "2", "--no-audio")
        self.assertExported(second)
        self.assertIn("settings: loaded", second.stdout)
        video = harness.stream_of(harness.ffprobe_streams(self.path("second.avi")), "video")
        self.assertEqual((video["codec_tag_string"], video["pix_fmt"]), ("YUY2", "yuyv422"))

        info = self.host("info", "--settings", self.settings)
        self.assertIn('video compressor (offset 364): "YUY2"', info.stdout)

    def test_block_of_the_wrong_size_is_refused(self):
        for size in (BLOCK_SIZE - 1, BLOCK_SIZE + 1, 0):
            with self.subTest(size=size):
                # Were it taken, the export below would come out as YUY2.
                block = bytearray(size)
                if size > FOURCC_OFFSET + 4:
                    block[FOURCC_OFFSET:FOURCC_OFFSET + 4] = b"YUY2"
                with open(self.settings, "wb") as f:
                    f.write(block)
                out = self.path("refused-%d.avi" % size)
                run = self.export(out, "--size", "32x16", "--frames", "1", "--no-audio")
                self.assertExported(run)
                self.assertIn("refused", run.stderr)
                video = harness.stream_of(harness.ffprobe_streams(out), "video")
                self.assertEqual(video["pix_fmt"], "bgr24")
                # The host saved the plug-in's own block over the refused one.
                self.assertEqual(os.path.getsize(self.settings), BLOCK_SIZE)


def cp932_literals(source, pattern):
    """The byte strings that pattern's first group finds in a source file,
    escapes resolved as the compiler resolves them."""
    with open(os.path.join(harness.SOURCE_DIR, source)) as f:
        text = f.read().replace("\\\n", "")
    return [(m.group(0)[:40], codecs.escape_decode("".join(re.findall(r'"((?:[^"\\]|\\.)*)"', m.group(1))))[0])
            for m in re.finditer(pattern, text)]


class Package(harness.HostTestCase):
    def test_package_holds_this_build_and_a_guide_in_code_page_932(self):
        done = subprocess.run(["sh", os.path.join(harness.SOURCE_DIR, "cmake", "package.sh"), harness.BUILD_DIR,
                               self.dir], stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        self.assertEqual(done.returncode, 0, done.stderr)
        (_, version), = cp932_literals("plugin/texts.h", r'#define VELNIK_VERSION (".*")')
        width = "win64" if harness.ARCH == "x86_64" else "win32"
        self.assertEqual(done.stdout.decode().strip(), self.path("velnik-%s-%s.zip" % (version.decode(), width)))
        with zipfile.ZipFile(done.stdout.decode().strip()) as z:
            self.assertEqual(sorted(z.namelist()), ["velnik.dll", "velnik.txt"])
            dll, guide = z.read("velnik.dll"), z.read("velnik.txt")
        with open(os.path.join(harness.BUILD_DIR, "velnik.dll"), "rb") as f:
            self.assertSameBytes(dll, f.read(), "packaged velnik.dll")
        guide.decode("cp932")   # raises on bytes that are not code page 932
        self.assertTrue(guide.endswith(b"\r\n"))
        self.assertNotIn(b"\n", guide.replace(b"\r\n", b""), "line ends other than CRLF")
        self.assertNotIn(b"\r", guide.replace(b"\r\n", b""), "line ends other than CRLF")
        # Every message and every dialog text, byte for byte as the plug-in shows them.
        shown = cp932_literals("plugin/texts.h", r'#define TEXT_\w+((?:\s*"(?:[^"\\]|\\.)*")+)')
        shown += cp932_literals("ui/velnik.rc", r'(?:CONTROL|CAPTION) ("(?:[^"\\]|\\.)*")')
        for where, text in shown:
            if text and text != b"ComboBox1":
                self.assertIn(text, guide, where)
        for key in (b"orvane.ini", b"[system]", b"saveunitsize", b"[codec]"):
            self.assertIn(key, guide)


if __name__ == "__main__":
    unittest.main(verbosity=2)
