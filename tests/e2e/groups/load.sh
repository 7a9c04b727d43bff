# Load through the bed's Postfix: many sessions at once mixing cached and fresh passes,
# refusals, temporary failures and recipient checks; every reply is checked, then the
# daemon's descriptors, threads and memory are compared with what they were before.

GROUP_DNS='mx-host=fast.test,mx.fast.test,10
host-record=mx.fast.test,192.0.2.60'
LOADTOOL="$E2E_LIB/loadtool.py"
LOAD_SESSIONS=${KORVANE_LOAD_SESSIONS:-40}
LOAD_PER_SESSION=${KORVANE_LOAD_PER_SESSION:-250}

# The plan: a fixed mix, every distinct mailbox spelled out so the cache entries it
# leaves behind can be counted. Prints the number of distinct cache keys.
make_plan() {
  "$PY" - "$1" "$LOAD_SESSIONS" "$LOAD_PER_SESSION" "$MTA_ADDR" "$CLIENT_ADDR" <<'EOF'
import json, random, sys
out, sessions, per, server, source = sys.argv[1], int(sys.argv[2]), int(sys.argv[3]), sys.argv[4], sys.argv[5]
rnd = random.Random(7)
Q, F, T = "250 2.0.0 Ok: queued", "550 5.1.8 ", "451 4.1.8 "
RP, RF = "250 2.1.5", "550 5.1.1 "
other = ["rcpt@elsewhere.test", RP]
keys = set()
n = sessions * per
def txn(i):
    r = i % 100
    if r < 35:            # a fresh pass: a mailbox never seen before
        m = "u%d@fast.test" % i
        keys.add(m); return {"kind": "fresh", "from": m, "rcpt": [other], "want": Q}
    if r < 37:            # refused by the exchanger, fresh or cached
        m = "bad%d@fast.test" % (i % 150)
        keys.add(m); return {"kind": "refused", "from": m, "rcpt": [other], "want": F}
    if r < 39:            # temporary failure at the exchanger
        m = "tmp%d@fast.test" % (i % 150)
        keys.add(m); return {"kind": "tempfail", "from": m, "rcpt": [other], "want": T}
    if r < 44:            # fresh recipient pass at a relay host
        m = "r%d@fastrelay.test" % i
        keys.add(m); keys.add("alice@good.test")
        return {"kind": "rcpt-fresh", "from": "alice@good.test", "rcpt": [[m, RP]], "want": Q}
    if r < 48:            # cached recipient pass at the bed's mail store
        keys.update(["ivan@relay.test", "alice@good.test"])
        return {"kind": "rcpt-cached", "from": "alice@good.test", "rcpt": [["ivan@relay.test", RP]], "want": Q}
    if r == 48 and i % 300 < 100:  # a recipient refused at its relay host
        m = "bad%d@fastrelay.test" % (i % 40)
        keys.update([m, "alice@good.test"])
        return {"kind": "rcpt-refused", "from": "alice@good.test", "rcpt": [[m, RF], other], "want": Q}
    keys.add("alice@good.test")
    return {"kind": "cached", "from": "alice@good.test", "rcpt": [other], "want": Q}
order = list(range(n)); rnd.shuffle(order)
plan = {"server": server, "source": source, "time_limit": 600,
        "sessions": [[txn(order[s * per + k]) for k in range(per)] for s in range(sessions)]}
json.dump(plan, open(out, "w"))
print(len(keys))
EOF
}

proc_stats() { "$PY" "$LOADTOOL" proc "$KORVANE_PID"; }

# Waits (bounded, 30 s) until the daemon holds no more descriptors and threads than
# given; prints the last reading.
settle_to() {
  local fds=$1 threads=$2 i now
  for ((i = 0; i < 60; i++)); do
    now=$(proc_stats)
    set -- $now
    if [ "$1" -le "$fds" ] && [ "$2" -le "$threads" ]; then break; fi
    sleep 0.5
  done
  echo "$now"
}

