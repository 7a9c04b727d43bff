# Sender verification by callout, end to end: whole messages through Postfix, the
# exchangers' view of each callout, korvane's log lines and the client's replies.

QUEUED="250 2.0.0 Ok: queued as"
FAILED="550 5.1.8 Sender address verification failed, check your MX"
TEMPFAILED="451 4.1.8 Temporary failure in sender address verification"
CLIENT="[$CLIENT_ADDR]"
# A connection to an exchanger at 0.0.0.0 would reach this host. A domain whose
# exchanger (the second of good.test) accepts every mailbox.
GROUP_DNS='mx-host=zero.test,mx0.zero.test,10
host-record=mx0.zero.test,0.0.0.0
mx-host=catchall.test,mx2.good.test,10
mx-host=bcatch.test,down.backup.test,5
mx-host=bcatch.test,mx2.good.test,50
mx-host=blocked.test,mx.blocked.test,10
host-record=mx.blocked.test,192.0.2.45
mx-host=policy.test,mx.policy.test,10
host-record=mx.policy.test,192.0.2.46
mx-host=bare550.test,mx.bare550.test,10
host-record=mx.bare550.test,192.0.2.47
mx-host=crawl.test,mx.crawl.test,10
host-record=mx.crawl.test,192.0.2.48
mx-host=lists.test,mx2.good.test,10
host-record=11.2.0.192.bl.test,127.0.0.2
txt-record=11.2.0.192.bl.test,"callouts seen"
mx-host=blocked2.test,mx.blocked.test,10
mx-host=blocked3.test,mx.blocked.test,10
mx-host=blocked4.test,mx.blocked.test,10
mx-host=realworld.test,mx.realworld.test,10
host-record=mx.realworld.test,192.0.2.49'
# Exchangers that refuse the probe rather than the mailbox: at RCPT for policy,
# at the greeting, at MAIL for both senders. "domain address deciding-reply".
REFUSED_PROBES='blocked.test 192.0.2.45 550 5.7.1 Service unavailable, client blocked using zen.example.test
greet554.test 192.0.2.42 554 5.3.2 No service for you
policy.test 192.0.2.46 550 5.7.1 Sender rejected by policy'

# The client has no PTR name, so Postfix names it "[addr]" and korvane logs an
# empty name: hence the two blanks before the address in the lines below.
# Elapsed times and queue ids vary; they are written as [ELAPSED] and QUEUEID.
log_since() {
  korvane_log "$1" | sed -E 's/\[[0-9]{2}:[0-9]{2}:[0-9]{2}\]/[ELAPSED]/; s/id=[0-9A-Z]{6,}(,|$)/id=QUEUEID\1/'
}

# send_and_check LABEL SENDER WANT_REPLY RECIPIENT...: sends one message and
# compares the reply that decided it (for a 250, its part before the queue id).
send_and_check() {
  local label=$1 sender=$2 want=$3; shift 3
  smtp_send "$sender" "$@" >/dev/null
  local got; got=$(cat "$BED/last")
  [ "${want#250}" != "$want" ] && got=$(printf '%s' "$got" | cut -d' ' -f1-5)
  expect_eq "$label: reply" "$want" "$got"
}

# burst SENDER WANT: twenty sessions at once, each one message from SENDER;
# prints how many ended with a reply starting with WANT, and how many sessions broke.
burst() {
  "$PY" - "$BED/burst.json" "$1" "$2" "$MTA_ADDR" "$CLIENT_ADDR" <<'EOF'
import json, sys
out, sender, want, server, source = sys.argv[1:]
txn = {"kind": "burst", "from": sender, "rcpt": [["rcpt@elsewhere.test", "250"]], "want": want}
json.dump({"server": server, "source": source, "time_limit": 60, "sessions": [[txn]] * 20}, open(out, "w"))
EOF
  "$PY" "$E2E_LIB/loadtool.py" load "$BED/burst.json" "$BED/burst.out"
  "$PY" -c 'import json,sys; r=json.load(open(sys.argv[1])); print(r["messages"] - r["wrong"], r["session_errors"] + r["unfinished_sessions"])' "$BED/burst.out"
}

# The catch-all test's mailbox, whose random local part differs every time.
unrandom() { sed -E 's/<[a-z2-7]{24}@/<RANDOM@/'; }

# Not in a pipeline: korvane_start must set KORVANE_PID in this shell, or the
# next korvane_stop would leave the old daemon serving.
start_korvane_with() {
  korvane_stop
  korvane_start < <(printf 'publicname mx.korvane.test\nsafecallback postmaster@korvane.test\n'; cat) \
    || { t_bad "korvane starts"; return 1; }
}

group_main() {
  start_korvane_with </dev/null || return
  local lm mm dm

  lm=$(mark_log); mm=$(mark_mx 192.0.2.10)
  send_and_check "valid sender" alice@good.test "$QUEUED" rcpt@elsewhere.test
  expect_eq "valid sender: the callout at the first exchanger" "$(cat <<'EOF'
conn 1: HELO mx.korvane.test
conn 1: MAIL FROM:<>
conn 1: RCPT TO:<alice@good.test>
conn 1: RSET
conn 1: QUIT
EOF
)" "$(mx_dialogue 192.0.2.10 "$mm" | sed -E 's/^conn [0-9]+:/conn 1:/')"
  expect_eq "valid sender: the second exchanger is not asked" 0 "$(mx_connections 192.0.2.11)"
  expect_eq "valid sender: log" "$(cat <<EOF
mail.info MX check at mx1.good.test. [192.0.2.10]
mail.info sender check succeeded: from=<alice@good.test>, to=<rcpt@elsewhere.test>,  $CLIENT, [ELAPSED], id=QUEUEID
EOF
)" "$(log_since "$lm")"

  lm=$(mark_log); mm=$(mark_mx 192.0.2.10)
  send_and_check "same sender again" alice@good.test "$QUEUED" rcpt@elsewhere.test
  expect_eq "same sender again: no new connection" 0 "$(mx_connections 192.0.2.10 "$mm")"
  expect_eq "same sender again: answered from the cache" \
    "mail.info sender check succeeded (cached): from=<alice@good.test>, to=<rcpt@elsewhere.test>,  $CLIENT, id=QUEUEID" \
    "$(log_since "$lm")"

  lm=$(mark_log); mm=$(mark_mx 192.0.2.10)
  send_and_check "sender in capitals" Alice@Good.Test "$QUEUED" rcpt@elsewhere.test
  expect_eq "sender in capitals: shares the lower-case cache entry, logged as written" \
    "mail.info sender check succeeded (cached): from=<Alice@Good.Test>, to=<rcpt@elsewhere.test>,  $CLIENT, id=QUEUEID" \
    "$(log_since "$lm")"
  expect_eq "sender in capitals: no new connection" 0 "$(mx_connections 192.0.2.10 "$mm")"

  lm=$(mark_log); mm=$(mark_mx 192.0.2.10)
  send_and_check "unknown mailbox" nobody@good.test "$FAILED" rcpt@elsewhere.test
  expect_eq "unknown mailbox: null sender, then the safe sender, then final" "$(cat <<'EOF'
