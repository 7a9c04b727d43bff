#!/usr/bin/env bash
# Builds the Debian package from a copy of the tree with README's command, unit
# tests included, checks its file list and lintian's verdict, then installs,
# runs and purges it in a throw-away root (the end-to-end group "package").
# Usage: deb.sh [JOBS]
set -euo pipefail
src=$(cd "$(dirname "$0")/../.." && pwd)
jobs=${1:-$(nproc)}
work=$(mktemp -d /tmp/korvane-deb.XXXXXX)
# Open, as a clone usually is: a unit test runs the built daemon as nobody.
chmod 755 "$work"
trap 'rm -rf "$work"' EXIT
# A copy: dpkg-buildpackage writes its output beside the tree, and its work
# files stay out of the developer's one.
mkdir "$work/korvane"
tar -C "$src" --exclude=./.git --exclude='./build*' -cf - . | tar -C "$work/korvane" -xf -
version=$(sed -n 's/^project(korvane VERSION \([0-9.]*\) .*/\1/p' "$src/CMakeLists.txt")
deb=$work/korvane_${version}_$(dpkg --print-architecture).deb
if ! (cd "$work/korvane" && DEB_BUILD_OPTIONS="parallel=$jobs" \
        dpkg-buildpackage -us -uc -b >"$work/build.log" 2>&1); then
  tail -40 "$work/build.log"; echo "dpkg-buildpackage failed"; exit 1
fi
[ -f "$deb" ] || { echo "no ${deb##*/}: debian/changelog and CMakeLists.txt name other versions"; exit 1; }
fail=0
got=$(dpkg-deb -c "$deb" | awk '$1 !~ /^d/ { print $1, $6 }' | sort -k2)
want="-rwxr-xr-x ./etc/init.d/korvane
-rw-r--r-- ./etc/korvane/korvane.conf
-rw-r--r-- ./lib/systemd/system/korvane.service
-rw-r--r-- ./usr/lib/sysusers.d/korvane.conf
-rw-r--r-- ./usr/lib/tmpfiles.d/korvane.conf
-rwxr-xr-x ./usr/sbin/korvane
-rwxr-xr-x ./usr/sbin/korvanectl
-rw-r--r-- ./usr/share/doc/korvane/changelog.gz
-rw-r--r-- ./usr/share/doc/korvane/copyright
-rwxr-xr-x ./usr/share/korvane/korvane-postinst
-rw-r--r-- ./usr/share/man/man5/korvane.conf.5.gz
-rw-r--r-- ./usr/share/man/man8/korvane.8.gz
-rw-r--r-- ./usr/share/man/man8/korvanectl.8.gz"
[ "$got" = "$want" ] || { echo "package contents differ:"; diff <(echo "$want") <(echo "$got") || true; fail=1; }
# /run is made at boot; a directory shipped there is gone after a reboot.
[ "$(dpkg-deb -c "$deb" | grep -c ' \./run/')" = 0 ] || { echo "the package ships /run"; fail=1; }
conffiles=$(dpkg-deb --ctrl-tarfile "$deb" | tar -xOf - ./conffiles)
[ "$conffiles" = "/etc/init.d/korvane
/etc/korvane/korvane.conf" ] || { echo "conffiles: $conffiles"; fail=1; }
if ! out=$(lintian --fail-on error,warning "$work"/korvane_"${version}"_*.changes 2>&1); then
  echo "lintian:"; echo "$out"; fail=1
fi
[ "$fail" = 0 ] && echo "package ${deb##*/}: contents and lintian ok"
rc=0
KORVANE_DEB=$deb bash "$src/tests/e2e/run.sh" package || rc=$?
if [ "$rc" = 77 ]; then echo "not root: install, run and purge skipped"; rc=0; fi
[ "$fail" = 0 ] && [ "$rc" = 0 ]
