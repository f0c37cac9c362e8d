#!/usr/bin/env bash
# The main job: build the installer for a loopback server and run the whole install under Wine.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
root=${1:-$here/build}
"$here/tools/deps.sh"
dir=$root/demo
cmake -S "$here" -B "$dir" -DCMAKE_TOOLCHAIN_FILE="$here/cmake/mingw-w64-x86_64.cmake" \
  -DVANTREO_DOWNLOAD_URL=http://127.0.0.77/download/VantreoSetup.exe \
  -DVANTREO_MANUAL_URL=http://127.0.0.77/qipai/VantreoSetup.exe \
  -DVANTREO_HOME_URL=http://127.0.0.77 >/dev/null
cmake --build "$dir" -j "$(nproc)"
echo "built the Windows tree in $dir"