conn 1: HELO mx.korvane.test
conn 1: MAIL FROM:<>
conn 1: RCPT TO:<nobody@good.test>
conn 1: RSET
conn 1: MAIL FROM:<postmaster@korvane.test>
conn 1: RCPT TO:<nobody@good.test>
conn 1: RSET
conn 1: QUIT
EOF
)" "$(mx_dialogue 192.0.2.10 "$mm" | sed -E 's/^conn [0-9]+:/conn 1:/')"
  expect_eq "unknown mailbox: log" "$(cat <<EOF
mail.info MX check at mx1.good.test. [192.0.2.10]
mail.notice sender check failed: from=<nobody@good.test>, to=<rcpt@elsewhere.test>,  $CLIENT, [ELAPSED], id=QUEUEID
EOF
)" "$(log_since "$lm")"
  lm=$(mark_log)
  send_and_check "unknown mailbox again" nobody@good.test "$FAILED" rcpt@elsewhere.test
  expect_eq "unknown mailbox again: cached failure" \
    "mail.info sender check failed (cached): from=<nobody@good.test>, to=<rcpt@elsewhere.test>,  $CLIENT, id=QUEUEID" \
    "$(log_since "$lm")"

  lm=$(mark_log)
  send_and_check "unreachable domain" someone@unreach.test "$TEMPFAILED" rcpt@elsewhere.test
  expect_eq "unreachable domain: log" "$(cat <<EOF
mail.info MX check at mx.unreach.test. [203.0.113.99]
mail.notice sender check tempfailed: from=<someone@unreach.test>, to=<rcpt@elsewhere.test>,  $CLIENT, [ELAPSED], id=QUEUEID
EOF
)" "$(log_since "$lm")"

  lm=$(mark_log)
  send_and_check "domain that does not exist" someone@nosuch.test "$TEMPFAILED" rcpt@elsewhere.test
  expect_eq "domain that does not exist: no exchanger is tried" \
    "mail.notice sender check tempfailed: from=<someone@nosuch.test>, to=<rcpt@elsewhere.test>,  $CLIENT, [ELAPSED], id=QUEUEID" \
    "$(log_since "$lm")"

  lm=$(mark_log)
  send_and_check "exchanger with only an IPv6 address, ipv6 off" olga@v6only.test "$TEMPFAILED" rcpt@elsewhere.test
  expect_eq "ipv6 off: the exchanger does not resolve, nothing is tried" \
    "mail.notice sender check tempfailed: from=<olga@v6only.test>, to=<rcpt@elsewhere.test>,  $CLIENT, [ELAPSED], id=QUEUEID" \
    "$(log_since "$lm")"

  lm=$(mark_log)
  send_and_check "domain without MX" erin@nomx.test "$QUEUED" rcpt@elsewhere.test
  expect_has "domain without MX: the domain itself is the exchanger" \
    "mail.info MX check at nomx.test [192.0.2.30]" "$(log_since "$lm")"

  lm=$(mark_log)
  send_and_check "first exchanger down" dave@backup.test "$QUEUED" rcpt@elsewhere.test
  expect_eq "first exchanger down: the next one by preference answers" "$(cat <<EOF
mail.info MX check at down.backup.test. [203.0.113.99]
mail.info MX check at up.backup.test. [192.0.2.21]
mail.info sender check succeeded: from=<dave@backup.test>, to=<rcpt@elsewhere.test>,  $CLIENT, [ELAPSED], id=QUEUEID
EOF
)" "$(log_since "$lm")"

  mm=$(mark_mx 192.0.2.40)
  send_and_check "null sender refused: safe sender" frank@nullno.test "$QUEUED" rcpt@elsewhere.test
  expect_eq "null sender refused: the dialogue" "$(cat <<'EOF'
conn 1: HELO mx.korvane.test
conn 1: MAIL FROM:<>
conn 1: RSET
conn 1: MAIL FROM:<postmaster@korvane.test>
conn 1: RCPT TO:<frank@nullno.test>
conn 1: RSET
conn 1: QUIT
EOF
)" "$(mx_dialogue 192.0.2.40 "$mm")"

  mm=$(mark_mx 192.0.2.41)
  send_and_check "null sender refused, connection dropped" gina@nulldrop.test "$QUEUED" rcpt@elsewhere.test
  # The RSET on the dropped connection may or may not reach the recorder.
  expect_eq "connection dropped: reconnects without the null sender" "$(cat <<'EOF'
