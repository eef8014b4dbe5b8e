#!/bin/sh
# Runs a Windows program under Wine with the project's settings:
# code page 932, no debug output, and a prefix inside the build folder.
#   wine-run.sh BUILD_DIR ARCH PROGRAM [ARGS...]
# ARCH x86_64 runs wine64 natively. ARCH i686 runs 32-bit Wine through
# qemu-i386: this machine's kernel executes no 32-bit code, so the 32-bit
# loader is handed to qemu by a binfmt_misc entry that exists only inside a
# private user and mount namespace made for this one program. Nothing is
# registered for the rest of the machine.
set -eu
build=$1 arch=$2
shift 2
here=$(cd "$(dirname "$0")" && pwd)
qemu=${VELNIK_QEMU_I386:-/usr/bin/qemu-i386}

if [ "$arch" != x86_64 ] && [ "${VELNIK_IN_NAMESPACE:-}" != 1 ]; then
  [ -x "$qemu" ] || { echo "wine-run.sh: $qemu is missing (cmake/setup-debian.sh installs it)" >&2; exit 127; }
  export VELNIK_IN_NAMESPACE=1
  exec unshare --user --map-root-user --mount sh "$here/wine-run.sh" "$build" "$arch" "$@"
fi

if [ "$arch" != x86_64 ]; then
  # Inside the namespace: a binfmt_misc of our own, with qemu-i386 opened
  # now (flag F) so that it is found whatever the program's mount view.
  misc=/proc/sys/fs/binfmt_misc
  mount -t binfmt_misc velnik-binfmt "$misc"
  printf '%s' ':velnik-i386:M::\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00:\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff:'"$qemu"':F' \
    > "$misc/register"
  unset VELNIK_IN_NAMESPACE
fi

export WINEPREFIX="$build/wineprefix"
export WINEDEBUG=-all
export LC_ALL=ja_JP.UTF-8
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
# One native 64-bit server serves both widths; the 32-bit one would itself
# need emulation.
server=/usr/lib/wine/wineserver64
export WINESERVER=$server
case "$arch" in
  x86_64) wine=/usr/lib/wine/wine64 ;;
  *) wine=/usr/lib/wine/wine export WINEARCH=win32 ;;
esac
# The first run creates the prefix; serialise it when tests start together.
# The server keeps the registry in memory until it exits, so wait for that
# before the prefix counts as made.
ready="$WINEPREFIX/.velnik-ready"
if [ ! -f "$ready" ]; then
  mkdir -p "$build"
  flock "$build/.wineprefix.lock" sh -c "[ -f '$ready' ] || { '$wine' wineboot -i >/dev/null 2>&1 && timeout 120 '$server' -w; touch '$ready'; }"
fi
ui="$WINEPREFIX/.velnik-ui-setup"
[ -f "$ui" ] || flock "$build/.wineprefix.lock" sh "$here/wine-ui-setup.sh" "$wine" "$ui" || true
# Keep one server alive between programs: starting Wine afresh for every
# test costs seconds. It exits by itself 30 s after the last program.
"$server" -p30 </dev/null >/dev/null 2>&1 || true
exec "$wine" "$@"
