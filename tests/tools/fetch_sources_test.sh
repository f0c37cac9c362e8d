#!/usr/bin/env bash
# vantreo-fetch with several sources of one file, each its own nginx on 127.0.0.240 to .243
# (access logs with ranges and bytes sent), natively. One table of source behaviours:
#   killed     three sources, the first stopped mid-download: the file completes, identical,
#              and no byte is served twice by the sources that stay
#   othersize  the second source serves a file of another size: dropped before any range
#   othercopy  the first serves the same size with other bytes: the check refuses the file,
#              then each source is fetched whole in order and the bad one is named
#   alldown    no source answers: the same end as with one dead source
#   resumed    killed at about half, run again with the same list: the sidecar records the
#              list, and the second run fetches only the rest, with If-Range
#   equal      two sources equally fast: neither is failed for slowness
#   slowone    a fast source and one throttled to a trickle (/trickle/): the trickle is failed,
#              its ranges go on from the fast one, no byte is written twice, and the file is
#              in near the time two fast sources take (equal's)
#   deadwhole  othercopy with a dead source between the bad and the good one: the whole-file
#              pass names the dead one as not checked and goes on to the good one
#   silent     the first source (127.0.0.150) drops every packet (iptables): the download
#              starts about a second after the second source answers, not after the first
#              one's connect time-out
#   firstdown  killed at about half, run again with the first source down: the second run
#              fetches only the rest from the second, with If-Range carrying its own validator
# Usage: VANTREO_FAKE_SETUP=PROGRAM fetch_sources_test.sh WORK_DIR TOOL
set -uo pipefail
base=$(realpath -m "$1")
tool=$2
fake_setup=${VANTREO_FAKE_SETUP:?"the fake setup program: run this test through ctest"}
here=$(cd "$(dirname "$0")/../.." && pwd)
nginx=$here/tests/support/nginx.sh
wine_prefix=""
work=$base/work
rm -rf "$work"
mkdir -p "$work"
source "$(dirname "$0")/fetch_common.sh"

addresses=(127.0.0.240 127.0.0.241 127.0.0.242)
dead=(127.0.0.250 127.0.0.251)
silent=127.0.0.150
start_sources() {
  local i
  for i in 0 1 2; do
    "$nginx" start "$base/src$i" --addresses "${addresses[$i]}" --log-ranges --rate /slow/=1m \
      --rate /trickle/=32k >/dev/null || return 1
    if [ -f "$base/src$i/not-started" ]; then
      echo "skipped: $(cat "$base/src$i/not-started")"
      exit 0
    fi
  done
}
stop_sources() { for i in 0 1 2; do "$nginx" stop "$base/src$i" >/dev/null 2>&1; done; }
drop_silent() { iptables -w -D OUTPUT -d $silent -j DROP 2>/dev/null; }
trap 'stop_sources; drop_silent; rm -rf "$work"; rm -f "$temp_folder"/vsrc$$*' EXIT
url() { echo "http://${addresses[$1]}/${3:-slow}/$2"; }
# The ranges the tool wrote, from its log: "start bytes" for every request of the file.
ranges_written() {
  sed -n 's/.*REQUEST GET .* range \([0-9]*\)-* .*status 20[06] bytes \([0-9]*\) ms.*/\1 \2/p' "$1" |
    sed 's/^ /0 /' | awk '$2 > 0'
}
# Case $1's log $2: no byte written twice and none missing, the written ranges tiling $3 bytes.
check_tiled() {
  ranges_written "$2" | sort -n | awk -v size="$3" 'BEGIN { end = 0 }
    { if ($1 != end) { print "gap or overlap at", $1, "after", end; bad = 1 } end = $1 + $2 }
    END { if (end != size) { print "ends at", end; bad = 1 } exit bad }' >"$work/tiles" ||
    fail "$1: written ranges do not tile the file: $(cat "$work/tiles")"
}
# For source $1 and file $2, the size request left out: body bytes sent, then ranged requests.
sent_and_ranges() {
  awk -v file="$2" '$1 ~ file { if ($3 == "\"-\"" && !seen) { seen = 1; next } sum += $4; n++ }
    END { print sum + 0, n + 0 }' "$base/src$1/access.log"
}
bytes_sent() { sent_and_ranges "$@" | cut -d' ' -f1; }
range_requests() { sent_and_ranges "$@" | cut -d' ' -f2; }

