#!/usr/bin/env bash
# Installs every package that building, testing and the demo need on a fresh Debian machine.
set -euo pipefail
export DEBIAN_FRONTEND=noninteractive
pkgs=(
  build-essential cmake ninja-build pkg-config
  clang clang-tools lld libclang-rt-dev
  libgtest-dev libgmock-dev googletest libbenchmark-dev
  libmilter-dev miltertest
  prometheus-cpp-dev libcivetweb-dev python3-prometheus-client curl
  postfix dnsmasq-base swaks sasl2-bin
  iproute2 util-linux procps psmisc python3
  valgrind man-db groff-base
  debhelper dpkg-dev fakeroot lintian libhiredis-dev redis-server
)
missing=()
for p in "${pkgs[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ "${#missing[@]}" -gt 0 ]; then
  # Postfix asks questions at install time; answer them up front.
  echo "postfix postfix/main_mailer_type select No configuration" | debconf-set-selections
  echo "postfix postfix/mailname string korvane.test" | debconf-set-selections
  # The tests and the demo start redis-server themselves: keep the package from
  # starting a system-wide one (undo with "systemctl unmask redis-server").
  if printf '%s\n' "${missing[@]}" | grep -qx redis-server; then
    [ -d /run/systemd/system ] && systemctl mask redis-server.service >/dev/null 2>&1 || true
    if [ ! -e /usr/sbin/policy-rc.d ]; then
      printf '#!/bin/sh\nexit 101\n' > /usr/sbin/policy-rc.d
      chmod 755 /usr/sbin/policy-rc.d
      trap 'rm -f /usr/sbin/policy-rc.d' EXIT
    fi
  fi
  apt-get update -q
  apt-get install -y -q --no-install-recommends "${missing[@]}"
fi
