#!/usr/bin/env bash
# Where korvane's warm path spends its instructions: korvane under callgrind behind the
# benchmark's Postfix, a pool of senders verified, then warm messages.
# Usage: bash bench/profile.sh [KORVANE_BINARY]   (as root; a build with -g reads best)
# Knobs: BENCH_PROFILE_MESSAGES (2000), BENCH_POOL (20), BENCH_SESSIONS (20), BENCH_OUT.
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/.." && pwd)
. "$root/tests/e2e/lib/bed.sh"
. "$here/lib/bench_bed.sh"

SESSIONS=${BENCH_SESSIONS:-20}
POOL=${BENCH_POOL:-20}   # few, so that the prefill's callouts stay a small share of the profile
MESSAGES=${BENCH_PROFILE_MESSAGES:-2000}

if [ "${KORVANE_E2E_INSIDE:-}" != 1 ]; then
  [ "$(id -u)" = 0 ] || { echo "bench/profile.sh must run as root (it makes namespaces)" >&2; exit 77; }
  command -v valgrind >/dev/null || { echo "valgrind is not installed" >&2; exit 1; }
  export KORVANE_REAL=$(readlink -f "${1:-$root/build/korvane}")
  export BENCH_OUT=${BENCH_OUT:-/tmp/korvane-profile-$(date +%Y%m%d-%H%M%S)}
  mkdir -p "$BENCH_OUT"
  chmod 777 "$BENCH_OUT"  # korvane writes the profile as the postfix account
fi
bed_enter "$@"

OUT=$BENCH_OUT
trap bed_down EXIT
bench_up || exit 1
# callgrind in front of the daemon, started as the postfix account itself so that the
# profile it writes at exit is its own; exec keeps the PID that korvane_stop ends.
KORVANE="$BED/korvane-callgrind"
printf '#!/bin/sh\nexec setpriv --reuid=postfix --regid=postfix --clear-groups valgrind --tool=callgrind --callgrind-out-file=%s/callgrind.out "%s" "$@"\n' \
  "$OUT" "$KORVANE_REAL" > "$KORVANE"
chmod 755 "$KORVANE"
korvane_begin || exit 1
pf_mode korvane
mx_delay 0
load --label prefill --senders "pool:warm-:$POOL" --messages "$POOL" --seconds 300 >/dev/null
# The profile covers the prefill's few callouts too: callgrind_control cannot reach a
# process in the bed's PID namespace to zero the counters in between.
load --label warm --senders "pool:warm-:$POOL" --messages "$MESSAGES" --seconds 300 > "$OUT/load.json"
cat "$OUT/load.json"
# Under valgrind the orderly stop and the profile's dump take a while.
kill -TERM "$KORVANE_PID"
for ((i = 0; i < 120; i++)); do kill -0 "$KORVANE_PID" 2>/dev/null || break; sleep 1; done
korvane_stop
callgrind_annotate "$OUT/callgrind.out" 2>/dev/null | head -n 40 > "$OUT/profile.txt"
callgrind_annotate --inclusive=yes "$OUT/callgrind.out" 2>/dev/null | head -n 60 > "$OUT/profile-inclusive.txt"
cat "$OUT/profile.txt"