conn 1: HELO mx.korvane.test
conn 1: MAIL FROM:<>
conn 2: HELO mx.korvane.test
conn 2: MAIL FROM:<postmaster@korvane.test>
conn 2: RCPT TO:<gina@nulldrop.test>
conn 2: RSET
conn 2: QUIT
EOF
)" "$(mx_dialogue 192.0.2.41 "$mm" | grep -vx 'conn 1: RSET')"

  mm=$(mark_mx 192.0.2.42)
  send_and_check "greeting 554" henry@greet554.test "$FAILED" rcpt@elsewhere.test
  expect_eq "greeting 554: RSET and QUIT only" "$(printf 'conn 1: RSET\nconn 1: QUIT')" "$(mx_dialogue 192.0.2.42 "$mm")"
  local domain addr said
  while read -r domain addr said; do
    send_and_check "refusals any: $said" "ivy@$domain" "$FAILED" rcpt@elsewhere.test
  done <<<"$REFUSED_PROBES"

  lm=$(mark_log)
  send_and_check "slow exchanger" hank@slow.test "$QUEUED" rcpt@elsewhere.test
  expect_has "slow exchanger: the elapsed time shows the wait" "yes" \
    "$(korvane_log "$lm" | grep -cE 'succeeded: from=<hank@slow.test>.*\[00:00:0[2-4]\]' >/dev/null && echo yes)"

  lm=$(mark_log)
  send_and_check "several recipients" carol@good.test "$QUEUED" r1@elsewhere.test r2@elsewhere.test r3@elsewhere.test
  expect_has "several recipients: the last is logged as to=" \
    "mail.info sender check succeeded: from=<carol@good.test>, to=<r3@elsewhere.test>,  $CLIENT, [ELAPSED], id=QUEUEID" \
    "$(log_since "$lm")"

  lm=$(mark_log); mm=$(mark_mx 192.0.2.10)
  send_and_check "null sender" '' "$QUEUED" rcpt@elsewhere.test
  expect_eq "null sender: no check, no log line" "" "$(log_since "$lm")"
  expect_eq "null sender: no callout" 0 "$(mx_connections 192.0.2.10 "$mm")"

  # Postfix hands "<<alice@good.test>>" over untouched: the mailbox korvane takes
  # is "<alice@good.test>", whose domain "good.test>" does not resolve.
  lm=$(mark_log)
  local out
  out=$(smtp_raw "EHLO client.example.test" "MAIL FROM:<<alice@good.test>>" "RCPT TO:<rcpt@elsewhere.test>" \
        "DATA" "Subject: x" "" "body" "." "QUIT")
  expect_has "doubled brackets: deferred after the data" "<- $TEMPFAILED" "$out"
  expect_eq "doubled brackets: the argument as the client wrote it" \
    "mail.notice sender check tempfailed: from=<<alice@good.test>>, to=<rcpt@elsewhere.test>,  $CLIENT, [ELAPSED], id=QUEUEID" \
    "$(log_since "$lm")"

  mm=$(mark_mx 127.0.0.1)
  send_and_check "exchanger at 0.0.0.0" someone@zero.test "$TEMPFAILED" rcpt@elsewhere.test
  expect_eq "exchanger at 0.0.0.0: this host's listener is not reached" 0 "$(mx_connections 127.0.0.1 "$mm")"

  # The end of headers names the last recipient taken, not a refused one.
  lm=$(mark_log)
  milter_cases envelope.lua >/dev/null
  expect_eq "refused recipient with a line break: not logged" \
    "mail.info sender check succeeded (cached): from=<alice@good.test>, to=<alice@good.test>, client.example.test [192.0.2.7], id=QUEUEID" "$(log_since "$lm")"

  # blockignorants: a refused null sender is final, no safe sender is tried.
  start_korvane_with <<'EOF' || return
blockignorants on
EOF
  mm=$(mark_mx 192.0.2.40)
  send_and_check "blockignorants" frank@nullno.test "$FAILED" rcpt@elsewhere.test
  expect_eq "blockignorants: the dialogue" "$(cat <<'EOF'
conn 1: HELO mx.korvane.test
conn 1: MAIL FROM:<>
conn 1: RSET
conn 1: QUIT
EOF
)" "$(mx_dialogue 192.0.2.40 "$mm" | sed -E 's/^conn [0-9]+:/conn 1:/')"

  # ignoretempfail: a fresh temporary failure lets the message through silently.
  start_korvane_with <<'EOF' || return
ignoretempfail on
EOF
  lm=$(mark_log)
  send_and_check "ignoretempfail" someone@nosuch.test "$QUEUED" rcpt@elsewhere.test
  expect_eq "ignoretempfail: no log line" "" "$(log_since "$lm")"

  # One walk per address at a time: twenty sessions carrying one new sender,
  # against an exchanger that takes two seconds to greet, so that they overlap.
  start_korvane_with <<<'metrics 127.0.0.1:9457' || return
  lm=$(mark_log); mm=$(mark_mx 192.0.2.44)
  expect_eq "burst of one passing sender: every message queued" "20 0" "$(burst hank@slow.test "250 2.0.0 Ok")"
  expect_eq "burst of one passing sender: one callout" 1 "$(mx_connections 192.0.2.44 "$mm")"
  expect_eq "burst of one passing sender: one fresh line, the rest as cached" "1 19" \
    "$(korvane_log "$lm" | grep -c 'sender check succeeded: from=<hank@slow.test>') $(korvane_log "$lm" | grep -c 'sender check succeeded (cached): from=<hank@slow.test>')"
  expect_eq "burst of one passing sender: waiters counted as joined" 1 \
    "$(scrape korvane_checks_total | grep -c '^korvane_checks_total{kind=sender,outcome=pass,source=joined} ')"
  mm=$(mark_mx 192.0.2.44)
  expect_eq "burst of one refused sender: every message refused" "20 0" "$(burst nobody@slow.test "550 5.1.8")"
  expect_eq "burst of one refused sender: one callout of two dialogue rounds" "1 2" \
    "$(mx_connections 192.0.2.44 "$mm") $(mx_dialogue 192.0.2.44 "$mm" | grep -c 'RCPT TO:<nobody@slow.test>')"

  # catchall on: a random mailbox first; an exchanger that takes it makes its domain known as catch-all.
  start_korvane_with <<'EOF' || return
catchall on
EOF
  mm=$(mark_mx 192.0.2.11)
  send_and_check "catch-all domain" xavier@catchall.test "$QUEUED" rcpt@elsewhere.test
  expect_eq "catch-all domain: one dialogue, the random mailbox only" "$(cat <<'EOF'
conn 1: HELO mx.korvane.test
conn 1: MAIL FROM:<>
conn 1: RCPT TO:<RANDOM@catchall.test>
conn 1: RSET
conn 1: QUIT
EOF
)" "$(mx_dialogue 192.0.2.11 "$mm" | sed -E 's/^conn [0-9]+:/conn 1:/' | unrandom)"
  lm=$(mark_log); mm=$(mark_mx 192.0.2.11)
  send_and_check "catch-all domain, another sender" yvonne@catchall.test "$QUEUED" rcpt@elsewhere.test
  expect_eq "catch-all domain, another sender: no connection" 0 "$(mx_connections 192.0.2.11 "$mm")"
  expect_eq "catch-all domain, another sender: log" \
    "mail.info sender check succeeded (catch-all): from=<yvonne@catchall.test>, to=<rcpt@elsewhere.test>,  $CLIENT, id=QUEUEID" \
    "$(log_since "$lm")"
  send_and_check "catch-all backup exchanger" una@bcatch.test "$QUEUED" rcpt@elsewhere.test
  lm=$(mark_log); mm=$(mark_mx 192.0.2.11)
  send_and_check "catch-all backup exchanger, another sender" vic@bcatch.test "$QUEUED" rcpt@elsewhere.test
  expect_eq "catch-all backup exchanger: asked again, not remembered as catch-all" "1 0" \
    "$(mx_connections 192.0.2.11 "$mm") $(log_since "$lm" | grep -c '(catch-all)')"
  mm=$(mark_mx 192.0.2.10)
  send_and_check "catchall on, normal exchanger" bob@good.test "$QUEUED" rcpt@elsewhere.test
  expect_eq "catchall on, normal exchanger: random refused, the real one asked in the same session" "$(cat <<'EOF'
