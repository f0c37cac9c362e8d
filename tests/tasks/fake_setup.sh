#!/bin/sh
# Stands in for the setup program in tests: appends how it was started to the file named by
# VANTREO_FAKE_SETUP_RECORD, waits VANTREO_FAKE_SETUP_SECONDS, notes that it ends, and exits
# with VANTREO_FAKE_SETUP_EXIT. Whatever follows the exit line is never read.
record=${VANTREO_FAKE_SETUP_RECORD:-/dev/null}
{
  printf 'program=%s\n' "$0"
  for argument in "$@"; do printf 'argument=%s\n' "$argument"; done
} >>"$record"
sleep "${VANTREO_FAKE_SETUP_SECONDS:-0}"
echo "exited" >>"$record"
exit "${VANTREO_FAKE_SETUP_EXIT:-0}"
