#!/usr/bin/env bash
# One mDNS host for tests: a private D-Bus system bus and an mDNS daemon on given interfaces, in
# the namespaces this script runs in. It stays until SIGTERM, then ends both by their pids.
#
#   mdns_host.sh FOLDER HOSTNAME INTERFACES [--own-hostname] [--no-daemon]
#
# FOLDER receives the configurations, the bus socket ("bus"), the logs, "pids" (one pid a line)
# and "ready" once the daemon has started (or "failed"). INTERFACES: one name, or several
# separated by commas, the daemon's only interfaces. --own-hostname sets the host name,
# refused unless this UTS namespace is not the one of the namespace's first process (never the
# machine's own name). The caller's mount namespace must be a private one: /run/avahi-daemon
# gets a tmpfs of its own here.
set -euo pipefail
folder=$1 host=$2 interfaces=$3
shift 3
own_hostname=0 daemon=1
for option in "$@"; do
  case "$option" in
    --own-hostname) own_hostname=1 ;;
    --no-daemon) daemon=0 ;;
  esac
done
pids=()
stop() {
  for pid in "${pids[@]}"; do kill -TERM "$pid" 2>/dev/null || true; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
  exit 0
}
trap stop TERM INT
fail() {
  echo "$1" >"$folder/failed"
  stop
}

if [ "$own_hostname" = 1 ]; then
  [ "$(readlink /proc/self/ns/uts)" != "$(readlink /proc/1/ns/uts)" ] || fail "no UTS namespace"
  hostname "$host"
fi
if [ "$daemon" = 1 ]; then
  mkdir -p /run/avahi-daemon
  mount -t tmpfs mdns-test /run/avahi-daemon
  IFS=, read -r -a names <<<"$interfaces"
  for name in "${names[@]}"; do ip link set "$name" multicast on; done
  ip route replace 224.0.0.0/4 dev "${names[0]}"
fi

cat >"$folder/bus.conf" <<CONF
<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>system</type>
  <listen>unix:path=$folder/bus</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow user="*"/>
    <allow own="*"/>
    <allow send_destination="*" eavesdrop="true"/>
    <allow receive_sender="*"/>
    <allow send_type="method_call"/>
  </policy>
</busconfig>
CONF
dbus-daemon --config-file="$folder/bus.conf" --nofork --nopidfile >"$folder/bus.log" 2>&1 &
pids+=($!)
echo "${pids[-1]}" >>"$folder/pids"
for _ in $(seq 1 500); do [ -S "$folder/bus" ] && break; sleep 0.02; done
[ -S "$folder/bus" ] || fail "bus did not start"
export DBUS_SYSTEM_BUS_ADDRESS="unix:path=$folder/bus"

if [ "$daemon" = 1 ]; then
  cat >"$folder/avahi.conf" <<CONF
[server]
host-name=$host
use-ipv4=yes
use-ipv6=no
allow-interfaces=$interfaces
enable-dbus=yes
ratelimit-interval-usec=0
[wide-area]
enable-wide-area=no
[publish]
publish-hinfo=no
publish-workstation=no
publish-addresses=yes
[reflector]
[rlimits]
CONF
  avahi-daemon --no-drop-root --no-chroot --no-rlimits -f "$folder/avahi.conf" \
    >"$folder/avahi.log" 2>&1 &
  pids+=($!)
  echo "${pids[-1]}" >>"$folder/pids"
  for _ in $(seq 1 1500); do
    grep -q "Server startup complete" "$folder/avahi.log" && break
    kill -0 "${pids[-1]}" 2>/dev/null || fail "daemon ended: $(tail -3 "$folder/avahi.log")"
    sleep 0.02
  done
  grep -q "Server startup complete" "$folder/avahi.log" || fail "daemon did not start"
fi
touch "$folder/ready"
# Stays, so that the bus and daemon end with it; `wait` lets the trap run at once.
while true; do
  wait || true
  sleep 1 &
  wait $! || true
done
