# Shell library of the end-to-end bed: private namespaces, DNS, fake exchangers, syslog
# sink, a private Postfix and korvane itself, plus the assertions the test groups use.
# Sourced by tests/e2e/run.sh (inside the namespaces) and by scripts/demo.sh.

E2E_LIB=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
PY=${KORVANE_E2E_PYTHON:-python3}
DNS_ADDR=127.0.0.53
MTA_ADDR=198.51.100.25        # where the private Postfix listens
CLIENT_ADDR=203.0.113.50      # the SMTP client's source address (no PTR name)
bed_pids=()

# Re-runs the calling script inside fresh network, mount and PID namespaces; when
# its first process ends, the kernel ends every process the bed started.
bed_enter() {
  if [ "${KORVANE_E2E_INSIDE:-}" = 1 ]; then return 0; fi
  if [ "$(id -u)" != 0 ]; then echo "the end-to-end bed must run as root" >&2; exit 77; fi
  KORVANE_E2E_INSIDE=1 exec unshare -n -m -p --fork --kill-child --mount-proc \
    --propagation private -- bash "$0" "$@"
}

# Waits up to $1 tenths of a second for the command that follows to succeed.
bed_wait() {
  local tries=$1 i; shift
  for ((i = 0; i < tries; i++)); do
    if "$@" 2>/dev/null; then return 0; fi
    sleep 0.1
  done
  return 1
}

bed_note() { printf '   %s\n' "$*" >&2; }
bed_die() { echo "bed: $*" >&2; exit 1; }

# Stops one process of ours by its PID: SIGTERM, a bounded wait, then SIGKILL.
bed_stop_pid() {
  local pid=$1 i
  kill -TERM "$pid" 2>/dev/null || return 0
  for ((i = 0; i < 50; i++)); do
    kill -0 "$pid" 2>/dev/null || { wait "$pid" 2>/dev/null; return 0; }
    sleep 0.1
  done
  kill -KILL "$pid" 2>/dev/null
  wait "$pid" 2>/dev/null
  return 0
}

bed_network() {
  ip link set lo up
  local net
  for net in 192.0.2.0/24 198.51.100.0/24 203.0.113.0/24; do
    ip route add local "$net" dev lo
  done
  # Postfix wants its inet_interfaces address on an interface, not only routed.
  ip addr add "$MTA_ADDR/32" dev lo
  # IPv6 exchangers live in 2001:db8::/32; one address on lo gives the resolver
  # (AI_ADDRCONFIG) a reason to hand out IPv6 addresses at all.
  ip -6 addr add 2001:db8::1/128 dev lo nodad
  ip -6 route add local 2001:db8::/32 dev lo
}

# A private /dev (the host may have no /dev/log, and ours must not leak out):
# a tmpfs with the usual nodes bound back from the real one.
bed_private_dev() {
  mkdir -p "$BED/hostdev"
  mount --bind /dev "$BED/hostdev"
  mount -t tmpfs -o mode=755,size=1m bed-dev /dev
  local n
  for n in null zero full random urandom tty ptmx; do
    [ -e "$BED/hostdev/$n" ] || continue
    touch "/dev/$n" && mount --bind "$BED/hostdev/$n" "/dev/$n"
  done
  for n in pts shm; do
    [ -d "$BED/hostdev/$n" ] || continue
    mkdir -p "/dev/$n" && mount --bind "$BED/hostdev/$n" "/dev/$n"
  done
  chmod 1777 /dev/shm 2>/dev/null || true
  ln -s /proc/self/fd /dev/fd
  ln -s /proc/self/fd/0 /dev/stdin
  ln -s /proc/self/fd/1 /dev/stdout
  ln -s /proc/self/fd/2 /dev/stderr
}

bed_syslog() {
  SYSLOG="$BED/syslog.jsonl"
  : > "$SYSLOG"
  "$PY" "$E2E_LIB/bedtool.py" syslog-sink /dev/log "$SYSLOG" "$BED/syslog.ready" &
  bed_pids+=($!)
  bed_wait 50 test -s "$BED/syslog.ready" || bed_die "syslog sink did not start"
}

