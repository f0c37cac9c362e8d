#!/usr/bin/env bash
# Starts and stops the TLS peer of the TLS stream tests: certificates made now with openssl and
# a private nginx (configuration, pid, logs under DIR, never the system's own) on one loopback
# address of 127.0.0.170-173, one port per certificate:
#   443   the good leaf (DNS tls.vantreo.test and IP ADDRESS) with its intermediate
#   4431  the same names from another CA
#   4432  a leaf of the good chain for another name only (elsewhere.test)
#   4433  the good leaf alone, without the intermediate it needs
#   4434  a leaf of the good chain whose validity has ended
# DIR/certs/root.pem is the root to pin, DIR/www/files/data.bin a 3 MB file of random bytes,
# DIR/address the address. /slow/ serves files/ at 100 kB/s a connection; /down-to-http.bin
# redirects to plain http. Without root nothing starts and DIR/not-started says why.
# Usage: tls_peers.sh start|stop DIR
set -euo pipefail
action=$1
dir=$(realpath -m "$2")

# The same private nginx layout as tests/support/nginx.sh (pid and address files): its stop.
stop() { "$(dirname "$0")/../support/nginx.sh" stop "$dir"; }

# make_cert NAME SUBJECT ISSUER DAYS EXTENSIONS: NAME.key and NAME.pem signed by ISSUER.{pem,key}
# (ISSUER "self" for a root).
make_cert() {
  local name=$1 subject=$2 issuer=$3 days=$4 extensions=$5
  local c=$dir/certs
  printf '%b\n' "$extensions" >"$c/$name.ext"
  if [ "$issuer" = self ]; then
    openssl req -x509 -newkey rsa:2048 -nodes -keyout "$c/$name.key" -out "$c/$name.pem" \
      -days "$days" -subj "/CN=$subject" -extensions v3 \
      -config <(printf '[req]\ndistinguished_name=dn\n[dn]\n[v3]\n%b\n' "$extensions") 2>/dev/null
    return
  fi
  openssl req -newkey rsa:2048 -nodes -keyout "$c/$name.key" -out "$c/$name.csr" \
    -subj "/CN=$subject" 2>/dev/null
  openssl x509 -req -in "$c/$name.csr" -CA "$c/$issuer.pem" -CAkey "$c/$issuer.key" \
    -set_serial "0x$(openssl rand -hex 8)" -days "$days" -extfile "$c/$name.ext" \
    -out "$c/$name.pem" 2>/dev/null
}

make_certs() {
  local address=$1 c=$dir/certs
  local ca='basicConstraints=critical,CA:TRUE\nkeyUsage=critical,keyCertSign,cRLSign\nsubjectKeyIdentifier=hash'
  local leaf='basicConstraints=CA:FALSE\nkeyUsage=critical,digitalSignature,keyEncipherment\nextendedKeyUsage=serverAuth\nsubjectKeyIdentifier=hash\nauthorityKeyIdentifier=keyid'
  mkdir -p "$c"
  make_cert root "Vantreo Test Root" self 30 "$ca"
  make_cert intermediate "Vantreo Test Intermediate" root 30 "$ca\nauthorityKeyIdentifier=keyid"
  make_cert other-root "Other Test Root" self 30 "$ca"
  make_cert good tls.vantreo.test intermediate 30 "$leaf\nsubjectAltName=DNS:tls.vantreo.test,IP:$address"
  make_cert other tls.vantreo.test other-root 30 "$leaf\nsubjectAltName=DNS:tls.vantreo.test,IP:$address"
  make_cert wrong-name elsewhere.test intermediate 30 "$leaf\nsubjectAltName=DNS:elsewhere.test"
  # Valid from now until a day ago: ended.
  make_cert expired tls.vantreo.test intermediate -1 "$leaf\nsubjectAltName=DNS:tls.vantreo.test,IP:$address"
  for name in good wrong-name expired; do
    cat "$c/$name.pem" "$c/intermediate.pem" >"$c/$name-chain.pem"
  done
  cp "$c/other.pem" "$c/other-chain.pem"
  cp "$c/good.pem" "$c/leaf-only-chain.pem"
  cp "$c/good.key" "$c/leaf-only.key"
}

server_block() {
  local address=$1 port=$2 name=$3
  cat <<BLOCK
  server {
    listen $address:$port ssl;
    ssl_certificate $dir/certs/$name-chain.pem;
    ssl_certificate_key $dir/certs/$name.key;
    ssl_protocols TLSv1.2 TLSv1.3;
    root $dir/www;
    # A capped connection, for stops in the middle of a download.
    location /slow/ { alias $dir/www/files/; limit_rate 100k; }
    # A redirect from https down to plain http, which a download must refuse.
    location = /down-to-http.bin { return 302 http://$address/files/data.bin; }
  }
BLOCK
}

write_config() {
  local address=$1
  {
    cat <<CONF
user root;
worker_processes 1;
pid $dir/nginx.pid;
error_log $dir/error.log;
events { worker_connections 128; }
http {
  log_format tls '\$server_port \$ssl_protocol \$ssl_cipher \$status "\$http_range" \$body_bytes_sent';
  access_log $dir/access.log tls;
  client_body_temp_path $dir/tmp/body;
  proxy_temp_path $dir/tmp/proxy;
  fastcgi_temp_path $dir/tmp/fastcgi;
  uwsgi_temp_path $dir/tmp/uwsgi;
  scgi_temp_path $dir/tmp/scgi;
  default_type application/octet-stream;
CONF
    server_block "$address" 443 good
    server_block "$address" 4431 other
    server_block "$address" 4432 wrong-name
    server_block "$address" 4433 leaf-only
    server_block "$address" 4434 expired
    echo "}"
  } >"$dir/nginx.conf"
}

wait_listening() {
  for _ in $(seq 50); do
    if (exec 3<>"/dev/tcp/$1/443") 2>/dev/null; then return 0; fi
    sleep 0.1
  done
  return 1
}

start() {
  stop
  rm -rf "$dir"
  mkdir -p "$dir/www/files" "$dir/tmp"
  if [ "$(id -u)" -ne 0 ]; then
    echo "nginx needs root for port 443" >"$dir/not-started"
    echo "TLS peer not started: not root"
    return 0
  fi
  head -c 3000000 /dev/urandom >"$dir/www/files/data.bin"
  local address
  for address in 127.0.0.170 127.0.0.171 127.0.0.172 127.0.0.173; do
    (exec 3<>"/dev/tcp/$address/443") 2>/dev/null && continue
    rm -rf "$dir/certs"
    make_certs "$address"
    write_config "$address"
    if nginx -p "$dir" -c "$dir/nginx.conf" -e "$dir/error.log" 2>>"$dir/start.log"; then
      wait_listening "$address" || { echo "nginx did not come up on $address" >&2; stop; return 1; }
      echo "$address" >"$dir/address"
      echo "TLS peer on $address"
      return 0
    fi
  done
  echo "nginx could not start:" >&2
  cat "$dir/start.log" >&2 2>/dev/null || true
  return 1
}

case $action in
  start) start ;;
  stop) stop ;;
  *) echo "usage: $0 start|stop DIR" >&2; exit 2 ;;
esac
