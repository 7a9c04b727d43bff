#!/usr/bin/env bash
# The end-to-end benchmark in one command: builds korvane (Release), then inside private
# namespaces measures Postfix alone, a do-nothing milter, korvane and Postfix's own sender
# verification, the rows interleaved round after round so that every ratio is taken
# between neighbours in time. Usage: bash bench/run.sh   (as root; knobs are the BENCH_* below)
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/.." && pwd)
. "$root/tests/e2e/lib/bed.sh"
. "$here/lib/bench_bed.sh"

SESSIONS=${BENCH_SESSIONS:-20}        # parallel SMTP sessions of every row
ROUNDS=${BENCH_ROUNDS:-7}             # rounds of the interleaved rows; ratios are medians over them
COLD_ROUNDS=${BENCH_COLD_ROUNDS:-3}   # the first rounds that also run the cold rows
REPEAT=${BENCH_REPEAT:-3}             # rounds of the burst and metrics rows after the main rounds
DELAY=${BENCH_DELAY:-0.05}            # the exchanger's think time before answering RCPT
WARM_MESSAGES=${BENCH_WARM_MESSAGES:-2000}
COLD_MESSAGES=${BENCH_COLD_MESSAGES:-1000}
ROW_SECONDS=${BENCH_ROW_SECONDS:-8}   # a row stops at its message count or after this long
POOL=${BENCH_POOL:-500}               # senders verified beforehand, cycled by the warm rows
FILL=${BENCH_FILL:-100000}            # distinct senders for korvane's memory probe
PF_FILL=${BENCH_PF_FILL:-20000}       # distinct senders for verify(8)'s memory probe
BUILD=${BENCH_BUILD_DIR:-$root/build-macrobench}

if [ "${KORVANE_E2E_INSIDE:-}" != 1 ]; then
  [ "$(id -u)" = 0 ] || { echo "bench/run.sh must run as root (it makes namespaces)" >&2; exit 77; }
  cmake -S "$root" -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=Release -DKORVANE_TESTS=OFF >/dev/null \
    && ninja -C "$BUILD" -j2 korvane >/dev/null \
    && cc -O2 -Wall -Werror -o "$BUILD/nullmilter" "$here/nullmilter.c" -lmilter -lpthread \
    && cc -O2 -Wall -Werror -o "$BUILD/nullpolicy" "$here/nullpolicy.c" -lpthread \
    || { echo "build failed" >&2; exit 1; }
  export BENCH_OUT=${BENCH_OUT:-/tmp/korvane-bench-$(date +%Y%m%d-%H%M%S)}
  mkdir -p "$BENCH_OUT"
  export KORVANE="$BUILD/korvane" NULLMILTER="$BUILD/nullmilter" NULLPOLICY="$BUILD/nullpolicy"
  bash "$here/shared.sh" || echo "bench/shared.sh failed"  # the shared cache's rows, in a bed of their own
fi
bed_enter "$@"

OUT=$BENCH_OUT
RUNS="$OUT/runs.jsonl"
: > "$RUNS"
trap bed_down EXIT
bench_up || exit 1
started=$SECONDS
echo "== korvane end-to-end benchmark (bed in $BED, results in $OUT)"
echo "   $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2-), $SESSIONS sessions, exchanger delay ${DELAY}s, $ROUNDS rounds"

# measure LABEL ROUND SENDERS MESSAGES: one measured row, appended to runs.jsonl.
measure() {
  local label=$1 round=$2 senders=$3 messages=$4 before after res
  before=$(mx_stats)
  res=$(load --label "$label" --senders "$senders" --messages "$messages" --seconds "$ROW_SECONDS")
  after=$(mx_stats)
  "$PY" - "$round" "$before" "$after" "$res" >>"$RUNS" <<'PYEOF'
import json, sys
rnd, b, a, r = sys.argv[1], json.loads(sys.argv[2]), json.loads(sys.argv[3]), json.loads(sys.argv[4])
r["round"] = int(rnd)
r["probes"] = a["rcpt"] - b["rcpt"]
r["mx_connections"] = a["connections"] - b["connections"]
print(json.dumps(r))
PYEOF
  tail -n 1 "$RUNS" | "$PY" "$here/e2e_table.py" --row
}

