# Hostile DNS end to end: a server of our own answers the daemon's MX queries with
# loops, bad pointers, false counts, cut records and replies of 8192 bytes and more.
# A reply that yields an exchanger probes mxa (which accepts: 250); one that yields
# none falls back to the domain itself (whose exchanger refuses: 550); a failed query
# defers (451). The daemon must live through all of them.

HOSTILE_DNS=127.0.0.54
# case  want. glibc follows a pointer forward as well as back; a datagram longer
# than the buffer still yields its first record; after TC it asks again over TCP (the
# UDP reply had no answer, so a 250 there shows the TCP reply was read).
DNS_CASES='loop 550 5.1.8
pastend 550 5.1.8
forward 250 2.0.0 Ok: queued
counts 250 2.0.0 Ok: queued
truncated 550 5.1.8
exact8192 250 2.0.0 Ok: queued
over8192 250 2.0.0 Ok: queued
tc 250 2.0.0 Ok: queued
servfail 451 4.1.8
nodata 550 5.1.8'

group_main() {
  ip addr add "$HOSTILE_DNS/32" dev lo 2>/dev/null
  "$PY" "$E2E_LIB/hostiledns.py" "$HOSTILE_DNS" "$BED/hostiledns.ready" &
  bed_pids+=($!)
  bed_wait 50 test -s "$BED/hostiledns.ready" || { t_bad "hostile DNS starts"; return; }
  printf 'nameserver %s\noptions timeout:1 attempts:2\n' "$HOSTILE_DNS" > "$BED/resolv-hostile.conf"
  mount --bind "$BED/resolv-hostile.conf" /etc/resolv.conf

  korvane_start <<'EOF' || { t_bad "korvane starts"; return; }
publicname mx.korvane.test
safecallback postmaster@korvane.test
EOF
  "$PY" - "$BED/plan.json" "$MTA_ADDR" "$CLIENT_ADDR" "$DNS_CASES" <<'EOF'
import json, sys
out, server, source, cases = sys.argv[1:5]
sessions = [[{"kind": c.split()[0], "from": "someone@%s.hostile.test" % c.split()[0],
              "rcpt": [["rcpt@elsewhere.test", "250"]], "want": c.split(None, 1)[1]}]
            for c in cases.splitlines()]
json.dump({"server": server, "source": source, "time_limit": 120, "record": True,
           "sessions": sessions}, open(out, "w"))
EOF
  local t0=$SECONDS case want
  "$PY" "$E2E_LIB/loadtool.py" load "$BED/plan.json" "$BED/dns.out" || t_bad "client ran"
  bed_note "all hostile DNS sessions done in $((SECONDS - t0)) s"
  while read -r case want; do
    expect_eq "$case: reply" "$want" "$("$PY" -c 'import json,sys
r = json.load(open(sys.argv[1]))
print(" ".join(x["got"][:len(sys.argv[3])] for x in r["all"] if x["kind"] == sys.argv[2]))' \
      "$BED/dns.out" "$case" "$want")"
  done <<<"$DNS_CASES"
  # The stacked mount would keep the bed's own file busy at teardown.
  umount /etc/resolv.conf
  kill -0 "$KORVANE_PID" 2>/dev/null && t_ok "the daemon still runs" || t_bad "the daemon still runs"
}
