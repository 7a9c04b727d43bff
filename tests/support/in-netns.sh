#!/bin/sh
# Runs a test program inside a private network and mount namespace of its own:
# only loopback exists, the documentation ranges 192.0.2.0/24, 198.51.100.0/24
# and 203.0.113.0/24 are local addresses on lo, and /etc/resolv.conf points at
# 127.0.0.53, so no test can send a packet anywhere else. Without the rights to
# make the namespace the program runs as it is, with KORVANE_NO_NETNS=1 set.
if [ "$(id -u)" != 0 ] || ! unshare -n -m true 2>/dev/null; then
  KORVANE_NO_NETNS=1 exec "$@"
fi
exec unshare -n -m -- sh -c '
  set -e
  ip link set lo up
  for net in 192.0.2.0/24 198.51.100.0/24 203.0.113.0/24; do
    ip route add local "$net" dev lo
  done
  conf=$(mktemp /tmp/korvane-resolv.XXXXXX)
  printf "nameserver 127.0.0.53\noptions timeout:1 attempts:1\n" > "$conf"
  mount --bind "$conf" /etc/resolv.conf
  rm -f "$conf"
  exec "$@"' sh "$@"
