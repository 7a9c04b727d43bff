# Hostile exchangers end to end: servers that drop or reset the connection at each
# step, flood a reply, send NUL bytes or bare LFs, drip every reply, or never speak.
# Each sender gets the reply its dialogue defines, and the daemon holds no
# descriptor afterwards. A short calloutdeadline then cuts the dripping dialogue,
# and a stop while a walk drips, its check gone, ends within 5 s.

# name behaviour address want: one exchanger per sender domain.
HOSTILE_CASES='dropgreet drop-greeting 192.0.2.70 451 4.1.8
drophelo drop-helo 192.0.2.71 451 4.1.8
dropmail drop-mail 192.0.2.72 451 4.1.8
droprcpt drop-rcpt 192.0.2.73 451 4.1.8
droprset drop-rset 192.0.2.74 550 5.1.8
resetgreet reset-greeting 192.0.2.75 451 4.1.8
resetrcpt reset-rcpt 192.0.2.76 451 4.1.8
megabyte megabyte 192.0.2.77 451 4.1.8
nul nul 192.0.2.78 451 4.1.8
barelf barelf 192.0.2.79 250 2.0.0 Ok: queued
neverspeaks silent 192.0.2.80 451 4.1.8
drip drip 192.0.2.81 250 2.0.0 Ok: queued'
GROUP_DNS=$(printf '%s\n' "$HOSTILE_CASES" | while read -r name _ addr _; do
  printf 'mx-host=%s.test,mx.%s.test,10\nhost-record=mx.%s.test,%s\n' "$name" "$name" "$name" "$addr"
done)

proc_stats() { "$PY" "$E2E_LIB/loadtool.py" proc "$KORVANE_PID"; }

group_main() {
  local specs=() name behaviour addr want
  while read -r name behaviour addr want; do specs+=("$addr=$behaviour"); done <<<"$HOSTILE_CASES"
  "$PY" "$E2E_LIB/hostilemx.py" "$BED/hostile.ready" "${specs[@]}" &
  bed_pids+=($!)
  bed_wait 50 test -s "$BED/hostile.ready" || { t_bad "hostile exchangers start"; return; }

  # The checks wait for their walks here, so that each reply is the dialogue's own.
  korvane_start <<'EOF' || { t_bad "korvane starts"; return; }
publicname mx.korvane.test
safecallback postmaster@korvane.test
maxwait 0
EOF
  local before; before=$(proc_stats)
  local b_fds; read -r b_fds _ <<<"$before"

  # One session per exchanger, all at once: the one that never speaks costs the
  # full receive wait of 120 s, the others end while it waits.
  "$PY" - "$BED/plan.json" "$MTA_ADDR" "$CLIENT_ADDR" "$HOSTILE_CASES" <<'EOF'
import json, sys
out, server, source, cases = sys.argv[1:5]
sessions = []
for ln in cases.splitlines():
    name, _b, _a, want = ln.split(None, 3)
    sessions.append([{"kind": name, "from": "someone@%s.test" % name,
                      "rcpt": [["rcpt@elsewhere.test", "250"]], "want": want}])
json.dump({"server": server, "source": source, "time_limit": 240, "read_timeout": 200,
           "record": True, "sessions": sessions}, open(out, "w"))
EOF
  local t0=$SECONDS
  "$PY" "$E2E_LIB/loadtool.py" load "$BED/plan.json" "$BED/hostile.out" || t_bad "client ran"
  bed_note "all hostile sessions done in $((SECONDS - t0)) s"
  while read -r name behaviour addr want; do
    expect_eq "$behaviour: reply" "$want" "$("$PY" -c 'import json,sys
r = json.load(open(sys.argv[1]))
print(" ".join(x["got"][:len(sys.argv[3])] for x in r["all"] if x["kind"] == sys.argv[2]))' \
      "$BED/hostile.out" "$name" "$want")"
  done <<<"$HOSTILE_CASES"
  local silent_took
  silent_took=$(korvane_log 0 | grep -c 'tempfailed: from=<someone@neverspeaks.test>.*\[00:0[12]:' || true)
  expect_eq "silent exchanger: given up after the two-minute receive wait" 1 "$silent_took"

  local after i a_fds
  for ((i = 0; i < 40; i++)); do
    read -r a_fds _ <<<"$(proc_stats)"
    [ "$a_fds" -le "$b_fds" ] && break
    sleep 0.5
  done
  bed_note "descriptors before $b_fds, after $a_fds"
  expect_eq "descriptors back to the count before" "$b_fds" "$a_fds"
  kill -0 "$KORVANE_PID" 2>/dev/null && t_ok "the daemon still runs" || t_bad "the daemon still runs"

  # The dripping exchanger answers every reply within its bounds and passed
  # above after about 6 s; with a 3-second total the same walk ends at 3 s.
  korvane_stop
  korvane_start <<'EOF' || { t_bad "korvane starts with calloutdeadline 3"; return; }
publicname mx.korvane.test
safecallback postmaster@korvane.test
calloutdeadline 3
EOF
  local mark; mark=$(mark_log)
  smtp_send someone@drip.test rcpt@elsewhere.test >/dev/null
  expect_eq "drip under a 3 s deadline: reply" "451 4.1.8" "$(cut -d' ' -f1-2 "$BED/last")"
  wait_korvane_log "$mark" 'sender check tempfailed: from=<someone@drip.test>' ||
    t_bad "drip under a 3 s deadline: log line"
  expect_eq "drip under a 3 s deadline: ended at the deadline" 1 \
    "$(korvane_log "$mark" | grep -c 'tempfailed: from=<someone@drip.test>.*\[00:00:0[34]\]' || true)"

  # The check stops waiting after a second; the walk drips on for seconds more
  # and nobody waits for it: the stop abandons it.
  korvane_stop
  local pidfile=$BED/run/korvane.pid
  korvane_start <<EOF || { t_bad "korvane starts with maxwait 1"; return; }
publicname mx.korvane.test
safecallback postmaster@korvane.test
maxwait 1
pidfile $pidfile
EOF
  smtp_send late@drip.test rcpt@elsewhere.test >/dev/null
  expect_eq "drip past maxwait: reply" "451 4.1.8" "$(cut -d' ' -f1-2 "$BED/last")"
  korvane_timed_stop 20
  bed_note "the daemon ended $STOP_MS ms after SIGTERM, a walk dripping"
  # The dialogue had some 4 s to go: a stop that waited for it took that long.
  expect_eq "a stop while a walk drips: within 3 s, status 0, no PID file" "yes 0 absent" \
    "$([ "$STOP_MS" -lt 3000 ] && echo yes || echo "no ($STOP_MS ms)") $STOP_STATUS $([ -e "$pidfile" ] && echo present || echo absent)"
}
