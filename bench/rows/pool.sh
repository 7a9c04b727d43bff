# The walker pool's row, sourced by bench/run.sh: POOL_SENDERS distinct new
# senders in as many sessions at once, against an exchanger that answers RCPT
# after a second, through a korvane of its own with "callouts 16". Shows the
# most connections open at the exchanger at once and the time until every
# walk was made; the lines go to pool.txt.

POOL_SENDERS=${BENCH_POOL_SENDERS:-200}
POOL_CALLOUTS=${BENCH_POOL_CALLOUTS:-16}
POOL_DELAY=${BENCH_POOL_DELAY:-1}

korvane_instance korvane-pool <<EOF || bed_die "korvane (callouts $POOL_CALLOUTS) does not start"
publicname mx.korvane.test
safecallback postmaster@korvane.test
callouts $POOL_CALLOUTS
maxwait 0
EOF
bed_pids+=("$STARTED_PID")

mx_connections_now() { mx_stats | "$PY" -c 'import json,sys; print(json.load(sys.stdin)["connections"])'; }

row_pool() {
  local before start res walks=0 i
  pf_mode "milter:$BED/run/korvane-pool.sock"
  mx_delay "$POOL_DELAY"
  "$PY" "$BENCH_DIR/fastmx.py" ctl "$MX_CTL" peak >/dev/null
  before=$(mx_connections_now)
  start=$(date +%s%N)
  res=$(load --label pool --sessions "$POOL_SENDERS" --senders "fresh:pool$1-" \
             --messages "$POOL_SENDERS" --per-session 1 --seconds 120)
  # Bounded: every walk has been asked for by now; this waits at most a minute.
  for ((i = 0; i < 600; i++)); do
    walks=$(( $(mx_connections_now) - before ))
    [ "$walks" -ge "$POOL_SENDERS" ] && break
    sleep 0.1
  done
  "$PY" - "$res" "$(mx_stats)" "$walks" "$(( ($(date +%s%N) - start) / 1000000 ))" "$POOL_CALLOUTS" <<'PY' | tee -a "$OUT/pool.txt"
import json, sys
r, mx = json.loads(sys.argv[1]), json.loads(sys.argv[2])
walks, drain_ms, callouts = int(sys.argv[3]), int(sys.argv[4]), int(sys.argv[5])
print("   pool: %d new senders at once, callouts %d: %d walks, peak %d connections, drained in %.1f s, "
      "accepted %d/%d, p50 %s ms" % (r["sent"], callouts, walks, mx["peak"], drain_ms / 1000,
                                    r["accepted"], r["sent"], r["p50_ms"]))
PY
  mx_delay "$DELAY"
}
bench_row pool row_pool 1
