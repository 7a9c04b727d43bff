// What counting adds to a cached check: the counting call with the metrics off
// (the default) and on. "On" opens the endpoint on 127.0.0.1:19457 once, and
// stays on for the rest of the program, so it is registered last.
#include <benchmark/benchmark.h>

#include "metrics/metrics.h"

namespace {

void count_cached_passes(benchmark::State& state) {
  for (auto _ : state) metrics_count_check(MetricKind::sender, MetricOutcome::pass, MetricSource::cache);
}

void BM_CountCheckOff(benchmark::State& state) { count_cached_passes(state); }
BENCHMARK(BM_CountCheckOff);

void BM_CountCheckOn(benchmark::State& state) {
  static const bool started = metrics_start("127.0.0.1:19457");
  if (!started) state.SkipWithError("the metrics endpoint did not open");
  count_cached_passes(state);
}
// Threads share one counter: its atomic add is the whole cost under contention.
BENCHMARK(BM_CountCheckOn)->Threads(1)->Threads(2);

}  // namespace
