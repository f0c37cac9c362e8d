# Sourced by nginx.sh and proxies.sh: the frame of a script that starts and stops peers whose
# whole state is under DIR. The script defines usage, start and stop, then calls
# run_daemon "$@" (ACTION DIR [OPTIONS]); DIR is in $dir.

# True once something accepts connections on ADDRESS PORT, within TENTHS of a second.
wait_listening() {
  for _ in $(seq "$3"); do
    if (exec 3<>"/dev/tcp/$1/$2") 2>/dev/null; then return 0; fi
    sleep 0.1
  done
  return 1
}

# Ends the process of PIDFILE and waits for it (TENTHS of a second at most); the file goes.
stop_pid() {
  [ -f "$1" ] || return 0
  local pid
  pid=$(cat "$1")
  if [ -n "$pid" ] && kill "$pid" 2>/dev/null; then
    for _ in $(seq "$2"); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
  fi
  rm -f "$1"
}

run_daemon() {
  [ $# -ge 2 ] || usage
  local action=$1
  dir=$(realpath -m "$2")
  shift 2
  case $action in
    start) start "$@" ;;
    stop) [ $# -eq 0 ] || usage; stop ;;
    *) usage ;;
  esac
}
