#!/usr/bin/env bash
# Downloads one 14 MB file from nginx on a loopback address with vantreo-fetch and its peers,
# in one run and alternating, and reports the median wall time, user+sys CPU time and peak
# memory of each, with ratios against aria2c. Three cases: every connection capped by nginx at
# 2 MB/s (as servers and CDNs cap them), the same over https (vantreo-fetch, aria2c and curl,
# each trusting only the test root made here), and no cap.
#
# Usage: bench/run.sh [RUNS]          (default 5 runs of each tool in each case)
#   VANTREO_FETCH=path   use this vantreo-fetch instead of building one (Release) under
#                        build/bench
# Needs root (nginx listens on port 80, the only port the installer's downloader uses),
# nginx, curl, aria2c, axel and GNU time (tools/deps.sh installs them).
set -euo pipefail
runs=${1:-5}
here=$(cd "$(dirname "$0")/.." && pwd)
size=14000000

[ "$(id -u)" -eq 0 ] || { echo "run as root: nginx must listen on port 80" >&2; exit 1; }
for tool in nginx curl aria2c axel /usr/bin/time; do
  command -v "$tool" >/dev/null || { echo "missing $tool (tools/deps.sh installs it)" >&2; exit 1; }
done

fetch=${VANTREO_FETCH:-}
if [ -z "$fetch" ]; then
  cmake -S "$here" -B "$here/build/bench" -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF >/dev/null
  cmake --build "$here/build/bench" --target vantreo-fetch -j "$(nproc)" >/dev/null
  fetch=$here/build/bench/tools/vantreo-fetch
fi

work=$(mktemp -d /tmp/vantreo-bench.XXXXXX)
nginx_sh=$here/tests/support/nginx.sh
cleanup() {
  "$nginx_sh" stop "$work/nginx"
  rm -rf "$work"
}
trap cleanup EXIT

# --- the server: the first free address of 127.0.0.120-129, the file at /files/ and, capped
# at 2 MB/s per connection, at /capped/; the same on port 443 over TLS. Its certificate is
# made for the address, so the address is taken before the server starts.
address=
for candidate in 127.0.0.{120..129}; do
  (exec 3<>"/dev/tcp/$candidate/80") 2>/dev/null || { address=$candidate; break; }
done
[ -n "$address" ] || { echo "no free address in 127.0.0.120-129" >&2; exit 1; }
tls=$work/tls
"$here/tests/wizard/make_tls_certs.sh" "$tls" "$address" "$tls/roots.h"
"$nginx_sh" start "$work/nginx" --rate /capped/=2m --addresses "$address" \
  --tls "$tls/server.pem" "$tls/server.key" >/dev/null
mkdir -p "$work/out"
head -c "$size" /dev/urandom >"$work/nginx/www/files/file.bin"
source_sum=$(sha256sum <"$work/nginx/www/files/file.bin" | cut -d' ' -f1)

# --- the contenders: name, then the command (URL and OUT are filled in per run)
names=(vantreo-fetch aria2c axel curl split4)
command_for() {
  local name=$1 url=$2 out=$3
  case $name in
    vantreo-fetch) echo "env TMPDIR=$out $fetch --segments 4 --ca-file $tls/root.pem $url" ;;
    aria2c) echo "aria2c -x4 -s4 -k1M --file-allocation=none -q --allow-overwrite=true --ca-certificate=$tls/root.pem -d $out -o file.bin $url" ;;
    axel) echo "axel -n 4 -q -o $out/file.bin $url" ;;
    curl) echo "curl -s --cacert $tls/root.pem -o $out/file.bin $url" ;;
    split4) echo "$here/bench/split4.sh $url $out/file.bin $size" ;;
  esac
}

median() { sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

# One case: every tool `runs` times, taking turns, each run checked against the source.
# run_case LABEL PATH SCHEME [TOOL...]: the tools of `names` unless given.
run_case() {
  local label=$1 path=$2 scheme=$3
  shift 3
  local names=("${names[@]}")
  [ $# -eq 0 ] || names=("$@")
  local url="$scheme://$address/$path/file.bin"
  local results=$work/results-$scheme-$path
  : >"$results"
  echo "case: $label ($runs runs each, alternating)" >&2
  for run in $(seq "$runs"); do
    # A different tool goes first in each round.
    local order=("${names[@]:$((run % ${#names[@]}))}" "${names[@]:0:$((run % ${#names[@]}))}")
    for name in "${order[@]}"; do
      local out=$work/out/$name
      rm -rf "$out"
      mkdir -p "$out"
      local cmd
      cmd=$(command_for "$name" "$url" "$out")
      # Wall seconds, user seconds, system seconds, peak resident KiB.
      # shellcheck disable=SC2086
      /usr/bin/time -f "%e %U %S %M" -o "$work/time" $cmd >/dev/null 2>"$work/stderr" ||
        { echo "$name failed:" >&2; cat "$work/stderr" >&2; exit 1; }
      local sum
      sum=$(sha256sum <"$out/file.bin" | cut -d' ' -f1)
      [ "$sum" = "$source_sum" ] || { echo "$name wrote a different file" >&2; exit 1; }
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
  base_wall=$(awk '$1 == "aria2c" { print $2 }' "$results" | median)
  base_cpu=$(awk '$1 == "aria2c" { print $3 }' "$results" | median)
  base_rss=$(awk '$1 == "aria2c" { print $4 }' "$results" | median)
  for name in "${names[@]}"; do
    local wall cpu rss
    wall=$(awk -v n="$name" '$1 == n { print $2 }' "$results" | median)
    cpu=$(awk -v n="$name" '$1 == n { print $3 }' "$results" | median)
    rss=$(awk -v n="$name" '$1 == n { print $4 }' "$results" | median)
    awk -v n="$name" -v w="$wall" -v c="$cpu" -v r="$rss" -v bw="$base_wall" -v bc="$base_cpu" -v br="$base_rss" \
      'BEGIN { printf "| %s | %.2f | %.2f | %.3f | %.2f | %.1f | %.2f |\n", n, w, w / bw, c, (bc > 0 ? c / bc : 0), r / 1024, r / br }'
  done
  echo
  echo "$scheme-$path:curl-ratio $(awk -v f="$(awk '$1 == "vantreo-fetch" { print $2 }' "$results" | median)" \
    -v c="$(awk '$1 == "curl" { print $2 }' "$results" | median)" 'BEGIN { printf "%.2f", f / c }')" >>"$work/ratios"
}

echo "# vantreo-fetch against its peers: 14 MB from nginx on $address, $(date -u +%Y-%m-%d)"
echo
echo "Medians of $runs runs per tool and case, taking turns; every file checked by SHA-256."
echo "Machine: $(nproc) cores, $(uname -sr); nginx $(nginx -v 2>&1 | sed 's/.*\///'), $(aria2c --version | head -1), $(axel --version 2>/dev/null | head -1), $(curl --version | head -1 | cut -d' ' -f1-2)."
run_case "Each connection capped at 2 MB/s (nginx limit_rate 2m)" capped http
run_case "Each connection capped at 2 MB/s, over https (the root pinned)" capped https \
  vantreo-fetch aria2c curl
run_case "No cap" files http
ratio() { sed -n "s/^$1:curl-ratio //p" "$work/ratios"; }
fetch_median() { awk '$1 == "vantreo-fetch" { print $2 }' "$work/results-$1" | median; }
echo "vantreo-fetch wall time against curl's: capped $(ratio http-capped), capped over https $(ratio https-capped), uncapped $(ratio http-files)."
echo "vantreo-fetch capped, https against http: $(awk -v s="$(fetch_median https-capped)" \
  -v p="$(fetch_median http-capped)" 'BEGIN { printf "%.2f", s / p }')."
