#!/usr/bin/env bash
# The whole test suite: installs what it needs, builds, runs every test (unit and
# end to end), runs the unit tests again under AddressSanitizer and
# UndefinedBehaviorSanitizer, then runs each fuzz target for a bounded time.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc)
fuzz_seconds=${KORVANE_FUZZ_SECONDS:-60}

bash scripts/install-deps.sh

echo "== build and run the suite"
cmake --preset dev >/dev/null
cmake --build build -j "$jobs"
ctest --test-dir build --output-on-failure -j "$jobs" --timeout 900

echo "== unit tests under ASan + UBSan"
cmake --preset asan >/dev/null
cmake --build build-asan -j "$jobs"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
  ctest --test-dir build-asan -L unit --output-on-failure -j "$jobs" --timeout 900

if ls fuzz/*_fuzz.cc >/dev/null 2>&1; then
  echo "== fuzz targets, ${fuzz_seconds}s each"
  cmake --preset fuzz >/dev/null
  cmake --build build-fuzz -j "$jobs"
  for src in fuzz/*_fuzz.cc; do
    name=$(basename "$src" .cc)
    corpus=fuzz/corpus/${name%_fuzz}
    work=$(mktemp -d)
    [ -d "$corpus" ] && cp -r "$corpus"/. "$work"/
    ./build-fuzz/"$name" -max_total_time="$fuzz_seconds" -print_final_stats=1 "$work" 2>&1 | tail -4
    rm -rf "$work"
  done
fi
echo "all test stages passed"
