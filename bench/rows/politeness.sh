#!/usr/bin/env bash
# The politeness row: one day of mixed mail through korvane ("refusals mailbox",
# "senderdelimiter +") and through Postfix's reject_unverified_sender, against two shared
# providers of which one bans the prober; probes, probes after the ban and refusals.
# Usage: bash bench/rows/politeness.sh (as root, alone); bench/run.sh also sources it
# and runs it once, in its first round. Lines go to politeness.txt.

POLITE_MESSAGES=${BENCH_POLITE_MESSAGES:-2000}
POLITE_SECONDS=${BENCH_POLITE_SECONDS:-400}   # each half stops at its message count or after this long

if [ "${BASH_SOURCE[0]}" = "$0" ]; then
  set -uo pipefail
  root=$(cd "$(dirname "$0")/../.." && pwd)
  . "$root/tests/e2e/lib/bed.sh"
  . "$root/bench/lib/bench_bed.sh"
  SESSIONS=${BENCH_SESSIONS:-20}
  BUILD=${BENCH_BUILD_DIR:-$root/build-macrobench}
  bench_prepare bench/rows/politeness.sh
  bed_enter "$@"
  OUT=$BENCH_OUT
  trap bed_down EXIT
  bench_up || exit 1
fi

POLITE_MX=(provider-a=192.0.2.61:ban provider-b=192.0.2.62 elsewhere=192.0.2.63)
POLITE_CTL=
POLITE_TTL=10800   # korvane's refusedttl: the whole run lies within one

# The bed's resolver again, now with the row's domains beside bench.test: the
# providers' 20 domains each and the correspondents' and lists' own exchanger.
polite_dns_lines() {
  local i d
  printf '%s\n' "mx-host=bench.test,mx.bench.test,10" "host-record=mx.bench.test,$BENCH_MX_ADDR" \
    "host-record=mx.provider-a.test,192.0.2.61" "host-record=mx.provider-b.test,192.0.2.62" \
    "host-record=mx.elsewhere.test,192.0.2.63"
  for ((i = 0; i < 20; i++)); do
    printf 'mx-host=pa%d.test,mx.provider-a.test,10\nmx-host=pb%d.test,mx.provider-b.test,10\n' "$i" "$i"
  done
  for d in corr0 corr1 corr2 corr3 corr4 corr5 corr6 corr7 corr8 corr9 lists0 lists1 lists2; do
    printf 'mx-host=%s.test,mx.elsewhere.test,10\n' "$d"
  done
}

polite_dns() {
  bed_stop_pid "$(cat "$BED/dnsmasq.pid")"
  # The bed's files are bound again below; one binding each keeps them removable.
  umount /etc/resolv.conf /etc/hosts
  bed_dns_serve mx.provider-a.test 192.0.2.61 < <(polite_dns_lines)
}

polite_up() {
  [ -n "$POLITE_CTL" ] && return 0
  polite_dns
  POLITE_CTL="$BED/politemx.ctl"
  "$PY" "$BENCH_DIR/rows/politemx.py" "$POLITE_CTL" "$BED/politemx.ready" "${POLITE_MX[@]}" &
  bed_pids+=($!)
  bed_wait 100 test -s "$BED/politemx.ready" || bed_die "the providers' exchangers did not start"
  "$PY" "$BENCH_DIR/rows/politeload.py" senders "$POLITE_MESSAGES" > "$BED/polite-senders.txt"
}

polite_stats() { "$PY" "$BENCH_DIR/fastmx.py" ctl "$POLITE_CTL" stats; }

# polite_half NAME: the day's senders through Postfix as it is set up now, the
# exchangers' counts and bans fresh; leaves NAME.replies and NAME.stats in $OUT.
polite_half() {
  "$PY" "$BENCH_DIR/fastmx.py" ctl "$POLITE_CTL" reset >/dev/null
  load --label "politeness-$1" --senders "list:$BED/polite-senders.txt" --messages "$POLITE_MESSAGES" \
    --seconds "$POLITE_SECONDS" --record "$OUT/politeness-$1.replies" > "$OUT/politeness-$1.json"
  # Postfix's probes outlive the sessions that asked for them.
  mx_settle 120 polite_stats
  polite_stats > "$OUT/politeness-$1.stats"
}

row_politeness() {
  local started=$SECONDS
  polite_up
  korvane_instance korvane-polite <<EOF || bed_die "korvane (refusals mailbox) does not start"
publicname mx.korvane.test
safecallback postmaster@korvane.test
refusals mailbox
senderdelimiter +
refusedttl $POLITE_TTL
EOF
  local kpid=$STARTED_PID
  bed_pids+=("$kpid")
  pf_mode "milter:$BED/run/korvane-polite.sock"
  polite_half korvane
  bed_stop_pid "$kpid"
  pf_mode verify
  polite_half postfix
  {
    echo "-- politeness: $POLITE_MESSAGES messages, $SESSIONS sessions, provider-a bans after 20 unknown mailboxes"
    "$PY" "$BENCH_DIR/rows/politeload.py" table "$POLITE_TTL" \
      "$OUT/politeness-korvane.replies" "$OUT/politeness-korvane.stats" \
      "$OUT/politeness-postfix.replies" "$OUT/politeness-postfix.stats"
    echo "   ($((SECONDS - started)) s)"
  } | tee -a "$OUT/politeness.txt"
}

if [ "${BASH_SOURCE[0]}" = "$0" ]; then
  echo "== korvane politeness row (bed in $BED, results in $OUT)"
  row_politeness
else
  bench_row politeness row_politeness 1
fi
