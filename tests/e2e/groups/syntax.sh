# Envelope sender syntax through the real Postfix, the null sender, and what the
# client sees while korvane is down and after it comes back on a stale socket.

REFUSED_SYNTAX="550 5.1.7 Sender address does not conform to RFC-2821 syntax"

# The reply to MAIL FROM in a raw session: mail_reply 'MAIL FROM:...'
mail_reply() {
  smtp_raw "EHLO client.example.test" "$1" "QUIT" | awk '/^-> MAIL/ { getline; sub(/^<- /, ""); print; exit }'
}

group_main() {
  korvane_start <<'EOF' || { t_bad "korvane starts"; return; }
publicname mx.korvane.test
sav off
EOF
  local mark; mark=$(mark_log)
  # Postfix's smtpd runs as postfix: an owner-only socket must be that account's.
  expect_eq "the socket belongs to the account korvane became, owner only" "postfix 600" \
    "$(stat -c '%U %a' "$BED/run/korvane.sock")"

  # What Postfix 3.7 hands the milter, seen through korvane's verdicts: the
  # argument as the client wrote it. A bare address stays bare (so it is
  # refused), "< a@b>" keeps its space, "<ab>" is not completed with
  # @$myorigin at this point, and "<<a@b>>" passes: its content between the
  # first "<" and the last ">" is "<a@b>". Postfix itself answers "<a@b" and
  # "<@>" and "<alice@>" with 501, trailing words with 555, before any milter sees them.
  local label cmd want
  while IFS='|' read -r label cmd want; do
    [ -n "$label" ] || continue
    expect_eq "MAIL FROM: $label" "$want" "$(mail_reply "$cmd")"
  done <<EOF
angle address|MAIL FROM:<alice@good.test>|250 2.1.0 Ok
space after the colon|MAIL FROM: <alice@good.test>|250 2.1.0 Ok
with an ESMTP parameter|MAIL FROM:<alice@good.test> BODY=8BITMIME|250 2.1.0 Ok
inner space in a quoted local part|MAIL FROM:<"a b"@good.test>|250 2.1.0 Ok

doubled brackets pass through|MAIL FROM:<<alice@good.test>>|250 2.1.0 Ok
null sender|MAIL FROM:<>|250 2.1.0 Ok
bare address without brackets|MAIL FROM:alice@good.test|$REFUSED_SYNTAX
space just inside the bracket|MAIL FROM:< alice@good.test>|$REFUSED_SYNTAX
space before the closing bracket|MAIL FROM:<alice@good.test >|$REFUSED_SYNTAX
no @ at all|MAIL FROM:<ab>|$REFUSED_SYNTAX
one character in brackets|MAIL FROM:<a>|$REFUSED_SYNTAX
unclosed bracket (Postfix refuses)|MAIL FROM:<alice@good.test|501 5.1.7 Bad sender address syntax
bracketed @ only (Postfix refuses)|MAIL FROM:<@>|501 5.1.7 Bad sender address syntax
empty domain after the @ (Postfix refuses)|MAIL FROM:<alice@>|501 5.1.7 Bad sender address syntax
EOF

  expect_eq "syntax refusals leave no korvane log line" "" "$(korvane_log "$mark")"

  # A refused MAIL FROM refuses only that command; the session goes on.
  local out
  out=$(smtp_raw "EHLO client.example.test" "MAIL FROM:<ab>" "MAIL FROM:<alice@good.test>" \
        "RCPT TO:<rcpt@elsewhere.test>" "QUIT" | grep -E '^<- (250 2|550)')
  expect_eq "after a refused sender the next MAIL FROM is taken" "$(printf '<- %s\n<- 250 2.1.0 Ok\n<- 250 2.1.5 Ok' "$REFUSED_SYNTAX")" "$out"

  smtp_send '' rcpt@elsewhere.test >/dev/null
  expect_eq "a whole message from the null sender is queued" "250 2.0.0 Ok: queued as" \
    "$(cut -d' ' -f1-5 "$BED/last")"
  smtp_send alice@good.test rcpt@elsewhere.test >/dev/null
  expect_eq "a whole message with sender checks off is queued" "250 2.0.0 Ok: queued as" \
    "$(cut -d' ' -f1-5 "$BED/last")"

  # Killed hard, korvane leaves its socket file behind; Postfix then cannot
  # connect and, with milter_default_action = tempfail, defers at MAIL FROM.
  kill -KILL "$KORVANE_PID"; wait "$KORVANE_PID" 2>/dev/null; KORVANE_PID=
  if [ -S "$BED/run/korvane.sock" ]; then t_ok "a killed korvane leaves a stale socket"; else
    t_bad "a killed korvane leaves a stale socket"; fi
  expect_eq "korvane down: the client is told to try later" "451 4.7.1 Service unavailable - try again later" \
    "$(mail_reply 'MAIL FROM:<alice@good.test>')"

  # Started again over the stale file, it must remove it and serve.
  korvane_start <<'EOF' || { t_bad "korvane restarts over a stale socket"; return; }
publicname mx.korvane.test
sav off
EOF
  bed_wait 50 bed_socket_answers "$BED/run/korvane.sock"
  expect_eq "restarted korvane serves again" "250 2.1.0 Ok" "$(mail_reply 'MAIL FROM:<alice@good.test>')"
  expect_eq "restarted korvane still checks syntax" "$REFUSED_SYNTAX" "$(mail_reply 'MAIL FROM:alice@good.test')"

  # Postfix never defines {if_addr}; a default makes clients at that address
  # trusted, so even a malformed sender from them is let through.
  /usr/sbin/postconf -c "$PFCONF" -e "milter_macro_defaults = {if_addr}=$CLIENT_ADDR" \
    && /usr/sbin/postfix -c "$PFCONF" reload >/dev/null 2>&1
  sleep 1
  expect_eq "if_addr given by milter_macro_defaults: the client is trusted" "250 2.1.0 Ok" \
    "$(mail_reply 'MAIL FROM:alice@good.test')"
  /usr/sbin/postconf -c "$PFCONF" -e "milter_macro_defaults =" \
    && /usr/sbin/postfix -c "$PFCONF" reload >/dev/null 2>&1
  sleep 1

  # An orderly stop (SIGTERM) ends the process within the bed's wait.
  local pid=$KORVANE_PID
  korvane_stop
  if kill -0 "$pid" 2>/dev/null; then t_bad "korvane stops on SIGTERM"; else t_ok "korvane stops on SIGTERM"; fi
}
