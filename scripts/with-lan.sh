#!/usr/bin/env bash
# Runs a command in a network of its own: loopback, and two interfaces of a computer on a LAN
# (eth0 with the default route, wlan0), so that tests see more than one address whatever the
# machine has. TD_TEST_LAN holds the two addresses, default route first.
#
#   scripts/with-lan.sh npm test
set -euo pipefail

if [ "${1:-}" != "--inside" ]; then
  if [ "$(id -u)" -eq 0 ]; then
    exec unshare --net "$0" --inside "$@"
  fi
  exec unshare --user --map-root-user --net "$0" --inside "$@"
fi
shift

ip link set lo up
ip link add eth0 type veth peer name eth0-peer
ip link add wlan0 type veth peer name wlan0-peer
ip addr add 192.0.2.10/24 dev eth0
ip addr add 198.51.100.10/24 dev wlan0
for link in eth0 eth0-peer wlan0 wlan0-peer; do ip link set "$link" up; done
ip route add default via 192.0.2.1 dev eth0
export TD_TEST_LAN="192.0.2.10 198.51.100.10"
exec "$@"
