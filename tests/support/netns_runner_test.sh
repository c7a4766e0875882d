#!/usr/bin/env bash
# The network-namespace runner: a program it runs sees loopback only and a fresh, empty
# program-data folder that is gone once the program ends; a folder the caller chose is used
# and kept; the program's exit status comes back. With peers, each peer is reached across its
# own links with the addresses the environment names, and nothing started in a peer outlives
# the program, whether it ends, crashes or is killed with its runner.
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

# Peers: the program writes what it sees, starts a process in a peer that would run for an
# hour (its marker tells it apart), then ends as `how` says.
peer_probe='how=$1 dir=$2 marker=$3
  env | grep "^ORVAN_PEER" | sort > "$dir/env"
  if [ "$ORVAN_PEERS" = 2 ]; then
    ip -o -4 addr show | awk "{print \$2, \$4}" > "$dir/here"
    ip -n "$ORVAN_PEER2_NAME" -o -4 addr show | awk "{print \$2, \$4}" > "$dir/there"
    # A datagram from this side reaches the peer on its second link.
    ip netns exec "$ORVAN_PEER2_NAME" socat -u UDP4-RECV:7000,bind=10.99.4.2 OPEN:"$dir/got",creat &
    for attempt in $(seq 50); do
      echo crossed | socat -u - UDP4-SENDTO:10.99.4.2:7000
      [ -s "$dir/got" ] && break
      sleep 0.1
    done
  fi
  ip netns exec "$ORVAN_PEER1_NAME" sleep "3600.$marker" &
  for attempt in $(seq 50); do pgrep -f "sleep 3600.$marker" >/dev/null && break; sleep 0.1; done
  pgrep -f "sleep 3600.$marker" >/dev/null && touch "$dir/started"
  case $how in
    end) exit 5 ;;
    crash) kill -SEGV $$ ;;
    hang) sleep 3600 ;;
  esac'
marker_gone() {  # marker: true once no process carries it (waits a little for the kernel)
  for attempt in $(seq 50); do
    pgrep -f "sleep 3600.$1" >/dev/null || return 0
    sleep 0.1
  done
  return 1
}

mkdir "$scratch/peers"
started() { test -e "$scratch/peers/started" && rm "$scratch/peers/started"; }
status=0
env -u ORVAN_IN_NETNS "$runner" --peers 2 --links 2 bash -c "$peer_probe" probe end \
  "$scratch/peers" "$$1" || status=$?
check "a program with peers gives its exit status" test "$status" = 5
check "the peers are described" grep -qx "ORVAN_PEERS=2" "$scratch/peers/env"
for expected in ORVAN_PEER1_NETNS=/run/netns/ ORVAN_PEER2_LINKS=2 ORVAN_PEER2_IF2=peer2b \
    ORVAN_PEER2_IP2=10.99.4.1 ORVAN_PEER2_PEER_IF2=eth1 ORVAN_PEER2_PEER_IP2=10.99.4.2; do
  check "the environment names $expected" grep -q "^$expected" "$scratch/peers/env"
done
check "this side has both links of both peers" test "$(cat "$scratch/peers/here")" = \
  "$(printf 'lo 127.0.0.1/8\npeer1a 10.99.1.1/24\npeer1b 10.99.2.1/24\npeer2a 10.99.3.1/24\npeer2b 10.99.4.1/24')"
check "the peer has its ends" test "$(cat "$scratch/peers/there")" = \
  "$(printf 'lo 127.0.0.1/8\neth0 10.99.3.2/24\neth1 10.99.4.2/24')"
check "a datagram crosses to the peer" grep -q crossed "$scratch/peers/got"
check "a process started in a peer" started
check "nothing started in a peer outlives the program" marker_gone "$$1"

status=0
env -u ORVAN_IN_NETNS "$runner" --peers 1 bash -c "$peer_probe" probe crash "$scratch/peers" \
  "$$2" || status=$?
check "a crash comes back as its signal" test "$status" = $((128 + 11))
check "a process started in the crashing program's peer" started
check "nothing outlives a crashed program" marker_gone "$$2"

# The runner killed as a test timeout kills it: its isolating child goes first.
env -u ORVAN_IN_NETNS "$runner" --peers 1 bash -c "$peer_probe" probe hang "$scratch/peers" \
  "$$3" &
hung=$!
for attempt in $(seq 100); do [ -e "$scratch/peers/started" ] && break; sleep 0.1; done
for child in $(pgrep -P "$hung"); do kill -KILL "$child"; done
wait "$hung" || true
check "a process started in the hanging program's peer" started
check "nothing outlives a killed runner" marker_gone "$$3"

[ "$failures" = 0 ]