conn 1: HELO mx.korvane.test
conn 1: MAIL FROM:<>
conn 1: RCPT TO:<RANDOM@good.test>
conn 1: RCPT TO:<bob@good.test>
conn 1: RSET
conn 1: QUIT
EOF
)" "$(mx_dialogue 192.0.2.10 "$mm" | sed -E 's/^conn [0-9]+:/conn 1:/' | unrandom)"

  # deadmxttl: both exchangers refuse the connection; the next sender of the
  # domain finds them remembered and makes no connection at all.
  start_korvane_with <<'EOF' || return
deadmxttl 10m
EOF
  send_and_check "two exchangers down" ann@dead2.test "$TEMPFAILED" rcpt@elsewhere.test
  lm=$(mark_log)
  send_and_check "two exchangers down, again" ben@dead2.test "$TEMPFAILED" rcpt@elsewhere.test
  expect_eq "two exchangers down, again: both skipped, in no time" "$(cat <<EOF
mail.info MX check at mx1.dead2.test. [203.0.113.98] skipped (unreachable)
mail.info MX check at mx2.dead2.test. [203.0.113.99] skipped (unreachable)
mail.notice sender check tempfailed: from=<ben@dead2.test>, to=<rcpt@elsewhere.test>,  $CLIENT, [00:00:00], id=QUEUEID
EOF
)" "$(korvane_log "$lm" | sed -E 's/id=[0-9A-Z]{6,}$/id=QUEUEID/')"

  # calloutrate: three dialogues with the one exchanger, then deferrals.
  start_korvane_with <<'EOF' || return
calloutrate 3/1m
metrics 127.0.0.1:9457
EOF
  lm=$(mark_log); mm=$(mark_mx 192.0.2.11)
  local n replies=""
  for n in 1 2 3 4 5; do
    smtp_send "rate$n@rate.test" rcpt@elsewhere.test >/dev/null
    replies+="$(cut -d' ' -f1-2 "$BED/last")"$'\n'
  done
  expect_eq "calloutrate 3/1m: three pass, two are deferred" \
    "$(printf '250 2.0.0\n250 2.0.0\n250 2.0.0\n451 4.1.8\n451 4.1.8')" "${replies%$'\n'}"
  expect_eq "calloutrate 3/1m: three dialogues" 3 "$(mx_connections 192.0.2.11 "$mm")"
  expect_eq "calloutrate 3/1m: the skips are logged" 2 \
    "$(log_since "$lm" | grep -cxF 'mail.info MX check at mx2.good.test. [192.0.2.11] skipped (rate limit)')"
  expect_eq "calloutrate 3/1m: the skips are counted" "korvane_exchangers_skipped_total{reason=rate_limit} 2" \
    "$(scrape korvane_exchangers_skipped_total)"

  # ipv6 on: the exchanger's IPv6 address is asked; nullmx reject: a domain
  # that takes no mail refuses its senders without any callout.
  start_korvane_with <<'EOF' || return
ipv6 on
nullmx reject
EOF
  lm=$(mark_log); mm=$(mark_mx 2001:db8::25)
  send_and_check "exchanger with only an IPv6 address, ipv6 on" olga@v6only.test "$QUEUED" rcpt@elsewhere.test
  expect_has "ipv6 on: verified over IPv6" "mail.info MX check at mx.v6only.test. [2001:db8::25]" \
    "$(log_since "$lm")"
  expect_has "ipv6 on: the exchanger saw the callout" "conn 1: RCPT TO:<olga@v6only.test>" \
    "$(mx_dialogue 2001:db8::25 "$mm" | sed -E 's/^conn [0-9]+:/conn 1:/')"
  lm=$(mark_log)
  send_and_check "IPv4 address down, IPv6 up" olga@dual.test "$QUEUED" rcpt@elsewhere.test
  expect_eq "ipv6 on: the IPv6 address after the IPv4 one" \
    "$(printf 'mail.info MX check at mx.dual.test. [%s]\n' 203.0.113.97 2001:db8::25)" \
    "$(log_since "$lm" | grep 'MX check')"
  lm=$(mark_log)
  send_and_check "null MX with nullmx reject" someone@nullmx.test "550 5.7.27 Sender address has null MX" \
    rcpt@elsewhere.test
  expect_eq "null MX: logged as a failed check, no callout" \
    "mail.notice sender check failed: from=<someone@nullmx.test>, to=<rcpt@elsewhere.test>,  $CLIENT, [ELAPSED], id=QUEUEID" \
    "$(log_since "$lm")"
  refusals_case
  politeness_case
  walkers_case
  metrics_case
  control_case
  local_ipv6_case
}

# The most connections open at once at one exchanger since a mark.
mx_peak() {
  "$PY" - "$BED/mx/$1.jsonl" "$2" <<'EOF'
import json, sys
open_now = peak = 0
for line in open(sys.argv[1]).readlines()[int(sys.argv[2]):]:
    e = json.loads(line)["event"]
    open_now += {"connect": 1, "closed": -1}.get(e, 0)
    peak = max(peak, open_now)
print(peak)
EOF
}

