#!/usr/bin/env bash
# Shows a postmaster what korvane does to real messages: installs what it needs,
# builds the daemon, and runs it behind a private Postfix against scripted remote
# exchangers, all inside throw-away namespaces that vanish when the demo ends.
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)

if [ "${KORVANE_E2E_INSIDE:-}" != 1 ]; then
  [ "$(id -u)" = 0 ] || { echo "run the demo as root (it builds private network namespaces)" >&2; exit 1; }
  set -e
  bash "$root/scripts/install-deps.sh"
  echo "== building korvane in build-demo"
  cmake -S "$root" -B "$root/build-demo" -G Ninja -DKORVANE_TESTS=OFF >/dev/null
  ninja -C "$root/build-demo" korvane korvanectl | tail -n 1
  set +e
fi

. "$root/tests/e2e/lib/bed.sh"
bed_enter "$@"
# The demo's own domains, beside the bed's: a mailing list behind an exchanger
# that takes every mailbox, three domains behind one that has banned our client,
# and one whose exchanger answers as large providers and common MTAs do.
GROUP_DNS='mx-host=lists.test,mx2.good.test,10
mx-host=blocked.test,mx.blocked.test,10
mx-host=blocked2.test,mx.blocked.test,10
mx-host=blocked3.test,mx.blocked.test,10
host-record=mx.blocked.test,192.0.2.45
mx-host=realworld.test,mx.realworld.test,10
host-record=mx.realworld.test,192.0.2.49'
KORVANE=$root/build-demo/korvane
trap bed_down EXIT

echo "== bringing up the bed: DNS, remote exchangers, syslog, Postfix on $MTA_ADDR"
bed_up
cat <<EOF

   Postfix (smtpd_milters = korvane) listens on $MTA_ADDR; the client sends from $CLIENT_ADDR.
   DNS:  good.test     MX 10 mx1.good.test (192.0.2.10, knows alice, bob, carol), MX 20 mx2.good.test
         unreach.test  MX 10 mx.unreach.test (203.0.113.99, nothing listens there)
         relay.test    relayed by Postfix to the mail store [198.51.100.7] (knows ivan)
         greet554.test MX 10 mx.greet554.test (192.0.2.42, greets every caller with 554)
         realworld.test MX 10 mx.realworld.test (192.0.2.49, answers as Exchange Online and Exim do)
         blocked.test, blocked2.test, blocked3.test  MX 10 mx.blocked.test (192.0.2.45, "client blocked")
         lists.test    MX 10 mx2.good.test (192.0.2.11, takes every mailbox)
   Redis (for row 7) on $BED/redis.sock and 127.0.0.1:6379, started by the demo.
EOF

show_log() {
  korvane_log "$1" | sed 's/^/   korvane:   /'
}
show_callout() {
  if [ ! -e "$BED/mx/$1.jsonl" ]; then echo "   (nothing listens at $1: korvane's connection was refused)"; return; fi
  local d; d=$(mx_dialogue "$1" "$2")
  if [ -n "$d" ]; then printf '%s\n' "$d" | sed "s/^/   $1 saw: /"; else echo "   (no callout was made)"; fi
}
row() { printf '\n== %s\n' "$1"; }

# row_message TITLE SENDER RECIPIENT EXCHANGER
row_message() {
  local lm mm
  row "$1"
  lm=$(mark_log); mm=$(mark_mx "$4")
  echo "   client:    MAIL FROM:<$2>  RCPT TO:<$3>  DATA ..."
  smtp_send "$2" "$3" >/dev/null
  echo "   reply:     $(cat "$BED/last")"
  show_log "$lm"
  show_callout "$4" "$mm"
}

korvane_start <<EOF || exit 1
publicname mx.korvane.test
safecallback postmaster@korvane.test
metrics 127.0.0.1:9457
control unix:$BED/run/control.sock
EOF

row_message "1. A valid sender is accepted" alice@good.test postmaster@elsewhere.test 192.0.2.10
row_message "2. An unknown mailbox is rejected" nobody@good.test postmaster@elsewhere.test 192.0.2.10
row_message "3. An unreachable domain is deferred" someone@unreach.test postmaster@elsewhere.test 203.0.113.99
row_message "4. The same sender again is answered from the cache" alice@good.test postmaster@elsewhere.test 192.0.2.10