# dnsmasq on $DNS_ADDR serving the zone lines (dnsmasq syntax) given on stdin.
# The whole .test tree and the reverse tree are local: unknown names there are
# NXDOMAIN, not REFUSED, and Postfix's client lookups end at once. Our
# resolv.conf and hosts replace the system's. Waits until name $1 resolves to $2.
bed_dns_serve() {
  { cat <<EOF
port=53
listen-address=$DNS_ADDR
bind-interfaces
no-resolv
no-hosts
local=/test/
local=/in-addr.arpa/
log-queries
log-facility=$BED/dnsmasq.log
EOF
    cat; } > "$BED/dnsmasq.conf"
  /usr/sbin/dnsmasq --keep-in-foreground --conf-file="$BED/dnsmasq.conf" --user=root \
    --pid-file="$BED/dnsmasq.pid" </dev/null &
  bed_pids+=($!)
  printf 'nameserver %s\noptions timeout:1 attempts:2\n' "$DNS_ADDR" > "$BED/resolv.conf"
  mount --bind "$BED/resolv.conf" /etc/resolv.conf
  # Postfix and swaks also read /etc/hosts; keep ours free of test names.
  printf '127.0.0.1 localhost\n' > "$BED/hosts"
  mount --bind "$BED/hosts" /etc/hosts
  bed_wait 50 bed_resolves_to "$1" "$2" || bed_die "dnsmasq did not answer"
}

bed_resolves_to() { [ "$(bed_resolve "$1")" = "$2" ]; }

