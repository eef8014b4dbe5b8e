#!/bin/sh
# The whole test suite, from a fresh Debian 12 machine (as root): installs
# what is missing and builds (cmake/setup-debian.sh), then runs the Windows
# tests under Wine through CTest for both builds at once:
#   build/i686  the product, 32-bit Wine through qemu-i386 (cmake/wine-run.sh)
#   build/x64   the same sources under wine64
# and finally the converter's native sanitizer and fuzz run.
set -eu
cd "$(dirname "$0")/.."
top=$(pwd)
sh cmake/setup-debian.sh

# The machine's binfmt_misc entries, to show that the run left them alone.
binfmt_state() { ls -A /proc/sys/fs/binfmt_misc 2>/dev/null || true; }
binfmt_before=$(binfmt_state)

server=/usr/lib/wine/wineserver64
builds="i686 x64"
arch_of() { [ "$1" = x64 ] && echo x86_64 || echo i686; }

mounted=""
cleanup() {
  for b in $builds; do
    WINEPREFIX="$top/build/$b/wineprefix" "$server" -k 2>/dev/null || true
  done
  for m in $mounted; do umount "$m" 2>/dev/null || true; done
}
trap cleanup EXIT INT TERM

# Each build gets a small filesystem of its own, so that the tests can fill
# a disk for real without the other build's tests in the way.
for b in $builds; do
  small="$top/build/$b/smalldisk"
  mkdir -p "$small"
  if mountpoint -q "$small" || mount -t tmpfs -o size=4m velnik-small "$small" 2>/dev/null; then
    mountpoint -q "$small" && mounted="$mounted $small"
  else
    echo "note: cannot mount a small filesystem for $b; its disk-full tests are skipped"
  fi
done

# One Wine server per prefix for the whole run, with its system processes
# started here: started inside a test they would hold CTest's output pipe
# open until the server exits, and every such test would seem to take half a
# minute longer. The first run of wine-run.sh also makes the prefix.
for b in $builds; do
  echo "starting the Wine server and prefix of build/$b"
  export WINEPREFIX="$top/build/$b/wineprefix"
  "$server" -k 2>/dev/null || true
  sh cmake/wine-run.sh "$top/build/$b" "$(arch_of "$b")" cmd /c exit </dev/null >/dev/null 2>&1 || true
  "$server" -k 2>/dev/null || true
  "$server" -p </dev/null >/dev/null 2>&1 || true
  sh cmake/wine-run.sh "$top/build/$b" "$(arch_of "$b")" cmd /c exit </dev/null >/dev/null 2>&1 || true
done
unset WINEPREFIX

# Both suites at once. Each test's result line shows as it finishes, with
# its build in front; the whole log of each build follows at the end.
echo "running the tests of build/i686 and build/x64"
for b in $builds; do
  (
    if mountpoint -q "$top/build/$b/smalldisk"; then export VELNIK_SMALL_DISK="$top/build/$b/smalldisk"; fi
    cd "build/$b"
    { if ctest --output-on-failure -j 2 2>&1; then echo 0 >ctest.status; else echo 1 >ctest.status; fi; } |
      tee ctest.log | awk -v build="$b" '/Test +#[0-9]+: / { print "[" build "] " $0; fflush() }'
  ) &
done
wait

passed=0 failed=0
for b in $builds; do
  echo "==== build/$b ($(arch_of "$b"))"
  cat "build/$b/ctest.log"
  if [ "$(cat "build/$b/ctest.status")" = 0 ]; then passed=$((passed + 1)); else failed=$((failed + 1)); fi
done
echo "==== native sanitizer and fuzz run"
if sh tests/native/run.sh "$top/build/native"; then passed=$((passed + 1)); else failed=$((failed + 1)); fi
echo "==== binfmt_misc outside the test namespaces"
if [ "$(binfmt_state)" = "$binfmt_before" ]; then
  echo "unchanged: $(echo $binfmt_before)"
  passed=$((passed + 1))
else
  echo "changed during the run: before [$(echo $binfmt_before)], after [$(echo $(binfmt_state))]"
  failed=$((failed + 1))
fi
echo
echo "suites: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
