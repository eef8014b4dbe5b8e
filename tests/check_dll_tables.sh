#!/bin/sh
# Checks the export and import tables of the plug-in DLL: the host must find
# exactly one undecorated export, and the DLL must load on a bare Windows
# installation, so it may import system DLLs only (no MinGW runtime DLLs).
#   check_dll_tables.sh DLL
# Exits 77 (skipped) when the DLL has not been built.
set -eu
dll=$1
objdump=${OBJDUMP:-i686-w64-mingw32-objdump}

if [ ! -f "$dll" ]; then
  echo "SKIPPED: $dll not built (configure build/i686 with cmake/mingw-i686.cmake)"
  exit 77
fi
if ! command -v "$objdump" >/dev/null 2>&1; then
  echo "SKIPPED: $objdump not installed"
  exit 77
fi

tables=$("$objdump" -p "$dll")
status=0

# Names from the "[Ordinal/Name Pointer] Table" list, one a line.
exports=$(printf '%s\n' "$tables" | awk '
  /^\[Ordinal\/Name Pointer\] Table/ { inside = 1; next }
  inside && /^[ \t]*$/ { inside = 0 }
  inside && match($0, /\][ \t]+/) { print substr($0, RSTART + RLENGTH) }')
# Entries of the export address table, ordinal-only ones included.
address_count=$(printf '%s\n' "$tables" | awk '
  /^Number in:/ { inside = 1; next }
  inside && /Export Address Table/ { print $NF; exit }')

if [ "$exports" != "GetOutputPluginTable" ]; then
  echo "FAIL: exports must be exactly GetOutputPluginTable, found:"
  printf '  %s\n' $exports
  status=1
fi
if [ -z "$address_count" ] || [ $((0x$address_count)) -ne 1 ]; then
  echo "FAIL: export address table has ${address_count:-no} entries, expected 1"
  status=1
fi

imports=$(printf '%s\n' "$tables" | sed -n 's/^[ \t]*DLL Name:[ \t]*//p' | tr 'A-Z' 'a-z')
if [ -z "$imports" ]; then
  echo "FAIL: no import table found"
  status=1
fi
for name in $imports; do
  case "$name" in
    kernel32.dll|user32.dll|gdi32.dll|msvcrt.dll|advapi32.dll|avifil32.dll|msvfw32.dll|\
    msacm32.dll|winmm.dll|comdlg32.dll|comctl32.dll|shell32.dll|ole32.dll|oleaut32.dll|\
    version.dll|shlwapi.dll|ntdll.dll) ;;
    *) echo "FAIL: imports $name, which is not a Windows system DLL"; status=1 ;;
  esac
done

if [ $status -eq 0 ]; then
  echo "ok: exports GetOutputPluginTable only; imports" $imports
fi
exit $status
