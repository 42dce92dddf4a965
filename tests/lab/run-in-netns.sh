#!/usr/bin/env bash
# Runs a command inside a private network namespace made for this run alone:
# only loopback, brought up, so no packet can leave the machine. As root it uses
# `unshare --net --mount`; otherwise `unshare -rnm` (a user namespace owning the
# network one). The private mount namespace keeps what the tests mount there (the
# layer-2 lab's named namespaces under /run/netns, a stand-in resolv.conf) their own.
set -euo pipefail

if [ "${LANTERRA_LAB_NETNS:-}" != "1" ]; then
  if [ "$(id -u)" -eq 0 ]; then
    exec unshare --net --mount -- env LANTERRA_LAB_NETNS=1 "$0" "$@"
  else
    exec unshare -rnm -- env LANTERRA_LAB_NETNS=1 "$0" "$@"
  fi
fi

ip link set lo up
# Let every group use unprivileged ICMP sockets in this namespace only.
sysctl -qw net.ipv4.ping_group_range="0 2147483647" 2>/dev/null || true
exec "$@"
