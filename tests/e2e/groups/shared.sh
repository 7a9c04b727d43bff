# The shared cache: two korvane instances behind two smtpd services of one
# Postfix (port 25: korvane over Redis's unix socket; port 2525: korvane2 over
# 127.0.0.1:6379), one redis-server. What one learns the other answers "(cached)"
# without a callout; a restart keeps it; a stopped, frozen, refusing or garbled
# Redis costs mail nothing but a bounded wait and one log line; a Redis out of
# memory still answers reads, with one "write refused" line; a reply that drips
# is cut off at redistimeout.

QUEUED="250 2.0.0 Ok: queued as"
FAILED="550 5.1.8 Sender address verification failed, check your MX"
CLIENT="[$CLIENT_ADDR]"
K1=; K2=

k1_start() {
  korvane_instance korvane < <(printf 'publicname mx.korvane.test\nsafecallback postmaster@korvane.test\nredis unix:%s/redis.sock\ncontrol unix:%s/run/control.sock\n' "$BED" "$BED"; cat) \
    && K1=$STARTED_PID
}
k2_start() {
  korvane_instance korvane2 < <(printf 'publicname mx.korvane.test\nredis 127.0.0.1:6379\n'; cat) && K2=$STARTED_PID
}

# via PORT SENDER: one message through that smtpd; prints the deciding reply (a
# 250 without its queue id).
via() {
  SMTP_PORT=$1 smtp_send "$2" rcpt@elsewhere.test >/dev/null
  sed -E 's/^(250 2\.0\.0 Ok: queued as).*/\1/' "$BED/last"
}
log_of() { korvane_log "$2" "$1" | sed -E 's/id=[0-9A-Z]{6,}$/id=QUEUEID/'; }
# An instance goes at once (SIGTERM waits out libmilter's 5-second poll); the
# namespace ends what is left when the group is done.
k_kill() { kill -KILL "$1" 2>/dev/null; wait "$1" 2>/dev/null; }
shared_lines() { log_of "$1" "$2" | grep -E '^mail\.(warning|notice) (shared cache|warning)'; }

