#!/usr/bin/env bash
# Installs every Debian package the project needs to build and test, on a fresh
# Debian 12 machine (run as root). Quiet and quick when all is there already.
set -euo pipefail

packages=(
  g++ cmake make pkg-config clang libclang-rt-14-dev
  libboost1.81-dev libboost-system1.81-dev libboost-thread1.81-dev
  libboost-regex1.81-dev libboost-program-options1.81-dev
  libboost-filesystem1.81-dev libboost-date-time1.81-dev
  libssl-dev openssl
  libgtest-dev libgmock-dev googletest libbenchmark-dev
  libsystemd-dev systemd
  iproute2 util-linux socat busybox
  avahi-daemon avahi-utils dbus libavahi-client-dev
  python3
  valgrind
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

if [ "$(id -u)" -ne 0 ]; then
  echo "setup: missing packages (run as root to install): ${missing[*]}" >&2
  exit 1
fi
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