# The IPv4 address the system resolver gives for a name, or nothing.
bed_resolve() { "$PY" -c 'import socket,sys
try: print(socket.gethostbyname(sys.argv[1]))
except OSError: pass' "$1"; }

# The test zone: domains with several exchangers, a name with an address but no
# MX, an exchanger address nobody listens on, and names that do not exist. A
# group may add zone lines of its own in GROUP_DNS (one per line).
bed_dns() {
  # Fed by process substitution, so that bed_dns_serve runs in this shell.
  bed_dns_serve mx1.good.test 192.0.2.10 < <(cat <<'EOF'
mx-host=good.test,mx1.good.test,10
mx-host=good.test,mx2.good.test,20
host-record=mx1.good.test,192.0.2.10
host-record=mx2.good.test,192.0.2.11
mx-host=backup.test,down.backup.test,5
mx-host=backup.test,up.backup.test,50
host-record=down.backup.test,203.0.113.99
host-record=up.backup.test,192.0.2.21
host-record=nomx.test,192.0.2.30
mx-host=unreach.test,mx.unreach.test,10
host-record=mx.unreach.test,203.0.113.99
mx-host=nullno.test,mx.nullno.test,10
host-record=mx.nullno.test,192.0.2.40
mx-host=nulldrop.test,mx.nulldrop.test,10
host-record=mx.nulldrop.test,192.0.2.41
mx-host=greet554.test,mx.greet554.test,10
host-record=mx.greet554.test,192.0.2.42
mx-host=silent.test,mx.silent.test,10
host-record=mx.silent.test,192.0.2.43
mx-host=slow.test,mx.slow.test,10
host-record=mx.slow.test,192.0.2.44
mx-host=danglingmx.test,gone.danglingmx.test,10
host-record=mx.relay.test,198.51.100.7
mx-host=relay2.test,mx.relay.test,10
host-record=store.test,198.51.100.7
mx-host=dead2.test,mx1.dead2.test,10
mx-host=dead2.test,mx2.dead2.test,20
host-record=mx1.dead2.test,203.0.113.98
host-record=mx2.dead2.test,203.0.113.99
mx-host=rate.test,mx2.good.test,10
mx-host=v6only.test,mx.v6only.test,10
host-record=mx.v6only.test,2001:db8::25
mx-host=dual.test,mx.dual.test,10
host-record=mx.dual.test,203.0.113.97,2001:db8::25
mx-host=nullmx.test,.,0
EOF
    [ -z "${GROUP_DNS:-}" ] || printf '%s\n' "$GROUP_DNS")
}

# Behaviour of each fake exchanger; see lib/fakemx.py for the action syntax.
# Every mailbox a test expects to exist is listed; any other is refused.
bed_exchangers() {
  cat > "$BED/fakemx.json" <<'EOF'
{
  "192.0.2.10": {"name": "mx1.good.test",
                 "rcpt": {"<alice@good.test>": "250 2.1.5 Ok", "<bob@good.test>": "250 2.1.5 Ok",
                          "<carol@good.test>": "250 2.1.5 Ok",
                          "*": "550 5.1.1 <unknown>: Recipient address rejected"}},
  "192.0.2.11": {"name": "mx2.good.test", "rcpt": "250 2.1.5 Ok"},
  "192.0.2.21": {"name": "up.backup.test",
                 "rcpt": {"<dave@backup.test>": "250 2.1.5 Ok", "*": "550 5.1.1 No such user"}},
  "192.0.2.30": {"name": "nomx.test",
                 "rcpt": {"<erin@nomx.test>": "250 2.1.5 Ok", "*": "550 5.1.1 No such user"}},
  "192.0.2.40": {"name": "mx.nullno.test",
                 "mail": {"<>": "550 5.7.1 Null sender not accepted", "*": "250 2.1.0 Ok"},
                 "rcpt": {"<frank@nullno.test>": "250 2.1.5 Ok", "*": "550 5.1.1 No such user"}},
  "192.0.2.41": {"name": "mx.nulldrop.test",
                 "mail": {"<>": "550 5.7.1 Null sender not accepted;close", "*": "250 2.1.0 Ok"},
                 "rcpt": {"<gina@nulldrop.test>": "250 2.1.5 Ok", "*": "550 5.1.1 No such user"}},
  "192.0.2.42": {"name": "mx.greet554.test", "greeting": "554 5.3.2 No service for you"},
  "192.0.2.43": {"name": "mx.silent.test", "helo": "silent"},
  "192.0.2.45": {"name": "mx.blocked.test",
                 "rcpt": "550 5.7.1 Service unavailable, client blocked using zen.example.test"},
  "192.0.2.46": {"name": "mx.policy.test", "mail": "550 5.7.1 Sender rejected by policy"},
  "192.0.2.47": {"name": "mx.bare550.test",
                 "rcpt": {"<pat@bare550.test>": "250 2.1.5 Ok", "*": "550 Mailbox unavailable"}},
  "127.0.0.1": {"name": "localhost"},
  "192.0.2.48": {"name": "mx.crawl.test", "greeting": "sleep 8;220 mx.crawl.test ESMTP"},
  "192.0.2.49": {"name": "mx.realworld.test",
                 "rcpt": {"<dbeb@realworld.test>": "550 5.4.1 Recipient address rejected: Access denied. AS(201806281)",
                          "<admin@realworld.test>": "550 Administrative prohibition",
                          "<chk@realworld.test>": "511 sorry, no mailbox here by that name (#5.1.1 - chkuser)",
                          "<gone@realworld.test>": {"<>": "550 5.1.1 User unknown",
                              "*": "504 5.5.2 <postmaster@korvane.test>: Sender address rejected: need fully-qualified address"},
                          "*": "250 2.1.5 Ok"}},
  "192.0.2.44": {"name": "mx.slow.test", "helo": "sleep 2;250 mx.slow.test",
                 "rcpt": {"<hank@slow.test>": "250 2.1.5 Ok", "*": "550 5.1.1 No such user"}},
  "198.51.100.7": {"name": "store.relay.test",
                   "rcpt": {"<ivan@relay.test>": "250 2.1.5 Ok", "<judy@relay2.test>": "250 2.1.5 Ok",
                            "<kim@relay3.test>": "250 2.1.5 Ok", "<alice@good.test>": "250 2.1.5 Ok",
                            "<busy@relay.test>": "451 4.2.0 Mailbox busy, try later",
                            "*": "550 5.1.1 User unknown in local recipient table"}},
  "[2001:db8::25]": {"name": "mx.v6only.test",
                     "rcpt": {"<olga@v6only.test>": "250 2.1.5 Ok", "<olga@dual.test>": "250 2.1.5 Ok",
                              "*": "550 5.1.1 No such user"}}
}
EOF
  mkdir -p "$BED/mx"
  "$PY" "$E2E_LIB/fakemx.py" "$BED/fakemx.json" "$BED/mx" "$BED/fakemx.ready" &
  bed_pids+=($!)
  bed_wait 100 test -s "$BED/fakemx.ready" || bed_die "fake exchangers did not start"
}

# A private Postfix instance. Mail that passes goes to the discard transport,
# except the relay domains, which go by SMTP to the fake mail store.
bed_postfix() {
  PFCONF="$BED/postfix"
  PFSPOOL="$BED/spool"
  mkdir -p "$PFCONF" "$PFSPOOL" "$BED/pfdata"
  chown postfix "$BED/pfdata"
  cat > "$PFCONF/main.cf" <<EOF
compatibility_level = 3.6
queue_directory = $PFSPOOL
data_directory = $BED/pfdata
myhostname = mx.korvane.test
mydomain = korvane.test
myorigin = korvane.test
mydestination =
local_recipient_maps =
inet_interfaces = $MTA_ADDR
inet_protocols = ipv4
mynetworks = 127.0.0.0/8 203.0.113.0/24
smtpd_relay_restrictions = permit_mynetworks, reject_unauth_destination
smtpd_recipient_restrictions =
relay_domains = relay.test relay2.test relay3.test relay4.test
transport_maps = texthash:$PFCONF/transport
default_transport = discard:
relay_transport = discard:
smtpd_milters = unix:$BED/run/korvane.sock
milter_protocol = 6
milter_default_action = tempfail
milter_connect_timeout = 10s
milter_command_timeout = 600s
milter_content_timeout = 900s
milter_connect_macros = j {daemon_name} {daemon_addr} {client_addr} {client_name} {if_addr} v _
milter_mail_macros = i {auth_type} {auth_authen} {auth_author} {mail_addr} {mail_host} {mail_mailer} {verify}
milter_rcpt_macros = i {rcpt_addr} {rcpt_host} {rcpt_mailer}
milter_end_of_header_macros = i
milter_end_of_data_macros = i
smtpd_client_connection_rate_limit = 0
smtp_host_lookup = dns
smtpd_banner = \$myhostname ESMTP
maillog_file =
biff = no
EOF
  cat > "$PFCONF/transport" <<EOF
relay.test smtp:[198.51.100.7]
relay2.test smtp:
relay3.test smtp:[198.51.100.7]:25
relay4.test relay:[198.51.100.7]
EOF
  cat > "$PFCONF/master.cf" <<EOF
smtp      inet n - n - - smtpd
pickup    unix n - n 60 1 pickup
cleanup   unix n - n - 0 cleanup
qmgr      unix n - n 300 1 qmgr
rewrite   unix - - n - - trivial-rewrite
bounce    unix - - n - 0 bounce
defer     unix - - n - 0 bounce
trace     unix - - n - 0 bounce
verify    unix - - n - 1 verify
flush     unix n - n 1000? 0 flush
proxymap  unix - - n - - proxymap
smtp      unix - - n - - smtp
relay     unix - - n - - smtp
showq     unix n - n - - showq
error     unix - - n - - error
retry     unix - - n - - error
discard   unix - - n - - discard
anvil     unix - - n - 1 anvil
scache    unix - - n - 1 scache
EOF
  /usr/sbin/postfix -c "$PFCONF" set-permissions >/dev/null 2>&1 || true
  /usr/sbin/postfix -c "$PFCONF" start >"$BED/postfix-start.log" 2>&1 \
    || { cat "$BED/postfix-start.log" >&2; bed_die "postfix did not start"; }
  bed_wait 100 bed_port_open "$MTA_ADDR" 25 || bed_die "postfix does not listen on $MTA_ADDR:25"
}

# A second smtpd of the same Postfix on port 2525, with the milter at
# $BED/run/NAME.sock instead of the bed's korvane.
bed_second_smtpd() {
  /usr/sbin/postconf -c "$PFCONF" -M "2525/inet=2525 inet n - n - - smtpd -o smtpd_milters=unix:$BED/run/$1.sock"
  /usr/sbin/postfix -c "$PFCONF" reload >/dev/null 2>&1
  bed_wait 100 bed_port_open "$MTA_ADDR" 2525
}

bed_port_open() { "$PY" -c 'import socket,sys; socket.create_connection((sys.argv[1], int(sys.argv[2])), 1).close()' "$1" "$2"; }

bed_postfix_stop() { [ -n "${PFCONF:-}" ] && /usr/sbin/postfix -c "$PFCONF" stop >/dev/null 2>&1 || true; }

# A restart, not a reload: a reload lets a new smtpd start with the old main.cf.
bed_postfix_restart() {
  bed_postfix_stop
  /usr/sbin/postfix -c "$PFCONF" start >"$BED/postfix-start.log" 2>&1 \
    || { cat "$BED/postfix-start.log" >&2; return 1; }
  bed_wait 100 bed_port_open "$MTA_ADDR" 25
}

# Starts korvane in the foreground with the configuration text on stdin (after
# the bed's own socket and user lines) and waits for its socket.
KORVANE_PID=
korvane_start() {
  korvane_instance korvane
  local rc=$?
  KORVANE_PID=$STARTED_PID
  return $rc
}

# korvane_instance NAME: a korvane of its own on $BED/run/NAME.sock, its
# configuration on stdin; its PID in STARTED_PID. For beds with several.
STARTED_PID=
korvane_instance() {
  local name=$1 conf="$BED/$1.conf"
  { printf 'socket unix:%s/run/%s.sock\nuser postfix\n' "$BED" "$name"; cat; } > "$conf"
  "$KORVANE" -f -c "$conf" >>"$BED/$name.stderr" 2>&1 &
  STARTED_PID=$!
  # Wait for a socket that takes connections: a stale file may already be there.
  if ! bed_wait 100 korvane_ready "$STARTED_PID" "$BED/run/$name.sock"; then
    bed_note "korvane $name does not answer on its socket; its stderr:"
    sed 's/^/     /' "$BED/$name.stderr" >&2
    return 1
  fi
}

korvane_ready() {
  kill -0 "${1:-$KORVANE_PID}" || return 2
  bed_socket_answers "${2:-$BED/run/korvane.sock}"
}

bed_socket_answers() { "$PY" -c 'import socket,sys; s=socket.socket(socket.AF_UNIX); s.settimeout(1); s.connect(sys.argv[1]); s.close()' "$1"; }

korvane_stop() {
  [ -n "$KORVANE_PID" ] && bed_stop_pid "$KORVANE_PID"
  KORVANE_PID=
}

# korvane_timed_stop LIMIT: SIGTERM to korvane, then waits for its exit, killing
# it after LIMIT seconds; how long that took in STOP_MS, its status in STOP_STATUS.
STOP_MS= STOP_STATUS=
korvane_timed_stop() {
  local pid=$KORVANE_PID t0 watchdog
  (sleep "$1"; kill -KILL "$pid" 2>/dev/null) & watchdog=$!
  t0=$(date +%s%N)
  kill -TERM "$pid"
  wait "$pid" 2>/dev/null; STOP_STATUS=$?
  STOP_MS=$(( ($(date +%s%N) - t0) / 1000000 ))
  kill "$watchdog" 2>/dev/null; wait "$watchdog" 2>/dev/null
  KORVANE_PID=
}

bed_up() {
  BED=$(mktemp -d /tmp/korvane-e2e.XXXXXX)
  chmod 755 "$BED"
  bed_network
  bed_private_dev
  bed_syslog
  bed_dns
  bed_exchangers
  # korvane creates its socket here after it has become the postfix account.
  mkdir -p "$BED/run"
  chown postfix: "$BED/run"
  chmod 755 "$BED/run"
  [ "${1:-}" = no-mta ] || bed_postfix
}

bed_down() {
  korvane_stop
  redis_stop
  bed_postfix_stop
  local p
  for p in "${bed_pids[@]}"; do bed_stop_pid "$p"; done
  if [ "${KORVANE_E2E_KEEP:-}" = 1 ]; then
    echo "bed kept in $BED" >&2
  else
    umount "$BED/hostdev" 2>/dev/null || true
    rm -rf "$BED"
  fi
}

# --- the shared cache: a redis-server on 127.0.0.1:6379 and $BED/redis.sock ---

REDIS_PID=
# Starts it with the extra configuration lines on stdin; no persistence, so a
# restarted server starts empty. REDIS_PASSWORD (if set) is the password asked.
redis_start() {
  mkdir -p "$BED/redis"
  { printf 'port 6379\nbind 127.0.0.1\nunixsocket %s/redis.sock\nunixsocketperm 777\n' "$BED"
    printf 'save ""\nappendonly no\ndaemonize no\ndir %s/redis\n' "$BED"
    [ -z "${REDIS_PASSWORD:-}" ] || printf 'requirepass %s\n' "$REDIS_PASSWORD"
    cat; } > "$BED/redis.conf"
  redis-server "$BED/redis.conf" >>"$BED/redis.log" 2>&1 &
  REDIS_PID=$!
  bed_wait 100 redis_answers || { cat "$BED/redis.log" >&2; bed_die "redis-server does not answer"; }
}
redis_answers() { [ "$(redis_cli PING)" = PONG ]; }
redis_cli() {
  if [ -n "${REDIS_PASSWORD:-}" ]; then REDISCLI_AUTH=$REDIS_PASSWORD redis-cli -s "$BED/redis.sock" "$@"
  else redis-cli -s "$BED/redis.sock" "$@"; fi
}
# A frozen (SIGSTOP) server is let go first, so that it can end.
redis_stop() {
  [ -n "$REDIS_PID" ] || return 0
  kill -CONT "$REDIS_PID" 2>/dev/null
  bed_stop_pid "$REDIS_PID"
  REDIS_PID=
}

# --- the SMTP client --------------------------------------------------------

# Sends one message through the private Postfix with swaks. Arguments: the
# sender mailbox (swaks adds the angle brackets; "" is the null sender), then
# one or more recipient mailboxes.
# Prints swaks's transcript; the reply that decided the message is in $BED/last.
smtp_send() {
  local from=$1; shift
  local to=$*
  to=${to// /,}
  swaks --server "$MTA_ADDR" --port "${SMTP_PORT:-25}" --local-interface "$CLIENT_ADDR" --timeout "${SMTP_TIMEOUT:-30}" \
    --helo client.example.test --from "${from:-<>}" --to "$to" \
    --header 'Subject: korvane e2e' --body 'test message' >"$BED/swaks.out" 2>&1
  # The reply that decided the message: the last one before swaks said QUIT.
  awk '/^ *-> QUIT/ { exit } /^ *<(-|\*\*) / { sub(/^ *<(-|\*\*) +/, ""); last = $0 } END { print last }' \
    "$BED/swaks.out" > "$BED/last"
  cat "$BED/swaks.out"
}

# Raw SMTP: sends the given lines one after another, each after the previous
# reply, and prints every reply line. For MAIL FROM forms swaks would rewrite.
# After a DATA answered 354, lines go out unanswered up to the "." line.
smtp_raw() {
  "$PY" - "$MTA_ADDR" "$CLIENT_ADDR" "$@" <<'EOF'
import socket, sys
server, source, lines = sys.argv[1], sys.argv[2], sys.argv[3:]
s = socket.create_connection((server, 25), timeout=60, source_address=(source, 0))
f = s.makefile("rb")
def reply():
    out = []
    while True:
        ln = f.readline().decode("latin-1").rstrip("\r\n")
        out.append(ln)
        if len(ln) < 4 or ln[3] != "-":
            return out
for ln in reply():
    print("<- " + ln)
in_data = False
for cmd in lines:
    s.sendall(cmd.encode("latin-1") + b"\r\n")
    print("-> " + cmd)
    if in_data and cmd != ".":
        continue
    in_data = False
    for ln in reply():
        print("<- " + ln)
        in_data = cmd.upper() == "DATA" and ln.startswith("354")
s.close()
EOF
}

# --- assertions -------------------------------------------------------------
# grep -c, not grep -q, after a pipe: -q stops reading at the first match, and
# under pipefail the writer's SIGPIPE would turn that match into a failure.

T_PASS=0
T_FAIL=0
T_FAILED=()

t_ok() { T_PASS=$((T_PASS + 1)); printf 'ok   %s\n' "$1"; }
t_bad() {
  T_FAIL=$((T_FAIL + 1)); T_FAILED+=("$1")
  printf 'FAIL %s\n' "$1"
  shift
  local l; for l in "$@"; do printf '       %s\n' "$l"; done
}

# expect_eq LABEL EXPECTED ACTUAL
expect_eq() {
  if [ "$2" = "$3" ]; then t_ok "$1"; else
    t_bad "$1" "expected:" "$(printf '%s\n' "$2" | sed 's/^/  /')" "actual:" "$(printf '%s\n' "$3" | sed 's/^/  /')"
  fi
}

# expect_has LABEL NEEDLE HAYSTACK: the haystack holds the needle as a whole line.
expect_has() {
  if printf '%s\n' "$3" | grep -cxF -- "$2" >/dev/null; then t_ok "$1"; else
    t_bad "$1" "wanted line: $2" "in:" "$(printf '%s\n' "$3" | sed 's/^/  /')"
  fi
}

expect_lacks() {
  if printf '%s\n' "$3" | grep -cF -- "$2" >/dev/null; then
    t_bad "$1" "unwanted text: $2" "in:" "$(printf '%s\n' "$3" | sed 's/^/  /')"
  else t_ok "$1"; fi
}

# Log marks: the tests look only at lines written after a mark.
mark_log() { "$PY" "$E2E_LIB/bedtool.py" count "$SYSLOG"; }
mark_mx() { "$PY" "$E2E_LIB/bedtool.py" count "$BED/mx/$1.jsonl"; }
# The named non-zero samples of a korvane's endpoint at 127.0.0.1:9457, through
# a real parser of the format (Debian's python3-prometheus-client, hence the
# system interpreter).
scrape() { curl -sf http://127.0.0.1:9457/metrics | /usr/bin/python3 "$E2E_LIB/bedtool.py" metrics "$@"; }
korvane_log() { "$PY" "$E2E_LIB/bedtool.py" log "$SYSLOG" korvane "${1:-0}" ${2:+"$2"}; }
mx_dialogue() { "$PY" "$E2E_LIB/bedtool.py" dialogue "$BED/mx/$1.jsonl" "${2:-0}"; }
mx_connections() { "$PY" "$E2E_LIB/bedtool.py" connections "$BED/mx/$1.jsonl" "${2:-0}"; }

# Waits (bounded) until korvane has logged a line matching the regex after a mark.
wait_korvane_log() {
  local mark=$1 re=$2 i
  for ((i = 0; i < 100; i++)); do
    korvane_log "$mark" | grep -cE -- "$re" >/dev/null && return 0
    sleep 0.1
  done
  return 1
}

t_summary() {
  echo "passed: $T_PASS, failed: $T_FAIL"
  local f; for f in "${T_FAILED[@]}"; do echo "  failed: $f"; done
  # A group that checked nothing (one that did not even load) has not passed.
  [ "$T_FAIL" = 0 ] && [ "$T_PASS" -gt 0 ]
}

# Runs one miltertest case table (tests/e2e/milter/TABLE.lua) against korvane,
# for the macro combinations Postfix cannot send: milter_cases TABLE.lua
milter_cases() {
  miltertest -D "socket=unix:$BED/run/korvane.sock" -D "cases=$E2E_LIB/../milter/$1" \
    -s "$E2E_LIB/../milter/cases.lua" 2>&1 || echo "miltertest status $?"
}
