#!/usr/bin/env bash
# Runs a Windows program under Wine in a private prefix, as a Chinese Windows would run it.
# Usage: wine-run.sh --prefix DIR program.exe [args...]
set -euo pipefail
[ "${1:-}" = "--prefix" ] || { echo "usage: $0 --prefix DIR program [args]" >&2; exit 2; }
prefix=$(realpath -m "$2")
shift 2

export WINEPREFIX=$prefix
export WINEDEBUG=${WINEDEBUG:--all}
# VANTREO_EXTRA_DLLOVERRIDES: more overrides for one run (the DLL planting test).
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d${VANTREO_EXTRA_DLLOVERRIDES:+;$VANTREO_EXTRA_DLLOVERRIDES}"
# VANTREO_LC_ALL: another system for one run (zh_TW.UTF-8: code page 950, en_US.UTF-8: 1252).
export LC_ALL=${VANTREO_LC_ALL:-zh_CN.UTF-8}
mkdir -p "$prefix"
# The first program in a new prefix sets it up; parallel tests wait for that once.
(
  flock 9
  if [ ! -f "$prefix/.ready" ]; then
    wineboot -i >/dev/null 2>&1 || true
    # A crash prints its backtrace and ends the program instead of waiting on a dialog nobody
    # can see, so a crashing test fails at once rather than at its time-out.
    wine reg add 'HKCU\Software\Wine\WineDbg' /v ShowCrashDialog /t REG_DWORD /d 0 /f \
      >/dev/null 2>&1 || true
    wineserver -w || true
    touch "$prefix/.ready"
  fi
) 9>"$prefix.lock"
exec wine "$@"
