# Sender verification by callout, end to end: whole messages through Postfix, the
# exchangers' view of each callout, korvane's log lines and the client's replies.

QUEUED="250 2.0.0 Ok: queued as"
FAILED="550 5.1.8 Sender address verification failed, check your MX"
TEMPFAILED="451 4.1.8 Temporary failure in sender address verification"
CLIENT="[$CLIENT_ADDR]"
# A connection to an exchanger at 0.0.0.0 would reach this host.
GROUP_DNS='mx-host=zero.test,mx0.zero.test,10
host-record=mx0.zero.test,0.0.0.0'

# The client has no PTR name, so Postfix names it "[addr]" and korvane logs an
# empty name: hence the two blanks before the address in the lines below.
# Elapsed times and queue ids vary; they are written as [ELAPSED] and QUEUEID.
log_since() {
  korvane_log "$1" | sed -E 's/\[[0-9]{2}:[0-9]{2}:[0-9]{2}\]/[ELAPSED]/; s/id=[0-9A-Z]{6,}$/id=QUEUEID/'
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

start_korvane_with() {
  korvane_stop
  { printf 'publicname mx.korvane.test\nsafecallback postmaster@korvane.test\n'; cat; } | korvane_start \
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
  metrics_case
}

# The metrics endpoint after a known mix of messages, read with a real parser
# (Debian's python3-prometheus-client, hence the system interpreter).
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
)" "$(curl -sf "$url" | /usr/bin/python3 "$E2E_LIB/bedtool.py" metrics korvane_build_info korvane_cache_entries \
      korvane_callout_dialogues_total korvane_checks_total korvane_syntax_refusals_total \
      korvane_walk_duration_seconds_count korvane_whitelist_passes_total korvane_checks_in_flight \
      korvane_trusted_passes_total korvane_tarpit_seconds_total)"
  expect_eq "metrics: only GET of /metrics, only on the address set" "405 404 127.0.0.1:9457" \
    "$(curl -s -o /dev/null -w '%{http_code}' -X POST "$url") $(curl -s -o /dev/null -w '%{http_code}' "$url/x") $(ss -ltnH 'sport = 9457' | awk '{print $4}')"
}
