# The Debian package on a host without systemd, with Debian's stock Postfix:
# installed into an overlay of this machine's root (writes land in a tmpfs of
# the bed), set up as README and docs/postmaster.md say, run through the
# chrooted smtpd, started and stopped by its init script, then purged. Needs
# KORVANE_DEB, the package file (tests/packaging/deb.sh).
GROUP_BED=no-mta

TEMPFAILED="451 4.1.8 Temporary failure in sender address verification"
QUEUED="250 2.0.0 Ok: queued as"

# Paths the purge may leave changed: dpkg's own records, the account files (a
# system account stays after a purge), and Postfix's own configuration, queue
# and mail, which the test itself set up and used.
PURGE_KEEPS='^(var/lib/dpkg|var/log|etc/(passwd|group|shadow|gshadow|subuid|subgid)-?$|etc/\.pwd\.lock$|etc/postfix|etc/aliases|var/lib/postfix|var/mail|var/spool/postfix/[^k])'

in_root() { chroot "$ROOT" "$@"; }

# The throw-away root: an overlay of / over a tmpfs, with a /dev of a few
# bound nodes (the bed's syslog socket among them), a fresh /run (so no
# maintainer script can reach a running systemd) and the bed's resolver.
root_up() {
  local top=$BED/pkg n
  ROOT=$top/root
  mkdir -p "$top"
  mount -t tmpfs -o mode=755,size=64m korvane-pkg "$top" || return 1
  mkdir "$top/up" "$top/work" "$ROOT"
  mount -t overlay -o "lowerdir=/,upperdir=$top/up,workdir=$top/work" korvane-pkg "$ROOT" || return 1
  mount -t tmpfs -o mode=755,size=1m korvane-pkg-dev "$ROOT/dev" || return 1
  for n in null zero random urandom log; do
    touch "$ROOT/dev/$n" && mount --bind "/dev/$n" "$ROOT/dev/$n" || return 1
  done
  mount -t tmpfs -o mode=755,size=4m korvane-pkg-run "$ROOT/run" || return 1
  mount -t proc proc "$ROOT/proc" || return 1
  rm -f "$ROOT/etc/resolv.conf" "$ROOT/etc/hosts"
  cp "$BED/resolv.conf" "$BED/hosts" "$ROOT/etc/"
  # A host without systemd, nor a container's policy-rc.d that forbids every
  # service action; and no manual page index rebuild (seconds).
  rm -f "$ROOT/usr/bin/systemd-sysusers" "$ROOT/usr/bin/systemd-tmpfiles" "$ROOT/bin/systemd-tmpfiles" \
    "$ROOT/usr/sbin/policy-rc.d" \
    "$ROOT/var/lib/man-db/auto-update"
  # The root has no init to ask: its runlevel helper answers as a sysvinit
  # host's does, so invoke-rc.d honours the start links as it would there.
  rm -f "$ROOT/usr/sbin/runlevel" "$ROOT/sbin/runlevel"
  printf '#!/bin/sh\necho "N 2"\n' > "$ROOT/usr/sbin/runlevel" && chmod 755 "$ROOT/usr/sbin/runlevel"
  cp "$KORVANE_DEB" "$ROOT/tmp/korvane.deb"
}

# Every mount of the root hangs below $BED/pkg: one lazy unmount detaches them
# all, so the bed's removal cannot reach through a bind into /dev.
root_down() { [ -n "${ROOT:-}" ] && umount -l "$BED/pkg" 2>/dev/null; ROOT=; }

# The root's changed paths, one a line, without those the purge may leave.
# Directories of the machine that hold a changed path are copied up too: they
# are no change of their own.
root_changes() {
  local p
  (cd "$BED/pkg/up" && find . -mindepth 1 | sed 's|^\./||' | grep -Ev "$PURGE_KEEPS" | sort) |
    while read -r p; do [ -d "$BED/pkg/up/$p" ] && [ -d "/$p" ] || echo "$p"; done
}

group_main() {
  trap 'root_down; bed_down' EXIT
  package_main
  local rc=$?
  [ -n "${ROOT:-}" ] && in_root /etc/init.d/postfix stop >/dev/null 2>&1
  [ -n "${decoy:-}" ] && kill "$decoy" 2>/dev/null
  root_down
  return $rc
}

