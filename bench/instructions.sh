#!/usr/bin/env bash
# Counts user-space instructions per "SH" round trip under callgrind, in a network namespace of
# its own: the server (dravo_service) and the client library (OrvCommand through it), beside a
# socat TLS relay and the plain OpenSSL client that talks through it.
#   bench/instructions.sh [BUILD_DIR] [--round-trips N]
# Each road runs twice, with N and 2N round trips; the difference divided by N is the cost of
# one round trip, free of start-up, handshake and the certificate.
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
build="${1:-$here/../build}"
if [ -d "$build" ]; then shift || true; else build="$here/../build"; fi
trips=500
while [ $# -gt 0 ]; do
  case "$1" in
    --round-trips) trips="$2"; shift 2 ;;
    *) echo "unknown argument $1" >&2; exit 2 ;;
  esac
done
build="$(cd "$build" && pwd)"
client="$build/bench/round_trip_count"
server="$build/dravo_service/dravo_service"
controller="$build/tests/fakes/fake_controller"
for program in "$client" "$server" "$controller"; do
  [ -x "$program" ] || { echo "no $program: build the tree first" >&2; exit 1; }
done
command -v valgrind >/dev/null || { echo "valgrind missing (scripts/setup.sh installs it)" >&2; exit 1; }

if [ "${ORVAN_IN_NETNS:-}" != 1 ]; then
  export ORVAN_IN_NETNS=1
  exec unshare --net -- "$0" "$build" --round-trips "$trips"
fi
ip link set lo up

work="$(mktemp -d /tmp/instructions-XXXXXX)"
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

# One RSA certificate made beforehand serves the server and the relay alike, so neither run
# counts a key generation.
export ORVAN_PROGRAM_DATA="$work/data"
mkdir -p "$ORVAN_PROGRAM_DATA/Orvan/dravo"
tls="$ORVAN_PROGRAM_DATA/Orvan/dravo"
openssl req -x509 -newkey rsa:2048 -nodes -days 1 -subj /CN=bench \
  -keyout "$tls/key.pem" -out "$tls/cert.pem" 2>/dev/null

# The fake controller serves until its standard input ends: a FIFO held open keeps it going.
mkfifo "$work/controller.in"
"$controller" --address 127.0.0.2 --p1 23 --p2 60007 <"$work/controller.in" >/dev/null 2>&1 &
pids+=($!)
exec 4>"$work/controller.in"

wait_listen() {  # address port seconds
  local deadline=$((SECONDS + $3))
  while [ $SECONDS -lt $deadline ]; do
    (exec 3<>"/dev/tcp/$1/$2") 2>/dev/null && return 0
    sleep 0.2
  done
  echo "nothing listens on $1:$2" >&2
  return 1
}
wait_listen 127.0.0.2 23 10

grind() {  # output-file program args...
  local out="$1"
  shift
  valgrind --tool=callgrind --callgrind-out-file="$out" "$@" >/dev/null 2>&1
}
total() {  # sum of the instruction counts of the given callgrind files
  awk '/^(summary|totals):/ { sum += $2 } END { printf "%d", sum }' "$@"
}

# A server road run of $1 round trips: the server's and the client's counts in files tagged $1.
server_run() {
  valgrind --tool=callgrind --callgrind-out-file="$work/server.$1" "$server" >/dev/null 2>&1 &
  local pid=$!
  wait_listen 127.0.0.1 23 120
  grind "$work/client.$1" "$client" server "$1"
  kill -INT "$pid"  # under valgrind the server's stop is asked for by SIGINT
  wait "$pid" || true
}
# A relay road run: socat forks one child per connection; every file of the run counts.
relay_run() {
  valgrind --tool=callgrind --callgrind-out-file="$work/relay.$1.%p" \
    socat "OPENSSL-LISTEN:4433,bind=127.0.0.1,reuseaddr,fork,nodelay,verify=0,cert=$tls/cert.pem,key=$tls/key.pem" \
    TCP:127.0.0.2:23,nodelay >/dev/null 2>&1 &
  local pid=$!
  wait_listen 127.0.0.1 4433 120
  grind "$work/openssl.$1" "$client" relay "$1"
  # Its children (the readiness probe's and this client's) write their counts as they end.
  local deadline=$((SECONDS + 60))
  while [ "$(ls "$work/relay.$1."* 2>/dev/null | wc -l)" -lt 2 ] && [ $SECONDS -lt $deadline ]; do
    sleep 0.2
  done
  kill -TERM "$pid"
  wait "$pid" || true
}

long=$((2 * trips))
for n in "$trips" "$long"; do server_run "$n"; relay_run "$n"; done
per_trip() {  # name-of-files
  local a b
  a=$(total "$work/$1.$trips"*)
  b=$(total "$work/$1.$long"*)
  echo $(((b - a) / trips))
}
server_count=$(per_trip server)
client_count=$(per_trip client)
relay_count=$(per_trip relay)
openssl_count=$(per_trip openssl)
echo "user-space instructions per round trip of \"SH\" (callgrind, $trips vs $long round trips)"
printf '  %-34s %8d   (goal <= 20000)\n' "server (dravo_service)" "$server_count"
printf '  %-34s %8d\n' "socat TLS relay (reference)" "$relay_count"
printf '  %-34s %8d\n' "client library (OrvCommand)" "$client_count"
printf '  %-34s %8d\n' "plain OpenSSL client (reference)" "$openssl_count"
awk -v s="$server_count" -v r="$relay_count" -v c="$client_count" -v o="$openssl_count" \
  'BEGIN { printf "ratios: server/relay %.2f, client library/OpenSSL client %.2f\n", s / r, c / o }'
