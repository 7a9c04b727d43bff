# The installed daemon: installs the build into a private tree and runs what a host
# gets (sample configuration, account script, systemd unit, chrooted Postfix setup).

FAILED="550 5.1.8 Sender address verification failed, check your MX"
UNAVAILABLE="451 4.7.1 Service unavailable - try again later"

# Account changes must stay in this namespace. useradd replaces /etc/passwd by
# renaming a sibling file over it, which fails on a bind-mounted file and leaves
# that sibling in the host's /etc: so the whole of /etc becomes an overlay whose
# writes land in a tmpfs of the bed.
private_etc() {
  mkdir -p "$BED/etc-priv"
  mount -t tmpfs -o mode=755,size=16m korvane-etc "$BED/etc-priv" || return 1
  mkdir "$BED/etc-priv/up" "$BED/etc-priv/work"
  mount -t overlay -o "lowerdir=/etc,upperdir=$BED/etc-priv/up,workdir=$BED/etc-priv/work" \
    korvane-etc /etc || return 1
  [ "$(findmnt -n -o FSTYPE --mountpoint /etc)" = overlay ]
}

# The overlay and a fresh /run hide the bed's resolver and hosts files; bind them
# again (creating the target when /etc/resolv.conf is a link into /run).
rebind_bed_files() {
  local f t
  for f in resolv.conf hosts; do
    t=/etc/$f
    if [ -L "$t" ]; then
      t=$(readlink -m "$t"); mkdir -p "${t%/*}"; [ -e "$t" ] || : > "$t"
    fi
    mount --bind "$BED/$f" "$t" || return 1
  done
}

# check_unit UNIT DEST PREFIX RUNDIR: the unit against the tree it was installed with.
check_unit() {
  local unit=$1 dest=$2 prefix=$3 rundir=$4 w
  local exec; exec=$(sed -n 's/^ExecStart=//p' "$unit")
  [ -n "$exec" ] || t_bad "the unit has an ExecStart line"
  for w in $exec; do
    case $w in
      /*) if [ -e "$dest$w" ]; then t_ok "ExecStart path exists in the install tree: $w"
          else t_bad "ExecStart path exists in the install tree: $w"; fi ;;
    esac
  done
  # With ProtectSystem=strict only ReadWritePaths may be written: each socket
  # directory the documents name, and the cache file's folder, must lie under one of them.
  local rw; rw=$(sed -n 's/^ReadWritePaths=//p' "$unit" | tr ' ' '\n' | sed 's/^-//')
  local dir p covered
  for dir in "$rundir" /var/spool/postfix/korvane /var/lib/korvane; do
    covered=no
    for p in $rw; do
      case $dir/ in "${p%/}"/*) covered=yes ;; esac
    done
    expect_eq "the unit may write $dir" yes "$covered"
  done
  # Root must unlink a stale socket in a directory of another account (needs
  # DAC_OVERRIDE), make a missing socket directory for its account (CHOWN), then
  # change groups and user; syslog and callouts need sockets, and glibc's
  # AI_ADDRCONFIG a netlink one.
  local caps fams c
  caps=$(sed -n 's/^CapabilityBoundingSet=//p' "$unit")
  fams=$(sed -n 's/^RestrictAddressFamilies=//p' "$unit")
  for c in CAP_SETUID CAP_SETGID CAP_DAC_OVERRIDE CAP_CHOWN; do
    expect_eq "the unit keeps $c" yes "$(printf '%s\n' $caps | grep -cx "$c" >/dev/null && echo yes || echo no)"
  done
  for c in AF_UNIX AF_INET AF_INET6 AF_NETLINK; do
    expect_eq "the unit allows $c" yes "$(printf '%s\n' $fams | grep -cx "$c" >/dev/null && echo yes || echo no)"
  done

  if ! command -v systemd-analyze >/dev/null; then
    bed_note "systemd-analyze not found: unit verification skipped"
    return
  fi
  # systemd-analyze wants the binary at its real path and the pages on the
  # manual path: a read-only overlay in a namespace of its own puts the
  # installed binary there for this one command.
  local at=$prefix/sbin
  while [ ! -d "$at" ]; do at=$(dirname "$at"); done
  if [ "$at" = / ]; then
    bed_note "no directory on this host to lay the install over: unit verification skipped"
    return
  fi
  local out rc
  out=$(MANPATH="$dest$prefix/share/man" unshare -m --propagation private sh -c '
    mount -t overlay -o "lowerdir=$1:$2" korvane-verify "$2" || exit 99
    systemd-analyze verify "$3" 2>&1' sh "$dest$at" "$at" "$unit"); rc=$?
  expect_eq "systemd-analyze verify accepts the unit" "0 " "$rc $out"
  local level
  level=$(systemd-analyze security --offline=true "$unit" 2>/dev/null | sed -n 's/.*Overall exposure level for [^:]*: \([0-9.]*\).*/\1/p')
  bed_note "systemd-analyze security: exposure ${level:-unknown}"
  expect_eq "the unit's exposure is 3.0 or less" yes "$(awk -v l="${level:-99}" 'BEGIN { print (l <= 3.0 ? "yes" : "no (" l ")") }')"
}

