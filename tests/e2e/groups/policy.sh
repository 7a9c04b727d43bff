# The policy door end to end: Postfix asks korvane by check_policy_service at
# RCPT and at DATA, with no milter; the replies the client sees after Postfix's
# mapping, korvane's lines, and the connection itself.

POLICY_SOCK=
CLIENT="[$CLIENT_ADDR]"

log_since() {
  korvane_log "$1" | sed -E 's/\[[0-9]{2}:[0-9]{2}:[0-9]{2}\]/[ELAPSED]/; s/id=[0-9A-Z]{6,}(,|$)/id=QUEUEID\1/'
}

send_and_check() {
  local label=$1 sender=$2 want=$3; shift 3
  smtp_send "$sender" "$@" >/dev/null
  local got; got=$(cat "$BED/last")
  [ "${want#250}" != "$want" ] && got=$(printf '%s' "$got" | cut -d' ' -f1-5)
  expect_eq "$label: reply" "$want" "$got"
}

policy_start() {
  korvane_stop
  korvane_start < <(printf 'publicname mx.korvane.test\nsafecallback postmaster@korvane.test\npolicy unix:%s\n' "$POLICY_SOCK"; cat) \
    || { t_bad "korvane starts"; return 1; }
  bed_wait 100 bed_socket_answers "$POLICY_SOCK" || { t_bad "policy socket answers"; return 1; }
}

# Postfix with the policy service at RCPT and DATA and no milter; SMTP AUTH
# from a sasldb of one account, put where Cyrus SASL looks (inside the bed's
# own mount namespace); and on port 2525 a relay check that asks korvane first.
policy_postfix() {
  local svc="check_policy_service unix:$POLICY_SOCK"
  mkdir -p "$BED/sasl"
  echo secret | saslpasswd2 -p -c -f "$BED/sasl/sasldb2" -u korvane.test alice 2>/dev/null
  chown postfix "$BED/sasl/sasldb2"
  mount --bind "$BED/sasl/sasldb2" /etc/sasldb2 || t_bad "the bed's sasldb in place"
  postconf -c "$PFCONF" -e "smtpd_milters =" "smtpd_recipient_restrictions = $svc" \
    "smtpd_data_restrictions = $svc" "smtpd_sasl_auth_enable = yes" \
    "smtpd_sasl_local_domain = korvane.test" "korvane_relay_check = $svc, reject_unauth_destination"
  postconf -c "$PFCONF" -M "2525/inet=2525 inet n - n - - smtpd -o smtpd_relay_restrictions=\$korvane_relay_check"
  bed_postfix_restart && bed_wait 100 bed_port_open "$MTA_ADDR" 2525 \
    || t_bad "postfix restarts with the policy service"
}

