#!/bin/sh
# Installs what building and testing need on Debian 12 (run as root), and
# configures and builds both Windows targets:
#   build/i686    the product: 32-bit velnik.dll and velnik-host.exe
#   build/x64     the same sources for 64-bit Windows (run by wine64)
# Both run their tests; the i686 programs through qemu-i386 (README).
set -eu
cd "$(dirname "$0")/.."
say() { echo "setup: $*"; }

need=""
for p in wine wine64 g++-mingw-w64-i686 g++-mingw-w64-x86-64 mingw-w64-i686-dev \
         mingw-w64-x86-64-dev doctest-dev ffmpeg xvfb xauth fonts-ipafont-gothic sox cmake make python3 locales \
         clang libclang-rt-14-dev util-linux libz-mingw-w64-dev zip fonts-wine; do
  dpkg -s "$p" >/dev/null 2>&1 || need="$need $p"
done
if ! dpkg --print-foreign-architectures | grep -qx i386; then
  dpkg --add-architecture i386
  need="$need wine32:i386"
elif ! dpkg -s wine32:i386 >/dev/null 2>&1; then
  need="$need wine32:i386"
fi
if [ -n "$need" ]; then
  say "installing packages:$need"
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends $need >/dev/null
else
  say "packages: all installed"
fi

# The i686 programs run under 32-bit Wine through qemu-user: 10.x from
# bookworm-backports (bookworm's own 7.2 places Wine's reserved areas wrongly
# and exports crash). Installed without its recommended binfmt package:
# cmake/wine-run.sh registers qemu-i386 only inside a private namespace,
# never for the whole machine.
qemu_ok() {
  command -v qemu-i386 >/dev/null 2>&1 &&
    qemu-i386 --version | head -n 1 | grep -Eq 'version (1[0-9]|[2-9][0-9])\.'
}
if ! qemu_ok; then
  list=/etc/apt/sources.list.d/bookworm-backports.sources
  if ! grep -rqs 'bookworm-backports' /etc/apt/sources.list /etc/apt/sources.list.d/; then
    # The same mirror as the system's own bookworm entries.
    mirror=$(grep -rhs '^URIs:' /etc/apt/sources.list.d/debian.sources | grep -v security | head -n 1 | awk '{print $2}')
    [ -n "$mirror" ] || mirror=http://deb.debian.org/debian
    printf 'Types: deb\nURIs: %s\nSuites: bookworm-backports\nComponents: main\nSigned-By: /usr/share/keyrings/debian-archive-keyring.gpg\n' \
      "$mirror" > "$list"
  fi
  say "installing qemu-user from bookworm-backports"
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends -t bookworm-backports \
    qemu-user >/dev/null
  qemu_ok || { echo "setup: qemu-i386 10 or later is needed to run the i686 build" >&2; exit 1; }
fi

# Code page 932 under Wine comes from a Japanese locale.
if ! locale -a 2>/dev/null | grep -qi '^ja_JP\.utf-\?8$'; then
  say "generating the Japanese locale"
  sed -i 's/^# *ja_JP.UTF-8 UTF-8/ja_JP.UTF-8 UTF-8/' /etc/locale.gen
  grep -q '^ja_JP.UTF-8 UTF-8' /etc/locale.gen || echo 'ja_JP.UTF-8 UTF-8' >> /etc/locale.gen
  locale-gen >/dev/null
fi

# Each build's output goes to its build.log, shown only when it fails.
jobs=$(nproc)
for arch in i686 x86_64; do
  dir=build/$arch
  [ "$arch" = x86_64 ] && dir=build/x64
  say "building $dir ($arch)"
  mkdir -p "$dir"
  if ! { cmake -S . -B "$dir" -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-$arch.cmake &&
         cmake --build "$dir" -j "$jobs"; } >"$dir/build.log" 2>&1; then
    tail -n 40 "$dir/build.log" >&2
    say "building $dir failed; the whole output is in $dir/build.log" >&2
    exit 1
  fi
done
say "done"
