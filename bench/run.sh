#!/usr/bin/env bash
# The end-to-end benchmark in one command: builds korvane (Release), then inside private
# namespaces measures Postfix alone, Postfix's own sender verification and korvane, side by side.
# Usage: bash bench/run.sh   (as root; knobs are the BENCH_* variables below)
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/.." && pwd)
. "$root/tests/e2e/lib/bed.sh"
. "$here/lib/bench_bed.sh"

SESSIONS=${BENCH_SESSIONS:-20}        # parallel SMTP sessions of every row
REPEAT=${BENCH_REPEAT:-3}             # rounds; each row's median over them is reported
DELAY=${BENCH_DELAY:-0.05}            # the exchanger's think time before answering RCPT
WARM_MESSAGES=${BENCH_WARM_MESSAGES:-3000}
COLD_MESSAGES=${BENCH_COLD_MESSAGES:-1500}
ROW_SECONDS=${BENCH_ROW_SECONDS:-12}  # a row stops at its message count or after this long
POOL=${BENCH_POOL:-500}               # senders verified beforehand, cycled by the warm rows
FILL=${BENCH_FILL:-100000}            # distinct senders for korvane's memory probe
PF_FILL=${BENCH_PF_FILL:-20000}       # distinct senders for verify(8)'s memory probe
BUILD=${BENCH_BUILD_DIR:-$root/build-macrobench}

if [ "${KORVANE_E2E_INSIDE:-}" != 1 ]; then
  [ "$(id -u)" = 0 ] || { echo "bench/run.sh must run as root (it makes namespaces)" >&2; exit 77; }
  cmake -S "$root" -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=Release -DKORVANE_TESTS=OFF >/dev/null \
    && ninja -C "$BUILD" -j2 korvane >/dev/null \
    && cc -O2 -Wall -Werror -o "$BUILD/nullmilter" "$here/nullmilter.c" -lmilter -lpthread \
    || { echo "build failed" >&2; exit 1; }
  export BENCH_OUT=${BENCH_OUT:-/tmp/korvane-bench-$(date +%Y%m%d-%H%M%S)}
  mkdir -p "$BENCH_OUT"
  export KORVANE="$BUILD/korvane" NULLMILTER="$BUILD/nullmilter"
  bash "$here/shared.sh" || echo "bench/shared.sh failed"  # the shared cache's rows, in a bed of their own
fi
bed_enter "$@"

OUT=$BENCH_OUT
RUNS="$OUT/runs.jsonl"
: > "$RUNS"
trap bed_down EXIT
bench_up || exit 1
echo "== korvane end-to-end benchmark (bed in $BED, results in $OUT)"
echo "   $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2-), $SESSIONS sessions, exchanger delay ${DELAY}s"

# row LABEL ROUND SENDERS MESSAGES: one measured row, appended to runs.jsonl.
row() {
  local label=$1 round=$2 senders=$3 messages=$4 before after res
  before=$(mx_stats)
  res=$(load --label "$label" --senders "$senders" --messages "$messages" --seconds "$ROW_SECONDS")
  after=$(mx_stats)
  "$PY" - "$round" "$before" "$after" "$res" >>"$RUNS" <<'EOF'
import json, sys
rnd, b, a, r = sys.argv[1], json.loads(sys.argv[2]), json.loads(sys.argv[3]), json.loads(sys.argv[4])
r["round"] = int(rnd)
r["probes"] = a["rcpt"] - b["rcpt"]
r["mx_connections"] = a["connections"] - b["connections"]
print(json.dumps(r))
EOF
  tail -n 1 "$RUNS" | "$PY" "$here/e2e_table.py" --row
}

korvane_begin || exit 1
nullmilter_begin

echo "-- verifying the warm pool of $POOL senders in Postfix and korvane alike"
mx_delay 0
pf_mode both
for pass in 1 2; do
  load --label prefill --senders "pool:warm-:$POOL" --messages "$POOL" --seconds 120 --sessions 50 >/dev/null
done
mx_delay "$DELAY"

for ((r = 1; r <= REPEAT; r++)); do
  echo "-- round $r of $REPEAT"
  pf_mode plain
  row baseline "$r" "pool:base-:$POOL" "$WARM_MESSAGES"
  pf_mode verify
  row postfix-warm "$r" "pool:warm-:$POOL" "$WARM_MESSAGES"
  row postfix-cold "$r" "fresh:pfcold$r-" "$COLD_MESSAGES"
  pf_mode null
  row null-milter "$r" "pool:base-:$POOL" "$WARM_MESSAGES"
  pf_mode korvane
  row korvane-warm "$r" "pool:warm-:$POOL" "$WARM_MESSAGES"
  row korvane-cold "$r" "fresh:kvcold$r-" "$COLD_MESSAGES"
done

. "$here/burst.sh"   # the burst rows: callouts for one new sender over $SESSIONS sessions at once
. "$here/metrics_rows.sh"  # the warm row with metrics off and on

echo "-- memory: korvane with $FILL distinct senders, verify(8) with $PF_FILL (exchanger without delay)"
mx_delay 0
memory_korvane "$FILL" > "$OUT/memory-korvane.json"
memory_postfix "$PF_FILL" > "$OUT/memory-postfix.json"

echo
"$PY" "$here/e2e_table.py" "$RUNS" "$OUT/memory-korvane.json" "$OUT/memory-postfix.json" | tee "$OUT/table.txt"
