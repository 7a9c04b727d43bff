# The Debian package on a host without systemd: installed into an overlay of this
# machine's root (writes land in a tmpfs of the bed), run against the bed's
# Postfix, then purged. Needs KORVANE_DEB, the package file (tests/packaging/deb.sh).

FAILED="550 5.1.8 Sender address verification failed, check your MX"

# Paths the purge may leave changed: dpkg's own records and the account files
# (a system account stays after a purge).
PURGE_KEEPS='^(var/lib/dpkg|var/log|etc/(passwd|group|shadow|gshadow|subuid|subgid)-?$|etc/\.pwd\.lock$)'

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
  # A host without systemd; and no manual page index rebuild (seconds).
  rm -f "$ROOT/usr/bin/systemd-sysusers" "$ROOT/usr/bin/systemd-tmpfiles" "$ROOT/bin/systemd-tmpfiles" \
    "$ROOT/var/lib/man-db/auto-update"
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
  trap 'korvane_stop; root_down; bed_down' EXIT
  package_main
  local rc=$?
  korvane_stop
  root_down
  return $rc
}

package_main() {
  [ -f "${KORVANE_DEB:-}" ] || { t_bad "KORVANE_DEB names the package file" "${KORVANE_DEB:-unset}"; return; }
  root_up || { t_bad "the throw-away root is set up"; return; }
  local before out rc
  before=$(root_changes)

  out=$(in_root dpkg -i /tmp/korvane.deb 2>&1); rc=$?
  expect_eq "dpkg -i succeeds" 0 "$rc"
  [ "$rc" = 0 ] || { bed_note "$out"; return; }
  expect_eq "postinst: the account" "korvs:/nonexistent:/usr/sbin/nologin" \
    "$(in_root getent passwd korvs | cut -d: -f1,6,7)"
  expect_eq "postinst: the run directory" "korvs korvs 755" \
    "$(in_root stat -c '%U %G %a' /run/korvane 2>&1)"
  expect_eq "the unit is installed disabled" no \
    "$([ -e "$ROOT/etc/systemd/system/multi-user.target.wants/korvane.service" ] && echo yes || echo no)"
  expect_has "the unit runs the packaged paths" "ExecStart=/usr/sbin/korvane -f -c /etc/korvane/korvane.conf" \
    "$(cat "$ROOT/lib/systemd/system/korvane.service")"

  # Without -c the daemon must read the packaged file: -t fails on a missing one.
  local shipped
  shipped=$(in_root /usr/sbin/korvane -t -c /etc/korvane/korvane.conf 2>&1); rc=$?
  expect_eq "korvane -t accepts the shipped configuration" 0 "$rc"
  expect_eq "korvane -t without -c reads /etc/korvane/korvane.conf" "$shipped|0" \
    "$(out=$(in_root /usr/sbin/korvane -t 2>&1); echo "$out|$?")"
  expect_has "the shipped configuration: the installed socket" "socket unix:/run/korvane/korvane.sock" "$shipped"

  # What the postmaster guide has a Postfix host do: run as postfix, with the
  # run directory handed to it; the socket stays the installed one.
  printf 'publicname mx.korvane.test\nsafecallback postmaster@korvane.test\nuser postfix\n' \
    >> "$ROOT/etc/korvane/korvane.conf"
  in_root /usr/share/korvane/korvane-postinst postfix >/dev/null 2>&1
  chroot "$ROOT" /usr/sbin/korvane -f >"$BED/package.stderr" 2>&1 &
  KORVANE_PID=$!
  if bed_wait 100 bed_socket_answers "$ROOT/run/korvane/korvane.sock"; then t_ok "the packaged daemon serves its socket"
  else t_bad "the packaged daemon serves its socket" "$(cat "$BED/package.stderr")"; return; fi
  /usr/sbin/postconf -c "$PFCONF" -e "smtpd_milters = unix:$ROOT/run/korvane/korvane.sock"
  bed_postfix_restart || { t_bad "postfix restarts"; return; }
  local sender want verdict mark got
  while read -r sender want; do
    mark=$(mark_log)
    smtp_send "$sender" rcpt@elsewhere.test >/dev/null
    got=$(cat "$BED/last")
    [ "${want#250}" != "$want" ] && got=$(cut -d' ' -f1-5 <<<"$got")
    expect_eq "through Postfix, $sender: reply" "$want" "$got"
    case $want in 250*) verdict=succeeded ;; *) verdict=failed ;; esac
    expect_has "through Postfix, $sender: korvane's verdict" yes \
      "$(korvane_log "$mark" | grep -cF "sender check $verdict: from=<$sender>" >/dev/null && echo yes)"
  done <<EOF
alice@good.test 250 2.0.0 Ok: queued as
nobody@good.test $FAILED
EOF
  korvane_stop
  # An upgrade (here the same version again) keeps what the postmaster changed.
  out=$(in_root dpkg -i /tmp/korvane.deb 2>&1); rc=$?
  expect_eq "reinstall keeps the edited configuration and the run directory's owner" "0 user postfix|postfix" \
    "$rc $(grep -x 'user postfix' "$ROOT/etc/korvane/korvane.conf")|$(in_root stat -c %U /run/korvane 2>&1)"

  out=$(in_root dpkg --purge korvane 2>&1); rc=$?
  expect_eq "dpkg --purge succeeds" 0 "$rc"
  [ "$rc" = 0 ] || bed_note "$out"
  expect_eq "the purge leaves no file behind" "$before" "$(root_changes)"
  expect_eq "the purge removes the run directory" absent "$([ -e "$ROOT/run/korvane" ] && echo present || echo absent)"
}
