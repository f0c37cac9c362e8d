#!/usr/bin/env bash
# Runs one GUI test program under Wine on a virtual display of its own.
# Usage: run-gui-test.sh PREFIX-BASE SHOTS-DIR program.exe [args...]
#
# Takes the first free display of :60-:69 and, with it, the Wine prefix PREFIX-BASE-N: a prefix
# has one desktop process, bound to the display it started on, so tests on different displays
# never share one. Screenshots go to SHOTS-DIR (the program gets it as SKIN_SHOTS, a Windows path).
set -euo pipefail
[ $# -ge 3 ] || { echo "usage: $0 PREFIX-BASE SHOTS-DIR program [args]" >&2; exit 2; }
here=$(cd "$(dirname "$0")/../.." && pwd)
prefix_base=$1 shots=$2
shift 2
mkdir -p "$shots" "$(dirname "$prefix_base")"

xvfb_pid=
prefix=
cleanup() {
  # Only what this run started: the prefix's own server, then our X server.
  if [ -n "$prefix" ]; then WINEPREFIX=$prefix wineserver -k 2>/dev/null || true; fi
  if [ -n "${compositor_pid:-}" ]; then kill "$compositor_pid" 2>/dev/null || true; fi
  if [ -n "$xvfb_pid" ]; then kill "$xvfb_pid" 2>/dev/null || true; wait "$xvfb_pid" 2>/dev/null || true; fi
}
trap cleanup EXIT
trap 'exit 143' TERM INT

# Hold the display's lock for the whole run; it also guards the prefix of the same number.
display=
ready=$(mktemp)
for n in $(seq 60 69); do
  exec {lock}>"$prefix_base-$n.display-lock"
  if ! flock -n "$lock"; then exec {lock}>&-; continue; fi
  # The server writes its display number to the descriptor once it listens; it exits at once
  # when another server has the display.
  : >"$ready"
  Xvfb ":$n" -screen 0 1024x768x24 -nolisten tcp -displayfd 3 3>"$ready" >/dev/null 2>&1 &
  xvfb_pid=$!
  for _ in $(seq 100); do
    [ -s "$ready" ] && break
    kill -0 "$xvfb_pid" 2>/dev/null || break
    sleep 0.1
  done
  if [ -s "$ready" ] && kill -0 "$xvfb_pid" 2>/dev/null; then
    display=$n
    break
  fi
  kill "$xvfb_pid" 2>/dev/null || true
  wait "$xvfb_pid" 2>/dev/null || true
  xvfb_pid=
  exec {lock}>&-
done
rm -f "$ready"

# A compositing manager, as every desktop has one: without it the X server shows a window with
# per-pixel alpha over black instead of over what lies behind it.
compositor_pid=
if command -v xcompmgr >/dev/null; then
  DISPLAY=:$display xcompmgr >/dev/null 2>&1 &
  compositor_pid=$!
  sleep 0.3
fi
[ -n "$display" ] || { echo "no free display in :60-:69" >&2; exit 1; }

prefix=$prefix_base-$display
export DISPLAY=:$display
export SKIN_SHOTS="Z:$(realpath "$shots" | tr / '\\')"
set +e
"$here/tools/wine-run.sh" --prefix "$prefix" "$@"
status=$?
set -e
exit $status
