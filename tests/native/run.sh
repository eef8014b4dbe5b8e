#!/bin/sh
# Native sanitizer run of the PCM converter: builds with clang,
# AddressSanitizer and UndefinedBehaviorSanitizer, runs the unit tests, then
# fuzzes for a bounded time. Exits non-zero on any failure.
#   sh tests/native/run.sh [BUILD_DIR]      (default build/native)
#   PCM_FUZZ_SECONDS=N to change the fuzzing time (default 60).
set -eu
here=$(cd "$(dirname "$0")" && pwd)
build=${1:-build/native}
seconds=${PCM_FUZZ_SECONDS:-60}

cmake -S "$here" -B "$build" -DCMAKE_CXX_COMPILER=clang++ >/dev/null
cmake --build "$build" -j2

export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
"$build/pcm_native_tests"

# Seeds are copied so that the fuzzer's findings stay in the build folder.
corpus="$build/fuzz-corpus"
mkdir -p "$corpus"
cp "$here"/corpus/* "$corpus"/
"$build/pcm_fuzz" -seed=1 -max_total_time="$seconds" -max_len=8192 \
  -timeout=20 -rss_limit_mb=2048 -print_final_stats=1 \
  -artifact_prefix="$build/" "$corpus"
