#!/usr/bin/env bash
# User-space instructions per round trip of OrvCommand on "-d" and of the bare socket client,
# counted by callgrind in connection_bench (the fake controller, a child, is not counted):
#   bench/command_instructions.sh [BUILD_DIR]
# Counts do not depend on the machine's load, unlike the times.
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
build="${1:-$here/../build}"
program="$build/bench/connection_bench"
[ -x "$program" ] || { echo "no $program: build the tree first" >&2; exit 1; }
work="$(mktemp -d /tmp/command-instructions-XXXXXX)"
trap 'rm -rf "$work"' EXIT

# Instructions spent inside `function` over the whole run, divided by the calls of `marker`,
# a function that runs once per round trip, as callgrind counted them.
count() {
  local filter="$1" function="$2" marker="$3" out="$work/$1"
  valgrind --tool=callgrind --callgrind-out-file="$out" --toggle-collect="$function" \
    "$program" --benchmark_filter="$filter" >/dev/null 2>&1
  local instructions round_trips
  instructions="$(callgrind_annotate "$out" 2>/dev/null |
    awk '/PROGRAM TOTALS/ { gsub(",", "", $1); print $1 }')"
  round_trips="$(python3 - "$out" "$marker" <<'PY'
import re, sys
names, current, calls = {}, None, 0
for line in open(sys.argv[1]):
    named = re.match(r"c?fn=\((\d+)\)(?: (.*))?", line)
    if named:
        if named.group(2):
            names[named.group(1)] = named.group(2)
        if line.startswith("cfn="):
            current = names.get(named.group(1), "")
        continue
    if line.startswith("calls=") and current.startswith(sys.argv[2]):
        calls += int(line.split()[0][6:])
print(calls)
PY
)"
  echo "$filter: $((instructions / round_trips)) user instructions per round trip ($round_trips round trips)"
}
# OrvCommand itself; the bare client's whole benchmark body, whose one connect per repetition
# is lost among its round trips (each of which writes once).
count BM_OrvCommand OrvCommand 'orvan::Connection::Command('
count BM_BareSocketCommand '*BM_BareSocketCommand*' write
