#!/usr/bin/env bash
# The main job: the installer's whole install under Wine, against a server on this machine.
#   1. installs what is missing (tools/deps.sh);
#   2. builds the Windows tree in BUILD-ROOT/demo with the download URL on 127.0.0.90, port 80;
#   3. starts nginx there, serving the stand-in setup program (14,000,000 bytes, throttled so
#      that the download takes several seconds);
#   4. runs the installer under Wine: on your display when $DISPLAY works (you click), else in
#      a virtual display where the probe presses start; prints the status line as it changes,
#      then the registry values, the download, the server's requests and the programs started.
#      Screenshots: BUILD-ROOT/demo/run/screenshots.
# Usage: tools/demo.sh [BUILD-ROOT]      (default: build; nginx on port 80 needs root)
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
if [ "$(id -u)" -ne 0 ]; then
  exec sudo --preserve-env=DISPLAY,XAUTHORITY "$0" "$@"
fi
root=$(realpath -m "${1:-$here/build}")
address=127.0.0.90

"$here/tools/deps.sh"

dir=$root/demo
cmake -S "$here" -B "$dir" -DCMAKE_TOOLCHAIN_FILE="$here/cmake/mingw-w64-x86_64.cmake" \
  -DVANTREO_DOWNLOAD_URL=http://$address/download/VantreoSetup.exe \
  -DVANTREO_MANUAL_URL=http://$address/qipai/VantreoSetup.exe \
  -DVANTREO_HOME_URL=http://$address -DVANTREO_SETUP_SIGNERS="Vantreo Test Publisher" >/dev/null
cmake --build "$dir" -j "$(nproc)" --target VantreoInstaller probe status_watch \
  standin_setup_padded
echo "built $dir/app/VantreoInstaller.exe ($(stat -c %s "$dir/app/VantreoInstaller.exe") bytes)"

mode=virtual
if [ -n "${DISPLAY:-}" ] && xdpyinfo >/dev/null 2>&1; then
  mode=user
fi
echo "running the install on $([ $mode = user ] && echo "your display $DISPLAY" || echo "a virtual display")"
exec python3 "$here/tests/wizard/demo_run.py" --mode "$mode" \
  --exe "$dir/app/VantreoInstaller.exe" --probe "$dir/tests/gui/probe.exe" \
  --watch "$dir/tests/wizard/status_watch.exe" --setup "$dir/tools/standin/VantreoSetup-unsigned.exe" \
  --sign-keys "$dir/test-keys" --signer "Vantreo Test Publisher" \
  --address "$address" --work "$dir/run"
