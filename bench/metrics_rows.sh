# The cost of counting: the warm korvane row with the metrics endpoint off and on, in
# turns within each round: the ratio of their rates (target 0.99 or better) and of the
# daemon's CPU time per message (by perf, when it is there).
# Sourced by bench/run.sh inside the bed, with Postfix and the fast exchanger up;
# uses its knobs (REPEAT, WARM_MESSAGES, POOL, DELAY, ROW_SECONDS) and leaves korvane stopped.

metrics_row() {
  local label=$1 round=$2 conf=$3
  korvane_stop
  korvane_start <<<"$conf" || bed_die "korvane ($label) does not start"
  mx_delay 0
  load --label prefill --senders "pool:mwarm-:$POOL" --messages "$POOL" --seconds 120 --sessions 50 >/dev/null
  mx_delay "$DELAY"
  # The daemon's CPU time over the row: on a shared machine a steadier figure than the rate.
  local perf= cpu=null res
  if command -v perf >/dev/null; then
    perf stat -e task-clock -x, -p "$KORVANE_PID" -o "$BED/perf.txt" 2>/dev/null &
    perf=$!
  fi
  res=$(load --label "$label" --senders "pool:mwarm-:$POOL" --messages "$WARM_MESSAGES" --seconds "$ROW_SECONDS")
  if [ -n "$perf" ]; then
    kill -INT "$perf"; wait "$perf"
    cpu=$(awk -F, '$3 == "task-clock" && $1 ~ /^[0-9.]+$/ { print $1 }' "$BED/perf.txt")
  fi
  "$PY" -c 'import json,sys; r=json.loads(sys.argv[1]); r["round"]=int(sys.argv[2]); c=json.loads(sys.argv[3] or "null")
r["cpu_us_per_msg"] = round(c * 1000 / r["sent"], 1) if c and r["sent"] else None; print(json.dumps(r))' \
    "$res" "$round" "${cpu:-null}" >>"$OUT/metrics-runs.jsonl"
  # What an "on" row's endpoint counted: the prefill and the row, all from the cache but the first pass.
  [ "$label" = metrics-on ] && curl -sf http://127.0.0.1:9457/metrics |
    grep '^korvane_checks_total{.*source=' | grep -v ' 0$' >"$OUT/metrics-scrape.txt"
  tail -n 1 "$OUT/metrics-runs.jsonl" | "$PY" -c 'import json,sys; r=json.load(sys.stdin)
print("   %(label)-14s round %(round)d: %(rate)7.1f msg/s  p50 %(p50_ms)s ms  p99 %(p99_ms)s ms  cpu %(cpu_us_per_msg)s us/msg" % r)'
}

metrics_rows() {
  local base=$'publicname mx.korvane.test\nsafecallback postmaster@korvane.test' r
  echo "-- warm row with metrics off and on, $REPEAT rounds"
  : >"$OUT/metrics-runs.jsonl"
  pf_mode korvane
  # Which of the two goes first alternates, so that neither always runs on a warmer machine.
  for ((r = 1; r <= REPEAT; r++)); do
    ((r % 2)) && metrics_row metrics-off "$r" "$base"
    metrics_row metrics-on "$r" "$base"$'\nmetrics 127.0.0.1:9457'
    ((r % 2)) || metrics_row metrics-off "$r" "$base"
  done
  korvane_stop
  "$PY" - "$OUT/metrics-runs.jsonl" <<'EOF' | tee "$OUT/metrics.txt"
import json, statistics, sys
rows = [json.loads(ln) for ln in open(sys.argv[1]) if ln.strip()]
med = {l: statistics.median(r["rate"] for r in rows if r["label"] == l) for l in ("metrics-off", "metrics-on")}
# The two rows of one round ran side by side, so their ratio is the less noisy figure.
rate = {(r["label"], r["round"]): r["rate"] for r in rows}
paired = statistics.median(rate["metrics-on", n] / rate["metrics-off", n] for l, n in rate if l == "metrics-on")
print(f"metrics: warm msg/s off {med['metrics-off']:.1f}, on {med['metrics-on']:.1f}, "
      f"on/off {med['metrics-on'] / med['metrics-off']:.3f}, median of the rounds' on/off {paired:.3f} (target >= 0.99)")
cpu = {(r["label"], r["round"]): r["cpu_us_per_msg"] for r in rows if r.get("cpu_us_per_msg")}
ratios = [cpu["metrics-off", n] / cpu["metrics-on", n] for l, n in cpu if l == "metrics-on" and ("metrics-off", n) in cpu]
if ratios:
    print(f"metrics: daemon CPU per message, median of the rounds' off/on {statistics.median(ratios):.3f} (1 = no cost)")
EOF
}

metrics_rows
