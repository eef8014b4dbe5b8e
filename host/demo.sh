#!/bin/sh
# Installs what is missing, builds, and exports a short demo clip with
# picture and sound through the 32-bit velnik-host and velnik.dll under Wine:
#   sh host/demo.sh            the built-in moving pattern and tones
#   sh host/demo.sh MEDIA      MEDIA decoded by ffmpeg instead
# The clip lands in build/demo/demo.avi; ffprobe then describes it.
set -eu
cd "$(dirname "$0")/.."
root=$(pwd)
sh cmake/setup-debian.sh

out="$root/build/demo"
mkdir -p "$out"
rm -f "$out/demo.avi"
if [ $# -ge 1 ]; then
  case "$1" in /*) media=$1 ;; *) media="$root/$1" ;; esac
  set -- --input "$media"
else
  set -- --size 640x360 --rate 30000/1001 --frames 150 --audio-rate 48000 --channels 2
fi
# A settings file of its own, so the demo does not pick up earlier choices.
rm -f "$out/velnik-settings.bin"
# The product: the 32-bit velnik.dll, loaded by the 32-bit velnik-host.exe
# under 32-bit Wine through qemu-i386 (cmake/wine-run.sh).
sh "$root/cmake/wine-run.sh" "$root/build/i686" i686 "$root/build/i686/velnik-host.exe" \
  export "$out/demo.avi" "$@" --settings "$out/velnik-settings.bin"

echo
ffprobe -hide_banner "$out/demo.avi" 2>&1 | sed -n '/^Input/,$p'
ffprobe -v error -count_frames \
  -show_entries stream=index,codec_type,codec_name,codec_tag_string,width,height,pix_fmt,r_frame_rate,nb_read_frames,sample_rate,channels \
  -show_entries format=duration,size -of compact "$out/demo.avi"