# Walks off the MTA's clock: maxwait answers a slow walk "in progress" and its
# outcome answers the retry; callouts bounds the walks at once; passrefresh
# verifies an old pass again behind a cached answer.
walkers_case() {
  start_korvane_with <<<'maxwait 3' || return
  local lm mm t0
  lm=$(mark_log); mm=$(mark_mx 192.0.2.48); t0=$(date +%s)
  send_and_check "maxwait: a slow exchanger" amy@crawl.test "$TEMPFAILED" rcpt@elsewhere.test
  local took=$(( $(date +%s) - t0 ))
  expect_eq "maxwait: answered at about 3 s (long before the greeting at 8 s), in progress" \
    "yes mail.notice sender check tempfailed (in progress): from=<amy@crawl.test>, to=<rcpt@elsewhere.test>,  $CLIENT, [ELAPSED], id=QUEUEID" \
    "$([ "$took" -ge 3 ] && [ "$took" -le 5 ] && echo yes || echo "no: $took s") $(log_since "$lm" | grep 'sender check')"
  sleep $(( t0 + 10 - $(date +%s) ))
  lm=$(mark_log)
  send_and_check "maxwait: the retry" amy@crawl.test "$QUEUED" rcpt@elsewhere.test
  expect_eq "maxwait: the retry answered from the walk's outcome, one dialogue in all" \
    "1 mail.info sender check succeeded (cached): from=<amy@crawl.test>, to=<rcpt@elsewhere.test>,  $CLIENT, id=QUEUEID" \
    "$(mx_connections 192.0.2.48 "$mm") $(log_since "$lm")"

  start_korvane_with <<<'callouts 2' || return
  mm=$(mark_mx 192.0.2.44)
  "$PY" - "$BED/six.json" "$MTA_ADDR" "$CLIENT_ADDR" <<'EOF'
import json, sys
out, server, source = sys.argv[1:]
txn = lambda n: {"kind": "six", "from": "six%d@slow.test" % n, "rcpt": [["rcpt@elsewhere.test", "250"]],
                 "want": "550 5.1.8"}
json.dump({"server": server, "source": source, "time_limit": 60,
           "sessions": [[txn(n)] for n in range(6)]}, open(out, "w"))
EOF
  "$PY" "$E2E_LIB/loadtool.py" load "$BED/six.json" "$BED/six.out" >/dev/null
  expect_eq "callouts 2: six new senders at once, six walks, never more than 2 at the exchanger" "6 2" \
    "$(mx_connections 192.0.2.44 "$mm") $(mx_peak 192.0.2.44 "$mm")"

  start_korvane_with <<'EOF' || return
passrefresh 2
frompassttl 1h
EOF
  send_and_check "passrefresh: a new sender" carol@good.test "$QUEUED" rcpt@elsewhere.test
  sleep 3
  lm=$(mark_log); mm=$(mark_mx 192.0.2.10)
  send_and_check "passrefresh: 3 s later" carol@good.test "$QUEUED" rcpt@elsewhere.test
  wait_korvane_log "$lm" 'MX check at mx1.good.test' >/dev/null
  expect_eq "passrefresh: answered from the cache, one background dialogue after it" \
    "1 mail.info sender check succeeded (cached): from=<carol@good.test>, to=<rcpt@elsewhere.test>,  $CLIENT, id=QUEUEID" \
    "$(mx_connections 192.0.2.10 "$mm") $(log_since "$lm" | grep 'sender check')"
}

# refusals mailbox: a refused probe passes its sender, and two of different
# addresses spare its domain; the mailbox's own refusal still fails, its reply
# at the end of the line; the text of a reply overrules its codes.
refusals_case() {
  local ctl="$(dirname "$KORVANE")/korvanectl" conf="$BED/korvane.conf"
  start_korvane_with <<EOF || return
refusals mailbox
logreplies on
metrics 127.0.0.1:9457
control unix:$BED/run/control.sock
EOF
  expect_eq "refusals mailbox: the new counters show from the start" 7 \
    "$(curl -s http://127.0.0.1:9457/metrics | grep -cE '^korvane_(dry_run_refusals_total\{kind="(sender|recipient)"\}|refused_probes_total\{reason="[a-z_]+"\}) 0$')"
  local domain addr said lm mm
  while read -r domain addr said; do
    lm=$(mark_log); mm=$(mark_mx "$addr")
    send_and_check "refusals mailbox: $said" "ivy@$domain" "$QUEUED" rcpt@elsewhere.test
    send_and_check "refusals mailbox: $said, a second address" "joe@$domain" "$QUEUED" rcpt@elsewhere.test
    expect_eq "refusals mailbox: $said: one refused probe marks nothing, two do; logged with the reply" \
      "2 $(printf 'mail.notice sender check skipped (probe refused): from=<%s@%s>, to=<rcpt@elsewhere.test>,  %s, [ELAPSED], id=QUEUEID, reply="%s"\n' \
        ivy "$domain" "$CLIENT" "$said" joe "$domain" "$CLIENT" "$said")" \
      "$(mx_connections "$addr" "$mm") $(log_since "$lm" | grep 'sender check')"
    lm=$(mark_log); mm=$(mark_mx "$addr")
    send_and_check "refusals mailbox: $said, a third sender" "kim@$domain" "$QUEUED" rcpt@elsewhere.test
    expect_eq "refusals mailbox: $said, a third sender: no connection" \
      "0 mail.info sender check skipped (domain refuses probes): from=<kim@$domain>, to=<rcpt@elsewhere.test>,  $CLIENT, id=QUEUEID" \
      "$(mx_connections "$addr" "$mm") $(log_since "$lm")"
  done <<<"$REFUSED_PROBES"
  expect_eq "show: the mark with the reply that set it" \
    'sender-refusing refusing memory reply="550 5.7.1 Service unavailable, client blocked using zen.example.test"' \
    "$("$ctl" -c "$conf" show blocked.test | awk '{$3 = ""; print}' | sed 's/  / /')"

  # Real exchangers' words: Exchange Online's directory refusal and qmail's
  # chkuser refuse the mailbox whatever their codes say, Exim's administrative
  # prohibition is about the client, and an unknown mailbox at the first RCPT
  # is final: never asked again with the safe sender (which this one refuses).
  lm=$(mark_log); mm=$(mark_mx 192.0.2.49)
  send_and_check "Exchange Online DBEB" dbeb@realworld.test "$FAILED" rcpt@elsewhere.test
  send_and_check "Exim administrative prohibition" admin@realworld.test "$QUEUED" rcpt@elsewhere.test
  send_and_check "qmail chkuser" chk@realworld.test "$FAILED" rcpt@elsewhere.test
  send_and_check "unknown at the first RCPT" gone@realworld.test "$FAILED" rcpt@elsewhere.test
  send_and_check "realworld.test: not marked" erin@realworld.test "$QUEUED" rcpt@elsewhere.test
  expect_eq "real replies: the lines, rule=text where the text decided" "$(cat <<EOF
mail.notice sender check failed: from=<dbeb@realworld.test>, to=<rcpt@elsewhere.test>,  $CLIENT, [ELAPSED], id=QUEUEID, rule=text, reply="550 5.4.1 Recipient address rejected: Access denied. AS(201806281)"
mail.notice sender check skipped (probe refused): from=<admin@realworld.test>, to=<rcpt@elsewhere.test>,  $CLIENT, [ELAPSED], id=QUEUEID, rule=text, reply="550 Administrative prohibition"
mail.notice sender check failed: from=<chk@realworld.test>, to=<rcpt@elsewhere.test>,  $CLIENT, [ELAPSED], id=QUEUEID, reply="511 sorry, no mailbox here by that name (#5.1.1 - chkuser)"
mail.notice sender check failed: from=<gone@realworld.test>, to=<rcpt@elsewhere.test>,  $CLIENT, [ELAPSED], id=QUEUEID, reply="550 5.1.1 User unknown"
mail.info sender check succeeded: from=<erin@realworld.test>, to=<rcpt@elsewhere.test>,  $CLIENT, [ELAPSED], id=QUEUEID
EOF
)" "$(log_since "$lm" | grep 'sender check')"
  expect_eq "real replies: one callout each, none spared; an unknown mailbox asked once" "5 1" \
    "$(mx_connections 192.0.2.49 "$mm") $(mx_dialogue 192.0.2.49 "$mm" | grep -c 'RCPT TO:<gone@')"
  expect_eq "show: one refused probe waits for a second" \
    'sender-refusing pending memory reply="550 Administrative prohibition"' \
    "$("$ctl" -c "$conf" show realworld.test | awk '{$3 = ""; print}' | sed 's/  / /')"
  expect_eq "refused probes counted by why" "$(printf '%s\n' \
    'korvane_refused_probes_total{reason=client} 5' 'korvane_refused_probes_total{reason=greeting} 2')" \
    "$(scrape korvane_refused_probes_total)"
  lm=$(mark_log)
  send_and_check "refusals mailbox: 550 5.1.1 still fails" nobody@good.test "$FAILED" rcpt@elsewhere.test
  send_and_check "refusals mailbox: a bare 550 still fails" quinn@bare550.test "$FAILED" rcpt@elsewhere.test
  send_and_check "logreplies: a domain that does not exist" nobody@nosuch.test "$TEMPFAILED" rcpt@elsewhere.test
  expect_eq "logreplies: the failure lines end with the exchanger's reply, or the lookup's failure" "$(cat <<EOF
