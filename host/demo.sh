#!/bin/sh
# Installs what is missing, builds, and exports a short demo clip with
# picture and sound through the 32-bit velnik-host and velnik.dll under Wine:
#   sh host/demo.sh            the built-in moving pattern and tones
#   sh host/demo.sh MEDIA      MEDIA decoded by ffmpeg instead
# The clip lands in build/demo/demo.avi, uncompressed. Then the sample
# compressor (tests/codecs) is installed into the prefix and the same clip
# goes to build/demo/demo-zmbv.avi with compressed video (a key frame every
# 30 frames) and IMA ADPCM audio through the ACM. ffprobe describes both,
# and velnik-host info shows the compressors and the audio path it used.
set -eu
cd "$(dirname "$0")/.."
root=$(pwd)
sh cmake/setup-debian.sh

out="$root/build/demo"
mkdir -p "$out"
rm -f "$out/demo.avi" "$out/demo-zmbv.avi"
if [ $# -ge 1 ]; then
  case "$1" in /*) media=$1 ;; *) media="$root/$1" ;; esac
  set -- --input "$media"
else
  set -- --size 640x360 --rate 30000/1001 --frames 150 --audio-rate 48000 --channels 2
fi
# Settings files of its own, so the demo does not pick up earlier choices.
rm -f "$out/velnik-settings.bin" "$out/velnik-settings-zmbv.bin"
# The product: the 32-bit velnik.dll, loaded by the 32-bit velnik-host.exe
# under 32-bit Wine through qemu-i386 (cmake/wine-run.sh).
i686() { sh "$root/cmake/wine-run.sh" "$root/build/i686" i686 "$@"; }
host="$root/build/i686/velnik-host.exe"

describe() {
  echo
  ffprobe -hide_banner "$1" 2>&1 | sed -n '/^Input/,$p'
  ffprobe -v error -count_frames \
    -show_entries stream=index,codec_type,codec_name,codec_tag_string,width,height,pix_fmt,r_frame_rate,nb_read_frames,sample_rate,channels \
    -show_entries format=duration,size -of compact "$1"
}

echo "demo: uncompressed export to build/demo/demo.avi"
i686 "$host" export "$out/demo.avi" "$@" --settings "$out/velnik-settings.bin" --progress
describe "$out/demo.avi"

echo
echo "demo: installing the sample compressor into build/i686/wineprefix"
codecs="$root/build/i686/tests/codecs"
i686 "$codecs/install_codec.exe" install "Z:$codecs/velzmbv.dll"
echo "demo: compressed export to build/demo/demo-zmbv.avi"
i686 "$host" export "$out/demo-zmbv.avi" "$@" --settings "$out/velnik-settings-zmbv.bin" --progress \
  --format ZMBV --key-interval 30 --audio-format ima
describe "$out/demo-zmbv.avi"

echo
echo "demo: what the plug-in sees with these settings (velnik-host info)"
i686 "$host" info --settings "$out/velnik-settings-zmbv.bin" | sed -n '/^compressors/,$p'
