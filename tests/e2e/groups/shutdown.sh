# Shutdown under load: SIGTERM while many sessions are in flight ends the daemon
# within seconds, and a new daemon on the same socket path serves at once. A
# second daemon never takes the socket of one that serves (a file left by a
# killed one is the syntax group's). Each daemon ends by itself, so a sanitizer
# build gets to write its exit report.

# SIGTERM, then up to 10 s for the daemon to end; SIGKILL after that.
stop_within_10s() {
  local pid=$KORVANE_PID t0=$SECONDS i
  kill -TERM "$pid"
  for ((i = 0; i < 100; i++)); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
  if kill -0 "$pid" 2>/dev/null; then
    t_bad "$1 within 10 s"
    kill -KILL "$pid"
  else
    t_ok "$1 within 10 s"
  fi
  local status=0
  wait "$pid" 2>/dev/null || status=$?
  # A sanitizer's report at exit shows here as a status other than 0.
  expect_eq "$1: exit status" 0 "$status"
  bed_note "the daemon ended $((SECONDS - t0)) s after SIGTERM"
  KORVANE_PID=
}

group_main() {
  korvane_start <<'EOF2' || { t_bad "korvane starts"; return; }
publicname mx.korvane.test
safecallback postmaster@korvane.test
EOF2
  local sock=$BED/run/korvane.sock status=0 err
  err=$(timeout 10 "$KORVANE" -f -c "$BED/korvane.conf" 2>&1 >/dev/null) || status=$?
  expect_eq "a second daemon on a served socket: exit status" 69 "$status"
  expect_eq "a second daemon on a served socket: message" \
    "korvane: another instance is serving on $sock" "$err"
  bed_socket_answers "$sock" && t_ok "the first daemon keeps its socket" ||
    t_bad "the first daemon keeps its socket"
  # 20 sessions of cached passes and fresh refusals, so callouts are in flight.
  "$PY" - "$BED/plan.json" "$MTA_ADDR" "$CLIENT_ADDR" <<'EOF2'
import json, sys
out, server, source = sys.argv[1:4]
sessions = [[{"kind": "x", "from": ("u%d-%d@good.test" % (s, k)) if k % 2 else "alice@good.test",
              "rcpt": [["rcpt@elsewhere.test", "250"]], "want": "2"} for k in range(200)]
            for s in range(20)]
json.dump({"server": server, "source": source, "time_limit": 60, "sessions": sessions}, open(out, "w"))
EOF2
  "$PY" "$E2E_LIB/loadtool.py" load "$BED/plan.json" "$BED/load.out" &
  local load=$!
  sleep 3
  stop_within_10s "SIGTERM under load ends the daemon"
  wait "$load"

  # A socket it cannot bind ends a detaching start with 73 and the reason.
  mkdir -p "$BED/closed" && chmod 755 "$BED/closed"
  printf 'socket unix:%s/closed/k.sock\nuser postfix\n' "$BED" > "$BED/closed.conf"
  status=0; err=$(timeout 10 "$KORVANE" -c "$BED/closed.conf" 2>&1 >/dev/null) || status=$?
  expect_eq "an unwritable socket directory: status and reason" \
    "73 korvane: cannot listen on unix:$BED/closed/k.sock: Permission denied" "$status $err"

  local mark pidfile=$BED/run/korvane.pid
  mark=$(mark_log)
  echo 4242424 > "$pidfile"  # stale: no such process
  # ThreadSanitizer waits a second at exit by default; the daemon does not.
  TSAN_OPTIONS=${TSAN_OPTIONS:+$TSAN_OPTIONS:}atexit_sleep_ms=0 \
    korvane_start <<EOF2 || { t_bad "a new daemon on the same socket starts"; return; }
publicname mx.korvane.test
safecallback postmaster@korvane.test
pidfile $pidfile
EOF2
  t_ok "a new daemon on the same socket starts"
  expect_eq "the stale PID file is replaced by the daemon's" "$KORVANE_PID" "$(cat "$pidfile" 2>&1)"
  smtp_send carol@good.test rcpt@elsewhere.test >/dev/null
  expect_eq "the new daemon serves" "250 2.0.0 Ok: queued as" "$(cut -d' ' -f1-5 "$BED/last")"
  korvane_timed_stop 10
  bed_note "the idle daemon ended $STOP_MS ms after SIGTERM"
  expect_eq "SIGTERM when idle ends the daemon within 1 s, status 0" "yes 0" \
    "$([ "$STOP_MS" -lt 1000 ] && echo yes || echo "no ($STOP_MS ms)") $STOP_STATUS"
  expect_eq "the PID file is removed at the exit" absent "$([ -e "$pidfile" ] && echo present || echo absent)"
  wait_korvane_log "$mark" "korvane stopping" >/dev/null
  expect_eq "the start and stop lines" "mail.notice korvane 0.1.0 starting (socket unix:$sock)
mail.notice korvane stopping" "$(korvane_log "$mark" | grep -E '^[a-z]+\.[a-z]+ korvane (.* starting|stopping)')"
}
