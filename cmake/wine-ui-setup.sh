#!/bin/sh
# Once per Wine prefix, for the plug-in's dialogs (called by wine-run.sh):
# the dialogs' font "ＭＳ Ｐゴシック" is drawn with Debian's IPA P Gothic
# (fonts-ipafont-gothic), and Wine draws title bars itself, as Xvfb has no
# window manager to do it, with the glyphs of Wine's own Marlett.
#   wine-ui-setup.sh WINE MARKER
set -eu
wine=$1 marker=$2
[ -f "$marker" ] && exit 0
"$wine" reg add 'HKLM\Software\Microsoft\Windows NT\CurrentVersion\FontSubstitutes' \
  /v 'ＭＳ Ｐゴシック' /t REG_SZ /d 'IPAPGothic' /f >/dev/null 2>&1
"$wine" reg add 'HKCU\Software\Wine\X11 Driver' /v Decorated /t REG_SZ /d N /f >/dev/null 2>&1
# Wine draws the title bar's buttons with its own font Marlett (fonts-wine),
# which this Wine does not load from its data folder; the prefix's Fonts
# folder, which it does read, gets a link to it.
marlett=/usr/share/wine/fonts/marlett.ttf
fonts="$WINEPREFIX/drive_c/windows/Fonts"
if [ -f "$marlett" ] && [ -d "$fonts" ]; then
  ln -sf "$marlett" "$fonts/marlett.ttf"
fi
touch "$marker"
