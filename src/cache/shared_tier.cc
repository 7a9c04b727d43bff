// The shared tier's state: up or lost, the once-a-second retry, the log lines of
// a change (of state or of master), the check's time budget and the error counts,
// over a store (Redis in production). The state is a few atomics: no lock is
// held across the store's I/O.
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
constexpr long long REFUSAL_LOG_MS = 60'000;

// Written before the milter threads start and after they end; read-only between.
SharedTierConfig tier_config;
const SharedStore* tier_store = nullptr;

std::atomic<int> tier_state{TIER_OFF};
std::atomic<long long> last_try_ms{LLONG_MIN / 2};
std::atomic<std::uint64_t> error_counts[SHARED_ERROR_REASONS];
std::atomic<long long> last_refusal_log_ms{LLONG_MIN / 2};
std::atomic<std::uint64_t> logged_master_epoch{0};
std::atomic<SharedClock> tier_clock{nullptr};

void count_error(SharedErrorReason reason) {
  error_counts[static_cast<int>(reason)].fetch_add(1, std::memory_order_relaxed);
}

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

void went_wrong(const SharedFailure& why) {
  count_error(why.reason);
  last_try_ms.store(now_ms(), std::memory_order_relaxed);
  int before = tier_state.load(std::memory_order_acquire);
  do {
    if (before == TIER_DOWN || before == TIER_OFF) return;
  } while (!tier_state.compare_exchange_weak(before, TIER_DOWN, std::memory_order_acq_rel));
  log_msg(LOG_WARNING, "shared cache unavailable: %s", printable(why.text).c_str());
  if (tier_store->forget_connections != nullptr) tier_store->forget_connections();
}

// The line of a tier that answers, naming the master when there are sentinels.
void log_available(std::uint64_t epoch) {
  logged_master_epoch.store(epoch, std::memory_order_relaxed);
  const std::string master = tier_store->master != nullptr ? tier_store->master() : "";
  if (master.empty())
    log_msg(LOG_NOTICE, "shared cache available");
  else
    log_msg(LOG_NOTICE, "shared cache available: master %s", printable(master).c_str());
}

std::uint64_t master_epoch() {
  return tier_store->master_epoch != nullptr ? tier_store->master_epoch() : 0;
}

void went_right(Access how) {
  if (how != Access::retry) {
    // Up all along: a master that changed since the last line gets one of its own.
    std::uint64_t seen = logged_master_epoch.load(std::memory_order_relaxed);
    const std::uint64_t now = master_epoch();
    if (now != seen && tier_state.load(std::memory_order_acquire) == TIER_UP &&
        logged_master_epoch.compare_exchange_strong(seen, now))
      log_available(now);
    return;
  }
  int before = tier_state.load(std::memory_order_acquire);
  if (before == TIER_UP || before == TIER_OFF) return;
  if (tier_state.compare_exchange_strong(before, TIER_UP, std::memory_order_acq_rel))
    log_available(master_epoch());
}

// A write the server refused: counted each time, logged at most once a minute.
void write_refused(const SharedFailure& why) {
  long long last = last_refusal_log_ms.load(std::memory_order_relaxed);
  const long long now = now_ms();
  if (now - last >= REFUSAL_LOG_MS && last_refusal_log_ms.compare_exchange_strong(last, now))
    log_msg(LOG_WARNING, "shared cache write refused: %s", printable(why.text).c_str());
}

// FAILED loses the tier; REFUSED is counted (and, for a write, logged) and
// shows the server there, as DONE does; SKIPPED says nothing.
bool settle(SharedResult r, Access how, const SharedFailure& why, bool write) {
  if (r == SHARED_FAILED) went_wrong(why);
  if (r == SHARED_DONE || r == SHARED_REFUSED) went_right(how);
  if (r == SHARED_REFUSED) {
    count_error(SharedErrorReason::refused);
    if (write) write_refused(why);
  }
  return r == SHARED_DONE;
}

}  // namespace

void shared_tier_start_with(const SharedTierConfig& config, const SharedStore* store) {
  tier_config = config;
  tier_store = store != nullptr ? store : &shared_redis_store();
  if (store == nullptr) shared_redis_configure(config);
  last_try_ms.store(LLONG_MIN / 2);
  last_refusal_log_ms.store(LLONG_MIN / 2);
  for (auto& n : error_counts) n.store(0);
  logged_master_epoch.store(0);
  tier_state.store(TIER_UNKNOWN, std::memory_order_release);
}

void shared_tier_start(const SharedTierConfig& config) {
  shared_tier_start_with(config, nullptr);
  SharedFailure why;
  const Access how = access();
  if (how != Access::no) settle(tier_store->ping(config.timeout_ms, &why), how, why, false);
}

void shared_tier_stop() {
  if (tier_state.exchange(TIER_OFF) == TIER_OFF) return;
  if (tier_store == &shared_redis_store()) shared_redis_close();
}

SharedAnswer shared_tier_recall(const char* address, int kind, long long* spent_ms) {
  const long long budget = tier_config.timeout_ms - *spent_ms;
  if (budget <= 0 || address == nullptr) return {};
  const Access how = access();
  if (how == Access::no) return {};
  const std::string key = shared_key(tier_config.prefix, kind, address);
  SharedFetch got;
  SharedFailure why;
  const long long start = now_ms();
  const SharedResult r = tier_store->fetch(key, budget, &got, &why);
  *spent_ms += now_ms() - start;
  if (!settle(r, how, why, false) || !got.found) return {};
  const int status = shared_status(kind, got.value);
  if (status == 0) {
    // Someone else's value under our prefix: not known here, left as it is, counted.
    count_error(SharedErrorReason::garbage);
    return {};
  }
  return {status, shared_keep_seconds(got.pttl_ms)};
}

void shared_tier_remember(const char* address, int kind, int status, std::int64_t ttl,
                          long long* spent_ms) {
  const long long budget = tier_config.timeout_ms - *spent_ms;
  const long long px = shared_px(ttl);
  const std::string_view value = shared_value(status);
  if (px == 0 || value.empty() || budget <= 0 || address == nullptr) return;
  const Access how = access();
  if (how == Access::no) return;
  SharedFailure why;
  const long long start = now_ms();
  const SharedResult r =
      tier_store->store(shared_key(tier_config.prefix, kind, address), value, px, budget, &why);
  *spent_ms += now_ms() - start;
  settle(r, how, why, true);
}

bool shared_tier_forget(const char* address, int kind) {
  if (tier_state.load(std::memory_order_acquire) == TIER_OFF || address == nullptr) return true;
  const Access how = access();
  if (how == Access::no || tier_store->erase == nullptr) return false;
  SharedFailure why;
  return settle(tier_store->erase(shared_key(tier_config.prefix, kind, address),
                                  tier_config.timeout_ms, &why),
                how, why, true);
}

bool shared_tier_up() { return tier_state.load(std::memory_order_acquire) == TIER_UP; }

std::uint64_t shared_tier_errors() {
  std::uint64_t all = 0;
  for (const auto& n : error_counts) all += n.load(std::memory_order_relaxed);
  return all;
}

std::uint64_t shared_tier_errors_by(SharedErrorReason reason) {
  const auto r = static_cast<int>(reason);
  return r >= 0 && r < SHARED_ERROR_REASONS ? error_counts[r].load(std::memory_order_relaxed) : 0;
}

void shared_tier_set_clock(SharedClock clock) { tier_clock.store(clock); }