row "5. A malformed sender is refused at MAIL FROM"
lm=$(mark_log)
smtp_raw "EHLO client.example.test" "MAIL FROM:alice@good.test" "QUIT" \
  | awk '/^-> MAIL/ { print "   client:    " substr($0, 4); getline; print "   reply:     " substr($0, 4) }'
show_log "$lm"
[ -n "$(korvane_log "$lm")" ] || echo "   korvane:   (a syntax refusal writes no log line)"

row "6. What a monitoring system scrapes from korvane (metrics 127.0.0.1:9457)"
curl -sf http://127.0.0.1:9457/metrics \
  | grep -E '^korvane_(checks_total|syntax_refusals_total|callout_dialogues_total|cache_entries)[{ ]' \
  | grep -v ' 0$' | sed 's/^/   /'

row "7. The postmaster asks the running daemon, and makes it forget one address (korvanectl)"
for cmd in "show alice@good.test" "show nobody@good.test" "forget nobody@good.test" "show nobody@good.test"; do
  echo "   \$ korvanectl $cmd"
  out=$("${KORVANE%/*}/korvanectl" -c "$BED/korvane.conf" $cmd)
  printf '%s\n' "${out:-(nothing cached)}" | sed 's/^/     /'
done

row "8. With mailstore set, a relayed recipient is verified at RCPT time"
korvane_stop
korvane_start <<'EOF' || exit 1
publicname mx.korvane.test
safecallback postmaster@korvane.test
mailstore 198.51.100.99
EOF
lm=$(mark_log); mm=$(mark_mx 198.51.100.7)
smtp_raw "EHLO client.example.test" "MAIL FROM:<alice@good.test>" "RCPT TO:<ivan@relay.test>" \
  "RCPT TO:<nobody@relay.test>" "QUIT" \
  | awk '/^-> RCPT/ { print "   client:    " substr($0, 4); getline; print "   reply:     " substr($0, 4) }'
show_log "$lm"
show_callout 198.51.100.7 "$mm"

row "9. Two MX hosts share one Redis: a second korvane answers from what the first learned"
redis_start </dev/null
korvane_stop
korvane_start <<EOF || exit 1
publicname mx.korvane.test
safecallback postmaster@korvane.test
redis unix:$BED/redis.sock
EOF
korvane_instance korvane2 <<'EOF' || exit 1
publicname mx2.korvane.test
redis 127.0.0.1:6379
EOF
second=$STARTED_PID
bed_second_smtpd korvane2 || bed_die "the second smtpd does not listen"
echo "   Postfix port 25 -> korvane (redis unix:$BED/redis.sock); port 2525 -> korvane2 (redis 127.0.0.1:6379)"
for port in 25 2525; do
  if [ "$port" = 25 ]; then name=korvane pid=$KORVANE_PID; else name=korvane2 pid=$second; fi
  lm=$(mark_log); mm=$(mark_mx 192.0.2.10)
  echo "   client:    port $port  MAIL FROM:<bob@good.test>  RCPT TO:<postmaster@elsewhere.test>  DATA ..."
  SMTP_PORT=$port smtp_send bob@good.test postmaster@elsewhere.test >/dev/null
  echo "   reply:     $(cat "$BED/last")"
  korvane_log "$lm" "$pid" | sed "s/^/   $name:  /"
  show_callout 192.0.2.10 "$mm"
  [ "$port" = 25 ] && echo "   redis-cli GET korvane:sender:bob@good.test -> $(redis_cli GET korvane:sender:bob@good.test)" \
    "(PTTL $(redis_cli PTTL korvane:sender:bob@good.test) ms)"
done
bed_stop_pid "$second"

