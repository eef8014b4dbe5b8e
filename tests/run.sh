#!/bin/sh
# The whole test suite, from a fresh Debian 12 machine (as root): installs
# what is missing and builds (cmake/setup-debian.sh), runs the Windows tests
# under Wine through CTest, then the converter's native sanitizer and fuzz run.
set -eu
cd "$(dirname "$0")/.."
top=$(pwd)
sh cmake/setup-debian.sh

# A small filesystem lets the tests fill a disk for real.
small="$top/build/smalldisk"
mounted=""
# One Wine server for the whole run, with its system processes started here:
# started inside a test they would hold CTest's output pipe open until the
# server exits, and every such test would seem to take half a minute longer.
export WINEPREFIX="$top/build/x64/wineprefix"
server=/usr/lib/wine/wineserver64
cleanup() {
  "$server" -k 2>/dev/null || true
  [ -n "$mounted" ] && umount "$small" 2>/dev/null || true
}
trap cleanup EXIT INT TERM
mkdir -p "$small"
if mountpoint -q "$small" || mount -t tmpfs -o size=4m velnik-small "$small" 2>/dev/null; then
  mountpoint -q "$small" && mounted=1
  export VELNIK_SMALL_DISK="$small"
else
  echo "note: cannot mount a small filesystem here; the disk-full tests are skipped"
fi

"$server" -k 2>/dev/null || true
"$server" -p </dev/null >/dev/null 2>&1 || true
sh cmake/wine-run.sh "$top/build/x64" x86_64 cmd /c exit </dev/null >/dev/null 2>&1 || true

passed=0 failed=0
if (cd build/x64 && ctest --output-on-failure -j 2); then passed=$((passed + 1)); else failed=$((failed + 1)); fi
if sh tests/native/run.sh "$top/build/native"; then passed=$((passed + 1)); else failed=$((failed + 1)); fi
echo
echo "suites: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
