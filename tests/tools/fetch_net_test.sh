#!/usr/bin/env bash
# vantreo-fetch on the networks a browser copes with: a name whose first address drops its
# packets, a server on IPv6 only (by name and by literal), squid with its shipped
# configuration in front of nginx (plain http in absolute form, https through its tunnel), a
# list of proxies whose first is down, a configured proxy that is down, no_proxy, --noproxy,
# and a proxy that asks for a sign-in (tinyproxy), without and with credentials.
# Names come from a hosts file of the test's own, mounted over /etc/hosts for the tool alone
# (a private mount namespace: root only).
# Usage: fetch_net_test.sh NGINX_DIR PROXIES_DIR TLS_PEER_DIR TOOL
set -uo pipefail
nginx_dir=$1
proxies_dir=$2
tls_dir=$3
tool=$4
wine_prefix=

# A loopback address where nothing listens, and one whose listener never accepts.
down=127.0.0.227
dead=127.0.0.226
ipv6_port=8224
work=$(mktemp -d)
source "$(dirname "$0")/fetch_common.sh"
trap 'cleanup vnet$$' EXIT
use_net_peers "$nginx_dir" "$proxies_dir"
# The lines squid logged since mark_squid.
mark_squid() { before=$(wc -l <"$squid_log"); }
squid_since() { tail -n +$((before + 1)) "$squid_log"; }

cat >"$work/hosts" <<HOSTS
127.0.0.1 localhost
$dead dual.test
$address dual.test
::1 v6only.test
HOSTS
# The tool with the test's names.
fetch_named() {
  unshare -m sh -c 'mount --bind "$0" /etc/hosts && exec "$@"' "$work/hosts" "$tool" "$@" \
    >"$work/out" 2>"$work/err"
  status=$?
}

name=vnet$$_data.bin
head -c 3000000 /dev/urandom >"$www/$name"

# --- a name whose first address drops its packets: the second is tried 250 ms later and wins
python3 - "$dead" "$work/dead-ready" <<'PY' &
import socket, sys, time
listener = socket.socket()
listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
listener.bind((sys.argv[1], 80))
listener.listen(0)
# Connects under way fill the queue; later ones are dropped, as by a node that is down.
filling = []
for _ in range(4):
    s = socket.socket()
    s.setblocking(False)
    s.connect_ex((sys.argv[1], 80))
    filling.append(s)
time.sleep(0.2)
open(sys.argv[2], "w").close()
time.sleep(600)
PY
server_pid=$!
for _ in $(seq 50); do [ -e "$work/dead-ready" ] && break; sleep 0.1; done
started=$(now_ms)
fetch_named --noproxy --log "$work/dual.log" "http://dual.test/files/$name"
elapsed=$(($(now_ms) - started))
check_saved "dual.test" "$www/$name"
[ "$elapsed" -lt 2000 ] || fail "dual.test took $elapsed ms"
first=$(grep -m1 "connect dual.test: $address:80 connected" "$work/dual.log")
after=$(echo "$first" | sed -n 's/.*, \([0-9]*\) ms after the first attempt$/\1/p')
[ -n "$after" ] && [ "$after" -ge 200 ] && [ "$after" -le 400 ] ||
  fail "the live address did not win about 250 ms after the first attempt: $first"
grep -q "connect dual.test: $dead:80 given up: no answer" "$work/dual.log" ||
  fail "the dead address is not named: $(grep connect "$work/dual.log")"
# The segments go to the address that won first: none of them waits for the dead one.
[ "$(grep -c "connect dual.test: $address:80 connected in [0-9]* ms, [0-9] ms after" "$work/dual.log")" -ge 4 ] ||
  fail "the segments did not start at the winning address: $(grep connect "$work/dual.log")"
kill "$server_pid" 2>/dev/null
server_pid=

# --- a server on IPv6 only, by name and by literal
for url in "http://v6only.test:$ipv6_port/files/$name" "http://[::1]:$ipv6_port/files/$name"; do
  fetch_named --noproxy --log "$work/v6.log" "$url"
  check_saved "$url" "$www/$name"
done
[ "$(grep -c "\[::1\]:$ipv6_port connected" "$work/v6.log")" -ge 10 ] ||
  fail "not every connection went to [::1]: $(grep connect "$work/v6.log")"

