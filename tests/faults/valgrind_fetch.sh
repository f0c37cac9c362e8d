#!/usr/bin/env bash
# vantreo-fetch under valgrind against the fault tests' nginx: a whole download, a download
# that is started as a program, a server that cannot be reached until the deadline, and a
# Ctrl-C in the middle of a download. Every run must be free of memory errors and leaks.
# Runs that succeed use --error-exitcode=1 as they are; runs where the tool itself exits 1
# use another code for valgrind's findings so that the two cannot be confused.
# Usage: valgrind_fetch.sh NGINX_DIR TOOL
set -uo pipefail
nginx_dir=$1
tool=$2
if [ -f "$nginx_dir/not-started" ]; then
  echo "skipped: $(cat "$nginx_dir/not-started")"
  exit 77
fi
address=$(cat "$nginx_dir/address")
www=$nginx_dir/www/files
work=$(mktemp -d)
name=vgrind$$
trap 'rm -rf "$work"; rm -f "$www/$name"*' EXIT
# Downloads go to $work/vantreo, the cache folder's private folder.
export TMPDIR=$work XDG_CACHE_HOME=$work
saved=$work/vantreo
failures=0
fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}
valgrind_run() {
  local code=$1
  shift
  valgrind -q --error-exitcode="$code" --leak-check=full --track-fds=no "$tool" "$@" \
    >"$work/out" 2>"$work/err"
}

head -c 1000003 /dev/urandom >"$www/$name.bin"
valgrind_run 1 "http://$address/files/$name.bin"
status=$?
[ "$status" -eq 0 ] || fail "whole download exited $status: $(cat "$work/err")"
cmp -s "$saved/$name.bin" "$www/$name.bin" || fail "the saved file differs from the served one"

printf '#!/bin/sh\nexit 0\n' >"$www/$name.sh"
valgrind_run 1 --run "" "http://$address/files/$name.sh"
status=$?
[ "$status" -eq 0 ] || fail "download and run exited $status: $(cat "$work/err")"

# Nothing listens on 127.0.0.118 (the fault tests keep it free).
valgrind_run 42 --deadline 3 "http://127.0.0.118/files/$name.bin"
status=$?
[ "$status" -eq 1 ] || fail "unreachable server exited $status (42: valgrind errors): $(cat "$work/err")"

head -c 3000000 /dev/urandom >"$www/$name.big"
valgrind -q --error-exitcode=42 --leak-check=full "$tool" "http://$address/slow/$name.big" \
  >"$work/out" 2>"$work/err" &
pid=$!
for _ in $(seq 100); do [ -e "$saved/$name.big.download" ] && break; sleep 0.1; done
sleep 1
kill -INT "$pid"
wait "$pid"
status=$?
[ "$status" -eq 1 ] || fail "Ctrl-C exited $status (42: valgrind errors): $(cat "$work/err")"
grep -q interrupted "$work/err" || fail "no message after Ctrl-C: $(cat "$work/err")"

if [ "$failures" -ne 0 ]; then
  echo "$failures valgrind check(s) failed"
  exit 1
fi
echo "vantreo-fetch is clean under valgrind"
