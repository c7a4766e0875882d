#!/usr/bin/env bash
# Runs one test program in a network namespace of its own, with loopback up (and multicast on
# loopback with --multicast), so fixed ports never clash; and, unless the caller chose one, with
# a program-data folder of its own (ORVAN_PROGRAM_DATA), removed when the program ends, so no
# server core a test builds reads or writes another's settings or the host's.
set -euo pipefail
multicast=()
if [ "${1:-}" = "--multicast" ]; then multicast=(--multicast); shift; fi

if [ "${ORVAN_IN_NETNS:-}" != 1 ]; then
  export ORVAN_IN_NETNS=1
  if [ -z "${ORVAN_PROGRAM_DATA:-}" ]; then
    data=$(mktemp -d "${TMPDIR:-/tmp}/orvan-data-XXXXXX")
    trap 'rm -rf "$data"' EXIT
    export ORVAN_PROGRAM_DATA=$data
  fi
  # Not exec: the folder is removed once the program has ended, however it ended.
  status=0
  unshare --net -- "$0" "${multicast[@]}" "$@" || status=$?
  exit $status
fi

ip link set lo up
if [ ${#multicast[@]} -gt 0 ]; then
  ip link set lo multicast on
  ip route add 224.0.0.0/4 dev lo
fi
exec "$@"
