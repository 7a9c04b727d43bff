# Sender verification by callout, end to end: whole messages through Postfix, the
# exchangers' view of each callout, korvane's log lines and the client's replies.

QUEUED="250 2.0.0 Ok: queued as"
FAILED="550 5.1.8 Sender address verification failed, check your MX"
TEMPFAILED="451 4.1.8 Temporary failure in sender address verification"
CLIENT="[$CLIENT_ADDR]"

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
}