group_main() {
  POLICY_SOCK=$BED/run/policy.sock
  policy_start <<'EOF2' || return
whitelistto vip@elsewhere.test
EOF2
  policy_postfix
  local lm mm

  lm=$(mark_log)
  send_and_check "valid sender" alice@good.test "250 2.0.0 Ok: queued as" rcpt@elsewhere.test
  send_and_check "unknown mailbox" nobody@good.test \
    "550 5.0.0 <DATA>: Data command rejected: Sender address verification failed, check your MX" rcpt@elsewhere.test
  send_and_check "unresolvable domain" someone@unreach.test \
    "451 4.0.0 <DATA>: Data command rejected: Temporary failure in sender address verification" rcpt@elsewhere.test
  send_and_check "unresolvable domain, again" someone@unreach.test \
    "451 4.0.0 <DATA>: Data command rejected: Temporary failure in sender address verification" rcpt@elsewhere.test
  expect_eq "sender checks: log" "$(cat <<EOF2
mail.info MX check at mx1.good.test. [192.0.2.10]
mail.info sender check succeeded: from=<alice@good.test>, to=<rcpt@elsewhere.test>,  $CLIENT, [ELAPSED], id=QUEUEID
mail.info MX check at mx1.good.test. [192.0.2.10]
mail.notice sender check failed: from=<nobody@good.test>, to=<rcpt@elsewhere.test>,  $CLIENT, [ELAPSED], id=QUEUEID
mail.info MX check at mx.unreach.test. [203.0.113.99]
mail.notice sender check tempfailed: from=<someone@unreach.test>, to=<rcpt@elsewhere.test>,  $CLIENT, [ELAPSED], id=QUEUEID
mail.info sender check tempfailed (cached): from=<someone@unreach.test>, to=<rcpt@elsewhere.test>,  $CLIENT, id=QUEUEID
EOF2
)" "$(log_since "$lm")"

  lm=$(mark_log)
  send_and_check "malformed sender" nobody \
    "550 5.1.3 <rcpt@elsewhere.test>: Recipient address rejected: Sender address does not conform to RFC-2821 syntax" \
    rcpt@elsewhere.test
  send_and_check "whitelistto passes a failing sender" nobody@good.test "250 2.0.0 Ok: queued as" vip@elsewhere.test
  mm=$(mark_mx 192.0.2.10)
  swaks --server "$MTA_ADDR" --local-interface "$CLIENT_ADDR" --timeout 30 --from nobody@good.test \
    --to rcpt@elsewhere.test --auth PLAIN --auth-user alice --auth-password secret >"$BED/swaks.out" 2>&1
  expect_eq "authenticated client: accepted" "<-  250 2.0.0 Ok: queued as" \
    "$(grep '<- ' "$BED/swaks.out" | tail -n 2 | head -n 1 | cut -d' ' -f1-7)"
  expect_eq "no callout for the whitelisted or authenticated" "" "$(mx_dialogue 192.0.2.10 "$mm")"
  expect_eq "no lines for them" "" "$(log_since "$lm")"

  SMTP_PORT=2525 send_and_check "a pass is DUNNO: relaying stays refused" alice@good.test \
    "554 5.7.1 <rcpt@elsewhere.test>: Relay access denied" rcpt@elsewhere.test

  lm=$(mark_log)
  "$PY" - "$POLICY_SOCK" <<'EOF2' > "$BED/garbage.out"
import socket, sys
s = socket.socket(socket.AF_UNIX)
s.settimeout(10)
s.connect(sys.argv[1])
s.sendall(b"GET / HTTP/1.0\nHost: x\n\n")
print("closed" if s.recv(100) == b"" else "answered")
EOF2
  expect_eq "garbage: the connection is closed" "closed" "$(cat "$BED/garbage.out")"
  expect_eq "garbage: one line" 'mail.err [ERROR] policy request refused: line without "="' "$(log_since "$lm")"
  send_and_check "garbage: mail flows on" alice@good.test "250 2.0.0 Ok: queued as" rcpt@elsewhere.test

  policy_start <<'EOF2' || return
sav off
mailstore 198.51.100.99
policyrelay 198.51.100.7
EOF2
  lm=$(mark_log)
  send_and_check "mailstore: an unknown recipient" alice@good.test \
    "550 5.1.1 <nobody@relay.test>: Recipient address rejected: Sorry, no mailbox here by that name or mailbox is over quota" \
    nobody@relay.test
  send_and_check "mailstore: a known one" alice@good.test "250 2.0.0 Ok: queued as" ivan@relay.test
  expect_eq "mailstore: log" "$(cat <<EOF2
mail.info MX check at 198.51.100.7 [198.51.100.7]
mail.notice recipient check failed: from=<alice@good.test>, to=<nobody@relay.test>,  $CLIENT, [ELAPSED], id=QUEUEID
mail.info MX check at 198.51.100.7 [198.51.100.7]
mail.info recipient check succeeded: from=<alice@good.test>, to=<ivan@relay.test>,  $CLIENT, [ELAPSED], id=QUEUEID
EOF2
)" "$(log_since "$lm")"
}
