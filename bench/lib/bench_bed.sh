# The benchmark's additions to the end-to-end bed (sourced after tests/e2e/lib/bed.sh):
# its own DNS zone, the fast exchanger, Postfix modes, the load client and memory probes.

BENCH_LIB=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
BENCH_DIR=$(cd "$BENCH_LIB/.." && pwd)
BENCH_MX_ADDR=192.0.2.60

# bench_prepare NAME: before a standalone bench script enters its bed, as root:
# korvane built (Release, in $BUILD) unless KORVANE names one, and the run's
# output folder. Inside the bed (or under bench/run.sh's own) it does nothing.
bench_prepare() {
  [ "${KORVANE_E2E_INSIDE:-}" != 1 ] || return 0
  [ "$(id -u)" = 0 ] || { echo "$1 must run as root (it makes namespaces)" >&2; exit 77; }
  if [ -z "${KORVANE:-}" ]; then
    cmake -S "$root" -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=Release -DKORVANE_TESTS=OFF >/dev/null \
      && ninja -C "$BUILD" -j2 korvane >/dev/null || { echo "build failed" >&2; exit 1; }
    export KORVANE="$BUILD/korvane"
  fi
  export BENCH_OUT=${BENCH_OUT:-/tmp/korvane-bench-$(date +%Y%m%d-%H%M%S)}
  mkdir -p "$BENCH_OUT"
}

# Every sender lives in bench.test, whose one exchanger is the fast one.
bench_dns() {
  bed_dns_serve mx.bench.test "$BENCH_MX_ADDR" < <(printf '%s\n' \
    "mx-host=bench.test,mx.bench.test,10" "host-record=mx.bench.test,$BENCH_MX_ADDR")
}

bench_mx() {
  MX_CTL="$BED/fastmx.ctl"
  "$PY" "$BENCH_DIR/fastmx.py" "$MX_CTL" "$BED/fastmx.ready" "$BENCH_MX_ADDR" &
  bed_pids+=($!)
  bed_wait 100 test -s "$BED/fastmx.ready" || bed_die "the fast exchanger did not start"
}

mx_stats() { "$PY" "$BENCH_DIR/fastmx.py" ctl "$MX_CTL" stats; }
mx_delay() { "$PY" "$BENCH_DIR/fastmx.py" ctl "$MX_CTL" delay "$1" >/dev/null; }

bench_up() {
  BED=$(mktemp -d /tmp/korvane-bench.XXXXXX)
  chmod 755 "$BED"
  bed_network
  # A new network namespace starts with the kernel's queue of 10 datagrams per Unix
  # socket. With 10, every process that logs waits whenever the bed's syslog sink is
  # not scheduled, and the row that logs most pays most: the rows would measure the
  # sink's scheduling on two busy cores, not the mail path.
  echo 512 > /proc/sys/net/unix/max_dgram_qlen
  bed_private_dev
  bed_syslog
  bench_dns
  bench_mx
  mkdir -p "$BED/run"
  chown postfix: "$BED/run"
  chmod 755 "$BED/run"
  bed_postfix
  # Postfix's verification probes go by SMTP to the sender domain's exchanger
  # (the bed sends everything else to discard), and smtpd polls verify(8) once a
  # second, the shortest wait it has, rather than the default three.
  /usr/sbin/postconf -c "$PFCONF" -e \
    "address_verify_default_transport = smtp" \
    "address_verify_poll_delay = 1s" \
    "unverified_sender_reject_code = 550"
}

pf_down() { ! bed_port_open "$MTA_ADDR" 25; }

NULLMILTER_SOCK=
PF_MODE_NOW=

# pf_mode MODE: restarts Postfix as plain (no checks), verify (reject_unverified_sender),
# korvane (the milter), null (a milter that does nothing), both (the two at once), fill
# (verification that does not wait), milter:PATH (the milter on that Unix socket, for
# rows of their own) or policy:PATH (that policy service asked at RCPT and at DATA, no
# milter). A mode already in force is left running.
pf_mode() {
  local milters="" restrictions="" policy="" polls=3 i
  [ "$1" = "$PF_MODE_NOW" ] && return 0
  case $1 in
    plain) ;;
    verify) restrictions=reject_unverified_sender ;;
    korvane) milters="unix:$BED/run/korvane.sock" ;;
    null) milters="unix:$NULLMILTER_SOCK" ;;
    milter:*) milters="unix:${1#milter:}" ;;
    policy:*) policy="check_policy_service unix:${1#policy:}" ;;
    both) restrictions=reject_unverified_sender; milters="unix:$BED/run/korvane.sock" ;;
    fill) restrictions=reject_unverified_sender; polls=1 ;;
    *) bed_die "unknown Postfix mode $1" ;;
  esac
  PF_MODE_NOW=$1
  bed_postfix_stop
  bed_wait 100 pf_down || bed_die "postfix does not stop"
  /usr/sbin/postconf -c "$PFCONF" -e "smtpd_milters = $milters" \
    "smtpd_sender_restrictions = $restrictions" "address_verify_poll_count = $polls" \
    "smtpd_recipient_restrictions = $policy" "smtpd_data_restrictions = $policy"
  for ((i = 0; i < 20; i++)); do
    /usr/sbin/postfix -c "$PFCONF" start >"$BED/postfix-start.log" 2>&1 && break
    sleep 0.5
  done
  bed_wait 100 bed_port_open "$MTA_ADDR" 25 || bed_die "postfix ($1) does not listen"
}