case_killed() {
  local name=vsrc$$_killed.bin size=12000000
  head -c $size /dev/urandom >"$work/$name"
  for i in 0 1 2; do cp "$work/$name" "$base/src$i/www/files/"; done
  "${run_tool[@]}" --log "$work/killed.log" "$(url 0 "$name")" "$(url 1 "$name")" \
    "$(url 2 "$name")" >"$work/out" 2>"$work/err" &
  local pid=$!
  sleep 1.5
  "$nginx" stop "$base/src0"
  wait "$pid"
  status=$?
  check_saved killed "$work/$name" || return
  grep -q "source $(url 0 "$name") failed" "$work/killed.log" ||
    fail "killed: the log does not name the failed source"
  check_tiled killed "$work/killed.log" $size
  # What nginx sent past the ranges is only what was in flight when a range was closed.
  local sent=$(( $(bytes_sent 1 "$name") + $(bytes_sent 2 "$name") ))
  echo "killed: the sources that stayed sent $sent bytes of $size"
  [ "$sent" -lt "$size" ] || fail "killed: the sources that stayed sent $sent bytes"
}

case_othersize() {
  local name=vsrc$$_size.bin
  head -c 3000000 /dev/urandom >"$work/$name"
  cp "$work/$name" "$base/src0/www/files/"
  head -c 2999999 "$work/$name" >"$base/src1/www/files/$name"
  fetch --log "$work/size.log" "$(url 0 "$name")" "$(url 1 "$name")"
  check_saved othersize "$work/$name" || return
  grep -q "source $(url 1 "$name") dropped: it serves 2999999 bytes" "$work/size.log" ||
    fail "othersize: no line for the dropped source: $(grep REQUEST "$work/size.log")"
  [ "$(range_requests 1 "$name")" -eq 0 ] || fail "othersize: a range went to the other file"
}

case_othercopy() {
  local name=vsrc$$_copy.exe
  cp "$fake_setup" "$base/src1/www/files/$name"
  # The same size, one byte other: a stale copy on a CDN node.
  sed 's/Stands in/Stands In/' "$fake_setup" >"$base/src0/www/files/$name"
  chmod +x "$base"/src*/www/files/$name
  local digest
  digest=$(sha256sum "$fake_setup" | cut -d' ' -f1)
  VANTREO_FAKE_SETUP_RECORD=$work/record fetch --log "$work/copy.log" --sha256 "$digest" \
    --segments 2 --run "" "$(url 0 "$name")" "$(url 1 "$name")"
  [ "$status" -eq 0 ] || fail "othercopy: exited $status: $(cat "$work/err")"
  grep -q "SOURCE .*assembled from 2 sources was refused" "$work/copy.log" ||
    fail "othercopy: the refused file is not in the log"
  grep -q "SOURCE bad source: $(url 0 "$name") served the refused file" "$work/copy.log" ||
    fail "othercopy: the bad source is not named: $(grep SOURCE "$work/copy.log")"
  [ "$(grep -c "SOURCE fetching the whole file from" "$work/copy.log")" -eq 2 ] ||
    fail "othercopy: not fetched whole from each source in turn"
  grep -q '^exited' "$work/record" || fail "othercopy: the good copy did not run"
}

