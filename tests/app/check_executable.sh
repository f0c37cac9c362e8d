#!/usr/bin/env bash
# The installer must be one self-contained file: an x86-64 GUI program that imports only DLLs
# Windows always takes from System32 (its KnownDLLs, and comctl32 through the manifest), so a
# DLL planted beside it is never loaded; and it carries the manifest that asks for
# administrator rights. Every other DLL it uses is loaded at run time from System32.
# Every player downloads it before anything else, so it must also stay small: past the limit
# below, something heavy was linked in (the C++ library's streams and locales take 850 KB).
# Usage: check_executable.sh VantreoInstaller.exe
set -euo pipefail
exe=$1
objdump=${OBJDUMP:-x86_64-w64-mingw32-objdump}
max_bytes=$((750 * 1024))

allowed=" advapi32.dll comctl32.dll comdlg32.dll gdi32.dll kernel32.dll msvcrt.dll"
allowed+=" ole32.dll oleaut32.dll shell32.dll shlwapi.dll user32.dll ws2_32.dll "
status=0
headers=$("$objdump" -p "$exe")
while read -r dll; do
  name=$(echo "$dll" | tr 'A-Z' 'a-z')
  if [[ $allowed != *" $name "* ]]; then
    echo "FAIL: imports $dll, which Windows may look for beside the program"
    status=1
  fi
done < <(sed -n 's/^\s*DLL Name: //p' <<<"$headers")
echo "imports: $(sed -n 's/^\s*DLL Name: //p' <<<"$headers" | tr '\n' ' ')"

grep -q '^Magic.*20b' <<<"$headers" || { echo "FAIL: not a PE32+ (x86-64) image"; status=1; }
grep -Eq '^Subsystem\s+0*2\b' <<<"$headers" || { echo "FAIL: not a GUI subsystem program"; status=1; }
grep -q 'level="requireAdministrator"' "$exe" || { echo "FAIL: no requireAdministrator manifest"; status=1; }
size=$(stat -c %s "$exe")
echo "size: $size bytes (limit $max_bytes)"
[ "$size" -le "$max_bytes" ] || { echo "FAIL: larger than $max_bytes bytes"; status=1; }
exit $status