mail.notice sender check failed: from=<nobody@good.test>, to=<rcpt@elsewhere.test>,  $CLIENT, [ELAPSED], id=QUEUEID, reply="550 5.1.1 <unknown>: Recipient address rejected"
mail.notice sender check failed: from=<quinn@bare550.test>, to=<rcpt@elsewhere.test>,  $CLIENT, [ELAPSED], id=QUEUEID, reply="550 Mailbox unavailable"
mail.notice sender check tempfailed: from=<nobody@nosuch.test>, to=<rcpt@elsewhere.test>,  $CLIENT, [ELAPSED], id=QUEUEID, reply="MX lookup: no such domain"
EOF
)" "$(log_since "$lm" | grep -E 'check (failed|tempfailed)')"

  # dryrun: the refusal is only logged and counted; skipdomain: no callout.
  start_korvane_with <<'EOF' || return
dryrun on
skipdomain good.test
metrics 127.0.0.1:9457
EOF
  lm=$(mark_log)
  local t0; t0=$(date +%s%N)
  send_and_check "dryrun: a refused sender is accepted" quinn@bare550.test "$QUEUED" rcpt@elsewhere.test
  expect_eq "dryrun: within a second, with its line and count" \
    "yes mail.notice dry run: sender check failed: from=<quinn@bare550.test>, to=<rcpt@elsewhere.test>,  $CLIENT, [ELAPSED], id=QUEUEID korvane_dry_run_refusals_total{kind=sender} 1" \
    "$([ $(( $(date +%s%N) - t0 )) -lt 1000000000 ] && echo yes || echo no) $(log_since "$lm" | grep 'check failed') $(scrape korvane_dry_run_refusals_total)"
  lm=$(mark_log); mm=$(mark_mx 192.0.2.10)
  send_and_check "skipdomain" nobody@good.test "$QUEUED" rcpt@elsewhere.test
  expect_eq "skipdomain: no callout" \
    "0 mail.info sender check skipped (domain policy): from=<nobody@good.test>, to=<rcpt@elsewhere.test>,  $CLIENT, id=QUEUEID" \
    "$(mx_connections 192.0.2.10 "$mm") $(log_since "$lm")"
}

# Fewer probes: VERP and BATV return paths share their mailbox's verdict.
politeness_case() {
  start_korvane_with < <(printf 'senderdelimiter +\ncontrol unix:%s/run/ctl\n' "$BED") || return
  local lm mm s ctl; ctl="$(dirname "$KORVANE")/korvanectl"
  lm=$(mark_log); mm=$(mark_mx 192.0.2.11)
  for s in list-bounces+alice=example.org@lists.test list-bounces+bob=example.net@lists.test \
      prvs=0123abcdef=carl@lists.test carl@lists.test; do
    send_and_check "senderdelimiter +: $s" "$s" "$QUEUED" rcpt@elsewhere.test
  done
  expect_eq "senderdelimiter +: one callout per mailbox, asking the address as it came" \
    "$(printf 'conn 1: RCPT TO:<%s>\n' list-bounces+alice=example.org@lists.test prvs=0123abcdef=carl@lists.test)" \
    "$(mx_dialogue 192.0.2.11 "$mm" | grep RCPT | sed -E 's/^conn [0-9]+:/conn 1:/')"
  expect_eq "senderdelimiter +: the second of each is cached" "$(cat <<EOF
mail.info sender check succeeded: from=<list-bounces+alice=example.org@lists.test>, to=<rcpt@elsewhere.test>,  $CLIENT, [ELAPSED], id=QUEUEID
mail.info sender check succeeded (cached): from=<list-bounces+bob=example.net@lists.test>, to=<rcpt@elsewhere.test>,  $CLIENT, id=QUEUEID
mail.info sender check succeeded: from=<prvs=0123abcdef=carl@lists.test>, to=<rcpt@elsewhere.test>,  $CLIENT, [ELAPSED], id=QUEUEID
mail.info sender check succeeded (cached): from=<carl@lists.test>, to=<rcpt@elsewhere.test>,  $CLIENT, id=QUEUEID
EOF
)" "$(log_since "$lm" | grep 'sender check')"
  expect_eq "korvanectl show and forget a tagged address: its base's entry" \
    "sender pass N memory as list-bounces@lists.test|sender pass N memory as list-bounces@lists.test|not cached" \
    "$(for c in show forget show; do "$ctl" -c "$BED/korvane.conf" $c list-bounces+new=x.test@lists.test; done |
      sed -E 's/ [0-9]+ / N /' | paste -sd'|')"

  # A probe's source address listed in a zone: the error, the gauge, the pause.
  start_korvane_with <<'EOF' || return
