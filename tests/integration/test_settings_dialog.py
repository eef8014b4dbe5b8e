"""velnik-host configure on a virtual display: the settings dialog of the
product module opens, is drawn with its Japanese texts, and OK or Cancel
decide what the settings file keeps. A picture of the dialog is kept in the
build folder (settings-dialog.png) for a person to look at."""
import os
import shutil
import struct
import subprocess
import unittest
import zlib

import harness

FOURCC_OFFSET = 364
WITH_DISPLAY = os.path.join(harness.SOURCE_DIR, "tests", "with_display.sh")
# The display tests' own prefix: its server starts on the virtual display.
DISPLAY_DIR = os.path.join(harness.BUILD_DIR, "display")


def read_bmp(path):
    """24-bit BMP as (width, height, rows of (r, g, b) tuples), top row first."""
    with open(path, "rb") as f:
        data = f.read()
    offset = struct.unpack_from("<I", data, 10)[0]
    width, height = struct.unpack_from("<ii", data, 18)
    bits = struct.unpack_from("<H", data, 28)[0]
    if bits != 24:
        raise ValueError("%s: %d bits per pixel" % (path, bits))
    stride = (width * 3 + 3) // 4 * 4
    rows = []
    for y in range(abs(height)):
        src = y if height < 0 else abs(height) - 1 - y
        line = data[offset + src * stride: offset + src * stride + width * 3]
        rows.append([(line[i + 2], line[i + 1], line[i]) for i in range(0, width * 3, 3)])
    return width, abs(height), rows


def write_png(path, width, height, rows):
    def chunk(kind, body):
        c = kind + body
        return struct.pack(">I", len(body)) + c + struct.pack(">I", zlib.crc32(c) & 0xFFFFFFFF)
    raw = b"".join(b"\0" + bytes(v for p in row for v in p) for row in rows)
    with open(path, "wb") as f:
        f.write(b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0)) +
                chunk(b"IDAT", zlib.compress(raw, 9)) + chunk(b"IEND", b""))


def luma(p):
    return (p[0] * 299 + p[1] * 587 + p[2] * 114) // 1000


def region(rows, x, y, w, h):
    return [row[x:x + w] for row in rows[y:y + h]]


def ink_mask(reg):
    """Pixels far from the region's background (its median brightness)."""
    values = sorted(luma(p) for row in reg for p in row)
    if not values:
        return []
    background = values[len(values) // 2]
    return [[abs(luma(p) - background) > 40 for p in row] for row in reg]


def glyph_shapes(mask):
    """The ink split at empty columns: one shape per run of inked columns."""
    if not mask:
        return []
    width = len(mask[0])
    inked = [any(row[x] for row in mask) for x in range(width)]
    shapes, x = [], 0
    while x < width:
        if not inked[x]:
            x += 1
            continue
        start = x
        while x < width and inked[x]:
            x += 1
        cols = [tuple(row[c] for row in mask) for c in range(start, x)]
        # Cropped to its rows with ink, so equal glyphs compare equal.
        used = [r for r in range(len(mask)) if any(col[r] for col in cols)]
        shapes.append(tuple(tuple(col[r] for r in range(used[0], used[-1] + 1)) for col in cols))
    return shapes


def read_layout(path):
    layout = {"controls": []}
    with open(path, encoding="utf-8") as f:
        for line in f:
            words = line.split()
            if words[0] == "window":
                layout["window"] = (int(words[1]), int(words[2]))
            elif words[0] == "caption":
                layout["caption"] = tuple(int(v) for v in words[1:5])
            elif words[0] == "control":
                layout["controls"].append({"id": int(words[1]), "class": words[2],
                                           "rect": tuple(int(v) for v in words[3:7]),
                                           "japanese": words[7] == "1"})
            elif words[0] in ("font", "caption_font"):
                layout[words[0]] = (int(words[1]), line.split(None, 2)[2].strip())
    return layout


@unittest.skipUnless(shutil.which("xvfb-run"), "needs xvfb-run")
class SettingsDialog(harness.HostTestCase):
    def configure(self, *args):
        """velnik-host configure on a virtual display, in the display tests' prefix."""
        cmd = ["sh", WITH_DISPLAY, DISPLAY_DIR, harness.ARCH, self.exe,
               "configure", "--settings", self.settings] + list(args)
        completed = subprocess.run(cmd, stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=600)
        return harness.HostRun(completed)

    def stored_fourcc(self):
        with open(self.settings, "rb") as f:
            f.seek(FOURCC_OFFSET)
            return f.read(4)

    def test_ok_keeps_the_choice_and_the_dialog_is_drawn_in_japanese(self):
        picture = self.path("dialog.bmp")
        # The block names a compressor that is not installed: the dialog
        # offers 非圧縮 instead, and OK stores that choice.
        run = self.configure("--format", "GONE", "--snapshot", picture, "--press", "ok")
        self.assertEqual(run.returncode, 0, str(run))
        self.assertEqual(run.value("on_configure"), "1", str(run))
        self.assertEqual(run.value("dialog"), "shown", str(run))
        self.assertEqual(self.stored_fourcc(), b"\0\0\0\0")

        width, height, rows = read_bmp(picture)
        png = os.path.join(harness.BUILD_DIR, "settings-dialog.png")
        write_png(png, width, height, rows)
        layout = read_layout(picture + ".txt")
        self.assertEqual(layout["window"], (width, height))
        self.assertEqual(len(layout["controls"]), 19)

        # The dialog's font and the title bar's have a glyph for every
        # character they draw.
        self.assertEqual(layout["font"][0], 0, layout["font"])
        self.assertEqual(layout["caption_font"][0], 0, layout["caption_font"])

        # Not a blank picture.
        colours = {p for row in rows for p in row}
        self.assertGreater(len(colours), 4)

        # The title and every Japanese label are drawn as distinct glyphs:
        # empty boxes would repeat one shape.
        # The title bar inside the window's frame.
        x, y, w, h = layout["caption"]
        title = glyph_shapes(ink_mask(region(rows, x + 4, y + 4, w // 2, h - 6)))
        self.assertGreaterEqual(len(set(title)), 5, "title bar: %d shapes" % len(set(title)))
        shapes = list(title)
        for c in layout["controls"]:
            if not c["japanese"] or c["class"] not in ("Static", "Button"):
                continue
            cx, cy, cw, ch = c["rect"]
            if c["class"] == "Button" and cw > width // 2:
                ch = min(ch, 16)   # a group box: its caption along the top edge
            found = glyph_shapes(ink_mask(region(rows, cx, cy, cw, ch)))
            self.assertGreater(len(found), 0, "nothing drawn for control %s" % (c,))
            shapes += found
        most = max(shapes.count(s) for s in set(shapes))
        self.assertLess(most, len(shapes) // 4, "one shape repeats %d of %d times" % (most, len(shapes)))

    def test_cancel_leaves_the_settings_file_as_it_was(self):
        # OK would replace the missing compressor with 非圧縮.
        run = self.configure("--format", "GONE", "--press", "cancel")
        self.assertEqual(run.returncode, 0, str(run))
        self.assertEqual(run.value("dialog"), "shown", str(run))
        self.assertEqual(self.stored_fourcc(), b"GONE")
        # The next run starts from the file; YUY2 preselected and confirmed.
        run = self.configure("--format", "yuy2", "--press", "ok")
        self.assertEqual(run.value("dialog"), "shown", str(run))
        self.assertEqual(self.stored_fourcc(), b"YUY2")
        run = self.configure("--press", "cancel")
        self.assertEqual(self.stored_fourcc(), b"YUY2")


if __name__ == "__main__":
    unittest.main()
