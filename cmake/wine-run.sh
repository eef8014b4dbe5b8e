#!/bin/sh
# Runs a Windows program under Wine with the project's settings:
# code page 932, no debug output, and a prefix inside the build folder.
#   wine-run.sh BUILD_DIR ARCH PROGRAM [ARGS...]
build=$1 arch=$2
shift 2
export WINEPREFIX="$build/wineprefix"
export WINEDEBUG=-all
export LC_ALL=ja_JP.UTF-8
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
case "$arch" in
  x86_64) wine=/usr/lib/wine/wine64 server=/usr/lib/wine/wineserver64 ;;
  *) wine=wine server=wineserver ;;
esac
# The first run creates the prefix; serialise it when tests start together.
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  mkdir -p "$build"
  flock "$build/.wineprefix.lock" sh -c "[ -f '$WINEPREFIX/system.reg' ] || '$wine' wineboot -i >/dev/null 2>&1"
fi
# Keep one server alive between programs: starting Wine afresh for every
# test costs seconds. It exits by itself 30 s after the last program.
"$server" -p30 </dev/null >/dev/null 2>&1 || true
exec "$wine" "$@"