# The rows. A row is a name, the function that measures it for round $1 (it sets Postfix
# up, then calls measure with the row's name) and, optionally, the number of first rounds
# it runs in (all by default). Rows run in the order given, every round, so neighbours in
# this list are neighbours in time. More rows: bench_row lines here, or a bench/rows/*.sh
# script (sourced below, after korvane and the null milter are up) that defines its
# function and calls bench_row itself.
ROW_NAMES=() ROW_FUNCS=() ROW_ROUNDS=()
bench_row() { ROW_NAMES+=("$1"); ROW_FUNCS+=("$2"); ROW_ROUNDS+=("${3:-$ROUNDS}"); }

row_baseline()     { pf_mode plain;   measure baseline "$1" "pool:base-:$POOL" "$WARM_MESSAGES"; }
row_null_milter()  { pf_mode null;    measure null-milter "$1" "pool:base-:$POOL" "$WARM_MESSAGES"; }
row_korvane_warm() { pf_mode korvane; measure korvane-warm "$1" "pool:warm-:$POOL" "$WARM_MESSAGES"; }
row_postfix_warm() { pf_mode verify;  measure postfix-warm "$1" "pool:warm-:$POOL" "$WARM_MESSAGES"; }
row_korvane_cold() { pf_mode korvane; measure korvane-cold "$1" "fresh:kvcold$1-" "$COLD_MESSAGES"; }
row_postfix_cold() { pf_mode verify;  measure postfix-cold "$1" "fresh:pfcold$1-" "$COLD_MESSAGES"; }

bench_row baseline     row_baseline
bench_row null-milter  row_null_milter
bench_row korvane-warm row_korvane_warm
bench_row postfix-warm row_postfix_warm
bench_row korvane-cold row_korvane_cold "$COLD_ROUNDS"
bench_row postfix-cold row_postfix_cold "$COLD_ROUNDS"

korvane_begin || exit 1
nullmilter_begin
for script in "$here"/rows/*.sh; do
  [ -f "$script" ] && . "$script"
done

echo "-- verifying the warm pool of $POOL senders in Postfix and korvane alike"
mx_delay 0
pf_mode both
for pass in 1 2; do
  load --label prefill --senders "pool:warm-:$POOL" --messages "$POOL" --seconds 120 --sessions 50 >/dev/null
done
mx_delay "$DELAY"

echo "-- what Postfix exchanges with each milter: one session of three warm messages, a relaying recorder in between"
exchange_trace null "$NULLMILTER_SOCK" "pool:warm-:$POOL" | tee "$OUT/exchange-null.txt"
exchange_trace korvane "$BED/run/korvane.sock" "pool:warm-:$POOL" | tee "$OUT/exchange-korvane.txt"

for ((r = 1; r <= ROUNDS; r++)); do
  echo "-- round $r of $ROUNDS ($((SECONDS - started)) s so far)"
  for i in "${!ROW_NAMES[@]}"; do
    [ "$r" -le "${ROW_ROUNDS[$i]}" ] && "${ROW_FUNCS[$i]}" "$r"
  done
done

. "$here/burst.sh"   # the burst rows: callouts for one new sender over $SESSIONS sessions at once
. "$here/metrics_rows.sh"  # the warm row with metrics off and on

echo "-- memory: korvane with $FILL distinct senders, verify(8) with $PF_FILL (exchanger without delay)"
mx_delay 0
memory_korvane "$FILL" > "$OUT/memory-korvane.json"
memory_postfix "$PF_FILL" > "$OUT/memory-postfix.json"

echo
"$PY" "$here/e2e_table.py" --delay "$DELAY" "$RUNS" "$OUT/memory-korvane.json" "$OUT/memory-postfix.json" \
  | tee "$OUT/table.txt"
echo "   whole run: $((SECONDS - started)) s"
