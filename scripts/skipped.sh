#!/usr/bin/env bash
# Prints each test that ctest's last run skipped, with the reason the test gave, so a reader of
# the log sees why nothing is missing.
set -u
log="${1:-build}/Testing/Temporary/LastTest.log"
[ -f "$log" ] || exit 0
awk '
  / Skipped$/ && $0 ~ /^\// { reason = ""; want = 1; next }
  want && /^\[  SKIPPED \] [^ ]+ \(/ { printf "skipped %s: %s\n", $4, reason; want = 0; next }
  want { reason = (reason == "" ? $0 : reason "; " $0) }
' "$log"
