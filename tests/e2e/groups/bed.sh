# The bed's own check, with no milter in Postfix's path: DNS answers, the fake
# exchangers' scripted replies and records, the syslog sink and Postfix's mail flow.

# dig is not installed: one MX query over UDP, printed as "rcode answers=N pref name..."
# so that NODATA (NOERROR, no answers) and NXDOMAIN can be told apart.
dns_mx() {
  "$PY" - "$1" "$DNS_ADDR" <<'EOF'
import random, socket, struct, sys
qname, server = sys.argv[1], sys.argv[2]
qid = random.randrange(65536)
q = struct.pack(">HHHHHH", qid, 0x0100, 1, 0, 0, 0)
q += b"".join(bytes([len(p)]) + p.encode() for p in qname.split(".")) + b"\0"
q += struct.pack(">HH", 15, 1)
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
s.settimeout(3)
s.sendto(q, (server, 53))
data = s.recv(4096)
flags, qd, an = struct.unpack(">HHH", data[2:8])
rcode = {0: "NOERROR", 2: "SERVFAIL", 3: "NXDOMAIN", 5: "REFUSED"}.get(flags & 15, str(flags & 15))
def name(p):
    out = []
    while True:
        l = data[p]
        if l == 0:
            return ".".join(out), p + 1
        if l >= 192:
            return ".".join(out + [name(((l & 63) << 8) | data[p + 1])[0]]), p + 2
        out.append(data[p + 1:p + 1 + l].decode())
        p += 1 + l
pos = 12
for _ in range(qd):
    pos = name(pos)[1] + 4
mx = []
for _ in range(an):
    pos = name(pos)[1]
    typ, _c, _t, rdl = struct.unpack(">HHIH", data[pos:pos + 10])
    if typ == 15:
        pref = struct.unpack(">H", data[pos + 10:pos + 12])[0]
        mx.append("%d %s" % (pref, name(pos + 12)[0]))
    pos += 10 + rdl
print(" ".join([rcode, "answers=%d" % an] + sorted(mx)))
EOF
}

group_main() {
  echo "-- DNS (what korvane's resolver will see)"
  expect_eq "MX of good.test, both exchangers" "NOERROR answers=2 10 mx1.good.test 20 mx2.good.test" "$(dns_mx good.test)"
  # dnsmasq answers NOERROR with an empty answer (NODATA) for a local name that
  # has only an A record, and NXDOMAIN for unknown names in its local zone.
  expect_eq "MX of a name with an A record only is NODATA" "NOERROR answers=0" "$(dns_mx nomx.test)"
  expect_eq "MX of an unknown name under .test is NXDOMAIN" "NXDOMAIN answers=0" "$(dns_mx nosuch.test)"
  expect_eq "address of an exchanger" "192.0.2.21" "$(bed_resolve up.backup.test)"
  expect_eq "a dangling exchanger name has no address" "" "$(bed_resolve gone.danglingmx.test)"
  # Outside .test dnsmasq has nowhere to forward to; the query fails at once
  # instead of leaving the namespace.
  expect_eq "a name outside the test zone does not resolve" "" "$(bed_resolve example.com)"

  echo "-- fake exchangers"
  local m; m=$(mark_mx 192.0.2.10)
  local out
  out=$(smtp_raw_to 192.0.2.10 "HELO probe.test" "MAIL FROM:<>" "RCPT TO:<alice@good.test>" \
        "RCPT TO:<nobody@good.test>" "RSET" "QUIT")
  expect_eq "scripted replies per mailbox" "$(cat <<'EOF'
<- 220 mx1.good.test ESMTP ready
-> HELO probe.test
<- 250 mx1.good.test
-> MAIL FROM:<>
<- 250 2.1.0 Ok
-> RCPT TO:<alice@good.test>
<- 250 2.1.5 Ok
-> RCPT TO:<nobody@good.test>
<- 550 5.1.1 <unknown>: Recipient address rejected
-> RSET
<- 250 2.0.0 Ok
-> QUIT
<- 221 2.0.0 Bye
EOF
)" "$out"
  expect_eq "the exchanger records the dialogue" "$(cat <<'EOF'
