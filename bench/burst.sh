# The burst rows of the end-to-end benchmark, sourced by bench/run.sh inside its bed:
# one new sender carried by every session at once, against an exchanger slow enough
# that the checks overlap; counts the callouts korvane and Postfix's own verification make.

BURST_DELAY=${BENCH_BURST_DELAY:-1}   # the exchanger's RCPT delay during the burst rows

# burst_row LABEL MODE ROUND: $SESSIONS sessions, one message each, all from one new
# sender; appends the row to burst.jsonl and prints it.
burst_row() {
  local label=$1 mode=$2 round=$3 before after res
  pf_mode "$mode"
  before=$(mx_stats)
  res=$(load --label "$label" --senders "pool:burst-$mode$round-:1" --messages "$SESSIONS" \
             --per-session 1 --seconds 60)
  # Postfix's verify(8) may still be finishing its probe when smtpd has answered.
  mx_settle 10
  after=$(mx_stats)
  "$PY" - "$round" "$before" "$after" "$res" >>"$OUT/burst.jsonl" <<'PY'
import json, sys
rnd, b, a, r = sys.argv[1], json.loads(sys.argv[2]), json.loads(sys.argv[3]), json.loads(sys.argv[4])
r.update(round=int(rnd), callouts=a["connections"] - b["connections"], rcpts=a["rcpt"] - b["rcpt"])
print(json.dumps(r))
PY
  tail -n 1 "$OUT/burst.jsonl" | "$PY" -c 'import json, sys; r = json.load(sys.stdin)
print("   %(label)-14s round %(round)d: %(callouts)d callouts, %(rcpts)d RCPT, accepted %(accepted)d/%(sent)d, p50 %(p50_ms)s ms" % r)'
}

echo "-- burst: one new sender in $SESSIONS sessions at once, exchanger RCPT delay ${BURST_DELAY}s"
: > "$OUT/burst.jsonl"
mx_delay "$BURST_DELAY"
for ((r = 1; r <= REPEAT; r++)); do
  burst_row korvane-burst korvane "$r"
  burst_row postfix-burst verify "$r"
done
# The final table of bench/run.sh shows their medians (e2e_table.py reads burst.jsonl).
