#!/usr/bin/env bash
# vantreo-fetch end to end against the nginx of the task tests: a plain fetch, a fetch that
# runs the fake setup program, a file the server does not have, a program still running at the
# deadline, Ctrl-C during the download, a kill and a second run, and bad options.
# Usage: VANTREO_FAKE_SETUP=PROGRAM fetch_test.sh NGINX_DIR TOOL [--wine PREFIX]
set -uo pipefail
nginx_dir=$1
tool=$2
wine_prefix=${4:-}
fake_setup=${VANTREO_FAKE_SETUP:?"the fake setup program: run this test through ctest"}

if [ -f "$nginx_dir/not-started" ]; then
  echo "skipped: $(cat "$nginx_dir/not-started")"
  exit 0
fi
address=$(cat "$nginx_dir/address")
www=$nginx_dir/www/files
work=$(mktemp -d)
source "$(dirname "$0")/fetch_common.sh"
trap 'rm -rf "$work"; rm -f "$www"/vfetch$$* "$temp_folder"/vfetch$$*' EXIT

# The download file of a target is there (it is made at its full size as the download begins).
parts_left() { [ -e "$1.download" ]; }

# --- a plain fetch through four throttled connections
name=vfetch$$_plain.bin
head -c 2400000 /dev/urandom >"$www/$name"
fetch "http://$address/slow/$name"
[ "$status" -eq 0 ] || fail "plain fetch exited $status: $(cat "$work/err")"
saved=$(saved_path)
[ -n "$saved" ] || fail "no 'saved:' line last on standard output: $(cat "$work/out")"
local_file=$(to_unix "$saved")
cmp -s "$local_file" "$www/$name" || fail "the saved file differs from the served one"
parts_left "$local_file" && fail "the download file was left behind"
grep -q '100%  2400000/2400000 bytes' "$work/err" || fail "no final progress line"
grep -q '正在安装：' "$work/err" || fail "no status text in UTF-8 on standard error"
rm -f "$local_file"

# --- the fake setup program, run as the installer runs it
name=vfetch$$_setup.exe
cp "$fake_setup" "$www/$name"
record=$work/record.txt
log="$work/fetch 한게임 Zoë.log"  # a name no code page holds: any path works
VANTREO_FAKE_SETUP_RECORD=$(to_windows "$record") VANTREO_FAKE_SETUP_SECONDS=0.5 \
  fetch --log "$(to_windows "$log")" --run "/VERYSILENT /SILENT" "http://$address/files/$name"
[ "$status" -eq 0 ] || fail "fetch --run exited $status: $(cat "$work/err")"
# The log: the check, the launch with its command line, the exit code.
for kind in START CHECK LAUNCH EXIT END; do
  grep -Eq "^[0-9-]+ [0-9:]+ T[0-9]+ $kind " "$log" ||
    fail "no $kind line in the log: $(cat "$log" 2>/dev/null)"
done
grep -q 'CHECK .*: checked;' "$log" || fail "the log does not say the program passed its check"
grep -q 'LAUNCH .*/VERYSILENT /SILENT' "$log" || fail "the log lacks the command line"
grep -q 'EXIT .*exit code 0' "$log" || fail "the log lacks the exit code"
# One line per request: the size request without a range, then the segments.
grep -Eq "REQUEST GET http://$address/files/$name range - status 200 bytes [0-9]+ ms [0-9]+$" "$log" ||
  fail "no request line for the size request or the first segment: $(grep REQUEST "$log")"
