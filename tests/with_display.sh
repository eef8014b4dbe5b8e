#!/bin/sh
# Runs a Windows program that opens windows: on a virtual display, in a Wine
# prefix of its own. A server whose desktop began without a display creates
# no windows, so this prefix's server starts on the display and ends with it.
#   with_display.sh DIR ARCH PROGRAM [ARGS...]
dir=$1 arch=$2
shift 2
top=$(cd "$(dirname "$0")/.." && pwd)
server=/usr/lib/wine/wineserver64
WINEPREFIX="$dir/wineprefix" "$server" -k 2>/dev/null
xvfb-run -a -n "${VELNIK_DISPLAY_BASE:-99}" -s "-screen 0 1024x768x24" sh "$top/cmake/wine-run.sh" "$dir" "$arch" "$@"
status=$?
WINEPREFIX="$dir/wineprefix" "$server" -k 2>/dev/null
exit $status