group_main() {
  "$PY" "$LOADTOOL" exchanger 192.0.2.60 "$BED/fastmx.ready" &
  bed_pids+=($!)
  bed_wait 50 test -s "$BED/fastmx.ready" || { t_bad "fast exchanger starts"; return; }

  # Room for the sessions, no error pauses, and a relay domain at the fast exchanger.
  echo "fastrelay.test smtp:[192.0.2.60]" >> "$PFCONF/transport"
  postconf -c "$PFCONF" -e "relay_domains = relay.test relay2.test relay3.test relay4.test fastrelay.test" \
    "default_process_limit = 150" "smtpd_soft_error_limit = 100000" "smtpd_hard_error_limit = 100000" \
    "smtpd_error_sleep_time = 0" "smtpd_junk_command_limit = 100000"
  /usr/sbin/postfix -c "$PFCONF" reload >/dev/null 2>&1
  sleep 2

  korvane_start <<'EOF' || { t_bad "korvane starts"; return; }
publicname mx.korvane.test
safecallback postmaster@korvane.test
mailstore 198.51.100.99
EOF

  # A short warm-up, so the baseline holds what the first use opens for good
  # (the log connection, the resolver's files).
  local warm="$BED/warm.json"
  "$PY" - "$warm" "$MTA_ADDR" "$CLIENT_ADDR" <<'EOF'
import json, sys
t = {"kind": "warm", "from": "alice@good.test", "rcpt": [["ivan@relay.test", "250"]], "want": "250"}
json.dump({"server": sys.argv[2], "source": sys.argv[3], "time_limit": 60,
           "sessions": [[t, t], [t]]}, open(sys.argv[1], "w"))
EOF
  "$PY" "$LOADTOOL" load "$warm" "$BED/warm.out"
  sleep 3
  local before; before=$(proc_stats)
  local b_fds b_threads b_rss
  read -r b_fds b_threads b_rss <<<"$before"
  bed_note "before the load: descriptors $b_fds, threads $b_threads, resident $b_rss KiB"

  local keys; keys=$(make_plan "$BED/plan.json")
  local t0=$SECONDS
  "$PY" "$LOADTOOL" load "$BED/plan.json" "$BED/load.out" || t_bad "load client ran"
  local took=$((SECONDS - t0))
  local report; report=$(cat "$BED/load.out" 2>/dev/null)
  bed_note "load: $report"
  local want=$((LOAD_SESSIONS * LOAD_PER_SESSION))
  expect_eq "load: every message went through to its final reply" "$want" \
    "$("$PY" -c 'import json,sys; print(json.load(open(sys.argv[1]))["messages"])' "$BED/load.out")"
  expect_eq "load: no session broke off" "0 0" \
    "$("$PY" -c 'import json,sys; r=json.load(open(sys.argv[1])); print(r["session_errors"], r["unfinished_sessions"])' "$BED/load.out")"
  expect_eq "load: every reply is the one its sender and recipients call for" 0 \
    "$("$PY" -c 'import json,sys; print(json.load(open(sys.argv[1]))["wrong"])' "$BED/load.out")"
  bed_note "load: $want messages over $LOAD_SESSIONS sessions in $took s"

  local after a_fds a_threads a_rss
  after=$(settle_to "$b_fds" "$b_threads")
  read -r a_fds a_threads a_rss <<<"$after"
  bed_note "after the load: descriptors $a_fds, threads $a_threads, resident $a_rss KiB; cache keys $keys"
  expect_eq "after the load: descriptors back to the count before" "$b_fds" "$a_fds"
  # Walkers come with walks and leave when idle, so there may be fewer than before.
  expect_eq "after the load: threads no more than before" yes \
    "$([ "$a_threads" -le "$b_threads" ] && echo yes || echo "no: $a_threads after $b_threads")"
  # Per cache entry a generous 1 KiB, plus 8 MiB for the allocator's arenas of
  # the threads the load started.
  local limit=$((keys + 8192)) grown=$((a_rss - b_rss))
  bed_note "resident memory grew by $grown KiB (bound $limit KiB)"
  if ldd "$KORVANE" | grep -qE 'lib(a|t)san'; then
    bed_note "a sanitizer build: its shadow memory is not the cache's, so the bound is not checked"
  elif [ "$grown" -le "$limit" ]; then t_ok "after the load: memory grew no more than the cache holds"; else
    t_bad "after the load: memory grew no more than the cache holds" "grew $grown KiB, bound $limit KiB"; fi
  kill -0 "$KORVANE_PID" 2>/dev/null && t_ok "the daemon still runs" || t_bad "the daemon still runs"
}
