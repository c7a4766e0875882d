#!/usr/bin/env bash
# Runs one benchmark of the road through the server in a network namespace of its own:
#   bench/server_road.sh [BUILD_DIR] round-trip|clients|fan-out|tls-clients|silent-clients|all
#                        [--placement one|four|both]
# The benchmark program starts dravo_service and the fake controller (127.0.0.2) itself; for
# the round trip this script makes a throw-away certificate for the socat TLS relay. Each mode
# runs once with every process on CPU 0 and once spread over CPUs 0-3 (both by default), each
# figure beside its reference from the same run.
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
build="${1:-$here/../build}"
if [ -d "$build" ]; then shift || true; else build="$here/../build"; fi
mode="${1:-all}"
shift || true
placement=both
if [ "${1:-}" = --placement ]; then
  placement="$2"
  shift 2
fi
program="$build/bench/server_road_bench"
[ -x "$program" ] || { echo "no $program: build the tree first" >&2; exit 1; }

if [ "${ORVAN_IN_NETNS:-}" != 1 ]; then
  export ORVAN_IN_NETNS=1
  exec unshare --net -- "$0" "$build" "$mode" --placement "$placement" "$@"
fi
ip link set lo up
ulimit -n "$(ulimit -Hn)"

tls="$(mktemp -d /tmp/server-road-tls-XXXXXX)"
trap 'rm -rf "$tls"' EXIT
openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 1 \
  -subj /CN=relay -keyout "$tls/key.pem" -out "$tls/cert.pem" 2>/dev/null

# The program places nothing itself (--cpu -1): every process it starts inherits taskset's mask.
run() {
  local cpus
  for cpus in "${cpu_sets[@]}"; do
    echo "== $1, CPUs $cpus"
    timeout 300 taskset -c "$cpus" "$program" "$1" --tls "$tls" --cpu -1 "${@:2}"
  done
}
case "$placement" in
  one) cpu_sets=(0) ;;
  four) cpu_sets=(0-3) ;;
  both) cpu_sets=(0 0-3) ;;
  *) echo "placement is one, four or both" >&2; exit 2 ;;
esac
if [ "$mode" = all ]; then
  for one in round-trip clients fan-out tls-clients silent-clients; do run "$one" "$@"; done
else
  run "$mode" "$@"
fi
