#!/usr/bin/env bash
# Downloads one 14 MB file from nginx on a loopback address with vantreo-fetch and its peers,
# in one run and alternating, and reports the median wall time, user+sys CPU time and peak
# memory of each, with ratios against aria2c. The cases: every connection capped by nginx at
# 2 MB/s (as servers and CDNs cap them), the same over https (vantreo-fetch, aria2c and curl,
# each trusting only the test root made here), no cap, and one connection of four slow for its
# whole life (bench/paced_server.py: 256 KiB/s for the connection that reads the body from byte
# 0, 2 MiB/s for the others). With squid installed, the capped case once more through squid as
# Debian ships it (vantreo-fetch --proxy, absolute-form requests). Then the resume: a capped vantreo-fetch download killed at 60 %
# and run again, counting the body bytes nginx sends on the second run.
#
# Usage: bench/run.sh [RUNS]          (default 5 runs of each tool in each case)
#   VANTREO_FETCH=path   use this vantreo-fetch instead of building one (Release) under
#                        build/bench
#   BENCH_LARGE=1        also the CPU case: a 500 MB file from nginx, uncapped, with
#                        vantreo-fetch, aria2c and curl (BENCH_LARGE_RUNS each, default 3)
# Needs root (the servers listen on port 80, the only port the installer's downloader uses),
# nginx, python3, curl, aria2c, axel and GNU time (tools/deps.sh installs them).
set -euo pipefail
runs=${1:-5}
here=$(cd "$(dirname "$0")/.." && pwd)
size=14000000

[ "$(id -u)" -eq 0 ] || { echo "run as root: nginx must listen on port 80" >&2; exit 1; }
for tool in nginx python3 curl aria2c axel /usr/bin/time ss; do
  command -v "$tool" >/dev/null || { echo "missing $tool (tools/deps.sh installs it)" >&2; exit 1; }
done

fetch=${VANTREO_FETCH:-}
if [ -z "$fetch" ]; then
  cmake -S "$here" -B "$here/build/bench" -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF >/dev/null
  cmake --build "$here/build/bench" --target vantreo-fetch -j "$(nproc)" >/dev/null
  fetch=$here/build/bench/tools/vantreo-fetch
fi

work=$(mktemp -d /tmp/vantreo-bench.XXXXXX)
# squid drops root for its own user, which must reach its folder below this one.
chmod 755 "$work"
nginx_sh=$here/tests/support/nginx.sh
paced_pid=
cleanup() {
  [ -z "$paced_pid" ] || kill "$paced_pid" 2>/dev/null || true
  "$nginx_sh" stop "$work/nginx"
  "$here/tests/support/proxies.sh" stop "$work/squid"
  rm -rf "$work"
}
trap cleanup EXIT

# The first address of the list with nothing listening on port 80.
free_address() {
  local candidate
  for candidate in "$@"; do
    (exec 3<>"/dev/tcp/$candidate/80") 2>/dev/null || { echo "$candidate"; return 0; }
  done
  return 1
}

# Waits (5 s at most) until no connection to port 80 of the address is open, so that a run
# starts on an idle server and the paced server's slow slot is free.
wait_idle() {
  for _ in $(seq 50); do
    [ -z "$(ss -Htn state established "( dport = :80 )" dst "$1")" ] && return 0
    sleep 0.1
  done
}

# --- the server: the first free address of 127.0.0.120-129, the file at /files/ and, capped
# at 2 MB/s per connection, at /capped/ (at 1 MB/s at /resume/, for the resume); the same on
# port 443 over TLS. Its certificate is made for the address, so the address is taken before
# the server starts. The access log has one line a request with the body bytes sent.
address=$(free_address 127.0.0.{120..129}) ||
  { echo "no free address in 127.0.0.120-129" >&2; exit 1; }
tls=$work/tls
"$here/tests/wizard/make_tls_certs.sh" "$tls" "$address" "$tls/roots.h"
"$nginx_sh" start "$work/nginx" --rate /capped/=2m --rate /resume/=1m --log-ranges \
  --addresses "$address" --tls "$tls/server.pem" "$tls/server.key" >/dev/null
