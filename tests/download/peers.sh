#!/usr/bin/env bash
# Starts and stops the real peers of the download tests, each from a private configuration
# under DIR (pid, logs and temporary files too), never touching the system's own:
#   nginx (tests/support/nginx.sh) on port 80 of 127.0.0.36 or .37, serving DIR/nginx/www with
#   a 3 MB test file at /files/setup.bin and, capped at 300 KB/s per connection, /slow/setup.bin;
#   tinyproxy on a loopback address as the proxy, with its sample configuration's CONNECT ports.
# Where each one listens is written to DIR/nginx/address and DIR/tinyproxy/address.
# Usage: peers.sh start|stop DIR
set -euo pipefail
action=$1
dir=$(realpath -m "$2")
here=$(cd "$(dirname "$0")" && pwd)

# Waits until something accepts connections on address:port.
wait_listening() {
  for _ in $(seq 50); do
    if (exec 3<>"/dev/tcp/$1/$2") 2>/dev/null; then return 0; fi
    sleep 0.1
  done
  return 1
}

# Several build trees may run these tests at once: nginx takes the first free address.
start_nginx() {
  "$here/../support/nginx.sh" start "$dir/nginx" --addresses "127.0.0.36 127.0.0.37" \
    --rate /slow/=300k
  head -c 3000000 /dev/urandom >"$dir/nginx/www/files/setup.bin"
}

start_tinyproxy() {
  local base=$dir/tinyproxy
  mkdir -p "$base"
  local address=127.0.0.38
  for port in $(seq 18080 18089); do
    (exec 3<>"/dev/tcp/$address/$port") 2>/dev/null && continue
    # The ConnectPort lines of tinyproxy's sample configuration: tunnels to 443 and 563 only.
    cat >"$base/tinyproxy.conf" <<CONF
User root
Group root
Port $port
Listen $address
Timeout 60
PidFile "$base/tinyproxy.pid"
LogFile "$base/tinyproxy.log"
LogLevel Info
MaxClients 20
ConnectPort 443
ConnectPort 563
CONF
    tinyproxy -c "$base/tinyproxy.conf" 2>>"$base/start.log" || continue
    if wait_listening "$address" "$port"; then
      echo "$address $port" >"$base/address"
      echo "tinyproxy on $address:$port"
      return 0
    fi
  done
  echo "tinyproxy could not start:" >&2
  cat "$base/start.log" "$base/tinyproxy.log" >&2 2>/dev/null || true
  return 1
}

stop_tinyproxy() {
  local pidfile=$dir/tinyproxy/tinyproxy.pid
  [ -f "$pidfile" ] || return 0
  local pid
  pid=$(cat "$pidfile")
  if [ -n "$pid" ] && kill "$pid" 2>/dev/null; then
    for _ in $(seq 50); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
  fi
  rm -f "$pidfile" "$dir/tinyproxy/address"
}

case $action in
  start)
    "$0" stop "$dir" >/dev/null 2>&1 || true
    rm -rf "$dir"
    mkdir -p "$dir"
    if [ "$(id -u)" -ne 0 ]; then
      # nginx needs port 80; the tests skip and say why.
      echo "the real peers need root (port 80)" >"$dir/not-started"
      echo "peers not started: not root"
      exit 0
    fi
    start_nginx
    start_tinyproxy
    ;;
  stop)
    # Both at once: each takes a moment to end.
    "$here/../support/nginx.sh" stop "$dir/nginx" &
    stop_tinyproxy
    wait $!
    ;;
  *)
    echo "usage: $0 start|stop DIR" >&2
    exit 2
    ;;
esac
