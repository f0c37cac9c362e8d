#!/usr/bin/env bash
# Starts and stops the real peers of the download tests, each from a private configuration
# under DIR (pid, logs and temporary files too), never touching the system's own:
#   nginx on port 80 of a loopback address, serving DIR/nginx/www with a 3 MB test file;
#   tinyproxy on a loopback address, as the CONNECT proxy.
# Where each one listens is written to DIR/nginx/address and DIR/tinyproxy/address.
# Usage: peers.sh start|stop DIR
set -euo pipefail
action=$1
dir=$(realpath -m "$2")

# Waits until something accepts connections on address:port.
wait_listening() {
  for _ in $(seq 50); do
    if (exec 3<>"/dev/tcp/$1/$2") 2>/dev/null; then return 0; fi
    sleep 0.1
  done
  return 1
}

start_nginx() {
  local base=$dir/nginx
  mkdir -p "$base/www/files" "$base/tmp"
  head -c 3000000 /dev/urandom >"$base/www/files/setup.bin"
  # Several build trees may run these tests at once: take the first free address.
  for address in 127.0.0.36 127.0.0.37; do
    cat >"$base/nginx.conf" <<CONF
user root;
worker_processes 1;
pid $base/nginx.pid;
error_log $base/error.log;
events { worker_connections 64; }
http {
  access_log $base/access.log;
  client_body_temp_path $base/tmp/body;
  proxy_temp_path $base/tmp/proxy;
  fastcgi_temp_path $base/tmp/fastcgi;
  uwsgi_temp_path $base/tmp/uwsgi;
  scgi_temp_path $base/tmp/scgi;
  default_type application/octet-stream;
  server {
    listen $address:80;
    root $base/www;
    # The same files at a rate where a download takes a few seconds, as from a capped CDN.
    location /slow/ { alias $base/www/files/; limit_rate 300k; }
  }
}
CONF
    : >"$base/access.log"
    if nginx -p "$base" -c "$base/nginx.conf" -e "$base/error.log" 2>>"$base/start.log"; then
      wait_listening "$address" 80 || { echo "nginx did not come up on $address:80" >&2; return 1; }
      echo "$address" >"$base/address"
      echo "nginx serving $base/www on $address:80"
      return 0
    fi
  done
  echo "nginx could not start:" >&2
  cat "$base/start.log" >&2
  return 1
}

start_tinyproxy() {
  local base=$dir/tinyproxy
  mkdir -p "$base"
  local address=127.0.0.38
  for port in $(seq 18080 18089); do
    (exec 3<>"/dev/tcp/$address/$port") 2>/dev/null && continue
    # No ConnectPort line: tunnels to any port, port 80 included.
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

# Stops the processes named by the pid files, all at once, and waits for them to end.
stop_pid_files() {
  local pids=()
  for pidfile in "$@"; do
    [ -f "$pidfile" ] || continue
    local pid
    pid=$(cat "$pidfile")
    [ -n "$pid" ] && kill "$pid" 2>/dev/null && pids+=("$pid")
    rm -f "$pidfile"
  done
  for pid in "${pids[@]}"; do
    for _ in $(seq 50); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
  done
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
    stop_pid_files "$dir/nginx/nginx.pid" "$dir/tinyproxy/tinyproxy.pid"
    rm -f "$dir/nginx/address" "$dir/tinyproxy/address"
    ;;
  *)
    echo "usage: $0 start|stop DIR" >&2
    exit 2
    ;;
esac