# exchange_trace NAME MILTER_SOCKET SENDERS: one session of three messages through a
# relaying recorder in front of the milter; prints the sessions' packets (bedtool.py
# exchange) and how often each macro packet was sent (a session probing the port has only O, C, Q).
exchange_trace() {
  local name=$1 sock=$2 senders=$3 rec="$BED/exchange-$1.jsonl" relay="$BED/run/relay-$1.sock" pid
  "$PY" "$E2E_LIB/recmilter.py" --relay "$sock" "$relay" "$rec" "$BED/relay-$name.ready" &
  pid=$!
  bed_wait 50 test -s "$BED/relay-$name.ready" || bed_die "the relaying recorder does not start"
  pf_mode "milter:$relay"
  load --label "trace-$name" --sessions 1 --per-session 3 --messages 3 --senders "$senders" --seconds 30 >/dev/null
  bed_wait 50 sh -c "grep -q '\"cmd\": \"Q\"' '$rec'"
  "$PY" "$E2E_LIB/bedtool.py" exchange "$rec"
  "$PY" "$E2E_LIB/bedtool.py" macros "$rec" | sort | uniq -c | sed 's/^ */   macro packets: /'
  bed_stop_pid "$pid"
}

load() {
  "$PY" "$BENCH_DIR/smtpload.py" --server "$MTA_ADDR" --source "$CLIENT_ADDR" \
    --sessions "$SESSIONS" "$@"
}

# A here-document, not a pipe: korvane_start must set KORVANE_PID in this shell.
# It serves the policy door too, so the warm pool is warm for both doors.
korvane_begin() {
  korvane_start <<EOF
publicname mx.korvane.test
safecallback postmaster@korvane.test
policy unix:$BED/run/korvane-policy.sock
EOF
}

# The do-nothing milter, built beside korvane by bench/run.sh.
nullmilter_begin() {
  NULLMILTER_SOCK="$BED/run/null.sock"
  "$NULLMILTER" "unix:$NULLMILTER_SOCK" >>"$BED/nullmilter.stderr" 2>&1 &
  bed_pids+=($!)
  bed_wait 100 bed_socket_answers "$NULLMILTER_SOCK" || bed_die "the null milter does not answer"
}

vmrss_kb() { awk '/^VmRSS:/ { print $2 }' "/proc/$1/status"; }

# The PID of Postfix's verify(8) daemon; everything in this PID namespace is ours.
verify_pid() {
  local d
  for d in /proc/[0-9]*; do
    [ "$(cat "$d/comm" 2>/dev/null)" = verify ] && { echo "${d#/proc/}"; return 0; }
  done
  return 1
}

# memory_korvane N: a fresh korvane, warmed up, then N new senders through the
# whole SMTP path; prints JSON with the resident sizes around the fill.
memory_korvane() {
  local n=$1 before after res
  korvane_stop
  korvane_begin || bed_die "korvane does not start"
  pf_mode korvane
  # Threads, allocator arenas and libmilter buffers exist before the first reading.
  load --label warmup --senders fresh:mwarm- --messages 2000 --seconds 60 >/dev/null
  before=$(vmrss_kb "$KORVANE_PID")
  res=$(load --label fill --senders fresh:mfill- --messages "$n" --seconds 900)
  after=$(vmrss_kb "$KORVANE_PID")
  "$PY" -c 'import json,sys; r=json.loads(sys.argv[1]); r.update(rss_before_kb=int(sys.argv[2]), rss_after_kb=int(sys.argv[3])); print(json.dumps(r))' \
    "$res" "$before" "$after"
}

# Waits (at most $1 seconds) until the exchanger has seen no new probe for 3 s;
# $2 names the function that prints its counts (mx_stats by default).
mx_settle() {
  local limit=$1 stats=${2:-mx_stats} last=-1 now same=0 i
  for ((i = 0; i < limit; i++)); do
    now=$("$stats" | "$PY" -c 'import json,sys; print(json.load(sys.stdin)["rcpt"])')
    if [ "$now" = "$last" ]; then same=$((same + 1)); [ "$same" -ge 3 ] && return 0; else same=0; fi
    last=$now
    sleep 1
  done
}

# memory_postfix N: N new senders at Postfix's own verification (smtpd does not
# wait for the probes), then verify(8)'s resident size and its map on disk.
memory_postfix() {
  local n=$1 pid_before pid_after before after res map="$BED/pfdata/verify_cache.db" size_before size_after entries
  pf_mode fill
  load --label warmup --senders fresh:pwarm- --messages 200 --seconds 60 >/dev/null
  mx_settle 60
  pid_before=$(verify_pid); before=$(vmrss_kb "$pid_before")
  size_before=$(stat -c %s "$map")
  res=$(load --label fill --senders fresh:pfill- --messages "$n" --seconds 900)
  mx_settle 600
  pid_after=$(verify_pid); after=$(vmrss_kb "$pid_after")
  bed_postfix_stop
  PF_MODE_NOW=
  bed_wait 100 pf_down
  sleep 1
  size_after=$(stat -c %s "$map")
  entries=$(/usr/sbin/postmap -c "$PFCONF" -s "btree:${map%.db}" 2>/dev/null | wc -l)
  "$PY" -c 'import json,sys; r=json.loads(sys.argv[1]); k=["pid_before","pid_after","rss_before_kb","rss_after_kb","map_before","map_after","map_entries"]
r.update(dict(zip(k, map(int, sys.argv[2:])))); print(json.dumps(r))' \
    "$res" "$pid_before" "$pid_after" "$before" "$after" "$size_before" "$size_after" "$entries"
}