access_log=$work/nginx/access.log
mkdir -p "$work/out"
head -c "$size" /dev/urandom >"$work/nginx/www/files/file.bin"
source_sum=$(sha256sum <"$work/nginx/www/files/file.bin" | cut -d' ' -f1)

# --- the contenders: name, then the command (URL and OUT are filled in per run; the file is
# OUT/ plus the URL's last part, of SIZE bytes)
names=(vantreo-fetch aria2c axel curl split4)
command_for() {
  local name=$1 url=$2 out=$3 size=$4
  local file=$out/${url##*/}
  case $name in
    vantreo-fetch) echo "env XDG_CACHE_HOME=${out%/vantreo} $fetch --segments 4 --ca-file $tls/root.pem $url" ;;
    vantreo-fetch-squid) echo "env XDG_CACHE_HOME=${out%/vantreo} $fetch --segments 4 --proxy $squid $url" ;;
    aria2c) echo "aria2c -x4 -s4 -k1M --file-allocation=none -q --allow-overwrite=true --ca-certificate=$tls/root.pem -d $out -o ${url##*/} $url" ;;
    axel) echo "axel -n 4 -q -o $file $url" ;;
    curl) echo "curl -s --cacert $tls/root.pem -o $file $url" ;;
    split4) echo "$here/bench/split4.sh $url $file $size" ;;
  esac
}

median() { sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
# The median of one column (2 wall, 3 CPU, 4 peak memory) of one tool in a results file.
column_median() { awk -v n="$2" -v c="$3" '$1 == n { print $c }' "$1" | median; }

# One case: every tool RUNS times, taking turns, each run checked against the source.
# run_case LABEL KEY URL SIZE SUM RUNS [TOOL...]: the tools of `names` unless given. The results
# go to $work/results-KEY, one line a run: tool, wall s, user+sys s, peak KiB.
run_case() {
  local label=$1 key=$2 url=$3 size=$4 sum=$5 runs=$6
  shift 6
  local names=("${names[@]}")
  [ $# -eq 0 ] || names=("$@")
  local server=${url#*://}
  server=${server%%/*}
  local results=$work/results-$key
  : >"$results"
  echo "case: $label ($runs runs each, alternating)" >&2
  for run in $(seq "$runs"); do
    # A different tool goes first in each round.
    local order=("${names[@]:$((run % ${#names[@]}))}" "${names[@]:0:$((run % ${#names[@]}))}")
    for name in "${order[@]}"; do
      local out=$work/out/$name
      # vantreo-fetch saves into the folder "vantreo" of its cache folder (XDG_CACHE_HOME).
      [[ $name != vantreo-fetch* ]] || out=$out/vantreo
      rm -rf "$out"
      mkdir -p "$out"
      local cmd
      cmd=$(command_for "$name" "$url" "$out" "$size")
      wait_idle "$server"
      # The files of the runs before are written back to disk now, not during this run.
      sync
      [ -z "${run_log:-}" ] || echo "# run $run $name" >>"$run_log"
      # Wall seconds, user seconds, system seconds, peak resident KiB.
      # shellcheck disable=SC2086
      /usr/bin/time -f "%e %U %S %M" -o "$work/time" $cmd >/dev/null 2>"$work/stderr" ||
        { echo "$name failed:" >&2; cat "$work/stderr" >&2; exit 1; }
      local got
      got=$(sha256sum <"$out/${url##*/}" | cut -d' ' -f1)
      [ "$got" = "$sum" ] || { echo "$name wrote a different file" >&2; exit 1; }
      rm -rf "$out"
      sync
      read -r wall user sys rss <"$work/time"
      echo "$name $wall $(awk -v u="$user" -v s="$sys" 'BEGIN { print u + s }') $rss" >>"$results"
      echo "  run $run $name: ${wall}s" >&2
    done
  done

  echo
  echo "### $label"
  echo
  echo "| tool | median wall (s) | × aria2c | median user+sys CPU (s) | × aria2c | median peak RSS (MiB) | × aria2c |"
  echo "|---|---:|---:|---:|---:|---:|---:|"
  local base_wall base_cpu base_rss
  base_wall=$(column_median "$results" aria2c 2)
  base_cpu=$(column_median "$results" aria2c 3)
  base_rss=$(column_median "$results" aria2c 4)
  for name in "${names[@]}"; do
    awk -v n="$name" -v w="$(column_median "$results" "$name" 2)" \
      -v c="$(column_median "$results" "$name" 3)" -v r="$(column_median "$results" "$name" 4)" \
      -v bw="$base_wall" -v bc="$base_cpu" -v br="$base_rss" \
      'BEGIN { printf "| %s | %.2f | %.2f | %.3f | %.2f | %.1f | %.2f |\n", n, w, w / bw, c, (bc > 0 ? c / bc : 0), r / 1024, r / br }'
  done
  echo
}

# The ratio of two medians of the wall time: ratio KEY TOOL KEY TOOL.
ratio() {
  awk -v a="$(column_median "$work/results-$1" "$2" 2)" -v b="$(column_median "$work/results-$3" "$4" 2)" \
    'BEGIN { printf "%.2f", a / b }'
}

# --- the slow connection: bench/paced_server.py on the first free address of
# 127.0.0.130-139, serving the same file. It is slow (256 KiB/s) for the one connection whose
# client reads the body from byte 0, fast (2 MiB/s) for every other; see its header.
fast_rate=$((2 * 1024 * 1024))
slow_rate=$((256 * 1024))
start_paced_server() {
  paced_address=$(free_address 127.0.0.{130..139}) ||
    { echo "no free address in 127.0.0.130-139" >&2; exit 1; }
  mkdir -p "$work/paced"
  ln -f "$work/nginx/www/files/file.bin" "$work/paced/file.bin"
  python3 "$here/bench/paced_server.py" "$work/paced/file.bin" "$paced_address" \
    --fast "$fast_rate" --slow "$slow_rate" --log "$work/paced/requests.log" &
  paced_pid=$!
  for _ in $(seq 50); do
    (exec 3<>"/dev/tcp/$paced_address/80") 2>/dev/null && return 0
    sleep 0.1
  done
  echo "the paced server did not come up on $paced_address:80" >&2
  exit 1
}

# Two curl downloads at once for 3 s: one from byte 0 (the slow one), one from the middle.
check_paced_rates() {
  local url=$1
  wait_idle "$paced_address"
  curl -s -o /dev/null --max-time 3 -w '%{speed_download}' "$url" >"$work/paced/rate0" &
  local from0=$!
  curl -s -o /dev/null --max-time 3 -w '%{speed_download}' -r 7000000- "$url" >"$work/paced/rate7" &
  local middle=$!
  wait "$from0" "$middle" || true
  awk -v s="$(cat "$work/paced/rate0")" -v f="$(cat "$work/paced/rate7")" -v ss="$slow_rate" -v fs="$fast_rate" \
    'BEGIN { printf "Rates measured by curl, 3 s each at once: from byte 0 %.0f B/s (set %d), from the middle %.0f B/s (set %d).\n", s, ss, f, fs }'
}

# The floor: the file at the sum of the four connections' rates, plus one round trip (a HEAD's
# time from the request sent to the first byte of the answer).
paced_floor() {
  local url=$1 trips=()
  for _ in 1 2 3 4 5; do
    trips+=("$(curl -s -o /dev/null -I -w '%{time_starttransfer} %{time_pretransfer}' "$url" |
      awk '{ print $1 - $2 }')")
  done
  local trip
  trip=$(printf '%s\n' "${trips[@]}" | median)
  awk -v n="$size" -v f="$fast_rate" -v s="$slow_rate" -v t="$trip" \
    'BEGIN { printf "%.3f %.4f\n", n / (3 * f + s) + t, t }'
}

slow_case() {
  start_paced_server
  local url=http://$paced_address/file.bin
  echo
  check_paced_rates "$url"
  read -r floor trip < <(paced_floor "$url")
  run_log=$work/paced/requests.log
  run_case "One connection of four slow (256 KiB/s, the one reading from byte 0; the others 2 MiB/s)" \
    paced "$url" "$size" "$source_sum" "$runs" vantreo-fetch aria2c axel split4
  run_log=
  echo "Floor: $size bytes / (3 × 2 MiB/s + 256 KiB/s) + one round trip ($trip s) = $floor s."
  awk -v f="$(column_median "$work/results-paced" vantreo-fetch 2)" -v a="$(column_median "$work/results-paced" aria2c 2)" -v fl="$floor" \
    'BEGIN { printf "vantreo-fetch: %.2f × aria2c (target at most 0.8), %.2f × the floor (target at most 1.3).\n", f / a, f / fl }'
  echo
  echo "Requests of the last round, as the paced server saw them (time, client port, method, range, status, body bytes, pace, seconds; slow* holds the slow slot):"
  echo
  echo '```'
  sed -n "/^# run $runs /,\$p" "$work/paced/requests.log"
  echo '```'
  kill "$paced_pid"
  wait "$paced_pid" 2>/dev/null || true
  paced_pid=
}

# --- the capped case through squid (its shipped configuration) on the first free address of
# 127.0.0.140-149, against vantreo-fetch straight to nginx in the same runs.
squid_case() {
  command -v squid >/dev/null || { echo "squid is not installed: no proxy case" >&2; return 0; }
  local squid_address
  squid_address=$(free_address 127.0.0.{140..149}) ||
    { echo "no free address in 127.0.0.140-149" >&2; exit 1; }
  squid=$squid_address:3128
  "$here/tests/support/proxies.sh" start "$work/squid" --squid "$squid" >/dev/null
  run_case "Each connection capped at 2 MB/s, through squid" squid-capped \
    "http://$address/capped/file.bin" "$size" "$source_sum" "$runs" \
    vantreo-fetch vantreo-fetch-squid aria2c
  echo "vantreo-fetch capped through squid against direct: $(ratio squid-capped vantreo-fetch-squid squid-capped vantreo-fetch) (target at most 1.10)."
  "$here/tests/support/proxies.sh" stop "$work/squid"
}

# Lines of the access log from line FIRST on, once nginx has logged every connection of the
# address (they are logged as they close).
settled_log_from() {
  wait_idle "$address"
  local lines=-1
  while [ "$lines" != "$(wc -l <"$access_log")" ]; do
    lines=$(wc -l <"$access_log")
    sleep 0.5
  done
  tail -n +"$1" "$access_log"
}

# --- the resume: vantreo-fetch from /resume/ (1 MB/s per connection), killed (SIGKILL) once
# its sidecar records 60 % of the file, then run again to the end. Counts the body bytes nginx
# sent on each run from its access log (URI STATUS "RANGE" BYTES METHOD).
resume_once() {
  local url=http://$address/resume/file.bin out=$work/out/resume/vantreo
  rm -rf "$out"
  mkdir -p "$out"
  local first=$(($(wc -l <"$access_log") + 1))
  env XDG_CACHE_HOME="${out%/vantreo}" "$fetch" --segments 4 "$url" >/dev/null 2>"$work/stderr" &
  local pid=$! held=0
  while kill -0 "$pid" 2>/dev/null; do
    held=$(awk '$1 == "range" { n += $4 } END { print n + 0 }' "$out/file.bin.vantreo" 2>/dev/null || echo 0)
    [ "$held" -lt $((size * 6 / 10)) ] || { kill -KILL "$pid"; break; }
    sleep 0.02
  done
  wait "$pid" 2>/dev/null || true
  local sent_first
  sent_first=$(settled_log_from "$first" | awk '{ n += $4 } END { print n + 0 }')
  first=$(($(wc -l <"$access_log") + 1))
  /usr/bin/time -f "%e" -o "$work/time" env XDG_CACHE_HOME="${out%/vantreo}" "$fetch" --segments 4 "$url" \
    >/dev/null 2>"$work/stderr" || { echo "the second run failed:" >&2; cat "$work/stderr" >&2; exit 1; }
  local got
  got=$(sha256sum <"$out/file.bin" | cut -d' ' -f1)
  settled_log_from "$first" >"$work/second-run"
  awk -v held="$held" -v first="$sent_first" -v size="$size" -v wall="$(cat "$work/time")" \
    -v same="$([ "$got" = "$source_sum" ] && echo yes || echo NO)" \
    '{ n += $4; requests = requests (requests ? ", " : "") $3 " " $2 " " $4 }
     END { printf "| %.0f %% | %d | %d | %.1f %% | %.2f | %s | %s |\n", 100 * held / size, first, n, 100 * n / size, wall, same, requests }' \
    "$work/second-run"
}

resume_case() {
  local count=3
  echo "case: resume ($count times)" >&2
  echo
  echo "### Resume: killed at 60 % and run again (nginx, 1 MB/s per connection)"
  echo
  echo "| held at the kill | bytes sent, first run | bytes sent, second run | × file | second run (s) | SHA-256 same | second run's requests (range status bytes) |"
  echo "|---:|---:|---:|---:|---:|---|---|"
  for _ in $(seq "$count"); do resume_once; done
  echo
  echo "Target: the second run fetches at most 45 % of the file."
}

# --- the CPU case: a 500 MB file from nginx, uncapped; the file is deleted afterwards.
large_case() {
  local large=$work/nginx/www/files/large.bin large_size=500000000
  head -c "$large_size" /dev/urandom >"$large"
  local large_sum
  large_sum=$(sha256sum <"$large" | cut -d' ' -f1)
  sync
  run_case "500 MB, no cap (CPU)" large "http://$address/files/large.bin" "$large_size" \
    "$large_sum" "${BENCH_LARGE_RUNS:-3}" vantreo-fetch aria2c curl
  rm -f "$large"
  awk -v f="$(column_median "$work/results-large" vantreo-fetch 3)" -v c="$(column_median "$work/results-large" curl 3)" \
    'BEGIN { printf "vantreo-fetch user+sys CPU: %.2f × curl'"'"'s (target at most 2).\n", f / c }'
}

echo "# vantreo-fetch against its peers: 14 MB from nginx on $address, $(date -u +%Y-%m-%d)"
echo
echo "Medians of $runs runs per tool and case, taking turns; every file checked by SHA-256."
echo "Machine: $(nproc) cores, $(uname -sr); nginx $(nginx -v 2>&1 | sed 's/.*\///'), $(aria2c --version | head -1), $(axel --version 2>/dev/null | head -1), $(curl --version | head -1 | cut -d' ' -f1-2), $(python3 --version)."
if [ -n "${VANTREO_FETCH:-}" ]; then
  echo "vantreo-fetch: $fetch."
else
  echo "vantreo-fetch: built from $(git -C "$here" log -1 --format='%h %s' | cut -c1-72)."
fi
run_case "Each connection capped at 2 MB/s (nginx limit_rate 2m)" http-capped \
  "http://$address/capped/file.bin" "$size" "$source_sum" "$runs"
run_case "Each connection capped at 2 MB/s, over https (the root pinned)" https-capped \
  "https://$address/capped/file.bin" "$size" "$source_sum" "$runs" vantreo-fetch aria2c curl
run_case "No cap" http-files "http://$address/files/file.bin" "$size" "$source_sum" "$runs"
echo "vantreo-fetch wall time against curl's: capped $(ratio http-capped vantreo-fetch http-capped curl), capped over https $(ratio https-capped vantreo-fetch https-capped curl), uncapped $(ratio http-files vantreo-fetch http-files curl)."
echo "vantreo-fetch capped, https against http: $(ratio https-capped vantreo-fetch http-capped vantreo-fetch)."
squid_case
slow_case
resume_case
[ -z "${BENCH_LARGE:-}" ] || large_case