# The recommended settings from here on: refusals read by what they say, one
# cache entry per mailbox, and a cache that outlives a restart.
mkdir -p "$BED/state" && chown postfix: "$BED/state"
recommended() {
  cat <<EOF
publicname mx.korvane.test
safecallback postmaster@korvane.test
refusals mailbox
logreplies on
senderdelimiter +
cachefile $BED/state/cache
control unix:$BED/run/control.sock
EOF
}
korvanectl() {
  echo "   \$ korvanectl $*"
  "${KORVANE%/*}/korvanectl" -c "$BED/korvane.conf" "$@" 2>&1 | sed 's/^/     /'
}
korvane_stop
korvane_start < <(recommended) || exit 1
row_message "10. refusals mailbox: an exchanger that refuses the probe itself fails no sender" \
  henry@greet554.test postmaster@elsewhere.test 192.0.2.42
row_message "11. refusals mailbox reads replies as exchangers write them: Exchange Online's unknown recipient fails the sender" \
  dbeb@realworld.test postmaster@elsewhere.test 192.0.2.49
row_message "    ... while Exim's \"Administrative prohibition\" is about our client, so that sender passes" \
  admin@realworld.test postmaster@elsewhere.test 192.0.2.49

row "12. An exchanger that has banned our client is left alone: after two refusals no domain behind it is probed"
for s in ann@blocked.test ben@blocked2.test cy@blocked3.test; do
  lm=$(mark_log); mm=$(mark_mx 192.0.2.45)
  smtp_send "$s" postmaster@elsewhere.test >/dev/null
  echo "   client:    MAIL FROM:<$s> ...  reply: $(cut -d' ' -f1-5 "$BED/last")"
  show_log "$lm"
  echo "   mx.blocked.test: $(mx_connections 192.0.2.45 "$mm") connection(s)"
done
korvanectl show

row "13. A mailing list's VERP return paths (senderdelimiter +): one callout for the list's bounce mailbox"
for s in list-bounces+alice=example.org@lists.test list-bounces+bob=example.net@lists.test; do
  lm=$(mark_log); mm=$(mark_mx 192.0.2.11)
  smtp_send "$s" postmaster@elsewhere.test >/dev/null
  echo "   client:    MAIL FROM:<$s> ...  reply: $(cut -d' ' -f1-5 "$BED/last")"
  show_log "$lm"
  show_callout 192.0.2.11 "$mm"
done

row "14. A restart forgets nothing (cachefile): the cache is saved at the stop and loaded at the start"
lm=$(mark_log)
korvane_stop
korvane_start < <(recommended) || exit 1
show_log "$lm" | grep -E 'cache (saved|loaded)'
lm=$(mark_log); mm=$(mark_mx 192.0.2.49)
smtp_send dbeb@realworld.test postmaster@elsewhere.test >/dev/null
echo "   client:    row 11's forged sender again  reply: $(cat "$BED/last")"
show_log "$lm"
show_callout 192.0.2.49 "$mm"

row "15. A configuration change without a restart: two lines added, then korvanectl reload (or SIGHUP)"
for line in 'whitelistfrom nobody@good.test' 'logwhitelisted on'; do
  echo "   \$ echo '$line' >> korvane.conf"
  echo "$line" >> "$BED/korvane.conf"
done
korvanectl reload
row_message "    row 2's sender now passes, with the cache and every connection kept" \
  nobody@good.test postmaster@elsewhere.test 192.0.2.10

korvane_stop
korvane_start <<EOF || exit 1
publicname mx.korvane.test
safecallback postmaster@korvane.test
policy unix:$BED/run/policy.sock
EOF
bed_wait 100 bed_socket_answers "$BED/run/policy.sock" || bed_die "the policy socket does not answer"
postconf -c "$PFCONF" -e "smtpd_milters =" \
  "smtpd_recipient_restrictions = check_policy_service unix:$BED/run/policy.sock" \
  "smtpd_data_restrictions = check_policy_service unix:$BED/run/policy.sock"
bed_postfix_restart || bed_die "postfix does not restart"
row_message "16. Row 2's message through Postfix's policy service (check_policy_service, no milter): refused at DATA, in Postfix's words" \
  nobody@good.test postmaster@elsewhere.test 192.0.2.10

echo
echo "== done; tearing the bed down"
