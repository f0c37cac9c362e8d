#!/usr/bin/env bash
# Starts and stops the proxies of the network tests, each with its whole state under DIR:
# squid with the configuration Debian ships (its ACLs untouched: CONNECT only to port 443,
# clients from localhost), and tinyproxy with the settings its own sample configuration
# ships (CONNECT to ports 443 and 563), here with a Basic sign-in.
#
#   proxies.sh start DIR --squid ADDRESS:PORT [--tinyproxy ADDRESS:PORT --user USER:PASSWORD]
#   proxies.sh stop DIR
#
# start writes DIR/squid/address and DIR/tinyproxy/address once each accepts connections
# (tinyproxy only when asked for).
# Without squid installed (tools/deps.sh installs it) or root it starts nothing and writes the
# reason to DIR/not-started (exit 0; the tests skip and say why).
set -euo pipefail

usage() {
  echo "usage: $0 start DIR --squid ADDRESS:PORT [--tinyproxy ADDRESS:PORT --user USER:PASSWORD]" >&2
  echo "       $0 stop DIR" >&2
  exit 2
}

source "$(dirname "${BASH_SOURCE[0]}")/daemon.sh"

stop() {
  stop_pid "$dir/squid/run.pid" 100
  stop_pid "$dir/tinyproxy/tinyproxy.pid" 100
  rm -f "$dir/squid/address" "$dir/tinyproxy/address"
}

start_squid() {
  local address=${1%:*} port=${1##*:} base=$dir/squid
  mkdir -p "$base"
  # Squid drops root for its own user, which must be able to write here.
  chmod 777 "$base"
  # The shipped file as it is, but for where squid listens and keeps its files.
  sed "s|^http_port 3128$|http_port $address:$port|" /etc/squid/squid.conf >"$base/squid.conf"
  cat >>"$base/squid.conf" <<CONF
pid_filename $base/squid.pid
access_log stdio:$base/access.log
cache_log $base/cache.log
coredump_dir $base
shutdown_lifetime 0 seconds
CONF
  squid -N -f "$base/squid.conf" >>"$base/start.log" 2>&1 &
  echo $! >"$base/run.pid"
  if ! wait_listening "$address" "$port" 100; then
    echo "squid did not come up on $address:$port:" >&2
    cat "$base/start.log" "$base/cache.log" >&2 2>/dev/null || true
    return 1
  fi
  echo "$address $port" >"$base/address"
  echo "squid on $address:$port"
}

start_tinyproxy() {
  local address=${1%:*} port=${1##*:} user=$2 base=$dir/tinyproxy
  mkdir -p "$base"
  cat >"$base/tinyproxy.conf" <<CONF
User root
Group root
Port $port
Listen $address
Timeout 600
PidFile "$base/tinyproxy.pid"
LogFile "$base/tinyproxy.log"
LogLevel Info
MaxClients 100
Allow 127.0.0.1
ViaProxyName "tinyproxy"
ConnectPort 443
ConnectPort 563
BasicAuth ${user%%:*} ${user#*:}
CONF
  tinyproxy -c "$base/tinyproxy.conf" 2>>"$base/start.log"
  if ! wait_listening "$address" "$port" 100; then
    echo "tinyproxy did not come up on $address:$port" >&2
    return 1
  fi
  echo "$address $port" >"$base/address"
  echo "tinyproxy on $address:$port"
}

start() {
  local squid="" tinyproxy="" user=""
  while [ $# -gt 0 ]; do
    case $1 in
      --squid) [ $# -ge 2 ] || usage; squid=$2; shift 2 ;;
      --tinyproxy) [ $# -ge 2 ] || usage; tinyproxy=$2; shift 2 ;;
      --user) [ $# -ge 2 ] || usage; user=$2; shift 2 ;;
      *) usage ;;
    esac
  done
  [ -n "$squid" ] || usage
  [ -z "$tinyproxy" ] || [ -n "$user" ] || usage
  stop
  rm -rf "$dir"
  mkdir -p "$dir"
  if [ "$(id -u)" -ne 0 ]; then
    echo "the proxies need root (tinyproxy's user, squid's own)" >"$dir/not-started"
    return 0
  fi
  if ! command -v squid >/dev/null; then
    echo "squid is not installed (tools/deps.sh installs it)" >"$dir/not-started"
    return 0
  fi
  start_squid "$squid"
  [ -z "$tinyproxy" ] || start_tinyproxy "$tinyproxy" "$user"
}

run_daemon "$@"
