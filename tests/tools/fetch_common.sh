# Sourced by the vantreo-fetch tests: the tool run natively or under Wine, paths as the program
# sees them and back, where it saves, and the helpers every case uses. Expects $tool,
# $wine_prefix (empty natively) and $work; sets run_tool, temp_folder and failures.
here=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
failures=0
if [ -n "$wine_prefix" ]; then
  run_tool=("$here/tools/wine-run.sh" --prefix "$wine_prefix" "$tool")
  # A path as the Windows program sees it, and back.
  to_windows() { echo "Z:${1//\//\\}"; }
  to_unix() {
    local path=${1//\\//}
    local drive
    drive=$(echo "${path:0:1}" | tr 'A-Z' 'a-z')
    echo "$wine_prefix/dosdevices/$drive:${path:2}"
  }
  # Under Wine the tool runs elevated: it saves to its private folder below ProgramData.
  temp_folder=$wine_prefix/drive_c/ProgramData/Vantreo
else
  run_tool=("$tool")
  to_windows() { echo "$1"; }
  to_unix() { echo "$1"; }
  # Natively: the private folder in the user's cache folder.
  temp_folder=${XDG_CACHE_HOME:-$HOME/.cache}/vantreo
fi

fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}

# Runs the tool; its status, output and errors land in $status, $work/out, $work/err.
fetch() {
  "${run_tool[@]}" "$@" >"$work/out" 2>"$work/err"
  status=$?
}

saved_path() { tail -n 1 "$work/out" | sed -n 's/^saved: //p' | tr -d '\r'; }
now_ms() { echo $(($(date +%s%N) / 1000000)); }

# Exits, passing, when a peer of one of the folders given did not start, and says why.
skip_unless_started() {
  local dir
  for dir in "$@"; do
    [ ! -f "$dir/not-started" ] || { echo "skipped: $(cat "$dir/not-started")"; exit 0; }
  done
}

# The nginx of NGINX_DIR and the proxies of PROXIES_DIR (tests/support): sets address, www,
# squid, squid_port, squid_log, and tinyproxy, tinyproxy_port when it runs.
use_net_peers() {
  skip_unless_started "$1" "$2"
  address=$(cat "$1/address")
  www=$1/www/files
  read -r squid squid_port <"$2/squid/address"
  [ ! -f "$2/tinyproxy/address" ] || read -r tinyproxy tinyproxy_port <"$2/tinyproxy/address"
  squid_log=$2/squid/access.log
}

# On exit (trap 'cleanup PREFIX' EXIT): the server of $server_pid ends, and the work folder and
# the files named PREFIX* in $www and where the tool saves go.
server_pid=
cleanup() {
  [ -n "$server_pid" ] && kill "$server_pid" 2>/dev/null
  rm -rf "$work"
  rm -f "${www:-$work}/$1"* "$temp_folder/$1"*
}

# The run ended with 0 and saved a copy of SOURCE; the saved file is deleted. False otherwise.
check_saved() {
  local saved ok=0
  [ "$status" -eq 0 ] || { fail "$1: exited $status: $(cat "$work/err")"; ok=1; }
  saved=$(to_unix "$(saved_path)")
  cmp -s "$saved" "$2" || { fail "$1: the saved file differs from the source"; ok=1; }
  rm -f "$saved"
  return $ok
}

# The bytes TARGET's sidecar records as fetched: all a later run may keep.
sidecar_bytes() { awk '$1 == "range" { n += $4 } END { print n + 0 }' "$1.vantreo" 2>/dev/null || echo 0; }

# Runs the tool on URL... and kills it (kill -9) once TARGET's sidecar records half of SIZE.
kill_at_half() {
  local target=$1 size=$2 pid
  shift 2
  "${run_tool[@]}" "$@" >"$work/out" 2>"$work/err" &
  pid=$!
  for _ in $(seq 200); do [ "$(sidecar_bytes "$target")" -ge $((size / 2)) ] && break; sleep 0.05; done
  kill -9 "$pid"
  wait "$pid" 2>/dev/null
}

# Body bytes the access log LOG (with --log-ranges) shows sent for URI past its first LINES lines.
bytes_sent_since() {
  tail -n +$(($2 + 1)) "$1" | awk -v uri="$3" '$1 == uri { n += $4 } END { print n + 0 }'
}
