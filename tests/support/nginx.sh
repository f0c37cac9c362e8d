#!/usr/bin/env bash
# Starts and stops a private nginx for tests, the benchmark and the demo: port 80 of a loopback
# address (the only port the installer's downloader uses), its whole configuration under DIR
# (pid, logs, temporary files), never touching the system's own.
#
#   nginx.sh start DIR --addresses "A B ..." [--rate PATH=RATE]... [--log-ranges] [--tls CERT KEY]
#                      [--also LISTEN]...
#   nginx.sh stop DIR
#
# start  empties DIR and serves DIR/www at /, so DIR/www/files/x is /files/x. It listens on the
#        first address of the list that is free (each user has a range of its own, so that test
#        programs running side by side never meet), waits until it accepts connections and
#        writes the address to DIR/address. Without root it starts nothing and writes the
#        reason to DIR/not-started (exit 0; the tests skip and say why).
#   --rate /slow/=400k       /slow/ serves the files of /files/, each connection capped at
#                            400 KB/s (nginx limit_rate), as from a capped CDN
#   --log-ranges             DIR/access.log has one line a request:
#                            URI STATUS "RANGE" BODY_BYTES_SENT METHOD   (RANGE "-" when none);
#                            without it, nginx's usual combined format
#   --tls CERT KEY           the same server also on port 443 with TLS (CERT: PEM chain)
#   --also LISTEN            the same server also on LISTEN ("[::1]:8080": nginx's listen syntax)
# stop   ends the nginx of DIR's pid file and waits for it; DIR stays for a look at the logs.
set -euo pipefail

usage() {
  echo "usage: $0 start DIR --addresses \"A B ...\" [--rate PATH=RATE]... [--log-ranges] [--tls CERT KEY] [--also LISTEN]..." >&2
  echo "       $0 stop DIR" >&2
  exit 2
}

source "$(dirname "${BASH_SOURCE[0]}")/daemon.sh"

stop() {
  stop_pid "$dir/nginx.pid" 50
  rm -f "$dir/address"
}

# Writes DIR/nginx.conf for one address from the options.
write_config() {
  local address=$1 log=$dir/access.log locations="" tls="" more=""
  local option path value
  if [ -n "$log_ranges" ]; then
    log="$log ranges"
  fi
  for option in "${rates[@]}"; do
    path=${option%%=*}
    value=${option#*=}
    locations+="    location $path { alias $dir/www/files/; limit_rate $value; }"$'\n'
  done
  for option in "${also[@]}"; do
    more+="    listen $option;"$'\n'
  done
  if [ -n "$tls_cert" ]; then
    tls="    listen $address:443 ssl;"$'\n'"    ssl_certificate $tls_cert;"$'\n'
    tls+="    ssl_certificate_key $tls_key;"$'\n'"    ssl_protocols TLSv1.2 TLSv1.3;"$'\n'
  fi
  cat >"$dir/nginx.conf" <<CONF
user root;
worker_processes 1;
pid $dir/nginx.pid;
error_log $dir/error.log;
events { worker_connections 512; }
http {
  log_format ranges '\$uri \$status "\$http_range" \$body_bytes_sent \$request_method';
  access_log $log;
  client_body_temp_path $dir/tmp/body;
  proxy_temp_path $dir/tmp/proxy;
  fastcgi_temp_path $dir/tmp/fastcgi;
  uwsgi_temp_path $dir/tmp/uwsgi;
  scgi_temp_path $dir/tmp/scgi;
  default_type application/octet-stream;
  server {
    listen $address:80;
$more$tls    root $dir/www;
$locations  }
}
CONF
}

start() {
  local addresses="" address
  log_ranges=""
  tls_cert=""
  tls_key=""
  rates=()
  also=()
  while [ $# -gt 0 ]; do
    case $1 in
      --addresses) [ $# -ge 2 ] || usage; addresses=$2; shift 2 ;;
      --rate) [[ $# -ge 2 && $2 == /*=* ]] || usage; rates+=("$2"); shift 2 ;;
      --log-ranges) log_ranges=1; shift ;;
      --also) [ $# -ge 2 ] || usage; also+=("$2"); shift 2 ;;
      --tls) [ $# -ge 3 ] || usage; tls_cert=$(realpath "$2"); tls_key=$(realpath "$3"); shift 3 ;;
      *) usage ;;
    esac
  done
  [ -n "$addresses" ] || usage

  stop
  rm -rf "$dir"
  mkdir -p "$dir/www/files" "$dir/tmp"
  if [ "$(id -u)" -ne 0 ]; then
    echo "nginx needs root for port 80" >"$dir/not-started"
    echo "nginx not started: not root"
    return 0
  fi
  for address in $addresses; do
    (exec 3<>"/dev/tcp/$address/80") 2>/dev/null && continue
    write_config "$address"
    : >"$dir/access.log"
    if nginx -p "$dir" -c "$dir/nginx.conf" -e "$dir/error.log" 2>>"$dir/start.log"; then
      if ! wait_listening "$address" 80 50; then
        echo "nginx did not come up on $address:80" >&2
        stop
        return 1
      fi
      echo "$address" >"$dir/address"
      echo "nginx serving $dir/www on $address:80"
      return 0
    fi
  done
  echo "nginx could not start on any of $addresses:" >&2
  cat "$dir/start.log" >&2 2>/dev/null || true
  return 1
}

run_daemon "$@"