# Debian's stock Postfix as its postinst sets up an "Internet Site": its own
# master.cf (smtpd chrooted in /var/spool/postfix), main.cf.debian and the
# site's names; started by its init script, which fills the chroot. It listens
# on the bed's MTA address only: the fake exchangers hold port 25 elsewhere.
stock_postfix() {
  cp "$ROOT/usr/share/postfix/main.cf.debian" "$ROOT/etc/postfix/main.cf"
  in_root postconf -e "myhostname = mx.korvane.test" "mydestination = \$myhostname, localhost" \
    "mynetworks = 127.0.0.0/8 [::ffff:127.0.0.0]/104 [::1]/128" "inet_interfaces = $MTA_ADDR" \
    "alias_maps =" "alias_database =" "maillog_file =" || return 1
  [ "$(grep -cE '^smtp +inet +n +- +y +- +- +smtpd$' "$ROOT/etc/postfix/master.cf")" = 1 ] || return 1
  in_root /etc/init.d/postfix start >"$BED/postfix-start.log" 2>&1 || return 1
  bed_wait 100 bed_port_open "$MTA_ADDR" 25
}

# The daemon serves: its socket takes connections (seen from outside the root).
serving() { bed_socket_answers "$ROOT/var/spool/postfix/korvane/korvane.sock"; }

# An unverifiable sender, through the chrooted smtpd.
through_postfix() {
  smtp_send someone@nosuch.test root@mx.korvane.test >/dev/null
  expect_eq "$1: an unverifiable sender through the chrooted smtpd" "$TEMPFAILED" "$(cat "$BED/last")"
}

