// The shared tier's state: up or lost, the once-a-second retry, the log lines of
// a change, the per-check time budget and the error count, over a store (Redis in
// production). The state is a few atomics: no lock is held across the store's I/O.
#include "cache/shared_tier.h"

#include <syslog.h>

#include <atomic>
#include <chrono>
#include <climits>

#include "cache/shared_codec.h"
#include "cache/shared_redis.h"
#include "util/log.h"

namespace {

enum TierState : int { TIER_OFF, TIER_UNKNOWN, TIER_UP, TIER_DOWN };

constexpr long long RETRY_MS = 1000;

// Written before the milter threads start and after they end; read-only between.
SharedTierConfig tier_config;
const SharedStore* tier_store = nullptr;

std::atomic<int> tier_state{TIER_OFF};
std::atomic<long long> last_try_ms{LLONG_MIN / 2};
std::atomic<std::uint64_t> error_count{0};
std::atomic<SharedClock> tier_clock{nullptr};

// The Redis time spent by this thread's current check, so that a check's recall
// and remember together stay within the timeout.
thread_local long long spent_ms = 0;

long long now_ms() {
  if (SharedClock clock = tier_clock.load(std::memory_order_relaxed)) return clock();
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// Whether this call may use the store, and whether it is the one retry of a lost
// tier (only a retry may declare the tier back: a late answer on a connection
// from before the loss says nothing).
enum class Access { no, yes, retry };

Access access() {
  const int state = tier_state.load(std::memory_order_acquire);
  if (state == TIER_OFF) return Access::no;
  if (state != TIER_DOWN) return state == TIER_UNKNOWN ? Access::retry : Access::yes;
  long long last = last_try_ms.load(std::memory_order_relaxed);
  const long long now = now_ms();
  if (now - last < RETRY_MS) return Access::no;
  return last_try_ms.compare_exchange_strong(last, now) ? Access::retry : Access::no;
}

// Keeps the reason to one printable line: it may carry the server's own words.
std::string printable(const std::string& reason) {
  std::string out;
  for (char c : reason.substr(0, 200)) {
    const auto b = static_cast<unsigned char>(c);
    out += (b < 0x20 || b == 0x7f) ? '?' : c;
  }
  return out;
}

void went_wrong(const std::string& reason) {
  error_count.fetch_add(1, std::memory_order_relaxed);
  last_try_ms.store(now_ms(), std::memory_order_relaxed);
  int before = tier_state.load(std::memory_order_acquire);
  do {
    if (before == TIER_DOWN || before == TIER_OFF) return;
  } while (!tier_state.compare_exchange_weak(before, TIER_DOWN, std::memory_order_acq_rel));
  log_msg(LOG_WARNING, "shared cache unavailable: %s", printable(reason).c_str());
  if (tier_store->forget_connections != nullptr) tier_store->forget_connections();
}

void went_right(Access how) {
  if (how != Access::retry) return;
  int before = tier_state.load(std::memory_order_acquire);
  if (before == TIER_UP || before == TIER_OFF) return;
  if (tier_state.compare_exchange_strong(before, TIER_UP, std::memory_order_acq_rel))
    log_msg(LOG_NOTICE, "shared cache available");
}

// DONE and SKIPPED leave the state to went_right (DONE only); FAILED loses the tier.
bool settle(SharedResult r, Access how, const std::string& reason) {
  if (r == SHARED_FAILED) went_wrong(reason);
  if (r == SHARED_DONE) went_right(how);
  return r == SHARED_DONE;
}

}  // namespace

void shared_tier_start_with(const SharedTierConfig& config, const SharedStore* store) {
  tier_config = config;
  tier_store = store != nullptr ? store : &shared_redis_store();
  if (store == nullptr) shared_redis_configure(config);
  last_try_ms.store(LLONG_MIN / 2);
  error_count.store(0);
  tier_state.store(TIER_UNKNOWN, std::memory_order_release);
}

void shared_tier_start(const SharedTierConfig& config) {
  shared_tier_start_with(config, nullptr);
  std::string reason;
  const Access how = access();
  if (how != Access::no) settle(tier_store->ping(config.timeout_ms, &reason), how, reason);
}

void shared_tier_stop() {
  if (tier_state.exchange(TIER_OFF) == TIER_OFF) return;
  if (tier_store == &shared_redis_store()) shared_redis_close();
}

SharedAnswer shared_tier_recall(const char* address, int kind) {
  spent_ms = 0;
  const Access how = access();
  if (how == Access::no || address == nullptr) return {};
  const std::string key = shared_key(tier_config.prefix, kind, address);
  SharedFetch got;
  std::string reason;
  const long long start = now_ms();
  const SharedResult r = tier_store->fetch(key, tier_config.timeout_ms, &got, &reason);
  spent_ms = now_ms() - start;
  if (!settle(r, how, reason) || !got.found) return {};
  const int status = shared_status(kind, got.value);
  if (status == 0) {
    // Someone else's value under our prefix: not known here, and worth counting.
    error_count.fetch_add(1, std::memory_order_relaxed);
    return {};
  }
  return {status, shared_keep_seconds(got.pttl_ms)};
}

void shared_tier_remember(const char* address, int kind, int status, std::int64_t ttl) {
  const long long budget = tier_config.timeout_ms - spent_ms;
  spent_ms = 0;
  const long long px = shared_px(ttl);
  const std::string_view value = shared_value(status);
  if (px == 0 || value.empty() || budget <= 0 || address == nullptr) return;
  const Access how = access();
  if (how == Access::no) return;
  std::string reason;
  settle(tier_store->store(shared_key(tier_config.prefix, kind, address), value, px, budget,
                           &reason),
         how, reason);
}

void shared_tier_forget(const char* address, int kind) {
  spent_ms = 0;
  const Access how = access();
  if (how == Access::no || address == nullptr || tier_store->erase == nullptr) return;
  std::string reason;
  settle(tier_store->erase(shared_key(tier_config.prefix, kind, address), tier_config.timeout_ms,
                           &reason),
         how, reason);
}

bool shared_tier_up() { return tier_state.load(std::memory_order_acquire) == TIER_UP; }

std::uint64_t shared_tier_errors() { return error_count.load(std::memory_order_relaxed); }

void shared_tier_set_clock(SharedClock clock) { tier_clock.store(clock); }
