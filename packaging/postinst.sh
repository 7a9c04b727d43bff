#!/bin/sh
# Creates the korvane account and run directory on a host without systemd's
# sysusers/tmpfiles (a package's post-install step can call this script).
set -e
# Usage: korvane-postinst [account [directory]]; e.g. "postfix
# /var/spool/postfix/korvane" makes the socket directory for a chrooted smtpd.
user=${1:-korvs}
rundir=${2:-@RUNDIR@}
if ! getent passwd "$user" >/dev/null; then
  if command -v useradd >/dev/null; then
    useradd --system --user-group --home-dir /nonexistent --no-create-home \
      --shell /usr/sbin/nologin --comment "korvane milter" "$user"
  else
    adduser --system --group --no-create-home --home /nonexistent "$user"
  fi
fi
install -d -m 0755 -o "$user" -g "$(id -gn "$user")" "$rundir"