group_main() {
  redis_start </dev/null
  bed_second_smtpd korvane2 || { t_bad "second smtpd listens"; return; }
  k1_start </dev/null || { t_bad "korvane starts"; return; }
  k2_start <<<"metrics 127.0.0.1:9457" || { t_bad "korvane2 starts"; return; }
  local lm mm

  for s in "alice@good.test|$QUEUED|pass|succeeded" "nobody@good.test|$FAILED|fail|failed"; do
    IFS='|' read -r sender want value word <<<"$s"
    expect_eq "$sender through the first: reply" "$want" "$(via 25 "$sender")"
    expect_eq "$sender: in Redis, readable" "$value" "$(redis_cli GET "korvane:sender:$sender")"
    lm=$(mark_log); mm=$(mark_mx 192.0.2.10)
    expect_eq "$sender through the second: reply" "$want" "$(via 2525 "$sender")"
    expect_eq "$sender through the second: no callout" 0 "$(mx_connections 192.0.2.10 "$mm")"
    expect_eq "$sender through the second: answered (cached)" \
      "mail.info sender check $word (cached): from=<$sender>, to=<rcpt@elsewhere.test>,  $CLIENT, id=QUEUEID" \
      "$(log_of "$K2" "$lm")"
  done
  local ctl; ctl="$(dirname "$KORVANE")/korvanectl"
  expect_eq "show: both tiers" "sender fail memory|sender fail shared" \
    "$("$ctl" -c "$BED/korvane.conf" show nobody@good.test | awk '{print $1, $2, $4}' | paste -sd'|')"
  "$ctl" -c "$BED/korvane.conf" forget nobody@good.test >/dev/null
  expect_eq "forget: the key is gone from Redis" 0 "$(redis_cli EXISTS korvane:sender:nobody@good.test)"
  expect_eq "the second's answers counted as shared" "$(printf '%s\n' \
    'korvane_checks_total{kind=sender,outcome=fail,source=shared} 1' \
    'korvane_checks_total{kind=sender,outcome=pass,source=shared} 1' 'korvane_shared_tier_up{} 1')" \
    "$(scrape korvane_checks_total korvane_shared_tier_up)"
  expect_has "the key lives as long as frompassttl" yes \
    "$(r=$(redis_cli PTTL korvane:sender:alice@good.test); [ "$r" -gt 86000000 ] && [ "$r" -le 86400000 ] && echo yes)"

  k_kill "$K1"; k1_start </dev/null || { t_bad "korvane restarts"; return; }
  lm=$(mark_log); mm=$(mark_mx 192.0.2.10)
  expect_eq "after a restart: reply" "$QUEUED" "$(via 25 alice@good.test)"
  expect_eq "after a restart: no callout" 0 "$(mx_connections 192.0.2.10 "$mm")"
  expect_eq "after a restart: answered (cached)" \
    "mail.info sender check succeeded (cached): from=<alice@good.test>, to=<rcpt@elsewhere.test>,  $CLIENT, id=QUEUEID" \
    "$(log_of "$K1" "$lm" | grep -v 'shared cache available')"

  # A recipient never probed (Postfix discards elsewhere.test) passes on this
  # host's word alone; a domain refusing probes (two addresses refused) is
  # remembered for the site.
  k_kill "$K1"; k1_start <<<$'mailstore 198.51.100.99\nrefusals mailbox' || { t_bad "korvane restarts"; return; }
  expect_eq "refused probe: reply" "$QUEUED" "$(via 25 ivy@greet554.test)"
  expect_eq "refused probe of a second address: reply" "$QUEUED" "$(via 25 joe@greet554.test)"
  expect_eq "in Redis: the refusing domain, not the unprobed recipient" "refusing 0" \
    "$(redis_cli GET korvane:sender-refusing:greet554.test) $(redis_cli EXISTS korvane:recipient:rcpt@elsewhere.test)"

  # Redis stopped: callouts and memory answers go on, one line; started: one line, sharing again.
  redis_stop
  lm=$(mark_log)
  for s in carol@good.test carol@good.test alice@good.test erin@nomx.test; do
    expect_eq "Redis stopped, $s: reply" "$QUEUED" "$(via 25 "$s")"
    sleep 0.4
  done
  expect_eq "Redis stopped: one line" "mail.warning shared cache unavailable: connect: No such file or directory" \
    "$(shared_lines "$K1" "$lm")"
  expect_eq "forget with Redis stopped: memory only, said so, status 75" \
    "korvanectl: warning: the shared tier is unavailable and still holds it|75" \
    "$("$ctl" -c "$BED/korvane.conf" forget carol@good.test 2>&1 >/dev/null)|$?"
  redis_start </dev/null
  sleep 1.1
  lm=$(mark_log)
  expect_eq "Redis back: reply" "$QUEUED" "$(via 25 bob@good.test)"
  expect_eq "Redis back: one line" "mail.notice shared cache available" "$(shared_lines "$K1" "$lm")"
  mm=$(mark_mx 192.0.2.10)
  expect_eq "Redis back: the second answers without a callout" "$QUEUED|0" \
    "$(via 2525 bob@good.test)|$(mx_connections 192.0.2.10 "$mm")"

  # Values not ours (another type, longer than any of ours): misses, counted.
  redis_cli RPUSH korvane:sender:dave@backup.test pass >/dev/null
  redis_cli SET korvane:sender:erin@nomx.test "pass$(printf '%0100d' 0)" >/dev/null
  mm=$(mark_mx 192.0.2.30)
  expect_eq "values not ours: verified afresh" "$QUEUED|$QUEUED|1" \
    "$(via 2525 dave@backup.test)|$(via 2525 erin@nomx.test)|$(mx_connections 192.0.2.30 "$mm")"
  expect_eq "values not ours: counted" "korvane_shared_errors_total{reason=garbage} 2" \
    "$(scrape korvane_shared_errors_total | grep garbage)"

  # Out of memory: every write refused, reads still answer; the tier stays up.
  redis_cli SET korvane:sender:carol@good.test pass PX 600000 >/dev/null
  redis_cli CONFIG SET maxmemory 1 >/dev/null
  lm=$(mark_log); mm=$(mark_mx 192.0.2.10)
  expect_eq "Redis full, a sender Redis knows: answered from it" "$QUEUED|0" \
    "$(via 2525 carol@good.test)|$(mx_connections 192.0.2.10 "$mm")"
  local i=0 deadline=$((SECONDS + 10)) flowed=yes
  while [ $SECONDS -lt $deadline ] && [ $i -lt 200 ]; do
    i=$((i + 1))
    [ "$(via 2525 "u$i@rate.test")" = "$QUEUED" ] || flowed="no (u$i@rate.test)"
  done
  redis_cli CONFIG SET maxmemory 0 >/dev/null
  expect_eq "Redis full for 10 s: $i new senders' mail flowed" yes "$flowed"
  expect_eq "Redis full: one line" \
    "mail.warning shared cache write refused: OOM command not allowed when used memory > 'maxmemory'." \
    "$(shared_lines "$K2" "$lm")"
  expect_eq "Redis full: each refusal counted" "korvane_shared_errors_total{reason=refused} $i" \
    "$(scrape korvane_shared_errors_total | grep refused)"

  # Frozen: each new sender waits at most about redistimeout more; none deferred
  # (passing senders: a refusal has its own one-second pause).
  kill -STOP "$REDIS_PID"
  lm=$(mark_log)
  local worst=0 ms t0
  for s in dave@backup.test frank@nullno.test gina@nulldrop.test; do
    t0=${EPOCHREALTIME/./}
    expect_eq "Redis frozen, $s: reply" "$QUEUED" "$(via 25 "$s")"
    ms=$(( (${EPOCHREALTIME/./} - t0) / 1000 )); [ "$ms" -gt "$worst" ] && worst=$ms
  done
  kill -CONT "$REDIS_PID"
  expect_eq "Redis frozen: one line" "mail.warning shared cache unavailable: no answer within 100 ms" \
    "$(shared_lines "$K1" "$lm")"
  expect_has "Redis frozen: no message took 0.7 s (worst ${worst} ms)" yes "$([ "$worst" -lt 700 ] && echo yes)"

  # A reply that drips a byte every 50 ms: cut off at redistimeout all the same.
  k_kill "$K2"
  "$PY" "$E2E_LIB/dripredis.py" "$BED/drip.sock" &
  bed_pids+=($!)
  bed_wait 50 test -S "$BED/drip.sock"
  lm=$(mark_log)
  k2_start <<<"redis unix:$BED/drip.sock" || { t_bad "korvane2 starts against a dripping server"; return; }
  worst=0
  for s in dave@backup.test frank@nullno.test gina@nulldrop.test; do
    sleep 1.1  # past the once-a-second retry: each message meets the drip
    t0=${EPOCHREALTIME/./}
    expect_eq "dripping reply, $s: reply" "$QUEUED" "$(via 2525 "$s")"
    ms=$(( (${EPOCHREALTIME/./} - t0) / 1000 )); [ "$ms" -gt "$worst" ] && worst=$ms
  done
  expect_has "dripping reply: no message took 0.7 s (worst ${worst} ms)" yes "$([ "$worst" -lt 700 ] && echo yes)"
  expect_eq "dripping reply: one line" "mail.warning shared cache unavailable: no answer within 100 ms" \
    "$(shared_lines "$K2" "$lm")"

  # A wrong password: the line names the refusal, mail flows.
  k_kill "$K2"
  redis_stop
  REDIS_PASSWORD=right redis_start </dev/null
  lm=$(mark_log)
  k2_start <<<"redispassword wrong" || { t_bad "korvane2 starts with a wrong password"; return; }
  expect_eq "wrong password: reply" "$QUEUED" "$(via 2525 erin@nomx.test)"
  expect_eq "wrong password: lines" "$(cat <<EOF
mail.warning warning: $BED/korvane2.conf holds redispassword and is readable by other accounts
mail.warning shared cache unavailable: AUTH refused: WRONGPASS invalid username-password pair or user is disabled.
EOF
)" "$(shared_lines "$K2" "$lm")"

  # A server that answers garbage: the same, and the line says what it got.
  k_kill "$K2"
  "$PY" -c 'import os, socket, sys
s = socket.socket(socket.AF_UNIX); s.bind(sys.argv[1]); os.chmod(sys.argv[1], 0o777); s.listen(8); s.settimeout(60)
for _ in range(20):
    c, _ = s.accept(); c.recv(512); c.sendall(b"hello there\r\n"); c.close()' "$BED/garbage.sock" &
  bed_pids+=($!)
  bed_wait 50 test -S "$BED/garbage.sock"
  lm=$(mark_log)
  k2_start <<<"redis unix:$BED/garbage.sock" || { t_bad "korvane2 starts against garbage"; return; }
  expect_eq "garbage: reply" "$QUEUED" "$(via 2525 gina@nulldrop.test)"
  expect_eq "garbage: line" 'mail.warning shared cache unavailable: garbage from the server: Protocol error, got "h" as reply type byte' \
    "$(shared_lines "$K2" "$lm")"
}
