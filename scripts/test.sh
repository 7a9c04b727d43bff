#!/usr/bin/env bash
# The whole test suite: installs what it needs, builds, runs every test (unit and
# end to end), builds the Debian package and installs, runs and purges it in a
# throw-away root, runs the unit tests again under AddressSanitizer and
# UndefinedBehaviorSanitizer, one end-to-end group with the daemon under ASan and
# LeakSanitizer, the whole suite under ThreadSanitizer, then each fuzz target for a
# bounded time. KORVANE_TSAN=0 leaves the ThreadSanitizer stage out.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc)
fuzz_seconds=${KORVANE_FUZZ_SECONDS:-60}
# A failing stage stops the script (set -e), so every stage counted has passed.
stages=0
stage() { stages=$((stages + 1)); echo "== $* (at ${SECONDS} s)"; }

bash scripts/install-deps.sh

stage "build and run the suite"
cmake --preset dev >/dev/null
cmake --build build -j "$jobs"
ctest --test-dir build --output-on-failure -j "$jobs" --timeout 900

stage "Debian package: build, contents, lintian; install, serve and purge in a throw-away root"
bash tests/packaging/deb.sh "$jobs"

stage "unit tests under ASan + UBSan"
cmake --preset asan >/dev/null
cmake --build build-asan -j "$jobs"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
  ctest --test-dir build-asan -L unit --output-on-failure -j "$jobs" --timeout 900

stage "end to end with the daemon under ASan + UBSan, leaks checked at its exit"
# The daemon runs as the postfix account, so its report directory is open to all.
asan_logs=$(mktemp -d)
chmod 1777 "$asan_logs"
ASAN_OPTIONS=detect_leaks=1:log_path=$asan_logs/korvane \
  UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1:log_path=$asan_logs/ubsan \
  bash tests/e2e/run.sh shutdown build-asan/korvane
if [ -n "$(ls -A "$asan_logs")" ]; then
  cat "$asan_logs"/* >&2
  echo "the daemon under ASan reported errors or leaks" >&2
  exit 1
fi
rm -rf "$asan_logs"

if [ "${KORVANE_TSAN:-1}" != 0 ]; then
  stage "the whole suite under ThreadSanitizer, daemon included"
  cmake --preset tsan >/dev/null
  cmake --build build-tsan -j "$jobs"
  # The load group runs under the detector, but its memory bound cannot hold
  # with the detector's shadow memory; libmilter's own reports are suppressed.
  TSAN_OPTIONS=halt_on_error=1:abort_on_error=1:second_deadlock_stack=1:suppressions=$PWD/tests/support/tsan.supp \
    ctest --test-dir build-tsan --output-on-failure -j "$jobs" --timeout 900 -E '^e2e_load$'
fi

if ls fuzz/*_fuzz.cc >/dev/null 2>&1; then
  stage "fuzz targets, ${fuzz_seconds}s each"
  cmake --preset fuzz >/dev/null
  cmake --build build-fuzz -j "$jobs"
  # One target per core at a time. A target that finds something prints the
  # whole report (the input that did it and the stack), the others one line.
  fuzz_one() {
    local name=$1 work out rc=0
    local corpus=fuzz/corpus/${name%_fuzz}
    work=$(mktemp -d)
    [ -d "$corpus" ] && cp -r "$corpus"/. "$work"/
    out=$(./build-fuzz/"$name" -max_total_time="$fuzz_seconds" -print_final_stats=1 "$work" 2>&1) || rc=$?
    rm -rf "$work"
    if [ "$rc" != 0 ]; then
      printf '%s\n' "$out" | tail -n 60
      echo "fuzz target $name failed (status $rc)"
      return 1
    fi
    echo "$name: $(printf '%s\n' "$out" | grep -E '^stat::(number_of_executed_units|new_units_added)' | tr -s ' ' | paste -sd' ')"
  }
  export -f fuzz_one
  export fuzz_seconds
  for src in fuzz/*_fuzz.cc; do basename "$src" .cc; done | xargs -P "$jobs" -I{} bash -c 'fuzz_one "$1"' _ {}
fi
echo "all test stages done in $SECONDS s"
echo "$stages passed, 0 failed"
