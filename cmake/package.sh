#!/bin/sh
# Makes the package for Orvane users: velnik.dll of a build and the guide,
# in code page 932 with CRLF line ends as Notepad on a Japanese Windows opens
# it (its source, package/guide-ja.txt, is UTF-8).
#   package.sh [BUILD_DIR [OUT_DIR]]
# BUILD_DIR defaults to build/i686, the product, whose build runs this as the
# target velnik-package. Writes OUT_DIR/velnik-VERSION-win32.zip (win64 for a
# 64-bit build), OUT_DIR defaulting to BUILD_DIR, and prints its path.
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$top/build/i686}
[ -f "$build/CMakeCache.txt" ] || { echo "package: $build is not configured (run cmake/setup-debian.sh)" >&2; exit 1; }
build=$(cd "$build" && pwd)
out=$(cd "${2:-$build}" && pwd)

version=$(sed -n 's/^#define VELNIK_VERSION "\(.*\)"$/\1/p' "$top/plugin/texts.h")
[ -n "$version" ] || { echo "package: no VELNIK_VERSION in plugin/texts.h" >&2; exit 1; }
dll="$build/velnik.dll"
[ -f "$dll" ] || { echo "package: $dll is not built" >&2; exit 1; }
# The width from the DLL's own PE header: its machine field.
pe=$(od -An -tu4 -j60 -N4 "$dll" | tr -d ' ')
case $(od -An -tx2 -j$((pe + 4)) -N2 "$dll" | tr -d ' ') in
  014c) width=win32 ;;
  8664) width=win64 ;;
  *) echo "package: $dll is not a Windows x86 DLL" >&2; exit 1 ;;
esac

stage="$out/package-$width"
zip="$out/velnik-$version-$width.zip"
rm -rf "$stage" "$zip"
mkdir -p "$stage"
cp "$dll" "$stage/velnik.dll"
# iconv fails on a character that code page 932 lacks, before anything is zipped.
iconv -f UTF-8 -t CP932 "$top/package/guide-ja.txt" > "$stage/guide.cp932"
sed 's/$/\r/' "$stage/guide.cp932" > "$stage/velnik.txt"
rm "$stage/guide.cp932"
# Flat, without extra file attributes: what Explorer's "Extract all" shows.
(cd "$stage" && zip -q -X "$zip" velnik.dll velnik.txt)
rm -rf "$stage"
echo "$zip"