case_resumed() {
  local name=vsrc$$_resume.bin size=8000000 kept sent=0 lines
  head -c $size /dev/urandom >"$work/$name"
  for i in 0 1; do cp "$work/$name" "$base/src$i/www/files/"; done
  local target=$temp_folder/$name
  kill_at_half "$target" $size "$(url 0 "$name")" "$(url 1 "$name")"
  grep -qxF "url $(url 0 "$name");$(url 1 "$name")" "$target.vantreo" ||
    fail "resumed: the sidecar does not record the list: $(head -3 "$target.vantreo")"
  kept=$(sidecar_bytes "$target")
  lines=($(wc -l <"$base/src0/access.log") $(wc -l <"$base/src1/access.log"))
  fetch --log "$work/resume.log" "$(url 0 "$name")" "$(url 1 "$name")"
  check_saved "resumed: the second run" "$work/$name" || return
  for i in 0 1; do
    sent=$((sent + $(bytes_sent_since "$base/src$i/access.log" "${lines[$i]}" "/slow/$name")))
  done
  echo "resumed: killed with $kept of $size bytes kept; the second run was sent $sent"
  [ "$sent" -le $((size - kept + size / 10)) ] ||
    fail "resumed: the second run fetched $sent bytes of $size with $kept kept"
  grep -q 'REQUEST GET .* range [0-9]*- if-range status 206' "$work/resume.log" ||
    fail "resumed: no continued request: $(grep 'REQUEST GET' "$work/resume.log")"
}

case_alldown() {
  local name=vsrc$$_down.bin one
  fetch --deadline 3 "http://${dead[0]}/slow/$name"
  one=$status
  fetch --deadline 3 "http://${dead[0]}/slow/$name" "http://${dead[1]}/slow/$name"
  [ "$status" -eq "$one" ] && [ "$status" -ne 0 ] ||
    fail "alldown: exited $status, one dead source $one: $(cat "$work/err")"
}

# A 16 MB file from two sources named by location (slow: 1 MiB/s a connection, or trickle);
# sets fetch_ms, and $status as fetch does. The log goes to $work/$1.log.
fetch_timed() {
  local log=$1 name=vsrc$$_$1.bin started
  shift
  head -c 16000000 /dev/urandom >"$work/$name"
  for i in 0 1; do cp "$work/$name" "$base/src$i/www/files/"; done
  started=$(now_ms)
  fetch --log "$work/$log.log" "http://${addresses[0]}/$1/$name" "http://${addresses[1]}/$2/$name"
  fetch_ms=$(($(now_ms) - started))
  check_saved "$log" "$work/$name"
}

equal_ms=
case_equal() {
  fetch_timed equal slow slow || return
  equal_ms=$fetch_ms
  echo "equal: two sources at 1 MiB/s a connection: $fetch_ms ms"
  grep -q "much slower" "$work/equal.log" &&
    fail "equal: a source was failed for slowness: $(grep 'much slower' "$work/equal.log")"
}

case_slowone() {
  local trickle
  fetch_timed slowone slow trickle || return
  echo "slowone: one of two sources at 32 KiB/s: $fetch_ms ms (equal: ${equal_ms:-?} ms)"
  trickle="http://${addresses[1]}/trickle/vsrc$$_slowone.bin"
  grep -q "source $trickle failed: much slower than the others" "$work/slowone.log" ||
    fail "slowone: the trickle was not failed: $(grep 'REQUEST source' "$work/slowone.log")"
  check_tiled slowone "$work/slowone.log" 16000000
  # Left to the splits alone, the trickle's ranges take about 7 s more than equal's.
  [ -z "$equal_ms" ] || [ "$fetch_ms" -le $((equal_ms + 4000)) ] ||
    fail "slowone: $fetch_ms ms against $equal_ms ms from two fast sources"
}

