#!/usr/bin/env bash
# Several sources of one file: three nginx (127.0.0.243 to .245) serve the same 14 MB file, each
# connection capped at 2 MiB/s. vantreo-fetch (four connections) fetches it RUNS times (default
# 3) in each case and the median wall time is printed:
#   one        the first source alone
#   two        the first two sources
#   three      all three, undisturbed
#   killed     all three, the first stopped once 30 % of the file is in (from the progress
#              line); "lost" is against "three"
#   slow       all three, the second capped at 32 KiB/s a connection (a node throttled to a
#              trickle); "lost" is against "three"
#   silent     a first source that drops every packet (127.0.0.151, iptables), then the first
#              two; "lost" is against "two": what a dead CDN node listed first costs
# and, for every case, the file's bytes written twice (the tool's ranges from its log).
# Usage: bench/sources.sh [RUNS]    (VANTREO_FETCH=path: this vantreo-fetch, else a Release
# build under build/bench). Needs root (port 80), nginx and, for "silent", iptables.
set -euo pipefail
runs=${1:-3}
here=$(cd "$(dirname "$0")/.." && pwd)
size=14000000
[ "$(id -u)" -eq 0 ] || { echo "run as root: nginx must listen on port 80" >&2; exit 1; }
fetch=${VANTREO_FETCH:-}
if [ -z "$fetch" ]; then
  cmake -S "$here" -B "$here/build/bench" -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF >/dev/null
  cmake --build "$here/build/bench" --target vantreo-fetch -j 2 >/dev/null
  fetch=$here/build/bench/tools/vantreo-fetch
fi
work=$(mktemp -d /tmp/vantreo-sources.XXXXXX)
# The tool saves into a cache folder of this run's own: another run's file.bin is not this one.
export XDG_CACHE_HOME=$work/cache
nginx_sh=$here/tests/support/nginx.sh
addresses=(127.0.0.243 127.0.0.244 127.0.0.245)
silent=127.0.0.151
stop_all() { for i in 0 1 2; do "$nginx_sh" stop "$work/src$i" >/dev/null 2>&1 || true; done; }
trap 'stop_all; iptables -w -D OUTPUT -d $silent -j DROP 2>/dev/null; rm -rf "$work"' EXIT
head -c $size /dev/urandom >"$work/file.bin"
start_all() {
  for i in 0 1 2; do
    # The last run's nginx lets go of the address a moment after its master has ended.
    for _ in $(seq 100); do
      (exec 3<>"/dev/tcp/${addresses[$i]}/80") 2>/dev/null || break
      sleep 0.05
    done
    "$nginx_sh" start "$work/src$i" --addresses "${addresses[$i]}" --log-ranges --rate /capped/=2m \
      --rate /trickle/=32k >/dev/null
    cp "$work/file.bin" "$work/src$i/www/files/"
  done
}
url() { echo "http://${addresses[$1]}/${2:-capped}/file.bin"; }
median() { sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }

# One run: $1 the case, the rest the sources. Prints "seconds refetched".
run_once() {
  local case=$1 pid start end saved
  shift
  start_all
  start=$(date +%s.%N)
  "$fetch" --segments 4 --log "$work/log" "$@" >"$work/out" 2>"$work/err" &
  pid=$!
  if [ "$case" = killed ]; then
    # Killed once the progress line shows 30 %.
    while kill -0 "$pid" 2>/dev/null; do
      if grep -Eq '(3[0-9]|[4-9][0-9])%' "$work/err"; then "$nginx_sh" stop "$work/src0"; break; fi
      sleep 0.02
    done
  fi
  wait "$pid"
  end=$(date +%s.%N)
  saved=$(tail -n 1 "$work/out" | sed -n 's/^saved: //p')
  cmp -s "$saved" "$work/file.bin" || { echo "$case: the saved file differs" >&2; exit 1; }
  rm -f "$saved" "$work/log.prev"
  # Bytes written twice: the written ranges, sorted, overlap by this much.
  local twice
  twice=$(sed -n 's/.*REQUEST GET .* range \([0-9]*\)-* .*status 20[06] bytes \([0-9]*\) ms.*/\1 \2/p' "$work/log" |
    sed 's/^ /0 /' | awk '$2 > 0' | sort -n |
    awk 'BEGIN { end = 0 } { if ($1 < end) twice += end - $1; if ($1 + $2 > end) end = $1 + $2 } END { print twice + 0 }')
  rm -f "$work/log"
  stop_all
  awk -v a="$end" -v b="$start" -v t="$twice" 'BEGIN { printf "%.3f %d\n", a - b, t }'
}

printf '| case | median s | lost | bytes written twice |\n|---|---|---|---|\n'
declare -A medians
cases="one two three killed slow"
iptables -w -A OUTPUT -d $silent -j DROP 2>/dev/null && cases+=" silent" ||
  echo "silent: skipped, iptables cannot drop packets here" >&2
for case in $cases; do
  case $case in
    one) set -- "$(url 0)" ;;
    two) set -- "$(url 0)" "$(url 1)" ;;
    slow) set -- "$(url 0)" "$(url 1 trickle)" "$(url 2)" ;;
    silent) set -- "http://$silent/capped/file.bin" "$(url 0)" "$(url 1)" ;;
    *) set -- "$(url 0)" "$(url 1)" "$(url 2)" ;;
  esac
  : >"$work/times"
  twice=0
  for _ in $(seq "$runs"); do
    run_once "$case" "$@" >"$work/result"
    read -r seconds written <"$work/result"
    echo "$seconds" >>"$work/times"
    twice=$((twice + written))
  done
  medians[$case]=$(median <"$work/times")
  lost=-
  case $case in
    killed | slow) against=three ;;
    silent) against=two ;;
    *) against= ;;
  esac
  [ -z "$against" ] ||
    lost=$(awk -v a="${medians[$case]}" -v b="${medians[$against]}" 'BEGIN { printf "%.2f", a - b }')
  printf '| %s | %.2f | %s | %d |\n' "$case" "${medians[$case]}" "$lost" "$twice"
done
