#!/usr/bin/env bash
# vantreo-fetch over https against the TLS peer of the TLS stream tests (tls_peers.sh): a
# segmented download with the root pinned, certificates refused with their reasons (nothing
# saved, the program never started), an http to https redirect followed, an https to http
# redirect refused, and Ctrl-C in the middle of a download over TLS; the TLS line of a download
# from several sources.
# Usage: VANTREO_FAKE_SETUP=PROGRAM fetch_tls_test.sh TLS_PEER_DIR TOOL [--wine PREFIX]
set -uo pipefail
peer_dir=$1
tool=$2
wine_prefix=${4:-}
fake_setup=${VANTREO_FAKE_SETUP:?"the fake setup program: run this test through ctest"}

# The scripted http server that redirects to the TLS peer.
redirector=127.0.0.174
work=$(mktemp -d)
source "$(dirname "$0")/fetch_common.sh"
trap 'cleanup vtls$$' EXIT
skip_unless_started "$peer_dir"
address=$(cat "$peer_dir/address")
www=$peer_dir/www/files
roots=$(to_windows "$peer_dir/certs/root.pem")

ranges_logged() { grep -c "^443 TLSv1.[23] .* 206 \"bytes=" "$peer_dir/access.log"; }

# --- four segments over TLS, byte-identical, and the log names the protocol and the subject
name=vtls$$_data.bin
cp "$www/data.bin" "$www/$name"
before=$(ranges_logged)
fetch --ca-file "$roots" --segments 4 --log "$(to_windows "$work/fetch.log")" \
  "https://$address/files/$name"
check_saved "https fetch" "$www/$name"
[ $(($(ranges_logged) - before)) -ge 3 ] || fail "fewer than 3 ranged answers over TLS"
grep -q "TLS $address: https, certificate .*tls.vantreo.test" "$work/fetch.log" ||
  fail "no TLS line in the log: $(cat "$work/fetch.log")"

# --- several sources, the first one dead: the TLS line names the host met, not the first URL's
dead=127.0.0.169
fetch --ca-file "$roots" --log "$(to_windows "$work/sources.log")" "https://$dead/files/$name" \
  "https://$address/files/$name"
check_saved "https from the second source" "$www/$name"
grep -q "TLS $address: https, certificate .*tls.vantreo.test" "$work/sources.log" ||
  fail "no TLS line for the source used: $(grep -E 'TLS|source' "$work/sources.log")"
grep -q "TLS $dead" "$work/sources.log" && fail "a TLS line names the dead source"

# --- refused certificates: one reason each, exit 1, nothing saved, the program never started
cp "$fake_setup" "$www/vtls$$_setup.exe"
for refusal in "4431:untrusted root" "4432:name mismatch" "4433:untrusted root" "4434:expired"; do
  port=${refusal%%:*}
  reason=${refusal#*:}
  record=$work/started-$port.txt
  VANTREO_FAKE_SETUP_RECORD=$(to_windows "$record") \
    fetch --ca-file "$roots" --run "" "https://$address:$port/files/vtls$$_setup.exe"
  [ "$status" -eq 1 ] || fail "port $port exited $status"
  grep -q "^vantreo-fetch: the certificate of $address is refused: $reason" "$work/err" ||
    fail "port $port: no '$reason': $(cat "$work/err")"
  [ -e "$record" ] && fail "port $port: the program was started"
  ls "$temp_folder"/vtls$$_setup.exe* >/dev/null 2>&1 && fail "port $port: a file was saved"
done
# Without the pinned root the system's roots do not know the test CA either.
fetch "https://$address/files/vtls$$_setup.exe"
grep -q "refused: untrusted root" "$work/err" || fail "unpinned: $(cat "$work/err")"

# --- http to https is followed; https to http is refused
python3 - "$redirector" "https://$address/files/$name" <<'PY' &
import http.server, sys
class Redirect(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    def do_GET(self):
        self.send_response(302)
        self.send_header("Location", sys.argv[2])
        self.send_header("Content-Length", "0")
        self.end_headers()
    def log_message(self, *args):
        pass
http.server.HTTPServer((sys.argv[1], 80), Redirect).serve_forever()
PY
server_pid=$!
for _ in $(seq 50); do (exec 3<>"/dev/tcp/$redirector/80") 2>/dev/null && break; sleep 0.1; done
fetch --ca-file "$roots" "http://$redirector/to-https/$name"
check_saved "http to https" "$www/$name"
fetch --ca-file "$roots" --deadline 20 "https://$address/down-to-http.bin"
[ "$status" -eq 1 ] || fail "https to http exited $status"
grep -q "^vantreo-fetch: redirected from https to plain http" "$work/err" ||
  fail "no reason for https to http: $(cat "$work/err")"

# --- Ctrl-C in the middle of a capped download over TLS ends the tool promptly
"${run_tool[@]}" --ca-file "$roots" "https://$address/slow/$name" >"$work/out" 2>"$work/err" &
pid=$!
target=$temp_folder/$name
for _ in $(seq 100); do [ -e "$target.download" ] && break; sleep 0.1; done
sleep 1
kill -INT "$pid"
stopped_at=$(date +%s%N)
while kill -0 "$pid" 2>/dev/null; do
  [ $((($(date +%s%N) - stopped_at) / 1000000)) -gt 5000 ] && break
  sleep 0.02
done
took=$((($(date +%s%N) - stopped_at) / 1000000))
kill -0 "$pid" 2>/dev/null && kill "$pid"
wait "$pid"
status=$?
echo "Ctrl-C over TLS ended the tool after $took ms"
[ "$took" -lt 1000 ] || fail "Ctrl-C over TLS took $took ms"
[ "$status" -eq 1 ] || fail "Ctrl-C exited $status"
[ -e "$target.download" ] && fail "the download file was left after Ctrl-C"

if [ "$failures" -ne 0 ]; then
  echo "$failures check(s) failed"
  exit 1
fi
echo "all vantreo-fetch https checks passed"
