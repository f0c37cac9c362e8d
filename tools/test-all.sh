#!/usr/bin/env bash
# Builds both trees (native core, Windows product) and runs every test in each.
# Usage: tools/test-all.sh [build-root]   (default: ./build)
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
root=${1:-$here/build}
"$here/tools/deps.sh"
jobs=$(nproc)

status=0
run_tree() {
  local name=$1; shift
  local dir=$root/$name
  cmake -S "$here" -B "$dir" "$@" >/dev/null
  cmake --build "$dir" -j "$jobs"
  echo "=== tests: $name ==="
  (cd "$dir" && ctest --output-on-failure -j "$jobs") || status=1
}

run_tree native -DCMAKE_BUILD_TYPE=Debug
run_tree windows -DCMAKE_TOOLCHAIN_FILE="$here/cmake/mingw-w64-x86_64.cmake"
WINEPREFIX=$root/windows/wineprefix wineserver -k 2>/dev/null || true
exit $status
