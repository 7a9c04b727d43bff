#!/bin/sh
# Installs a configured build tree into a temporary DESTDIR and checks that the
# binary, manual pages, sample configuration, service files and run directory
# land where a host expects them, and that the installed binary accepts the
# installed sample configuration.
set -eu
build=$1
dest=$(mktemp -d)
trap 'rm -rf "$dest"' EXIT
prefix=$(sed -n 's/^CMAKE_INSTALL_PREFIX:PATH=//p' "$build/CMakeCache.txt")
rundir=$(sed -n 's/^KORVANE_RUN_DIR:STRING=//p' "$build/CMakeCache.txt")
DESTDIR=$dest cmake --install "$build" >/dev/null
fail=0
for f in sbin/korvane sbin/korvanectl share/man/man8/korvane.8 share/man/man8/korvanectl.8 share/man/man5/korvane.conf.5 etc/korvane.conf \
         lib/systemd/system/korvane.service lib/sysusers.d/korvane.conf lib/tmpfiles.d/korvane.conf \
         share/korvane/korvane-postinst; do
  [ -e "$dest$prefix/$f" ] || { echo "missing: $prefix/$f"; fail=1; }
done
[ -d "$dest$rundir" ] || { echo "missing run directory: $rundir"; fail=1; }
[ -x "$dest$prefix/sbin/korvane" ] || { echo "binary not executable"; fail=1; }
grep -q "ExecStart=$prefix/sbin/korvane -f -c $prefix/etc/korvane.conf" \
  "$dest$prefix/lib/systemd/system/korvane.service" || { echo "unit names the wrong paths"; fail=1; }
grep -q "^d $rundir " "$dest$prefix/lib/tmpfiles.d/korvane.conf" || { echo "tmpfiles entry wrong"; fail=1; }
# Every key of the configuration is documented in the sample.
for key in whitelistip whitelistptr whitelistfrom whitelistto publicname safecallback sav \
           ignoretempfail blockignorants mailstore frompassttl fromtfailttl fromfailttl \
           topassttl totfailttl tofailttl calloutdeadline catchall catchallttl deadmxttl calloutrate \
           ipv6 nullmx user socket syslog refusals refusedttl logreplies dryrun skipdomain control; do
  grep -qE "^#?$key " "$dest$prefix/etc/korvane.conf" || { echo "sample lacks $key"; fail=1; }
done
out=$("$dest$prefix/sbin/korvane" -t -c "$dest$prefix/etc/korvane.conf" 2>&1) || {
  echo "installed binary refuses the installed sample configuration:"; echo "$out"; fail=1; }
[ "$fail" = 0 ] && echo "install layout ok"
exit "$fail"
