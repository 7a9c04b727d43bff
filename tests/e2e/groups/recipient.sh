# Recipient verification with a mail store set: relayed recipients through the real
# Postfix (what its transports put in the relay macros) and odd macros by miltertest.

NO_MAILBOX="550 5.1.1 Sorry, no mailbox here by that name or mailbox is over quota"
NOT_NOW="451 4.2.1 Mailbox is not available now, try again later"
CLIENT="[$CLIENT_ADDR]"

# The reply to each RCPT TO of one raw session, one line per recipient.
rcpt_replies() {
  local args=("EHLO client.example.test" "MAIL FROM:<alice@good.test>") r
  for r in "$@"; do args+=("RCPT TO:$r"); done
  smtp_raw "${args[@]}" "QUIT" | awk '/^-> RCPT/ { getline; sub(/^<- /, ""); print }'
}

log_since() {
  korvane_log "$1" | sed -E 's/\[[0-9]{2}:[0-9]{2}:[0-9]{2}\]/[ELAPSED]/; s/id=[0-9A-Z]{6,}$/id=QUEUEID/'
}

group_main() {
  korvane_start <<'EOF2' || { t_bad "korvane starts"; return; }
publicname mx.korvane.test
safecallback postmaster@korvane.test
sav off
mailstore 198.51.100.99
EOF2
  local lm mm

  # Postfix 3.7 puts the transport's name in {rcpt_mailer} and its next hop as
  # written in {rcpt_host}: "[198.51.100.7]" for smtp:[198.51.100.7] (probed as
  # a literal, no DNS), "[198.51.100.7]:25" with a port, and the recipient's
  # domain for a plain "smtp:" (walked as a mail domain). {rcpt_addr} is its
  # rewritten address: lower-cased, so that is what the exchanger is asked.
  lm=$(mark_log); mm=$(mark_mx 198.51.100.7)
  expect_eq "relayed recipients: replies" "$(cat <<EOF2
250 2.1.5 Ok
$NO_MAILBOX
250 2.1.5 Ok
250 2.1.5 Ok
250 2.1.5 Ok
EOF2
)" "$(rcpt_replies '<Ivan@Relay.test>' '<nobody@relay.test>' '<judy@relay2.test>' '<kim@relay3.test>' \
      '<nobody@relay4.test>')"
  expect_eq "relayed recipients: log" "$(cat <<EOF2
mail.info MX check at 198.51.100.7 [198.51.100.7]
mail.info recipient check succeeded: from=<alice@good.test>, to=<Ivan@Relay.test>,  $CLIENT, [ELAPSED], id=QUEUEID
mail.info MX check at 198.51.100.7 [198.51.100.7]
mail.notice recipient check failed: from=<alice@good.test>, to=<nobody@relay.test>,  $CLIENT, [ELAPSED], id=QUEUEID
mail.info MX check at mx.relay.test. [198.51.100.7]
mail.info recipient check succeeded: from=<alice@good.test>, to=<judy@relay2.test>,  $CLIENT, [ELAPSED], id=QUEUEID
mail.info MX check at 198.51.100.7 [198.51.100.7]
mail.info recipient check succeeded: from=<alice@good.test>, to=<kim@relay3.test>,  $CLIENT, [ELAPSED], id=QUEUEID
mail.info recipient check succeeded: from=<alice@good.test>, to=<nobody@relay4.test>,  $CLIENT, [ELAPSED], id=QUEUEID
EOF2
)" "$(log_since "$lm")"
  expect_has "relayed recipients: the rewritten address is probed" "conn 1: RCPT TO:<ivan@relay.test>" \
    "$(mx_dialogue 198.51.100.7 "$mm")"
  # Postfix assigns the queue id only once a first recipient is accepted.
  expect_eq "relayed recipients: no queue id at the first RCPT" "NOQUEUE" \
    "$(korvane_log "$lm" | grep 'to=<Ivan@Relay.test>' | sed 's/.*id=//')"

  lm=$(mark_log)
  local t0=$SECONDS
  expect_eq "recipients that fail: each refused, the third after a wait" "$(printf '%s\n%s\n%s' "$NO_MAILBOX" "$NO_MAILBOX" "$NO_MAILBOX")" \
    "$(rcpt_replies '<nobody@relay.test>' '<nobody2@relay.test>' '<NOBODY@relay.test>')"
  # 1 s before each refusal, 5 s before the second check, 10 s before the third
  # (which the cache answers: the key is the lower-cased recipient).
  local took=$((SECONDS - t0))
  if [ "$took" -ge 17 ] && [ "$took" -le 25 ]; then t_ok "recipients that fail: tarpit of 5 s per failure"; else
    t_bad "recipients that fail: tarpit of 5 s per failure" "took $took s, expected about 18"; fi
  expect_has "recipients that fail: the third from the cache" \
    "mail.info recipient check failed (cached): from=<alice@good.test>, to=<NOBODY@relay.test>,  $CLIENT, id=QUEUEID" \
    "$(log_since "$lm")"

  expect_eq "temporary refusal at the store" "$NOT_NOW" "$(rcpt_replies '<busy@relay.test>')"

  lm=$(mark_log)
  local got; got=$(milter_cases recipient.lua)
  [ -n "${E2E_DEBUG:-}" ] && printf '%s\n' "$got"
  local label want
  while IFS='|' read -r label want; do
    expect_has "$label" "$label: $want" "$got"
  done <<'EOF2'
esmtp to a bracketed literal, mailbox exists|CONTINUE
esmtp to a bracketed literal, no such mailbox|REPLYCODE
literal without its closing bracket|CONTINUE
smtp to a host name walks its exchangers|CONTINUE
mailer local|CONTINUE
mailer LOCAL in capitals|CONTINUE
mailer relay is not probed|CONTINUE
no mailer macro|CONTINUE
no host macro|CONTINUE
no address macro|CONTINUE
malformed recipient|REPLYCODE
EOF2
  local log; log=$(korvane_log "$lm")
  expect_eq "macro cases: exchangers asked" "$(cat <<'EOF2'
mail.info MX check at 192.0.2.10 [192.0.2.10]
mail.info MX check at 192.0.2.10 [192.0.2.10]
mail.info MX check at 192.0.2.10 [192.0.2.10]
mail.info MX check at mx1.good.test. [192.0.2.10]
EOF2
)" "$(printf '%s\n' "$log" | grep 'MX check')"
  expect_lacks "mailer local: no log line" "to=<r5@x.test>" "$log"
  expect_lacks "mailer LOCAL: no log line" "to=<r6@x.test>" "$log"
  expect_has "no probe counts as verified" \
    "mail.info recipient check succeeded: from=<alice@good.test>, to=<r7@x.test>, client.example.test [192.0.2.7], [00:00:00], id=MT0001" "$log"

  # The mail store itself is never contacted.
  korvane_stop
  korvane_start <<'EOF2' || { t_bad "korvane starts with the store's address"; return; }
publicname mx.korvane.test
sav off
mailstore 198.51.100.7
EOF2
  lm=$(mark_log); mm=$(mark_mx 198.51.100.7)
  expect_eq "recipient at the mail store itself: passes" "250 2.1.5 Ok" "$(rcpt_replies '<nobody@relay.test>')"
  expect_eq "recipient at the mail store itself: no connection" 0 "$(mx_connections 198.51.100.7 "$mm")"
}