selflisting bl.test
selflistingpause on
senderdelimiter +
metrics 127.0.0.1:9457
EOF
  expect_eq "-t: the new settings" "$(printf '%s\n' 'senderdelimiter +' 'selflisting bl.test' 'selflistingpause on')" \
    "$("$KORVANE" -t -c "$BED/korvane.conf" | grep -E '^(senderdelimiter|selflisting)')"
  lm=$(mark_log)
  send_and_check "selflisting: a callout before the listing is known" dora@lists.test "$QUEUED" rcpt@elsewhere.test
  wait_korvane_log "$lm" 'is listed at'
  expect_eq "selflisting: the error line and the gauge" \
    "mail.err [ERROR] this host's address 192.0.2.11 is listed at bl.test (callouts seen) korvane_self_listed{zone=bl.test} 1" \
    "$(log_since "$lm" | grep 'is listed') $(scrape korvane_self_listed)"
  lm=$(mark_log); mm=$(mark_mx 192.0.2.11)
  send_and_check "selflistingpause: a new sender passes" eve@lists.test "$QUEUED" rcpt@elsewhere.test
  send_and_check "selflistingpause: a cached sender" dora@lists.test "$QUEUED" rcpt@elsewhere.test
  expect_eq "selflistingpause: no callout, the cache still answers" "0 $(cat <<EOF
mail.info sender check skipped (callouts paused): from=<eve@lists.test>, to=<rcpt@elsewhere.test>,  $CLIENT, id=QUEUEID
mail.info sender check succeeded (cached): from=<dora@lists.test>, to=<rcpt@elsewhere.test>,  $CLIENT, id=QUEUEID
EOF
)" "$(mx_connections 192.0.2.11 "$mm") $(log_since "$lm" | grep 'sender check')"

  # An exchanger that bans this host: two refused probes, then its other domains pass unasked.
  local ctl sock="$BED/run/control.sock"
  ctl="$(dirname "$KORVANE")/korvanectl"
  start_korvane_with <<EOF || return
refusals mailbox
metrics 127.0.0.1:9457
control unix:$sock
EOF
  send_and_check "exchanger ban: a first refused probe" ann@blocked2.test "$QUEUED" rcpt@elsewhere.test
  send_and_check "exchanger ban: a second" ben@blocked3.test "$QUEUED" rcpt@elsewhere.test
  lm=$(mark_log); mm=$(mark_mx 192.0.2.45)
  send_and_check "exchanger ban: another domain behind it" cy@blocked4.test "$QUEUED" rcpt@elsewhere.test
  expect_eq "exchanger ban: no connection, its line, the gauge" \
    "0 mail.info sender check skipped (exchanger refuses probes): from=<cy@blocked4.test>, to=<rcpt@elsewhere.test>,  $CLIENT, [ELAPSED], id=QUEUEID korvane_exchangers_refusing{} 1" \
    "$(mx_connections 192.0.2.45 "$mm") $(log_since "$lm" | grep 'sender check') $(scrape korvane_exchangers_refusing)"
  expect_eq "korvanectl show, forget-exchanger" "exchanger 192.0.2.45 refusing|exchanger 192.0.2.45 forgotten|no exchangers marked" \
    "$("$ctl" -c "$BED/korvane.conf" show | cut -d' ' -f1-3)|$("$ctl" -c "$BED/korvane.conf" forget-exchanger 192.0.2.45)|$("$ctl" -c "$BED/korvane.conf" show)"
}

# A client on ::1 (stock Postfix listens there), whitelisted by an IPv6 entry;
# with logwhitelisted, the pass gets its line. Last: Postfix then speaks IPv6 too.
local_ipv6_case() {
  start_korvane_with <<'EOF' || return
whitelistip ::1
logwhitelisted on
EOF
  /usr/sbin/postconf -c "$PFCONF" -e 'inet_protocols = all' "inet_interfaces = $MTA_ADDR, [::1]" \
    'mynetworks = 127.0.0.0/8 203.0.113.0/24 [::1]/128'
  bed_postfix_restart || { t_bad "postfix restarts on ::1 too"; return; }
  local lm; lm=$(mark_log)
  # swaks speaks IPv6 only with a Perl module the bed may lack.
  MTA_ADDR=::1 CLIENT_ADDR=::1 smtp_raw "EHLO client.example.test" "MAIL FROM:<nobody@good.test>" \
    "RCPT TO:<rcpt@elsewhere.test>" DATA "Subject: korvane e2e" "" "test message" . QUIT >"$BED/raw.out"
  expect_eq "whitelistip ::1: a refusable sender on ::1 is accepted" "$QUEUED" \
    "$(grep -E '^<- 250 2.0.0' "$BED/raw.out" | tail -1 | cut -d' ' -f2-6)"
  expect_eq "logwhitelisted: the pass and its rule" \
    "mail.info sender check skipped (whitelistip): from=<nobody@good.test>, to=<rcpt@elsewhere.test>,  [::1], id=QUEUEID" \
    "$(log_since "$lm" | grep 'sender check')"
}

