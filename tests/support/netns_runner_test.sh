#!/usr/bin/env bash
# The network-namespace runner: a program it runs sees loopback only and a fresh, empty
# program-data folder that is gone once the program ends; a folder the caller chose is used
# and kept; the program's exit status comes back.
#   netns_runner_test.sh RUNNER
set -euo pipefail
runner=$1
failures=0
check() {  # description, then the test command
  local what=$1; shift
  if "$@"; then echo "ok: $what"; else echo "FAILED: $what"; failures=$((failures + 1)); fi
}
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

# Inside: write down the folder, whether it is empty, and the links there are.
probe='echo "$ORVAN_PROGRAM_DATA" > "$0/data"; ls -A "$ORVAN_PROGRAM_DATA" | wc -l > "$0/entries";
       ip -o link show | wc -l > "$0/links"; touch "$ORVAN_PROGRAM_DATA/settings"; exit 3'

status=0
env -u ORVAN_PROGRAM_DATA -u ORVAN_IN_NETNS "$runner" bash -c "$probe" "$scratch" || status=$?
given=$(cat "$scratch/data")
check "the exit status comes back" test "$status" = 3
check "a program-data folder is given" test -n "$given"
check "the folder is fresh" test "$(cat "$scratch/entries")" = 0
check "the folder is gone afterwards" test ! -e "$given"
check "only loopback is there" test "$(cat "$scratch/links")" = 1

mkdir "$scratch/chosen"
env -u ORVAN_IN_NETNS ORVAN_PROGRAM_DATA="$scratch/chosen" "$runner" bash -c "$probe" "$scratch" || true
check "a chosen folder is used" test "$(cat "$scratch/data")" = "$scratch/chosen"
check "a chosen folder is kept" test -e "$scratch/chosen/settings"

[ "$failures" = 0 ]
