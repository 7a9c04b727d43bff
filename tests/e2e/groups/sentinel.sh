# The shared cache behind Redis Sentinel: a master (127.0.0.1:6380), its replica
# (6381) and three sentinels (26379-26381), one korvane with redissentinel.
# While Postfix gets a message every 50 ms for 10 s, SENTINEL FAILOVER moves the
# master: no message is deferred or slowed, the log names the new master once,
# and what is learnt afterwards is written to the new master. A stale sentinel
# naming the demoted master is passed over.

SENTINELS=127.0.0.1:26379,127.0.0.1:26380,127.0.0.1:26381

node_start() {  # node_start PORT, extra configuration lines on stdin
  mkdir -p "$BED/node$1"
  { printf 'port %s\nbind 127.0.0.1\nsave ""\nappendonly no\ndir %s/node%s\n' "$1" "$BED" "$1"; cat; } \
    > "$BED/node$1/redis.conf"
  redis-server "$BED/node$1/redis.conf" >>"$BED/node$1/log" 2>&1 &
  bed_pids+=($!)
}
sentinel_start() {
  mkdir -p "$BED/sentinel$1"
  printf 'port %s\nbind 127.0.0.1\ndir %s/sentinel%s\nsentinel monitor site 127.0.0.1 6380 2\nsentinel down-after-milliseconds site 2000\nsentinel failover-timeout site 10000\n' \
    "$1" "$BED" "$1" > "$BED/sentinel$1/sentinel.conf"
  redis-server "$BED/sentinel$1/sentinel.conf" --sentinel >>"$BED/sentinel$1/log" 2>&1 &
  bed_pids+=($!)
}
replica_known() {
  [ "$(redis-cli -p 26379 SENTINEL replicas site 2>/dev/null | grep -A1 '^master-link-status$' | grep -c '^ok$')" = 1 ]
}
replica_follows() { [ "$(redis-cli -p 6381 INFO replication | grep -c 'master_link_status:up')" = 1 ]; }
master_port() { redis-cli -p 26379 SENTINEL get-master-addr-by-name site | tail -n 1; }
klog() { korvane_log "$1" "$KORVANE_PID" | sed -E 's/id=[0-9A-Z]{6,}$/id=QUEUEID/'; }

# Every 50 ms for 10 s a new sender through Postfix, each in a session of its own;
# prints "worst_ms not_queued sent".
pace() {
  "$PY" - "$MTA_ADDR" "$CLIENT_ADDR" <<'PACE'
import smtplib, sys, threading, time
server, source = sys.argv[1], sys.argv[2]
results = []
def one(i):
    t0 = time.monotonic()
    try:
        with smtplib.SMTP(server, 25, source_address=(source, 0), timeout=30) as s:
            s.sendmail("load%d@rate.test" % i, ["rcpt@elsewhere.test"], "Subject: f\r\n\r\nx\r\n")
        code = 250
    except smtplib.SMTPResponseException as e:
        code = e.smtp_code
    except Exception:
        code = 0
    results.append((time.monotonic() - t0, code))
threads = []
start = time.monotonic()
for i in range(200):
    t = threading.Thread(target=one, args=(i,)); t.start(); threads.append(t)
    time.sleep(max(0, start + (i + 1) * 0.05 - time.monotonic()))
for t in threads: t.join(60)
print(int(max(r[0] for r in results) * 1000), sum(1 for r in results if r[1] != 250), len(results))
PACE
}

