// Cache lookups (hit and miss) and stores at 10^3, 10^5 and 10^6 live entries,
// each bracketed by the lock as the callbacks do, and hash_string on addresses.
#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "cache/cache.h"
#include "sample_addresses.h"
#include "util/constants.h"
#include "util/helpers.h"

namespace {

constexpr std::int64_t kTtl = 3600;
std::atomic<std::time_t> bench_now{1'000'000};
std::time_t bench_clock() { return bench_now.load(std::memory_order_relaxed); }

// The table is filled once per size and kept while the benchmarks of that size
// run: filling 10^6 entries costs far more than the measurements themselves.
struct FilledCache {
  std::size_t size = 0;
  std::vector<std::string> stored;   // keys with a live entry
  std::vector<std::string> absent;   // keys never stored

  void ensure(std::size_t n) {
    if (size == n && cache_available()) return;
    cache_set_clock(bench_clock);
    if (!cache_mutex_init()) return;
    cache_destroy();
    if (!cache_create()) return;
    bench_now = 1'000'000;
    stored = sample_addresses(n);
    absent = sample_addresses(n < 100'000 ? n : 100'000, 50'000'000);
    for (const auto& k : stored) cache_remember(k.c_str(), kTtl, CACHE_SENDER, SENDER_PASS);
    size = n;
  }
};
FilledCache filled;

// Visits keys in a scattered order so successive operations touch unrelated buckets.
std::size_t scatter(std::size_t i, std::size_t n) { return (i * 2654435761u) % n; }

// One operation (which takes the lock itself) per iteration on the keys of the
// filled table, in scattered order.
template <typename Op>
void run_locked(benchmark::State& state, bool stored_keys, Op op) {
  filled.ensure(static_cast<std::size_t>(state.range(0)));
  const auto& keys = stored_keys ? filled.stored : filled.absent;
  std::size_t i = 0;
  for (auto _ : state) op(keys[scatter(i++, keys.size())].c_str());
}

void lookup(const char* key) { benchmark::DoNotOptimize(cache_recall(key, CACHE_SENDER)); }

void BM_CacheLookupHit(benchmark::State& state) { run_locked(state, true, lookup); }
void BM_CacheLookupMiss(benchmark::State& state) { run_locked(state, false, lookup); }

// A store that finds the key's live entry and changes nothing (two verifications
// of one address racing).
void BM_CacheStoreDuplicate(benchmark::State& state) {
  run_locked(state, true, [](const char* key) { cache_remember(key, kTtl, CACHE_SENDER, SENDER_FAIL); });
}

// A store of a new outcome in steady state: the clock has moved past every
// entry's lifetime, so the store recycles a dead entry and the table keeps its size.
// Each round through the keys is preceded by one more jump of the clock.
void BM_CacheStoreReuse(benchmark::State& state) {
  filled.ensure(static_cast<std::size_t>(state.range(0)));
  const auto& keys = filled.stored;
  const std::size_t n = keys.size();
  std::size_t i = 0;
  for (auto _ : state) {
    if (i % n == 0) bench_now.fetch_add(kTtl + 1, std::memory_order_relaxed);
    cache_remember(keys[scatter(i++, n)].c_str(), kTtl, CACHE_RECIPIENT, RCPT_PASS);
  }
  // Leave the table as the other benchmarks expect it: refilled on next use.
  filled.size = 0;
}

void BM_HashString(benchmark::State& state) {
  const auto keys = sample_addresses(1024);
  std::size_t i = 0, bytes = 0;
  for (auto _ : state) {
    const std::string& k = keys[i++ & 1023];
    bytes += k.size();
    benchmark::DoNotOptimize(hash_string(k.c_str()));
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(bytes));
}

// Grouped by size, so that each size is filled once and its rows sit side by side;
// the reusing store goes last because it leaves the table changed.
#define CACHE_AT(n)                          \
  BENCHMARK(BM_CacheLookupHit)->Arg(n);      \
  BENCHMARK(BM_CacheLookupMiss)->Arg(n);     \
  BENCHMARK(BM_CacheStoreDuplicate)->Arg(n); \
  BENCHMARK(BM_CacheStoreReuse)->Arg(n)
CACHE_AT(1'000);
CACHE_AT(100'000);
CACHE_AT(1'000'000);
BENCHMARK(BM_HashString);

}  // namespace
