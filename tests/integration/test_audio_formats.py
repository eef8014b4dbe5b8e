"""Exports in each chosen audio format through Wine's ACM codecs and the
in-house converter, decoded by ffprobe/ffmpeg: codec, rate, channel count,
and a sample count within one codec block of what the host delivered; PCM
choices byte for byte as the converter's whole-step rules give them."""
import os
import struct
import unittest

import harness

TEXT_AUDIO_INIT_FAILED = "オーディオ圧縮の初期化に失敗しました".encode("cp932")

HOST_RATE = 44100
FRAMES = 30       # at 25 fps: 1764 host frames per video frame, 52920 in all


def samples16(data):
    return list(struct.unpack("<%dh" % (len(data) // 2), data))


def convert_whole_steps(handed, octaves, channels, bits):
    """The converter on 16-bit stereo without a fractional step: octaves
    below 0 average frame pairs, above 0 repeat frames; then the floor
    average of left and right, then narrowing to unsigned 8 bits."""
    s = samples16(handed)
    frames = [(s[i], s[i + 1]) for i in range(0, len(s) - 1, 2)]
    for _ in range(max(octaves, 0)):
        frames = [f for f in frames for _ in (0, 1)]
    for _ in range(max(-octaves, 0)):
        frames = [((a[0] + b[0]) >> 1, (a[1] + b[1]) >> 1) for a, b in zip(frames[0::2], frames[1::2])]
    values = [(l + r) >> 1 for l, r in frames] if channels == 1 else [v for f in frames for v in f]
    if bits == 8:
        return bytes((v >> 8) + 128 for v in values)
    return struct.pack("<%dh" % len(values), *values)


class AudioFormatExports(harness.HostTestCase):
    def export_in(self, spec, *extra):
        out = self.path("out.avi")
        run = self.export(out, "--size", "64x48", "--rate", "25/1", "--frames", FRAMES,
                          "--audio-rate", HOST_RATE, "--channels", 2, "--audio-format", spec,
                          "--dump-audio", self.path("audio.raw"), "--messages", self.path("messages.txt"),
                          *extra)
        return out, run

    def handed(self):
        with open(self.path("audio.raw"), "rb") as f:
            return f.read()

    def check_stream(self, out, codec, rate, channels):
        streams = harness.ffprobe_streams(out, count=False)
        audio = harness.stream_of(streams, "audio")
        self.assertIsNotNone(audio, streams)
        self.assertEqual((audio["codec_name"], int(audio["sample_rate"]), audio["channels"]),
                         (codec, rate, channels))
        self.assertEqual(harness.riff_list(out)[0][2] + 8, os.path.getsize(out))
        self.assertFalse(os.path.exists(self.path("messages.txt")), "no message is shown")
        return len(harness.decode_audio(out)) // (2 * channels)

    def test_codecs_decode_at_their_rate_within_one_block_of_the_host_audio(self):
        # (spec, ffmpeg's codec, rate, channels, samples per codec block)
        cases = [("ima:44100:2", "adpcm_ima_wav", 44100, 2, 2041),
                 ("alaw:44100:2", "pcm_alaw", 44100, 2, 1),
                 ("ulaw:44100:2", "pcm_mulaw", 44100, 2, 1),
                 ("ima:22050:1", "adpcm_ima_wav", 22050, 1, 1017),
                 # No driver makes GSM from 44.1 kHz stereo: resampled and
                 # mixed down in-house first, then compressed.
                 ("gsm:8000:1", "gsm_ms", 8000, 1, 320)]
        for spec, codec, rate, channels, block in cases:
            with self.subTest(spec=spec):
                out, run = self.export_in(spec)
                self.assertExported(run)
                decoded = self.check_stream(out, codec, rate, channels)
                delivered = len(self.handed()) // 4
                self.assertEqual(delivered, FRAMES * 1764)
                expected = delivered * rate / HOST_RATE
                # A codec block partly filled at the end may be left out, and
                # the in-house resampler holds back a frame or two.
                self.assertLessEqual(decoded, expected + 2)
                self.assertGreater(decoded, expected - block - 2)
                os.remove(out)

    def test_pcm_choices_are_the_converter_byte_for_byte(self):
        # (spec, octaves, channels, bits, ffmpeg's codec)
        cases = [("pcm:22050:1:8", -1, 1, 8, "pcm_u8"),
                 ("pcm:44100:2:8", 0, 2, 8, "pcm_u8"),
                 ("pcm:44100:1:16", 0, 1, 16, "pcm_s16le"),
                 ("pcm:11025:2:16", -2, 2, 16, "pcm_s16le")]
        for spec, octaves, channels, bits, codec in cases:
            with self.subTest(spec=spec):
                out, run = self.export_in(spec)
                self.assertExported(run)
                rate = HOST_RATE * 2 ** octaves if octaves >= 0 else HOST_RATE // 2 ** -octaves
                self.check_stream(out, codec, rate, channels)
                stored = b"".join(self.chunks(out, b"01wb"))
                self.assertSameBytes(stored, convert_whole_steps(self.handed(), octaves, channels, bits), spec)
                os.remove(out)

    def test_the_hosts_own_format_is_written_unchanged(self):
        out, run = self.export_in("pcm:44100:2:16")
        self.assertExported(run)
        self.assertIn("no conversion", run.stdout)
        self.check_stream(out, "pcm_s16le", HOST_RATE, 2)
        self.assertSameBytes(harness.decode_audio(out), self.handed(), "audio")

    def test_a_format_no_driver_encodes_shows_the_audio_message_and_leaves_no_file(self):
        # Wine's MS ADPCM driver lists the format but has no encoder.
        out, run = self.export_in("msadpcm:44100:2")
        self.assertEqual(run.returncode, 1, str(run))
        self.assertEqual(run.result, 0, str(run))
        with open(self.path("messages.txt"), "rb") as f:
            self.assertEqual(f.read(), TEXT_AUDIO_INIT_FAILED + b"\n")
        self.assertFalse(os.path.exists(out))

    def test_the_choice_is_kept_in_the_settings_block(self):
        out, run = self.export_in("ima:44100:2")
        self.assertExported(run)
        run = self.host("info", "--settings", self.settings)
        self.assertIn("chosen audio format: tag 17, 2 channels, 44100 Hz, 4 bits", run.stdout, str(run))
        self.assertIn("chosen format size 20", run.stdout)
        out2 = self.path("again.avi")
        run = self.export(out2, "--size", "64x48", "--rate", "25/1", "--frames", 5,
                          "--audio-rate", HOST_RATE, "--channels", 2)
        self.assertExported(run)
        self.assertEqual(harness.stream_of(harness.ffprobe_streams(out2, count=False), "audio")["codec_name"],
                         "adpcm_ima_wav")

    def chunks(self, path, fourcc):
        """Payloads of the chunks with this id, in file order (one RIFF)."""
        with open(path, "rb") as f:
            data = f.read()
        found = []

        def walk(start, end):
            pos = start
            while pos + 8 <= end:
                tag, size = struct.unpack("<4sI", data[pos:pos + 8])
                if tag in (b"RIFF", b"LIST"):
                    walk(pos + 12, pos + 8 + size)
                elif tag == fourcc:
                    found.append(data[pos + 8:pos + 8 + size])
                pos += 8 + size + (size & 1)

        walk(0, len(data))
        return found


if __name__ == "__main__":
    unittest.main()
