#!/bin/sh
# Installs what building and testing need on Debian 12 (run as root), and
# configures and builds both Windows targets:
#   build/i686    the product: 32-bit velnik.dll and velnik-host.exe
#   build/x64     the same sources for 64-bit Windows, which is what runs the
#                 tests and the demo here (see README: no 32-bit execution)
set -eu
cd "$(dirname "$0")/.."

need=""
for p in wine wine64 g++-mingw-w64-i686 g++-mingw-w64-x86-64 mingw-w64-i686-dev \
         mingw-w64-x86-64-dev doctest-dev ffmpeg xvfb sox cmake make python3 locales \
         clang libclang-rt-14-dev util-linux libz-mingw-w64-dev; do
  dpkg -s "$p" >/dev/null 2>&1 || need="$need $p"
done
if ! dpkg --print-foreign-architectures | grep -qx i386; then
  dpkg --add-architecture i386
  need="$need wine32:i386"
elif ! dpkg -s wine32:i386 >/dev/null 2>&1; then
  need="$need wine32:i386"
fi
if [ -n "$need" ]; then
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends $need >/dev/null
fi

# Code page 932 under Wine comes from a Japanese locale.
if ! locale -a 2>/dev/null | grep -qi '^ja_JP\.utf-\?8$'; then
  sed -i 's/^# *ja_JP.UTF-8 UTF-8/ja_JP.UTF-8 UTF-8/' /etc/locale.gen
  grep -q '^ja_JP.UTF-8 UTF-8' /etc/locale.gen || echo 'ja_JP.UTF-8 UTF-8' >> /etc/locale.gen
  locale-gen >/dev/null
fi

jobs=$(nproc)
for arch in i686 x86_64; do
  dir=build/$arch
  [ "$arch" = x86_64 ] && dir=build/x64
  cmake -S . -B "$dir" -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-$arch.cmake >/dev/null
  cmake --build "$dir" -j "$jobs" >/dev/null
done
