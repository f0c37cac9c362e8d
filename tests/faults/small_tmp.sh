#!/usr/bin/env bash
# Runs a command with a small tmpfs as its temporary folder (TMPDIR) and its cache folder
# (XDG_CACHE_HOME, where native downloads go), in a mount namespace of
# its own, so that the mount ends with the command whatever happens to it. Mounting needs root
# (and a system that lets root mount): without them the command does not run, and the exit
# code is 77, which ctest counts as skipped.
# Usage: small_tmp.sh SIZE COMMAND [ARGS...]    (SIZE as mount takes it: 2m, 512k)
set -uo pipefail
size=$1
shift
if [ "$(id -u)" -ne 0 ]; then
  echo "skipped: mounting a tmpfs needs root"
  exit 77
fi
if ! unshare --mount --propagation private true 2>/dev/null; then
  echo "skipped: this system does not let us make a mount namespace"
  exit 77
fi
mountpoint=$(mktemp -d /tmp/vantreo-small-tmp.XXXXXX)
unshare --mount --propagation private -- bash -c '
  mount -t tmpfs -o "size=$1,mode=1777" tmpfs "$2" || exit 1
  export TMPDIR=$2 XDG_CACHE_HOME=$2 VANTREO_SMALL_TMP=$1
  shift 2
  "$@"
' small-tmp "$size" "$mountpoint" "$@"
status=$?
rmdir "$mountpoint"
exit $status
