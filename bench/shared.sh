#!/usr/bin/env bash
# The shared cache's rows of the end-to-end benchmark, in a bed of their own with a
# redis-server: korvane warm from memory beside korvane warm from Redis (a fresh
# korvane, a filled Redis, every answer from Redis), and new senders with Redis
# running beside Redis frozen by SIGSTOP (what redistimeout costs).
# Usage: bash bench/shared.sh (as root); bench/run.sh calls it before its own rows.
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/.." && pwd)
. "$root/tests/e2e/lib/bed.sh"
. "$here/lib/bench_bed.sh"

SESSIONS=${BENCH_SESSIONS:-20}
REPEAT=${BENCH_REPEAT:-3}
DELAY=${BENCH_DELAY:-0.05}
WARM_MESSAGES=${BENCH_WARM_MESSAGES:-3000}
COLD_MESSAGES=${BENCH_COLD_MESSAGES:-1500}
ROW_SECONDS=${BENCH_ROW_SECONDS:-12}
POOL=${BENCH_POOL:-500}
BUILD=${BENCH_BUILD_DIR:-$root/build-macrobench}

bench_prepare bench/shared.sh
bed_enter "$@"

RUNS="$BENCH_OUT/shared-runs.jsonl"
: > "$RUNS"
trap bed_down EXIT
bench_up || exit 1
redis_start </dev/null
echo "== korvane shared cache rows (bed in $BED, Redis on its unix socket, redistimeout 100 ms)"

# A fresh korvane (empty memory) over the bed's Redis.
korvane_shared() {
  korvane_stop
  korvane_start <<EOF
publicname mx.korvane.test
safecallback postmaster@korvane.test
redis unix:$BED/redis.sock
EOF
}

# srow LABEL ROUND SENDERS MESSAGES: one measured row, with the probes it cost.
srow() {
  local probes_before res
  probes_before=$(mx_stats)
  res=$(load --label "$1" --senders "$3" --messages "$4" --seconds "$ROW_SECONDS")
  "$PY" -c 'import json,sys; r=json.loads(sys.argv[1]); r["round"]=int(sys.argv[2])
r["probes"]=json.loads(sys.argv[4])["rcpt"]-json.loads(sys.argv[3])["rcpt"]; print(json.dumps(r))' \
    "$res" "$2" "$probes_before" "$(mx_stats)" >>"$RUNS"
  tail -n 1 "$RUNS" | "$PY" "$here/e2e_table.py" --row
}

# Every sender of a fresh:PREFIX row, already verified in Redis.
redis_fill() {
  local prefix=$1 n=$2
  "$PY" -c 'import sys
p, n = sys.argv[1], int(sys.argv[2])
for i in range(n):
    k = f"korvane:sender:{p}{i}@bench.test"
    sys.stdout.write(f"*5\r\n$3\r\nSET\r\n${len(k)}\r\n{k}\r\n$4\r\npass\r\n$2\r\nPX\r\n$8\r\n86400000\r\n")' \
    "$prefix" "$n" | redis_cli --pipe >/dev/null
}

pf_mode korvane
for ((r = 1; r <= REPEAT; r++)); do
  echo "-- round $r of $REPEAT"
  korvane_shared || exit 1
  mx_delay 0
  load --label prefill --senders "pool:warm-:$POOL" --messages "$POOL" --seconds 120 --sessions 50 >/dev/null
  mx_delay "$DELAY"
  srow shared-memory-warm "$r" "pool:warm-:$POOL" "$WARM_MESSAGES"
  redis_fill "rw$r-" "$WARM_MESSAGES"
  korvane_shared || exit 1
  srow shared-redis-warm "$r" "fresh:rw$r-" "$WARM_MESSAGES"
  srow shared-cold "$r" "fresh:sc$r-" "$COLD_MESSAGES"
  kill -STOP "$REDIS_PID"
  srow shared-cold-frozen "$r" "fresh:sf$r-" "$COLD_MESSAGES"
  kill -CONT "$REDIS_PID"
done

echo
"$PY" - "$RUNS" <<'EOF' | tee "$BENCH_OUT/shared-table.txt"
import json, statistics, sys
runs = [json.loads(l) for l in open(sys.argv[1]) if l.strip()]
what = {"shared-memory-warm": "cached senders, answered from memory",
        "shared-redis-warm": "fresh korvane, every sender answered from Redis",
        "shared-cold": "new senders, Redis running",
        "shared-cold-frozen": "new senders, Redis frozen (SIGSTOP)"}
med = {}
print(f"{'row':20} {'msg/s':>8} {'p50 ms':>7} {'p99 ms':>7} {'probes':>7}  what")
for label, text in what.items():
    rows = [r for r in runs if r["label"] == label]
    if not rows:
        continue
    m = {k: statistics.median(r[k] for r in rows) for k in ("rate", "p50_ms", "p99_ms", "probes")}
    med[label] = m
    print(f"{label:20} {m['rate']:8.1f} {m['p50_ms']:7.1f} {m['p99_ms']:7.1f} {m['probes']:7.0f}  {text}")
def ratio(a, b):
    return f"{med[a]['rate'] / med[b]['rate']:.3f}" if a in med and b in med and med[b]["rate"] else "-"
print(f"Redis-warm / memory-warm: {ratio('shared-redis-warm', 'shared-memory-warm')} (target 0.95 or better); "
      f"frozen / running, new senders: {ratio('shared-cold-frozen', 'shared-cold')}")
EOF