[ "$(grep -Ec "REQUEST GET http://$address/files/$name range [0-9]+- status 206 bytes [0-9]+ ms" "$log")" -eq 3 ] ||
  fail "not three ranged request lines: $(grep REQUEST "$log")"
saved=$(saved_path)
if [ -n "$wine_prefix" ]; then
  expected="commandline=\"$saved\" /VERYSILENT /SILENT "
else
  expected="program=$saved"$'\n'"argument=/VERYSILENT"$'\n'"argument=/SILENT"
fi
grep -qF -- "$expected" "$record" || fail "the program got another command line: $(cat "$record")"
grep -q '^exited' "$record" || fail "the tool did not wait for the program"
rm -f "$(to_unix "$saved")"

# --- files the check refuses: never started, one line naming the reason
name=vfetch$$_page.exe
printf '<html><body>log in first</body></html>' >"$www/$name"
record=$work/refused.txt
VANTREO_FAKE_SETUP_RECORD=$(to_windows "$record") fetch --run "" "http://$address/files/$name"
[ "$status" -eq 1 ] || fail "a page to run exited $status"
grep -q 'refused: the downloaded file is not a program' "$work/err" ||
  fail "no reason for the refused page: $(cat "$work/err")"
name=vfetch$$_pinned.exe
cp "$fake_setup" "$www/$name"
VANTREO_FAKE_SETUP_RECORD=$(to_windows "$record") \
  fetch --sha256 "$(printf other | sha256sum | cut -c1-64)" --run "" "http://$address/files/$name"
[ "$status" -eq 1 ] || fail "a program with another digest exited $status"
grep -q "refused: the downloaded program's SHA-256 is not the pinned one" "$work/err" ||
  fail "no reason for the digest: $(cat "$work/err")"
[ -e "$record" ] && fail "a refused program was started: $(cat "$record")"
fetch --sha256 "$(sha256sum "$www/$name" | cut -c1-64)" "http://$address/files/$name"
[ "$status" -eq 0 ] || fail "the pinned digest exited $status: $(cat "$work/err")"
rm -f "$(to_unix "$(saved_path)")"

# --- a file the server does not have: a 404 ends the download at once, with that reason
started=$(date +%s%N)
fetch --deadline 20 "http://$address/files/vfetch$$_missing.bin"
elapsed=$((($(date +%s%N) - started) / 1000000))
[ "$status" -eq 1 ] || fail "missing file exited $status"
grep -q 'vantreo-fetch: the server answered with status 404' "$work/err" ||
  fail "no clear message for a missing file: $(cat "$work/err")"
[ "$elapsed" -lt 8000 ] || fail "a missing file took $elapsed ms"

# --- a program still running at the deadline goes on
name=vfetch$$_long.exe
cp "$fake_setup" "$www/$name"
record=$work/long.txt
VANTREO_FAKE_SETUP_RECORD=$(to_windows "$record") VANTREO_FAKE_SETUP_SECONDS=4 \
  fetch --deadline 2 --run "" "http://$address/files/$name"
[ "$status" -eq 1 ] || fail "program at the deadline exited $status"
grep -q 'still running' "$work/err" || fail "no message for the running program: $(cat "$work/err")"
for _ in $(seq 80); do grep -q '^exited' "$record" 2>/dev/null && break; sleep 0.1; done
grep -q '^exited' "$record" || fail "the program did not go on after the deadline"

# --- Ctrl-C during the download
name=vfetch$$_stop.bin
head -c 4000000 /dev/urandom >"$www/$name"
"${run_tool[@]}" "http://$address/slow/$name" >"$work/out" 2>"$work/err" &
pid=$!
target=$temp_folder/$name
for _ in $(seq 100); do parts_left "$target" && break; sleep 0.1; done
parts_left "$target" || fail "the download did not begin"
sleep 0.5
kill -INT "$pid"
for _ in $(seq 100); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
if kill -0 "$pid" 2>/dev/null; then
  fail "Ctrl-C did not end the tool"
  kill "$pid"
fi
wait "$pid"
status=$?
[ "$status" -eq 1 ] || fail "Ctrl-C exited $status"
grep -q 'interrupted' "$work/err" || fail "no message after Ctrl-C: $(cat "$work/err")"
parts_left "$target" && fail "the download file was left after Ctrl-C"
[ -e "$target.vantreo" ] && fail "the sidecar stayed after Ctrl-C"
[ -e "$target" ] && fail "a file was saved after Ctrl-C"

# --- killed (kill -9) at about half, then run again: the rest only, continued with If-Range
name=vfetch$$_resume.bin
size=4000000
head -c $size /dev/urandom >"$www/$name"
target=$temp_folder/$name
kill_at_half "$target" $size "http://$address/slow/$name"
[ -e "$target.vantreo" ] || fail "no sidecar left by the killed download"
kept=$(sidecar_bytes "$target")
log_lines=$(wc -l <"$nginx_dir/access.log")
fetch --log "$(to_windows "$work/resume.log")" "http://$address/slow/$name"
check_saved "the second run" "$www/$name"
sent=$(bytes_sent_since "$nginx_dir/access.log" "$log_lines" "/slow/$name")
echo "killed with $kept of $size bytes kept; the second run was sent $sent"
# What nginx sent the second time: the missing bytes and what was in flight as ranges ended.
[ "$sent" -le $((size - kept + size / 10)) ] ||
  fail "the second run fetched $sent bytes of $size with $kept kept"
grep -q 'REQUEST GET .* range [0-9]*- if-range status 206' "$work/resume.log" ||
  fail "no resumed request in the log: $(grep REQUEST "$work/resume.log")"
[ -e "$target.vantreo" ] && fail "the sidecar stayed after the file was written"
parts_left "$target" && fail "the download file was left after the continued download"

# --- killed (kill -9) at ten seeded random moments, each run continuing the last: the file is
# byte-identical in the end, whatever moment each kill met (a write, a sidecar save, a split)
name=vfetch$$_kills.bin
head -c 3000000 /dev/urandom >"$www/$name"
target=$temp_folder/$name
RANDOM=2026
for run in $(seq 10); do
  "${run_tool[@]}" "http://$address/slow/$name" >"$work/out" 2>"$work/err" &
  pid=$!
  sleep "0.$((RANDOM % 9 + 1))"
  kill -9 "$pid" 2>/dev/null
  wait "$pid" 2>/dev/null
  [ -e "$target" ] && break  # finished before this kill
done
fetch "http://$address/slow/$name"
check_saved "the run after ten kills" "$www/$name"

# --- bad options
for options in "--segments 25 http://x/f" "--segments abc http://x/f" "--deadline 0 http://x/f" \
               "--bogus http://x/f" "" "http://x/a;http://x/b" "--run" "--sha256 12ab http://x/f"; do
  # shellcheck disable=SC2086
  fetch $options
  [ "$status" -eq 1 ] || fail "options '$options' exited $status"
  grep -q '^vantreo-fetch: ' "$work/err" || fail "options '$options' gave no message"
done

if [ "$failures" -ne 0 ]; then
  echo "$failures check(s) failed"
  exit 1
fi
echo "all vantreo-fetch checks passed"
