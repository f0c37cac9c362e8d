#!/usr/bin/env bash
# The installer hands every text to Windows as UTF-16: no ANSI function (the A form of a pair
# that takes or returns text, which converts through the system code page) may be imported or
# looked up by name, and no C runtime function that takes a narrow path. Checked on the file
# itself: the import table and the names of functions loaded at run time (GetProcAddress) are
# both plain strings in it.
# The runtime linked into the file brings a few A imports that carry no text of ours:
#   CreateEventA, CreateSemaphoreA  threads library: unnamed objects (a null name)
#   GetModuleHandleA                threads library and C runtime: ASCII names of system DLLs
#   OutputDebugStringA              threads library: its own debugging messages
#   GetStartupInfoA                 C runtime start-up: only the window-show flags are read
#   FormatMessageA                  C++ library: std::system_error texts, which nothing shows
# Usage: check_unicode_imports.sh VantreoInstaller.exe
set -euo pipefail
exe=$1
objdump=${OBJDUMP:-x86_64-w64-mingw32-objdump}

runtime=" CreateEventA CreateSemaphoreA GetModuleHandleA OutputDebugStringA GetStartupInfoA FormatMessageA "
# Functions of the system code page that have no W form at all.
ansiOnly=" WinExec OpenFile _lopen _lcreat LoadModule "
narrowPaths=" fopen _fsopen _open _sopen _access _stat _stat64 _stat32 _mkdir _rmdir _unlink remove rename _findfirst _findfirst64 _chdir _getcwd _popen system _spawnv _execv getenv _putenv "
status=0

imports=$("$objdump" -p "$exe" | sed -n '/^The Import Tables/,/^PE File Base Relocations\|^The Export Tables/p' |
  awk 'NF == 3 && $1 ~ /^[0-9a-f]+$/ && $2 ~ /^[0-9]+$/ {print $3}' | sort -u)
[ -n "$imports" ] || { echo "FAIL: no import table read from $exe"; exit 1; }
for name in $imports; do
  if [[ $ansiOnly == *" $name "* ]]; then
    echo "FAIL: imports $name, which takes its text in the system code page"
    status=1
  fi
  if [[ $narrowPaths == *" $name "* ]]; then
    echo "FAIL: imports $name, which takes a path in the system code page"
    status=1
  fi
done

# Win32 names: capitalised words, ending in a lower-case letter or digit, then the A.
named=$(strings -n 5 "$exe" | grep -E '^[A-Z][a-z0-9]+([A-Z][A-Za-z0-9]*)*[a-z0-9]A$' | sort -u || true)
for name in $named; do
  if [[ $runtime != *" $name "* ]]; then
    echo "FAIL: uses $name, the system code page form of ${name%A}W"
    status=1
  fi
done
echo "imports: $(wc -w <<<"$imports") functions; A forms, all of the runtime's own: $(echo $named)"
exit $status