case_deadwhole() {
  local name=vsrc$$_dead.exe digest dead_url
  cp "$fake_setup" "$base/src2/www/files/$name"
  sed 's/Stands in/Stands In/' "$fake_setup" >"$base/src0/www/files/$name"
  chmod +x "$base"/src*/www/files/$name
  digest=$(sha256sum "$fake_setup" | cut -d' ' -f1)
  dead_url="http://${dead[0]}/slow/$name"
  VANTREO_FAKE_SETUP_RECORD=$work/record fetch --log "$work/dead.log" --sha256 "$digest" --deadline 30 \
    --segments 2 --run "" "$(url 0 "$name")" "$dead_url" "$(url 2 "$name")"
  [ "$status" -eq 0 ] || fail "deadwhole: exited $status: $(cat "$work/err")"
  grep -q "SOURCE bad source: $(url 0 "$name") served the refused file" "$work/dead.log" ||
    fail "deadwhole: the bad source is not named: $(grep SOURCE "$work/dead.log")"
  grep -q "SOURCE source $dead_url could not be checked: " "$work/dead.log" ||
    fail "deadwhole: the dead source is not named: $(grep SOURCE "$work/dead.log")"
  grep -q "SOURCE fetching the whole file from $(url 2 "$name")" "$work/dead.log" ||
    fail "deadwhole: the pass did not go on to the last source"
  grep -q '^exited' "$work/record" || fail "deadwhole: the good copy did not run"
}

case_silent() {
  local name=vsrc$$_silent.bin started took
  if ! iptables -w -A OUTPUT -d $silent -j DROP 2>/dev/null; then
    echo "silent: skipped: iptables cannot drop packets here"
    return
  fi
  head -c 2000000 /dev/urandom >"$work/$name"
  cp "$work/$name" "$base/src0/www/files/"
  started=$(now_ms)
  fetch --log "$work/silent.log" "http://$silent/files/$name" "$(url 0 "$name" files)"
  took=$(($(now_ms) - started))
  drop_silent
  check_saved silent "$work/$name" || return
  echo "silent: done in $took ms with the first source dropping packets"
  [ "$took" -lt 3000 ] || fail "silent: $took ms: the silent source held up the start"
}

case_firstdown() {
  local name=vsrc$$_firstdown.bin size=8000000 kept sent lines i
  head -c $size /dev/urandom >"$work/$name"
  # Files of different times: each nginx gives its own ETag, as CDNs do.
  for i in 0 1; do
    cp "$work/$name" "$base/src$i/www/files/"
    touch -d "@$((1700000000 + i * 100))" "$base/src$i/www/files/$name"
  done
  local target=$temp_folder/$name
  kill_at_half "$target" $size "$(url 0 "$name")" "$(url 1 "$name")"
  grep -q '^source 1 "' "$target.vantreo" ||
    fail "firstdown: the sidecar does not record the second source's validator"
  kept=$(sidecar_bytes "$target")
  lines=$(wc -l <"$base/src1/access.log")
  "$nginx" stop "$base/src0"
  fetch --log "$work/firstdown.log" "$(url 0 "$name")" "$(url 1 "$name")"
  check_saved "firstdown: the second run" "$work/$name" || return
  sent=$(bytes_sent_since "$base/src1/access.log" "$lines" "/slow/$name")
  echo "firstdown: killed with $kept of $size bytes kept; the second run was sent $sent"
  [ "$sent" -le $((size - kept + size / 10)) ] ||
    fail "firstdown: the second run fetched $sent bytes of $size with $kept kept"
  # nginx answers an If-Range that is not its own ETag with the whole file (200).
  grep -q "REQUEST GET $(url 1 "$name") range [0-9]*- if-range status 206" "$work/firstdown.log" ||
    fail "firstdown: no continued request: $(grep 'REQUEST GET' "$work/firstdown.log")"
}

for behaviour in killed othersize othercopy alldown resumed equal slowone deadwhole silent firstdown; do
  # Each case meets fresh sources with empty logs.
  start_sources || { echo "FAIL: nginx did not start"; exit 1; }
  "case_$behaviour"
done
[ "$failures" -eq 0 ] && echo "all source cases passed"
exit $((failures > 0))
