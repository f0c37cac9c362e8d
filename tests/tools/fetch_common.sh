# Sourced by the vantreo-fetch tests: the tool run natively or under Wine, paths as the program
# sees them and back, where it saves, and the helpers every case uses. Expects $tool,
# $wine_prefix (empty natively) and $work; sets run_tool, temp_folder and failures.
here=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
failures=0
if [ -n "$wine_prefix" ]; then
  run_tool=("$here/tools/wine-run.sh" --prefix "$wine_prefix" "$tool")
  # A path as the Windows program sees it, and back.
  to_windows() { echo "Z:${1//\//\\}"; }
  to_unix() {
    local path=${1//\\//}
    local drive
    drive=$(echo "${path:0:1}" | tr 'A-Z' 'a-z')
    echo "$wine_prefix/dosdevices/$drive:${path:2}"
  }
  # Under Wine the tool runs elevated: it saves to its private folder below ProgramData.
  temp_folder=$wine_prefix/drive_c/ProgramData/Vantreo
else
  run_tool=("$tool")
  to_windows() { echo "$1"; }
  to_unix() { echo "$1"; }
  # Natively: the private folder in the user's cache folder.
  temp_folder=${XDG_CACHE_HOME:-$HOME/.cache}/vantreo
fi

fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}

# Runs the tool; its status, output and errors land in $status, $work/out, $work/err.
fetch() {
  "${run_tool[@]}" "$@" >"$work/out" 2>"$work/err"
  status=$?
}

saved_path() { tail -n 1 "$work/out" | sed -n 's/^saved: //p' | tr -d '\r'; }