group_main() {
  # The sentinels cannot demote the old master: as their replica it would copy
  # the new master's keys, and "not the old" would prove nothing. The bed demotes
  # it itself once that is read.
  node_start 6380 <<<"rename-command REPLICAOF bed-replicaof
rename-command SLAVEOF bed-slaveof"
  node_start 6381 <<<"replicaof 127.0.0.1 6380"
  bed_wait 100 replica_follows || { t_bad "the replica follows its master"; return; }
  local p; for p in 26379 26380 26381; do sentinel_start $p; done
  bed_wait 200 replica_known || { t_bad "the sentinels know the replica"; return; }
  local lm; lm=$(mark_log)
  korvane_start <<KCONF || { t_bad "korvane starts"; return; }
publicname mx.korvane.test
redissentinel $SENTINELS
redismaster site
KCONF
  expect_eq "start: the master named" "mail.notice shared cache available: master 127.0.0.1:6380" \
    "$(klog "$lm" | grep 'shared cache')"

  lm=$(mark_log)
  pace > "$BED/pace.out" &
  local pacer=$!
  sleep 2
  redis-cli -p 26379 SENTINEL FAILOVER site >/dev/null
  wait "$pacer"
  local worst bad sent; read -r worst bad sent < "$BED/pace.out"
  expect_eq "failover: every one of $sent messages queued" 0 "$bad"
  expect_has "failover: none slowed past redistimeout + 1 s (worst $worst ms)" yes \
    "$([ "${worst:-9999}" -lt 1100 ] && echo yes)"
  expect_eq "failover: the sentinels name the replica" 6381 "$(master_port)"
  expect_eq "failover: one line names the new master" 1 \
    "$(klog "$lm" | grep -c '^mail.notice shared cache available: master 127.0.0.1:6381$')"
  expect_has "failover: READONLY logged at most once" yes \
    "$([ "$(klog "$lm" | grep -c READONLY)" -le 1 ] && echo yes)"

  smtp_send after@rate.test rcpt@elsewhere.test >/dev/null
  expect_eq "after the failover: the new sender's key on the new master, not the old" "pass|" \
    "$(redis-cli -p 6381 GET korvane:sender:after@rate.test)|$(redis-cli -p 6380 GET korvane:sender:after@rate.test)"

  # A stale sentinel, listed first, still names 6380, now demoted: its ROLE says
  # replica, so the next sentinel is asked, and its master is used.
  redis-cli -p 6380 bed-replicaof 127.0.0.1 6381 >/dev/null
  bed_wait 100 bash -c '[ "$(redis-cli -p 6380 ROLE | head -n 1)" = slave ]'
  "$PY" - <<'STALE' &
import socket, threading
s = socket.create_server(("127.0.0.1", 26399))
s.settimeout(60)
def serve(c):
    with c:
        c.settimeout(30)
        while (data := c.recv(4096)):
            c.sendall(b"*3\r\n$9\r\nsubscribe\r\n$14\r\n+switch-master\r\n:1\r\n" if b"SUBSCRIBE" in data
                      else b"*2\r\n$9\r\n127.0.0.1\r\n$4\r\n6380\r\n")
for _ in range(50):
    threading.Thread(target=serve, args=(s.accept()[0],), daemon=True).start()
STALE
  bed_pids+=($!)
  bed_wait 50 bash -c 'echo > /dev/tcp/127.0.0.1/26399' 2>/dev/null
  korvane_stop
  lm=$(mark_log)
  korvane_start <<KCONF || { t_bad "korvane starts behind a stale sentinel"; return; }
publicname mx.korvane.test
redissentinel 127.0.0.1:26399,$SENTINELS
redismaster site
KCONF
  expect_eq "a stale sentinel first: the confirmed master named" \
    "mail.notice shared cache available: master 127.0.0.1:6381" "$(klog "$lm" | grep 'shared cache')"

  # Both at once is a configuration error: -t says so, the daemon does not start.
  printf 'redis unix:/tmp/r.sock\nredissentinel %s\nredismaster site\n' "$SENTINELS" > "$BED/both.conf"
  expect_eq "redis and redissentinel: -t" "$BED/both.conf: redis and redissentinel exclude each other|1" \
    "$("$KORVANE" -t -c "$BED/both.conf" 2>&1 >/dev/null)|$("$KORVANE" -t -c "$BED/both.conf" >/dev/null 2>&1; echo $?)"
  expect_eq "redis and redissentinel: the daemon does not start" 78 \
    "$("$KORVANE" -f -c "$BED/both.conf" >/dev/null 2>&1; echo $?)"
}
