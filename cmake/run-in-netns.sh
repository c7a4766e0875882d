#!/usr/bin/env bash
# Runs one test program in a network namespace of its own, with loopback up
# (and multicast on loopback with --multicast), so fixed ports never clash.
set -euo pipefail
multicast=0
if [ "${1:-}" = "--multicast" ]; then multicast=1; shift; fi
if [ "${ORVAN_IN_NETNS:-}" != 1 ]; then
  export ORVAN_IN_NETNS=1
  exec unshare --net -- "$0" $([ $multicast = 1 ] && echo --multicast) "$@"
fi
ip link set lo up
if [ $multicast = 1 ]; then
  ip link set lo multicast on
  ip route add 224.0.0.0/4 dev lo
fi
exec "$@"