# --- squid as shipped, plain http: absolute-form requests, four segments, byte-identical
mark_squid
http_proxy=http://$squid:$squid_port fetch --log "$work/squid.log" "http://$address/files/$name"
check_saved "http through squid" "$www/$name"
[ "$(squid_since | grep -c "/206 .* GET http://$address/files/$name ")" -ge 3 ] ||
  fail "squid did not pass three ranged absolute-form requests: $(squid_since)"
grep -q "kept: proxy $squid:$squid_port" "$work/squid.log" || fail "no route line: $(cat "$work/squid.log")"

# --- squid as shipped, https: through its CONNECT tunnel, the certificate the origin's
if [ -f "$tls_dir/address" ]; then
  tls=$(cat "$tls_dir/address")
  mark_squid
  https_proxy=$squid:$squid_port fetch --ca-file "$tls_dir/certs/root.pem" "https://$tls/files/data.bin"
  check_saved "https through squid" "$tls_dir/www/files/data.bin"
  [ "$(squid_since | grep -c "TCP_TUNNEL/200 .* CONNECT $tls:443 ")" -ge 4 ] ||
    fail "not four tunnels through squid: $(squid_since)"
  # Its shipped ACLs tunnel to port 443 only: any other is its refusal, named as such.
  https_proxy=$squid:$squid_port fetch --ca-file "$tls_dir/certs/root.pem" "https://$tls:4431/files/data.bin"
  [ "$status" -eq 1 ] || fail "a tunnel squid refuses exited $status"
  grep -q "the proxy $squid:$squid_port refuses the request (status 403)" "$work/err" ||
    fail "no clear message for squid's refusal: $(cat "$work/err")"
else
  echo "https through squid skipped: no TLS peer"
fi

# --- a list whose first proxy is down: the next one carries the download
mark_squid
fetch --proxy "$down:3128; $squid:$squid_port" --log "$work/list.log" "http://$address/files/$name"
check_saved "the proxy list" "$www/$name"
grep -q "proxy $down:3128 does not answer" "$work/list.log" || fail "the down proxy is not named"
[ "$(squid_since | grep -c "GET http://$address/files/$name ")" -ge 4 ] ||
  fail "the second proxy of the list did not carry the download"

# --- a configured proxy that is down and nothing else: a direct connection within 2 s
started=$(now_ms)
http_proxy=http://$down:7890 fetch --log "$work/fallback.log" "http://$address/files/$name"
elapsed=$(($(now_ms) - started))
check_saved "the down proxy" "$www/$name"
[ "$elapsed" -lt 2000 ] || fail "the fallback to a direct connection took $elapsed ms"
grep -q "kept: direct ($down:7890 did not answer)" "$work/fallback.log" ||
  fail "no fallback line: $(grep route "$work/fallback.log")"

# --- no_proxy and --noproxy: straight to the server, squid never asked
mark_squid
http_proxy=http://$squid:$squid_port no_proxy="localhost,$address" \
  fetch --log "$work/bypass.log" "http://$address/files/$name"
check_saved "no_proxy" "$www/$name"
grep -q "$address is on the bypass list" "$work/bypass.log" || fail "no bypass line"
http_proxy=http://$squid:$squid_port fetch --noproxy --log "$work/noproxy.log" "http://$address/files/$name"
check_saved "--noproxy" "$www/$name"
grep -q "proxy settings from the command line (--noproxy)" "$work/noproxy.log" || fail "no --noproxy line"
[ "$(wc -l <"$squid_log")" -eq "$before" ] || fail "squid was asked despite no_proxy or --noproxy"

# --- a proxy asking for a sign-in: a clear error at once without credentials, a download with
started=$(now_ms)
fetch --proxy "http://$tinyproxy:$tinyproxy_port" "http://$address/files/$name"
elapsed=$(($(now_ms) - started))
[ "$status" -eq 1 ] || fail "the sign-in proxy exited $status"
grep -q "vantreo-fetch: the proxy $tinyproxy:$tinyproxy_port asks for a sign-in (status 407)" "$work/err" ||
  fail "no clear message for the 407: $(cat "$work/err")"
[ "$elapsed" -lt 3000 ] || fail "the 407 took $elapsed ms"
fetch --proxy "http://vu:vp@$tinyproxy:$tinyproxy_port" "http://$address/files/$name"
check_saved "the sign-in proxy" "$www/$name"

[ "$failures" -eq 0 ] && echo "all network cases passed"
exit $((failures > 0))
