#!/usr/bin/env bash
# vantreo-fetch under Wine with the proxy settings of Internet Options, stored as Windows stores
# them (the DefaultConnectionSettings value, the only one Wine's WinHTTP reads): a per-scheme
# fixed proxy (squid as shipped), its bypass list, an automatic configuration script served by
# nginx, automatic detection with no WPAD server, and a proxy left set by a tool that is gone.
# Its own Wine prefix: the settings must not reach the other tests' programs.
# Usage: fetch_system_proxy_test.sh NGINX_DIR PROXIES_DIR TOOL PREFIX
set -uo pipefail
nginx_dir=$1
proxies_dir=$2
tool=$3
wine_prefix=$4

down=127.0.0.227
work=$(mktemp -d)
source "$(dirname "$0")/fetch_common.sh"
trap 'cleanup vsys$$' EXIT
use_net_peers "$nginx_dir" "$proxies_dir"

# Internet Options' settings: FLAGS (1 direct, 2 fixed proxy, 4 script, 8 detect), the proxy
# text, the bypass list, the script's URL.
set_settings() {
  local hex
  hex=$(python3 - "$@" <<'PY'
import struct, sys
flags, proxy, bypass, script = int(sys.argv[1]), *(s.encode() for s in sys.argv[2:5])
value = struct.pack("<III", 0x46, 1, flags)
for text in (proxy, bypass, script):
    value += struct.pack("<I", len(text)) + text
print((value + bytes(32)).hex())
PY
)
  "$here/tools/wine-run.sh" --prefix "$wine_prefix" reg add \
    'HKCU\Software\Microsoft\Windows\CurrentVersion\Internet Settings\Connections' \
    /v DefaultConnectionSettings /t REG_BINARY /d "$hex" /f >/dev/null 2>&1 ||
    fail "the settings could not be stored"
}
# Stores the settings (FLAGS PROXY BYPASS SCRIPT) and fetches the test file under them, as case
# LABEL: the log in $work/fetch.log, the time it took in $elapsed, squid's GETs before in $before.
fetch_with() {
  label=$1
  before=$(squid_gets)
  set_settings "${@:2}"
  rm -f "$work/fetch.log"
  local started
  started=$(now_ms)
  fetch --log "$(to_windows "$work/fetch.log")" "http://$address/files/$name"
  elapsed=$(($(now_ms) - started))
  check_saved "$label" "$www/$name"
}
has_line() {
  grep -qF -- "$1" "$work/fetch.log" || fail "$label: no \"$1\" in: $(grep -a 'route\|proxy' "$work/fetch.log")"
}
squid_carried() { [ $(($(squid_gets) - before)) -ge 4 ] || fail "$label: squid did not carry the segments"; }
squid_gets() { grep -c "GET http://$address/files/$name " "$squid_log"; }

name=vsys$$_data.bin
head -c 2000000 /dev/urandom >"$www/$name"
cat >"$www/vsys$$_proxy.pac" <<PAC
function FindProxyForURL(url, host) {
  if (host == "$address") return "PROXY $squid:$squid_port; DIRECT";
  return "DIRECT";
}
PAC
# A script whose first proxy is down. Wine's WinHTTP passes on only the first entry of a
# script's answer; the download then falls back to a direct connection.
cat >"$www/vsys$$_down.pac" <<PAC
function FindProxyForURL(url, host) { return "PROXY $down:3128; PROXY $squid:$squid_port; DIRECT"; }
PAC
# The prefix's first program sets it up: not part of any case's time.
"${run_tool[@]}" --help >/dev/null 2>&1

# --- a fixed proxy for http only (per scheme): four absolute-form requests reach squid
fetch_with "fixed proxy" 3 "http=$squid:$squid_port;https=$down:1" "" ""
squid_carried
has_line "proxy settings from Internet Options: http \"$squid:$squid_port\", https \"$down:1\""
has_line "kept: proxy $squid:$squid_port"

# --- the same proxy with the server on its bypass list: direct
fetch_with "bypass list" 3 "$squid:$squid_port" "*.lan;${address%.*}.*;<local>" ""
[ "$(squid_gets)" -eq "$before" ] || fail "bypass list: squid was asked"
has_line "$address is on the bypass list"

# --- an automatic configuration script naming squid, then one whose first proxy is down
fetch_with "script" 5 "" "" "http://$address/files/vsys$$_proxy.pac"
squid_carried
has_line "the configuration script answered \"$squid:$squid_port"
fetch_with "script with a down proxy" 5 "" "" "http://$address/files/vsys$$_down.pac"
has_line "kept: direct ($down:3128 did not answer)"

# --- automatic detection with no WPAD server: at most a second lost, then direct
fetch_with "automatic detection" 9 "" "" ""
has_line "automatic detection gave no answer"
[ "$elapsed" -lt 3000 ] || fail "automatic detection: the fetch took $elapsed ms"

# --- a proxy tool that crashed and left its proxy set: direct within 2 s
fetch_with "left-over proxy" 3 "127.0.0.1:7890" "" ""
has_line "kept: direct (127.0.0.1:7890 did not answer)"
[ "$elapsed" -lt 2000 ] || fail "left-over proxy: the fetch took $elapsed ms"

set_settings 1 "" "" ""
[ "$failures" -eq 0 ] && echo "all system proxy cases passed"
exit $((failures > 0))