package_main() {
  [ -f "${KORVANE_DEB:-}" ] || { t_bad "KORVANE_DEB names the package file" "${KORVANE_DEB:-unset}"; return; }
  root_up || { t_bad "the throw-away root is set up"; return; }
  local before out rc pid
  before=$(root_changes)

  out=$(in_root dpkg -i /tmp/korvane.deb 2>&1); rc=$?
  expect_eq "dpkg -i succeeds" 0 "$rc"
  [ "$rc" = 0 ] || { bed_note "$out"; return; }
  expect_eq "postinst: the account" "korvs:/nonexistent:/usr/sbin/nologin" \
    "$(in_root getent passwd korvs | cut -d: -f1,6,7)"
  expect_eq "postinst: the run directory, the socket's directory in the chroot, the cache's folder" \
    "korvs korvs 755|korvs korvs 750|korvs korvs 750" \
    "$(in_root stat -c '%U %G %a' /run/korvane 2>&1)|$(in_root stat -c '%U %G %a' /var/spool/postfix/korvane 2>&1)|$(in_root stat -c '%U %G %a' /var/lib/korvane 2>&1)"
  expect_has "postinst: postfix is in the group korvs" korvs "$(in_root id -nG postfix | tr ' ' '\n')"
  expect_eq "installed disabled: no unit link, no start link" "no" \
    "$(ls "$ROOT"/etc/systemd/system/multi-user.target.wants/korvane.service "$ROOT"/etc/rc2.d/S*korvane >/dev/null 2>&1 && echo yes || echo no)"
  expect_has "the unit runs the packaged paths" "ExecStart=/usr/sbin/korvane -f -c /etc/korvane/korvane.conf" \
    "$(cat "$ROOT/lib/systemd/system/korvane.service")"

  # Without -c the daemon must read the packaged file: -t fails on a missing one.
  local shipped
  shipped=$(in_root /usr/sbin/korvane -t -c /etc/korvane/korvane.conf 2>&1); rc=$?
  expect_eq "korvane -t accepts the shipped configuration" 0 "$rc"
  expect_eq "korvane -t without -c reads /etc/korvane/korvane.conf" "$shipped|0" \
    "$(out=$(in_root /usr/sbin/korvane -t 2>&1); echo "$out|$?")"
  expect_eq "the shipped layout: socket in the chroot, its mode, the PID file, the cache file" \
    "socket unix:/var/spool/postfix/korvane/korvane.sock|socketmode 0660|pidfile /run/korvane/korvane.pid|cachefile /var/lib/korvane/cache" \
    "$(grep -E '^(socket|socketmode|pidfile|cachefile) ' <<<"$shipped" | paste -sd'|')"

  # A mistyped key, which the daemon would ignore: the unit's check and the init
  # script refuse it with korvane -t's reason. Without the file: one clean line.
  local conf=$ROOT/etc/korvane/korvane.conf typo pre
  typo="/etc/korvane/korvane.conf:$(($(wc -l <"$conf") + 1)): unknown key \"publicnme\""
  pre=$(sed -n 's/^ExecStartPre=//p' "$ROOT/lib/systemd/system/korvane.service")
  expect_eq "the unit's check: quiet on the shipped file" "0|" "$(out=$(in_root sh -c "$pre" 2>&1); echo "$?|$out")"
  echo 'publicnme typo.example' >> "$conf"
  expect_eq "the unit's check: refuses a mistyped key" "1|$typo" "$(out=$(in_root sh -c "$pre" 2>&1); echo "$?|$out")"
  expect_eq "init start: refuses a mistyped key" \
    "6|$typo|korvane: /etc/korvane/korvane.conf refused by korvane -t (lines above), not starting ... failed!" \
    "$(out=$(in_root /etc/init.d/korvane start 2>&1); echo "$?|${out//$'\n'/|}")"
  mv "$conf" "$conf.off"
  expect_eq "init start without the file: one line" "6|korvane: no /etc/korvane/korvane.conf, not starting ... failed!" \
    "$(out=$(in_root /etc/init.d/korvane start 2>&1); echo "$?|$out")"
  mv "$conf.off" "$conf" && sed -i '/^publicnme /d' "$conf"

  # What the guide has a Debian postmaster do: the two names, the main.cf
  # lines, then the service enabled and started (here by its init script).
  printf 'publicname mx.korvane.test\nsafecallback postmaster@korvane.test\n' >> "$ROOT/etc/korvane/korvane.conf"
  stock_postfix || { t_bad "Debian's Postfix starts" "$(cat "$BED/postfix-start.log")"; return; }
  in_root postconf -e "smtpd_milters = unix:/korvane/korvane.sock" "non_smtpd_milters =" \
    "milter_default_action = tempfail"
  in_root postfix reload >/dev/null 2>&1
  in_root update-rc.d korvane enable >/dev/null 2>&1
  out=$(in_root /etc/init.d/korvane start 2>&1); rc=$?
  expect_eq "/etc/init.d/korvane start" 0 "$rc"
  serving && t_ok "the packaged daemon serves its socket" || { t_bad "the packaged daemon serves its socket" "$out"; return; }
  pid=$(cat "$ROOT/run/korvane/korvane.pid" 2>&1)
  expect_eq "ps: the daemon runs as korvs" korvs "$(in_root ps -o user= -p "$pid" 2>&1)"
  expect_eq "the socket: mode and owners" "srw-rw---- korvs korvs" \
    "$(in_root stat -c '%A %U %G' /var/spool/postfix/korvane/korvane.sock 2>&1)"
  through_postfix "started by the init script"
  local p roots=
  for p in /proc/[0-9]*; do [ "$(cat "$p/comm" 2>/dev/null)" = smtpd ] && roots+="$(readlink "$p/root") "; done
  expect_eq "the smtpd that asked runs chrooted in the queue directory" "$ROOT/var/spool/postfix" \
    "$(tr ' ' '\n' <<<"$roots" | grep -v '^$' | sort -u)"
  expect_eq "init script status: running" 0 "$(in_root /etc/init.d/korvane status >/dev/null 2>&1; echo $?)"
  echo 'publicnme typo.example' >> "$conf"
  for p in restart reload; do
    out=$(in_root /etc/init.d/korvane $p 2>&1); rc=$?
    expect_eq "init $p with a mistyped key: refused, the daemon serves on" "6 $pid serves" \
      "$rc $(cat "$ROOT/run/korvane/korvane.pid") $(serving && echo serves || echo none)"
  done
  sed -i '/^publicnme /d' "$conf"
  # Another account's program that happens to be named korvane is none of the package's.
  cp "$ROOT/bin/sleep" "$ROOT/tmp/korvane"
  chroot --userspec=nobody:nogroup "$ROOT" /tmp/korvane 600 & decoy=$!

  # A reboot empties /run; the init script makes what the daemon needs there.
  in_root /etc/init.d/korvane stop >/dev/null 2>&1
  find "$ROOT/run" -mindepth 1 -delete
  out=$(in_root /etc/init.d/korvane start 2>&1); rc=$?
  expect_eq "start after /run was emptied" "0 serves" "$rc $(serving && echo serves || echo none)"
  [ "$rc" = 0 ] || bed_note "$out"
  # stop, then start at once: no "another instance", no wait.
  out=$( { in_root /etc/init.d/korvane stop && in_root /etc/init.d/korvane start; } 2>&1); rc=$?
  expect_eq "stop then start at once" "0 serves" "$rc $(serving && echo serves || echo none)"
  [ "$rc" = 0 ] || bed_note "$out"
  pid=$(cat "$ROOT/run/korvane/korvane.pid" 2>&1)
  expect_eq "the stop saved the cache file as korvs" "korvs 600" "$(in_root stat -c '%U %a' /var/lib/korvane/cache 2>&1)"
  for verb in reload force-reload; do
    out=$(in_root /etc/init.d/korvane $verb 2>&1); rc=$?
    expect_eq "init script $verb: the same daemon serves on" "0 serves $pid" \
      "$rc $(serving && echo serves || echo none) $(cat "$ROOT/run/korvane/korvane.pid" 2>&1)"
    [ "$rc" = 0 ] || bed_note "$out"
  done
  through_postfix "after a restart"

  # An upgrade (here the same version again) keeps what the postmaster changed,
  # and restarts the running daemon onto the new binary.
  pid=$(cat "$ROOT/run/korvane/korvane.pid" 2>&1)
  out=$(in_root dpkg -i /tmp/korvane.deb 2>&1); rc=$?
  expect_eq "reinstall keeps the edited configuration" "0 publicname mx.korvane.test" \
    "$rc $(grep -x 'publicname mx.korvane.test' "$ROOT/etc/korvane/korvane.conf")"
  expect_eq "an upgrade restarts the running daemon" "restarted serves" \
    "$([ "$(cat "$ROOT/run/korvane/korvane.pid" 2>&1)" != "$pid" ] && echo restarted || echo kept) $(serving && echo serves || echo none)"
  [ "$rc" = 0 ] || bed_note "$out"

  # Removing korvane as the guide says: smtpd_milters out first, then purge.
  pid=$(cat "$ROOT/run/korvane/korvane.pid" 2>&1)
  in_root postconf -e "smtpd_milters =" && in_root postfix reload >/dev/null 2>&1
  out=$(in_root dpkg --purge korvane 2>&1); rc=$?
  expect_eq "dpkg --purge succeeds" 0 "$rc"
  [ "$rc" = 0 ] || bed_note "$out"
  expect_eq "the purge stops the daemon" stopped "$(kill -0 "$pid" 2>/dev/null && echo running || echo stopped)"
  expect_eq "init stop and the purge leave another program named korvane" running \
    "$(kill -0 "$decoy" 2>/dev/null && echo running || echo stopped)"
  kill "$decoy" 2>/dev/null; wait "$decoy" 2>/dev/null; rm -f "$ROOT/tmp/korvane"
  expect_eq "the purge leaves no file behind" "$before" "$(root_changes)"
  expect_eq "the purge removes the run directory and the socket's directory" "absent absent" \
    "$([ -e "$ROOT/run/korvane" ] && echo present || echo absent) $([ -e "$ROOT/var/spool/postfix/korvane" ] && echo present || echo absent)"
  smtp_send someone@nosuch.test root@mx.korvane.test >/dev/null
  expect_eq "after the purge Postfix takes mail without korvane" "$QUEUED" "$(cut -d' ' -f1-5 "$BED/last")"
}