conn 1: HELO probe.test
conn 1: MAIL FROM:<>
conn 1: RCPT TO:<alice@good.test>
conn 1: RCPT TO:<nobody@good.test>
conn 1: RSET
conn 1: QUIT
EOF
)" "$(mx_dialogue 192.0.2.10 "$m")"
  out=$(smtp_raw_to 192.0.2.41 "HELO probe.test" "MAIL FROM:<>" "RSET")
  expect_eq "null sender refused, then the connection dropped" "$(cat <<'EOF'
<- 220 mx.nulldrop.test ESMTP ready
-> HELO probe.test
<- 250 mx.nulldrop.test
-> MAIL FROM:<>
<- 550 5.7.1 Null sender not accepted
-> RSET
closed
EOF
)" "$out"
  expect_eq "greeting 554" "<- 554 5.3.2 No service for you" "$(smtp_raw_to 192.0.2.42 | head -n 1)"
  local t0=$SECONDS
  out=$(smtp_raw_to 192.0.2.43 --timeout 2 "HELO probe.test" 2>&1 | tail -n 1)
  expect_eq "an exchanger that never answers HELO" "timeout" "$out"
  out=$(smtp_raw_to 192.0.2.44 "HELO probe.test" | sed -n 3p)
  if [ $((SECONDS - t0)) -ge 3 ]; then t_ok "a slow exchanger answers after its pause"; else
    t_bad "a slow exchanger answers after its pause" "took $((SECONDS - t0)) s"; fi
  expect_eq "the slow answer" "<- 250 mx.slow.test" "$out"
  out=$(smtp_raw_to 203.0.113.99 2>&1 | tail -n 1)
  expect_eq "nobody listens at the unreachable exchanger" "refused" "$out"

  echo "-- syslog sink"
  local lm; lm=$(mark_log)
  logger -u /dev/log -t korvane -p mail.notice "sink check one"
  logger -u /dev/log -t korvane -p local3.err "sink check two"
  bed_wait 30 sh -c "[ \$($PY $E2E_LIB/bedtool.py count $SYSLOG) -ge $((lm + 2)) ]"
  expect_eq "facility and severity recorded" "$(printf 'mail.notice sink check one\nlocal3.err sink check two')" \
    "$(korvane_log "$lm")"

  echo "-- Postfix without a milter"
  /usr/sbin/postconf -c "$PFCONF" -e 'smtpd_milters =' && /usr/sbin/postfix -c "$PFCONF" reload >/dev/null 2>&1
  sleep 1
  smtp_send someone@good.test 'rcpt@elsewhere.test' >/dev/null
  expect_eq "a message is accepted and queued" "250" "$(cut -c1-3 "$BED/last")"
  smtp_send '' 'rcpt@elsewhere.test' >/dev/null
  expect_eq "the null sender is accepted" "250" "$(cut -c1-3 "$BED/last")"
  bed_wait 100 sh -c "$PY $E2E_LIB/bedtool.py log $SYSLOG postfix/discard | grep -c 'status=sent' >/dev/null"
  expect_has "the message is discarded, not delivered anywhere" "yes" \
    "$(korvane_log_of postfix/discard | grep -c 'status=sent (elsewhere.test)' >/dev/null && echo yes)"
  local m7; m7=$(mark_mx 198.51.100.7)
  smtp_send someone@good.test 'ivan@relay.test' >/dev/null
  bed_wait 100 sh -c "$PY $E2E_LIB/bedtool.py dialogue $BED/mx/198.51.100.7.jsonl $m7 | grep -c 'message body' >/dev/null"
  expect_has "a relay domain goes to its transport's next hop" "conn 1: RCPT TO:<ivan@relay.test>" \
    "$(mx_dialogue 198.51.100.7 "$m7")"
  /usr/sbin/postconf -c "$PFCONF" -e "smtpd_milters = unix:$BED/run/korvane.sock" \
    && /usr/sbin/postfix -c "$PFCONF" reload >/dev/null 2>&1
  sleep 1
  smtp_send someone@good.test 'rcpt@elsewhere.test' >/dev/null
  expect_eq "no milter running: Postfix defers at MAIL FROM" "451 4.7.1 Service unavailable - try again later" \
    "$(cat "$BED/last")"

  # {if_addr} is in milter_connect_macros, yet Postfix never defines it; its own
  # interface address is {daemon_addr}.
  echo "-- what Postfix hands a milter (a recording milter in korvane's place)"
  local rec="$BED/recmilter.jsonl"
  "$PY" "$E2E_LIB/recmilter.py" "$BED/run/korvane.sock" "$rec" "$BED/recmilter.ready" &
  local recorder=$!
  bed_pids+=($!)
  bed_wait 50 test -s "$BED/recmilter.ready" || { t_bad "recording milter starts"; return; }
  smtp_raw "EHLO client.example.test" "MAIL FROM:alice@good.test" "RCPT TO:<Ivan@Relay.test>" \
    "RCPT TO:<judy@relay2.test>" "RCPT TO:<Judy@RELAY2.test>" "RCPT TO:<kim@relay3.test>" "RCPT TO:<x@relay4.test>" \
    "RCPT TO:<Mixed@Elsewhere.test>" "RCPT TO:<ab>" "DATA" "Subject: x" "" "body" "." \
    "MAIL FROM:<<alice@good.test>>" "RSET" "MAIL FROM:< alice@good.test> BODY=8BITMIME" "RSET" \
    "MAIL FROM:<ab>" "RSET" "MAIL FROM:<>" "QUIT" >/dev/null
  expect_eq "envelope arguments and relay macros as the milter gets them" "$(cat <<'EOF'
