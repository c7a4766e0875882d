#!/usr/bin/env bash
# Runs one test program in a network namespace of its own, with loopback up (and multicast on
# loopback with --multicast), so fixed ports never clash; and, unless the caller chose one, with
# a program-data folder of its own (ORVAN_PROGRAM_DATA), removed when the program ends, so no
# server core a test builds reads or writes another's settings or the host's.
#
#   run-in-netns.sh [--multicast] [--peers N [--links 1|2]] PROGRAM [ARGS...]
#
# --peers N adds N peer network namespaces (1 to 9), each joined to the test's namespace by
# --links veth pairs (1 or 2, default 1): a second host on the other end of a cable, where a
# test starts fake controllers, DHCP clients or daemons that must be reached across a real
# interface (multicast, broadcast, ICMP). Then the whole run also has a PID and a mount
# namespace of its own: whatever the test starts, in the peers or not, ends with it, and the
# peers go with it, however the program ends (even killed). Peer names are unique per run.
#
# Link j (1 or 2) of peer i is network S = 2*(i-1)+j: 10.99.S.1/24 on the test's side, on the
# interface "peer<i>a" (link 1) or "peer<i>b" (link 2); 10.99.S.2/24 in the peer, on "eth0"
# (link 1) or "eth1" (link 2). Loopback is up in every peer. The program gets:
#   ORVAN_PEERS                number of peers
#   ORVAN_PEER<i>_NAME         the peer's name, for `ip netns exec NAME ...` and `ip -n NAME`
#   ORVAN_PEER<i>_NETNS        the peer's namespace file, for `nsenter --net=FILE` and setns()
#   ORVAN_PEER<i>_LINKS        its number of links
#   ORVAN_PEER<i>_IF<j>        link j's interface on the test's side ("peer1a")
#   ORVAN_PEER<i>_IP<j>        link j's address on the test's side ("10.99.1.1")
#   ORVAN_PEER<i>_PEER_IF<j>   link j's interface in the peer ("eth0")
#   ORVAN_PEER<i>_PEER_IP<j>   link j's address in the peer ("10.99.1.2")
set -euo pipefail
options=()
multicast=0 peers=0 links=1
while [ $# -gt 0 ]; do
  case "$1" in
    --multicast) multicast=1; options+=("$1"); shift ;;
    --peers) peers=$2; options+=("$1" "$2"); shift 2 ;;
    --links) links=$2; options+=("$1" "$2"); shift 2 ;;
    *) break ;;
  esac
done
if ! [[ $peers =~ ^[0-9]$ && $links =~ ^[12]$ ]]; then
  echo "run-in-netns.sh: --peers takes 0 to 9, --links 1 or 2" >&2
  exit 2
fi

if [ "${ORVAN_IN_NETNS:-}" != 1 ]; then
  export ORVAN_IN_NETNS=1
  if [ -z "${ORVAN_PROGRAM_DATA:-}" ]; then
    data=$(mktemp -d "${TMPDIR:-/tmp}/orvan-data-XXXXXX")
    trap 'rm -rf "$data"' EXIT
    export ORVAN_PROGRAM_DATA=$data
  fi
  isolation=(unshare --net)
  if [ "$peers" -gt 0 ]; then
    # The PID namespace ends everything in it once its first process ends; --kill-child ends
    # that process when unshare itself is killed (a test timeout).
    isolation=(unshare --net --pid --fork --kill-child --mount-proc)
    export ORVAN_PEER_TAG="orvan-$$-$RANDOM"
  fi
  # Not exec: the folder is removed once the program has ended, however it ended.
  status=0
  "${isolation[@]}" -- "$0" "${options[@]}" "$@" || status=$?
  exit $status
fi

ip link set lo up
if [ "$multicast" = 1 ]; then
  ip link set lo multicast on
  ip route add 224.0.0.0/4 dev lo
fi
if [ "$peers" = 0 ]; then exec "$@"; fi

# The peers' namespace files live on a tmpfs of this run's own mount namespace: nothing of
# them stays on the host, even when this script is killed before it can delete them.
mkdir -p /run/netns
mount -t tmpfs orvan-peers /run/netns
delete_peers() {
  for ((i = 1; i <= peers; i++)); do ip netns delete "$ORVAN_PEER_TAG-$i" 2>/dev/null || true; done
}
trap delete_peers EXIT
letters=(a b)
export ORVAN_PEERS=$peers
# One batch of ip commands for this side and one per peer: each ip run costs on a busy machine.
here_commands=""
for ((i = 1; i <= peers; i++)); do
  name=$ORVAN_PEER_TAG-$i
  ip netns add "$name"
  peer_commands="link set lo up"$'\n'
  export "ORVAN_PEER${i}_NAME=$name" "ORVAN_PEER${i}_NETNS=/run/netns/$name"
  export "ORVAN_PEER${i}_LINKS=$links"
  for ((j = 1; j <= links; j++)); do
    network=$((2 * (i - 1) + j))
    here=peer$i${letters[j - 1]} there=eth$((j - 1))
    here_commands+="link add $here type veth peer name $there netns $name"$'\n'
    here_commands+="addr add 10.99.$network.1/24 dev $here"$'\n'
    here_commands+="link set $here up"$'\n'
    peer_commands+="addr add 10.99.$network.2/24 dev $there"$'\n'
    peer_commands+="link set $there up"$'\n'
    export "ORVAN_PEER${i}_IF$j=$here" "ORVAN_PEER${i}_IP$j=10.99.$network.1"
    export "ORVAN_PEER${i}_PEER_IF$j=$there" "ORVAN_PEER${i}_PEER_IP$j=10.99.$network.2"
  done
  peers_commands[i]=$peer_commands
done
ip -batch - <<<"$here_commands"
for ((i = 1; i <= peers; i++)); do ip -n "$ORVAN_PEER_TAG-$i" -batch - <<<"${peers_commands[i]}"; done
# The program runs as a child, so the peers are deleted when it ends and its exit status (or
# its signal, as 128+n) comes back.
status=0
"$@" || status=$?
exit $status
