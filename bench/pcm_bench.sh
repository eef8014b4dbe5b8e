#!/bin/sh
# PCM converter benchmark: ten minutes of 48 kHz stereo 16-bit to 44.1 kHz
# stereo, and of 44.1 kHz stereo to 22.05 kHz mono 8-bit, in blocks of one
# video frame, timed against sox with its fastest rate setting (rate -q).
# The converter has no Win32 dependency, so this builds and runs natively.
#   sh bench/pcm_bench.sh [BUILD_DIR]     (default build/bench-native)
# Needs a native C++ compiler (clang++ or g++) and sox. Prints seconds,
# throughput as a multiple of real time, and sox's time over ours.
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-build/bench-native}
cxx=${CXX:-$(command -v clang++ || command -v g++)}
command -v sox >/dev/null || { echo "sox is not installed" >&2; exit 1; }

mkdir -p "$build"
"$cxx" -std=c++17 -O2 -Wall -Wextra -Werror -I"$root" -o "$build/pcm_bench" \
  "$root/bench/pcm_bench.cpp" "$root/audio/pcm_convert.cpp"

# Raw input for sox goes to memory when possible, so disk speed stays out.
base=/tmp
[ -d /dev/shm ] && [ -w /dev/shm ] && base=/dev/shm
work=$(mktemp -d "$base/pcm_bench.XXXXXX")
trap 'rm -rf "$work"' EXIT INT TERM
echo "build: native $(uname -m) with $cxx (the converter alone; no Wine, no emulation)"
"$build/pcm_bench" "$work"
