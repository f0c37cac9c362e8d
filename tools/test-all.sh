#!/usr/bin/env bash
# Builds both trees (native core, Windows product) and runs every test in each. Then the
# native core twice more with clang, under AddressSanitizer + UndefinedBehaviorSanitizer and
# under ThreadSanitizer, where any sanitizer report fails its test; the first of these also
# fuzzes each libFuzzer target for FUZZ_SECONDS (default 60), two at a time.
# Usage: tools/test-all.sh [build-root]   (default: ./build)
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
root=${1:-$here/build}
"$here/tools/deps.sh"
jobs=$(nproc)
fuzz_seconds=${FUZZ_SECONDS:-60}

status=0
# build_tree NAME CMAKE-ARGS...: configures and builds one tree under the build root.
build_tree() {
  local name=$1; shift
  local started=$SECONDS
  cmake -S "$here" -B "$root/$name" "$@" >/dev/null
  cmake --build "$root/$name" -j "$jobs"
  echo "=== $name: built in $((SECONDS - started)) s ==="
}
# test_tree NAME TITLE CTEST-ARGS...: runs a tree's tests; a failure fails the whole run.
test_tree() {
  local name=$1 title=$2; shift 2
  echo "=== $title: $name ==="
  (cd "$root/$name" && ctest --output-on-failure -j "$jobs" "$@") || status=1
}

build_tree native -DCMAKE_BUILD_TYPE=Debug
test_tree native tests
build_tree windows -DCMAKE_TOOLCHAIN_FILE="$here/cmake/mingw-w64-x86_64.cmake" \
  -DVANTREO_SETUP_SIGNERS="Vantreo Test Publisher"
test_tree windows tests
WINEPREFIX=$root/windows/wineprefix wineserver -k 2>/dev/null || true

# ASan and UBSan stop a test at their first report (-fno-sanitize-recover=all); a TSan report
# makes the test's process exit with 66. fuzzer-no-link lets the fuzz targets see the core's
# branches.
clang=(-DCMAKE_BUILD_TYPE=Debug -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++)
asan="-fsanitize=address,undefined -fno-sanitize-recover=all"
tsan="-fsanitize=thread"
build_tree asan "${clang[@]}" "-DCMAKE_CXX_FLAGS=-O1 -fno-omit-frame-pointer $asan -fsanitize=fuzzer-no-link" \
  "-DCMAKE_EXE_LINKER_FLAGS=$asan" -DVANTREO_FUZZ=ON -DVANTREO_FUZZ_SECONDS="$fuzz_seconds"
test_tree asan "tests under ASan+UBSan" -LE fuzz-run
test_tree asan "fuzzing, $fuzz_seconds s per target" -L fuzz-run
build_tree tsan "${clang[@]}" "-DCMAKE_CXX_FLAGS=-O1 $tsan" "-DCMAKE_EXE_LINKER_FLAGS=$tsan"
test_tree tsan "tests under TSan"
exit $status