# The PIDs of running smtpd processes, one a line.
smtpd_pids() {
  local p
  for p in /proc/[0-9]*; do
    [ "$(cat "$p/comm" 2>/dev/null)" = smtpd ] && echo "${p#/proc/}"
  done
  return 0
}

group_main() {
  installed_main
  local rc=$?
  # The overlay keeps its tmpfs busy; detached, the bed's directory can go.
  umount -l "$BED/etc-priv" 2>/dev/null
  return $rc
}

installed_main() {
  local build; build=$(dirname "$KORVANE")
  if [ ! -f "$build/CMakeCache.txt" ]; then
    t_bad "the binary lies in a build directory" "$build/CMakeCache.txt missing"; return
  fi
  local prefix rundir
  prefix=$(sed -n 's/^CMAKE_INSTALL_PREFIX:PATH=//p' "$build/CMakeCache.txt")
  rundir=$(sed -n 's/^KORVANE_RUN_DIR:STRING=//p' "$build/CMakeCache.txt")
  local dest=$BED/dest inst=$BED/dest$prefix
  if DESTDIR=$dest cmake --install "$build" >"$BED/install.log" 2>&1; then t_ok "cmake --install into DESTDIR"
  else t_bad "cmake --install into DESTDIR" "$(cat "$BED/install.log")"; return; fi
  local kbin=$inst/sbin/korvane postinst=$inst/share/korvane/korvane-postinst
  local unit=$inst/lib/systemd/system/korvane.service

  check_unit "$unit" "$dest" "$prefix" "$rundir"

  # The account the installed binary and the service files agree on.
  local defaults; defaults=$("$kbin" -t -c "$inst/etc/korvane.conf" 2>&1)
  expect_eq "the installed sample configuration passes -t" 0 "$?"
  expect_has "the sample keeps the default socket" "socket unix:$rundir/korvane.sock" "$defaults"
  local user; user=$(sed -n 's/^user //p' <<<"$defaults")
  expect_eq "sysusers creates the default account" "u $user" \
    "$(grep -v '^#' "$inst/lib/sysusers.d/korvane.conf" | cut -d' ' -f1-2)"
  expect_eq "tmpfiles makes the default socket's directory for that account" "d $rundir 0755 $user $user" \
    "$(grep -v '^#' "$inst/lib/tmpfiles.d/korvane.conf" | cut -d' ' -f1-5)"

  # --- (a) the sample configuration as installed, account made by the script
  local top; top=$(dirname "$(readlink -m "$rundir")")
  if ! private_etc; then t_bad "a private /etc for the account files"; return; fi
  if [ "$top" = / ] || ! mount -t tmpfs -o mode=755,size=4m korvane-run "$top"; then
    t_bad "a private $top for the run directory"; return
  fi
  rebind_bed_files || { t_bad "the bed's resolver files bound again"; return; }
  local rc
  "$postinst" >"$BED/postinst.out" 2>&1; rc=$?
  expect_eq "korvane-postinst succeeds" "0 " "$rc $(cat "$BED/postinst.out")"
  expect_eq "korvane-postinst: the account" "$user:/nonexistent:/usr/sbin/nologin" \
    "$(getent passwd "$user" | cut -d: -f1,6,7)"
  expect_eq "korvane-postinst: the run directory" "$user $user 755" "$(stat -c '%U %G %a' "$rundir" 2>&1)"
  "$postinst" >"$BED/postinst.out" 2>&1; rc=$?
  expect_eq "korvane-postinst again changes nothing" "0 $user $user 755" \
    "$rc $(stat -c '%U %G %a' "$rundir" 2>&1)"

  "$kbin" -f -c "$inst/etc/korvane.conf" >"$BED/installed-a.stderr" 2>&1 &
  local pid=$!
  KORVANE_PID=$pid
  if bed_wait 100 bed_socket_answers "$rundir/korvane.sock"; then t_ok "the installed daemon serves its default socket"
  else t_bad "the installed daemon serves its default socket" "$(cat "$BED/installed-a.stderr")"; fi
  expect_eq "the default socket: owner and mode" "socket $user 600" \
    "$(stat -c '%F %U %a' "$rundir/korvane.sock" 2>&1)"
  expect_eq "the daemon runs as the account" "$(id -u "$user")" \
    "$(awk '/^Uid:/ { print $2 }' "/proc/$pid/status" 2>&1)"
  kill -TERM "$pid"
  local i
  for ((i = 0; i < 100; i++)); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
  if kill -0 "$pid" 2>/dev/null; then
    t_bad "SIGTERM stops the installed daemon within 10 s"; kill -KILL "$pid"
  fi
  wait "$pid"; rc=$?
  KORVANE_PID=
  expect_eq "SIGTERM stops the installed daemon, status 0" 0 "$rc"

  # --- (a2) run as postfix beside an unchrooted smtpd, the socket in the run
  # directory: tmpfiles resets that directory's owner at every boot, so the
  # installed entry alone leaves postfix unable to make its socket there, and
  # the documented override in /etc/tmpfiles.d is what makes it work.
  if command -v systemd-tmpfiles >/dev/null; then
    printf 'user postfix\n' > "$BED/installed-a2.conf"
    rm -rf "$rundir"
    systemd-tmpfiles --create "$inst/lib/tmpfiles.d/korvane.conf" >/dev/null 2>&1
    expect_eq "tmpfiles makes the run directory as installed" "$user 755" "$(stat -c '%U %a' "$rundir" 2>&1)"
    local mode out
    for mode in installed override; do
      if [ "$mode" = override ]; then
        mkdir -p /etc/tmpfiles.d
        printf 'd %s 0755 postfix postfix -\n' "$rundir" > /etc/tmpfiles.d/korvane.conf
        systemd-tmpfiles --create /etc/tmpfiles.d/korvane.conf >/dev/null 2>&1
      fi
      "$kbin" -f -c "$BED/installed-a2.conf" >"$BED/installed-a2.stderr" 2>&1 &
      KORVANE_PID=$!
      if bed_wait 50 bed_socket_answers "$rundir/korvane.sock"; then out=serves; else out=none; fi
      korvane_stop
      if [ "$mode" = installed ]; then
        expect_eq "user postfix, run directory of $user: no socket" none "$out"
      else
        expect_eq "user postfix, run directory by the override: the daemon serves" serves "$out"
      fi
    done
  else
    bed_note "systemd-tmpfiles not found: run directory ownership checks skipped"
  fi

  # --- (b) Debian's stock Postfix: smtpd chrooted in the queue directory
  local sockdir=$PFSPOOL/korvane
  "$postinst" postfix "$sockdir" >"$BED/postinst.out" 2>&1; rc=$?
  expect_eq "korvane-postinst makes the socket directory in the chroot" "0 postfix 755" \
    "$rc $(stat -c '%U %a' "$sockdir" 2>&1)"
  # What Debian's postfix start-up copies into the chroot.
  mkdir -p "$PFSPOOL/etc"
  local f
  for f in localtime services resolv.conf hosts nsswitch.conf host.conf; do
    [ -e "/etc/$f" ] && cp -pL "/etc/$f" "$PFSPOOL/etc/$f"
  done
  cat > "$BED/installed-b.conf" <<EOF
publicname mx.korvane.test
safecallback postmaster@korvane.test
user postfix
socket unix:$sockdir/korvane.sock
EOF
  expect_eq "the chroot configuration passes -t" 0 "$("$kbin" -t -c "$BED/installed-b.conf" >/dev/null 2>&1; echo $?)"
  sed -i -E 's/^smtp( +)inet n - n - - smtpd$/smtp\1inet n - y - - smtpd/' "$PFCONF/master.cf"
  expect_eq "master.cf: smtpd chrooted" 1 "$(grep -cE '^smtp +inet n - y - - smtpd$' "$PFCONF/master.cf")"

  "$kbin" -f -c "$BED/installed-b.conf" >"$BED/installed-b.stderr" 2>&1 &
  KORVANE_PID=$!
  if bed_wait 100 bed_socket_answers "$sockdir/korvane.sock"; then t_ok "the daemon serves the socket in the chroot"
  else t_bad "the daemon serves the socket in the chroot" "$(cat "$BED/installed-b.stderr")"; return; fi
  expect_eq "the chroot socket: owner and mode" "postfix 600" "$(stat -c '%U %a' "$sockdir/korvane.sock")"

  # The documented milter path first; then, as a control that the chroot is in
  # force, the host path, which the chrooted smtpd cannot find.
  local label milters sender want warn cur= mark got pl
  while IFS='|' read -r label milters sender want warn; do
    [ -n "$label" ] || continue
    if [ "$milters" != "$cur" ]; then
      /usr/sbin/postconf -c "$PFCONF" -e "smtpd_milters = $milters"
      bed_postfix_restart || { t_bad "$label: postfix restarts"; return; }
      cur=$milters
    fi
    mark=$(mark_log)
    smtp_send "$sender" rcpt@elsewhere.test >/dev/null
    got=$(cat "$BED/last")
    [ "${want#250}" != "$want" ] && got=$(cut -d' ' -f1-5 <<<"$got")
    expect_eq "$label: reply" "$want" "$got"
    pl=$("$PY" "$E2E_LIB/bedtool.py" log "$SYSLOG" postfix/smtpd "$mark" | grep -i 'milter' || true)
    if [ -n "$warn" ]; then expect_has "$label: smtpd's complaint" yes "$(grep -cF -- "$warn" <<<"$pl" >/dev/null && echo yes)"
    else expect_eq "$label: smtpd reaches the milter without complaint" "" "$pl"; fi
    case $want in
      250*) expect_has "$label: korvane's verdict" yes \
              "$(korvane_log "$mark" | grep -cF "sender check succeeded: from=<$sender>" >/dev/null && echo yes)" ;;
      550*) expect_has "$label: korvane's verdict" yes \
              "$(korvane_log "$mark" | grep -cF "sender check failed: from=<$sender>" >/dev/null && echo yes)" ;;
    esac
    if [ "$label" = "documented path, valid sender" ]; then
      local p roots=
      for p in $(smtpd_pids); do roots+="$(readlink "/proc/$p/root") "; done
      expect_eq "every smtpd runs in the queue directory as its root" "$(readlink -f "$PFSPOOL") " \
        "$(tr ' ' '\n' <<<"$roots" | sort -u | grep -v '^$' | tr '\n' ' ')"
    fi
  done <<EOF
documented path, valid sender|unix:/korvane/korvane.sock|alice@good.test|250 2.0.0 Ok: queued as|
documented path, unknown mailbox|unix:/korvane/korvane.sock|nobody@good.test|$FAILED|
host path seen from the chroot|unix:$sockdir/korvane.sock|bob@good.test|$UNAVAILABLE|No such file or directory
EOF
  korvane_stop
}