# The metrics endpoint after a known mix of messages.
metrics_case() {
  start_korvane_with <<'EOF' || return
metrics 127.0.0.1:9457
whitelistfrom vip@
EOF
  local url=http://127.0.0.1:9457/metrics s
  for s in alice@good.test alice@good.test nobody@good.test nobody@good.test someone@nosuch.test vip@good.test; do
    smtp_send "$s" rcpt@elsewhere.test >/dev/null
  done
  smtp_raw "EHLO client.example.test" "MAIL FROM:<ab>" "QUIT" >/dev/null
  smtp_raw "EHLO client.example.test" "MAIL FROM:<alice@good.test>" "RCPT TO:<ab>" "QUIT" >/dev/null
  expect_eq "metrics: counters after the mix" "$(cat <<'EOF'
korvane_build_info{version=0.1.0} 1
korvane_cache_entries{kind=sender} 3
korvane_callout_dialogues_total{result=fail} 1
korvane_callout_dialogues_total{result=pass} 1
korvane_checks_total{kind=sender,outcome=fail,source=cache} 1
korvane_checks_total{kind=sender,outcome=fail,source=fresh} 1
korvane_checks_total{kind=sender,outcome=pass,source=cache} 1
korvane_checks_total{kind=sender,outcome=pass,source=fresh} 1
korvane_checks_total{kind=sender,outcome=tempfail,source=fresh} 1
korvane_syntax_refusals_total{kind=recipient} 1
korvane_syntax_refusals_total{kind=sender} 1
korvane_walk_duration_seconds_count{} 3
korvane_whitelist_passes_total{rule=whitelistfrom} 1
EOF
)" "$(scrape korvane_build_info korvane_cache_entries \
      korvane_callout_dialogues_total korvane_checks_total korvane_syntax_refusals_total \
      korvane_walk_duration_seconds_count korvane_whitelist_passes_total korvane_checks_in_flight \
      korvane_trusted_passes_total korvane_tarpit_seconds_total korvane_checks_waiting \
      korvane_shared_tier_up korvane_walks_cut_total)"
  expect_eq "metrics: only GET of /metrics, only on the address set" "405 404 127.0.0.1:9457" \
    "$(curl -s -o /dev/null -w '%{http_code}' -X POST "$url") $(curl -s -o /dev/null -w '%{http_code}' "$url/x") $(ss -ltnH 'sport = 9457' | awk '{print $4}')"
}

# korvanectl: a probe of its own that prints its dialogue and stores nothing, and
# the running daemon's cache through the control socket.
control_case() {
  local ctl conf="$BED/korvane.conf" sock="$BED/run/control.sock" out rc row addr want line verdict mm
  ctl="$(dirname "$KORVANE")/korvanectl"
  start_korvane_with <<EOF || return
control unix:$sock
catchall on
EOF
  expect_eq "control socket: mode 0600, the daemon's account" "600 postfix" "$(stat -c '%a %U' "$sock")"
  for row in "alice@good.test|0|<- 250 2.1.5 Ok|verdict: pass" \
      "nobody@good.test|1|<- 550 5.1.1 <unknown>: Recipient address rejected|verdict: refused" \
      "someone@unreach.test|2|no connection|verdict: temporary failure" "nodomain|64||"; do
    IFS='|' read -r addr want line verdict <<<"$row"
    out=$("$ctl" -c "$conf" probe "$addr" 2>&1); rc=$?
    expect_eq "probe $addr: exit status" "$want" "$rc"
    [ -z "$line" ] && continue
    expect_has "probe $addr: the dialogue" "$line" "$out"
    expect_has "probe $addr: the verdict" "$verdict" "$out"
  done
  expect_eq "probe: the exchanger, then the lines received and sent" "$(printf '%s\n' \
    "MX check at mx1.good.test. [192.0.2.10]" "<- 220 mx1.good.test ESMTP ready" "-> HELO mx.korvane.test")" \
    "$("$ctl" -c "$conf" probe alice@good.test | head -3)"
  expect_eq "probe: nothing stored" "not cached" "$("$ctl" -c "$conf" show alice@good.test)"

  send_and_check "control: a verification" alice@good.test "$QUEUED" rcpt@elsewhere.test
  out=$("$ctl" -c "$conf" show Alice@Good.Test)
  expect_eq "show after a verification" "sender pass memory" "$(awk '{print $1, $2, $4}' <<<"$out")"
  expect_has "show: the seconds left are frompassttl's" yes "$(awk '$3 > 86000 && $3 <= 86400 {print "yes"}' <<<"$out")"
  expect_eq "forget: what was forgotten" "sender pass memory" \
    "$("$ctl" -c "$conf" forget alice@good.test | awk '{print $1, $2, $4}')"
  mm=$(mark_mx 192.0.2.10)
  send_and_check "after forget" alice@good.test "$QUEUED" rcpt@elsewhere.test
  expect_has "after forget: a fresh callout" "conn 1: RCPT TO:<alice@good.test>" \
    "$(mx_dialogue 192.0.2.10 "$mm" | sed -E 's/^conn [0-9]+:/conn 1:/')"

  send_and_check "control: a catch-all domain" xavier@catchall.test "$QUEUED" rcpt@elsewhere.test
  out=$("$ctl" -c "$conf" show $'a@b\nforget-domain catchall.test' 2>&1); rc=$?
  expect_eq "an argument with a line feed: refused, nothing sent (the mark stays)" \
    "64 korvanectl: an argument holds a control character: a@b\\x0Aforget-domain catchall.test" "$rc $out"
  expect_eq "show: the domain's catch-all mark" "sender-catch-all catchall memory" \
    "$("$ctl" -c "$conf" show yvonne@catchall.test | awk '{print $1, $2, $4}')"
  "$ctl" -c "$conf" forget-domain CatchAll.test >/dev/null
  expect_eq "forget-domain again: no marks, exit 0" "no marks 0" "$("$ctl" -c "$conf" forget-domain catchall.test) $?"
  mm=$(mark_mx 192.0.2.11)
  send_and_check "after forget-domain" yvonne@catchall.test "$QUEUED" rcpt@elsewhere.test
  expect_eq "after forget-domain: the domain is asked again" 1 "$(mx_connections 192.0.2.11 "$mm")"

  out=$("$PY" - "$sock" <<'EOF'
import socket, sys
for line in [b"forget nobody", b"show a\x01@b", b"x" * 600, b"flush all", b"forget-domain a@b"]:
    s = socket.socket(socket.AF_UNIX); s.settimeout(5); s.connect(sys.argv[1])
    s.sendall(line + b"\n"); s.shutdown(socket.SHUT_WR)
    print(s.makefile("rb").read().decode().strip()); s.close()
EOF
)
  expect_eq "bad control input: one error line each" "$(printf '%s\n' "error: address without @" \
    "error: control character in line" "error: line too long" "error: unknown command" "error: domain with @")" "$out"
  send_and_check "bad control input: mail still flows" bob@good.test "$QUEUED" rcpt@elsewhere.test
  printf 'publicname mx.korvane.test\n' > "$BED/nocontrol.conf"
  out=$("$ctl" -c "$BED/nocontrol.conf" stats 2>&1); rc=$?
  expect_eq "no control configured: says so, status 69" \
    "69 korvanectl: no control socket is configured in $BED/nocontrol.conf (control unix:PATH)" "$rc $out"
}
