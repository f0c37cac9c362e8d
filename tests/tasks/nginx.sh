#!/usr/bin/env bash
# Starts and stops the nginx that the download task tests fetch from, with a private
# configuration under DIR (pid, logs, temporary files), never touching the system's own:
#   port 80 of the first free address of 127.0.0.40-44, serving DIR/www/files/ at /files/ and,
#   capped at 400 KB/s per connection, at /slow/; the access log notes each request's Range
#   field and the body bytes sent. The fake setup program is copied to DIR/fake_setup.
# Where it listens is written to DIR/address; without root, DIR/not-started says why.
# Usage: nginx.sh start DIR FAKE_SETUP_PROGRAM | nginx.sh stop DIR
set -euo pipefail
action=$1
dir=$(realpath -m "$2")

wait_listening() {
  for _ in $(seq 50); do
    if (exec 3<>"/dev/tcp/$1/80") 2>/dev/null; then return 0; fi
    sleep 0.1
  done
  return 1
}

stop() {
  [ -f "$dir/nginx.pid" ] || return 0
  local pid
  pid=$(cat "$dir/nginx.pid")
  if [ -n "$pid" ] && kill "$pid" 2>/dev/null; then
    for _ in $(seq 50); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
  fi
  rm -f "$dir/nginx.pid" "$dir/address"
}

start() {
  local program=$1
  stop
  rm -rf "$dir"
  mkdir -p "$dir/www/files" "$dir/tmp"
  cp "$program" "$dir/fake_setup"
  if [ "$(id -u)" -ne 0 ]; then
    echo "nginx needs root for port 80" >"$dir/not-started"
    echo "nginx not started: not root"
    return 0
  fi
  # Several build trees may run these tests at once: take the first free address.
  for address in 127.0.0.40 127.0.0.41 127.0.0.42 127.0.0.43 127.0.0.44; do
    (exec 3<>"/dev/tcp/$address/80") 2>/dev/null && continue
    cat >"$dir/nginx.conf" <<CONF
user root;
worker_processes 1;
pid $dir/nginx.pid;
error_log $dir/error.log;
events { worker_connections 256; }
http {
  log_format ranges '\$uri \$status "\$http_range" \$body_bytes_sent';
  access_log $dir/access.log ranges;
  client_body_temp_path $dir/tmp/body;
  proxy_temp_path $dir/tmp/proxy;
  fastcgi_temp_path $dir/tmp/fastcgi;
  uwsgi_temp_path $dir/tmp/uwsgi;
  scgi_temp_path $dir/tmp/scgi;
  default_type application/octet-stream;
  server {
    listen $address:80;
    location /files/ { alias $dir/www/files/; }
    location /slow/ { alias $dir/www/files/; limit_rate 400k; }
  }
}
CONF
    : >"$dir/access.log"
    if nginx -p "$dir" -c "$dir/nginx.conf" -e "$dir/error.log" 2>>"$dir/start.log"; then
      wait_listening "$address" || { echo "nginx did not come up on $address:80" >&2; return 1; }
      echo "$address" >"$dir/address"
      echo "nginx serving $dir/www on $address:80"
      return 0
    fi
  done
  echo "nginx could not start:" >&2
  cat "$dir/start.log" >&2 2>/dev/null || true
  return 1
}

case $action in
  start) start "$3" ;;
  stop) stop ;;
  *) echo "usage: $0 start DIR PROGRAM | stop DIR" >&2; exit 2 ;;
esac