connect [203.0.113.50] | {if_addr}=absent {client_addr}='203.0.113.50' {client_name}='unknown' {daemon_addr}='198.51.100.25'
mail alice@good.test | {auth_authen}=absent {verify}=absent {if_addr}=absent
rcpt <Ivan@Relay.test> | {rcpt_mailer}='smtp' {rcpt_host}='[198.51.100.7]' {rcpt_addr}='ivan@relay.test' i=absent
rcpt <judy@relay2.test> | {rcpt_mailer}='smtp' {rcpt_host}='relay2.test' {rcpt_addr}='judy@relay2.test' i=QUEUEID
rcpt <Judy@RELAY2.test> | {rcpt_mailer}='smtp' {rcpt_host}='RELAY2.test' {rcpt_addr}='judy@relay2.test' i=QUEUEID
rcpt <kim@relay3.test> | {rcpt_mailer}='smtp' {rcpt_host}='[198.51.100.7]:25' {rcpt_addr}='kim@relay3.test' i=QUEUEID
rcpt <x@relay4.test> | {rcpt_mailer}='relay' {rcpt_host}='[198.51.100.7]' {rcpt_addr}='x@relay4.test' i=QUEUEID
rcpt <Mixed@Elsewhere.test> | {rcpt_mailer}='discard' {rcpt_host}='Elsewhere.test' {rcpt_addr}='mixed@elsewhere.test' i=QUEUEID
rcpt <ab> | {rcpt_mailer}='discard' {rcpt_host}='korvane.test' {rcpt_addr}='ab@korvane.test' i=QUEUEID
eoh  | i=QUEUEID
mail <<alice@good.test>> | {auth_authen}=absent {verify}=absent {if_addr}=absent
mail < alice@good.test> BODY=8BITMIME | {auth_authen}=absent {verify}=absent {if_addr}=absent
mail <ab> | {auth_authen}=absent {verify}=absent {if_addr}=absent
mail <> | {auth_authen}=absent {verify}=absent {if_addr}=absent
EOF
)" "$("$PY" "$E2E_LIB/bedtool.py" milter "$rec" | sed -E "s/i='[0-9A-F]{6,}'/i=QUEUEID/")"

  # The same recorder as a relay in front of korvane: the steps korvane negotiates and
  # every packet of a fresh pass (accepted at end of headers) and a cached one.
  echo "-- what Postfix and korvane exchange (the recorder relaying)"
  bed_stop_pid "$recorder"
  korvane_start <<'EOF2' || { t_bad "korvane starts"; return; }
