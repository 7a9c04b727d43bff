# The policy door's rows, sourced by bench/run.sh: a policy server that only
# says DUNNO (what asking any policy service at RCPT and DATA costs Postfix),
# and korvane's policy door warm and cold. The door is the daemon of the milter
# rows, on a socket of its own, so the warm pool is warm for both doors.

NULLPOLICY_SOCK="$BED/run/nullpolicy.sock"
"$NULLPOLICY" "$NULLPOLICY_SOCK" >>"$BED/nullpolicy.stderr" 2>&1 &
bed_pids+=($!)
bed_wait 100 bed_socket_answers "$NULLPOLICY_SOCK" || bed_die "the null policy server does not answer"
bed_wait 100 bed_socket_answers "$BED/run/korvane-policy.sock" || bed_die "korvane's policy door does not answer"

row_null_policy() { pf_mode "policy:$NULLPOLICY_SOCK"; measure null-policy "$1" "pool:base-:$POOL" "$WARM_MESSAGES"; }
row_policy_warm() { pf_mode "policy:$BED/run/korvane-policy.sock"; measure policy-warm "$1" "pool:warm-:$POOL" "$WARM_MESSAGES"; }
row_policy_cold() { pf_mode "policy:$BED/run/korvane-policy.sock"; measure policy-cold "$1" "fresh:kpcold$1-" "$COLD_MESSAGES"; }
bench_row null-policy row_null_policy
bench_row policy-warm row_policy_warm
bench_row policy-cold row_policy_cold "$COLD_ROUNDS"
