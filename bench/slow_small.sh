#!/usr/bin/env bash
# The slow connection on a small file: 4,000,000 bytes from bench/paced_server.py, one
# connection of four at 128 KiB/s for its whole life (the one reading from byte 0), the others
# at 1 MiB/s. Here the slow range holds less than 1 MiB: only a split by remaining time helps.
# Prints each run's wall time, the median, and the median against the floor (the file at the
# sum of the four rates, plus one round trip). Target: at most 1.6 × the floor.
#
# Usage: bench/slow_small.sh [RUNS]   (default 5)
#   VANTREO_FETCH=path   use this vantreo-fetch instead of building one (Release) under
#                        build/bench
# Needs root (port 80), python3 and curl.
set -euo pipefail
runs=${1:-5}
here=$(cd "$(dirname "$0")/.." && pwd)
size=4000000
fast_rate=$((1024 * 1024))
slow_rate=$((128 * 1024))

[ "$(id -u)" -eq 0 ] || { echo "run as root: the server must listen on port 80" >&2; exit 1; }
fetch=${VANTREO_FETCH:-}
if [ -z "$fetch" ]; then
  cmake -S "$here" -B "$here/build/bench" -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF >/dev/null
  cmake --build "$here/build/bench" --target vantreo-fetch -j2 >/dev/null
  fetch=$here/build/bench/tools/vantreo-fetch
fi

work=$(mktemp -d /tmp/vantreo-slow-small.XXXXXX)
server_pid=
cleanup() {
  [ -z "$server_pid" ] || kill "$server_pid" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

address=
for candidate in 127.0.0.{190..199}; do
  (exec 3<>"/dev/tcp/$candidate/80") 2>/dev/null || { address=$candidate; break; }
done
[ -n "$address" ] || { echo "no free address in 127.0.0.190-199" >&2; exit 1; }
head -c "$size" /dev/urandom >"$work/file.bin"
sum=$(sha256sum <"$work/file.bin" | cut -d' ' -f1)
python3 "$here/bench/paced_server.py" "$work/file.bin" "$address" --fast "$fast_rate" \
  --slow "$slow_rate" --log "$work/requests.log" &
server_pid=$!
for _ in $(seq 50); do
  (exec 3<>"/dev/tcp/$address/80") 2>/dev/null && break
  sleep 0.1
done
url=http://$address/file.bin

# No connection to the server left open: the slow slot is free for the next run.
wait_idle() {
  for _ in $(seq 50); do
    [ -z "$(ss -Htn state established "( dport = :80 )" dst "$address")" ] && return 0
    sleep 0.1
  done
}

trip=$(for _ in 1 2 3 4 5; do
  curl -s -o /dev/null -I -w '%{time_starttransfer} %{time_pretransfer}\n' "$url"
done | awk '{ print $1 - $2 }' | sort -g | sed -n 3p)
floor=$(awk -v n="$size" -v f="$fast_rate" -v s="$slow_rate" -v t="$trip" \
  'BEGIN { printf "%.3f", n / (3 * f + s) + t }')

times=()
for run in $(seq "$runs"); do
  wait_idle
  out=$work/out$run
  mkdir -p "$out"
  start=$(date +%s.%N)
  env TMPDIR="$out" XDG_CACHE_HOME="$out" "$fetch" --segments 4 "$url" >/dev/null 2>"$work/stderr" ||
    { echo "run $run failed:" >&2; cat "$work/stderr" >&2; exit 1; }
  end=$(date +%s.%N)
  got=$(find "$out" -name file.bin -exec sha256sum {} \; | cut -d' ' -f1)
  [ "$got" = "$sum" ] || { echo "run $run: the file differs" >&2; exit 1; }
  times+=("$(awk -v a="$start" -v b="$end" 'BEGIN { printf "%.2f", b - a }')")
  rm -rf "$out"
done
median=$(printf '%s\n' "${times[@]}" | sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }')
echo "runs (s): ${times[*]}"
awk -v m="$median" -v f="$floor" 'BEGIN { printf "median %.2f s, floor %.2f s: %.2f × the floor (target at most 1.6)\n", m, f, m / f }'