publicname mx.korvane.test
safecallback postmaster@korvane.test
EOF2
  local ex="$BED/exchange.jsonl"
  "$PY" "$E2E_LIB/recmilter.py" --relay "$BED/run/korvane.sock" "$BED/run/relay.sock" "$ex" "$BED/relay.ready" &
  bed_pids+=($!)
  bed_wait 50 test -s "$BED/relay.ready" || { t_bad "relaying recorder starts"; return; }
  /usr/sbin/postconf -c "$PFCONF" -e "smtpd_milters = unix:$BED/run/relay.sock" \
    && /usr/sbin/postfix -c "$PFCONF" reload >/dev/null 2>&1
  sleep 1
  smtp_send alice@good.test 'rcpt@elsewhere.test' >/dev/null
  smtp_send alice@good.test 'rcpt@elsewhere.test' >/dev/null
  expect_eq "a cached sender passes too" "250" "$(cut -c1-3 "$BED/last")"
  bed_wait 50 sh -c "[ \$($PY $E2E_LIB/bedtool.py exchange $ex | grep -c ' Q ') -ge 2 ]"
  expect_eq "no HELO, header, body or DATA step; connect unanswered" "$(cat <<'EOF'
O=o C M=c R=c N=a A A Q | steps 0x1332 actions 0x100, 4 answered
O=o C M=c R=c N=c E=c A A Q | steps 0x1332 actions 0x100, 5 answered
EOF
)" "$("$PY" "$E2E_LIB/bedtool.py" exchange "$ex")"
  # Postfix still sends the (empty) macro packets of the HELO and DATA steps it skips.
  expect_eq "only the macros korvane reads (actions 0x100: macro lists)" "$(cat <<'EOF'
C: (none)
E: i
H: (none)
M: (none)
N: i
R: {rcpt_mailer} {rcpt_host} {rcpt_addr}
T: i
EOF
)" \
    "$("$PY" "$E2E_LIB/bedtool.py" macros "$ex" | sed 's/^conn [0-9]* //' | sort -u)"
}

korvane_log_of() { "$PY" "$E2E_LIB/bedtool.py" log "$SYSLOG" "$1" "${2:-0}"; }

# Talks to one fake exchanger directly: smtp_raw_to ADDR [--timeout S] LINES...
# Prints the dialogue, then "timeout", "closed" or "refused" when that is how it ended.
smtp_raw_to() {
  local addr=$1; shift
  local timeout=10
  if [ "${1:-}" = --timeout ]; then timeout=$2; shift 2; fi
  "$PY" - "$addr" "$timeout" "$@" <<'EOF'
import socket, sys
addr, timeout, lines = sys.argv[1], float(sys.argv[2]), sys.argv[3:]
try:
    s = socket.create_connection((addr, 25), timeout=timeout)
except ConnectionRefusedError:
    print("refused"); sys.exit()
f = s.makefile("rb")
def reply():
    while True:
        ln = f.readline().decode("latin-1").rstrip("\r\n")
        if not ln:
            raise ConnectionResetError
        print("<- " + ln)
        if len(ln) < 4 or ln[3] != "-":
            return
try:
    reply()
    for cmd in lines:
        s.sendall(cmd.encode() + b"\r\n")
        print("-> " + cmd)
        reply()
except socket.timeout:
    print("timeout")
except ConnectionResetError:
    print("closed")
EOF
}
