// The exchanger memory: a table keyed by address text, in order of last use,
// under one private mutex held only for one lookup or update (never across DNS
// or SMTP work). Callouts are kept by the nanosecond they were taken, those of
// one nanosecond together, so an entry holds at most as many counts as its budget.
#include "dns/exchanger_memory.h"

#include <atomic>
#include <chrono>
#include <deque>
#include <limits>
#include <list>
#include <mutex>
#include <new>
#include <string>
#include <system_error>
#include <unordered_map>

namespace {

struct InstantCount {
  std::int64_t ns;
  std::int64_t count;
};

constexpr std::int64_t NS_PER_SECOND = 1000 * 1000 * 1000;

struct Exchanger {
  std::string addr;
  std::int64_t unreachable_until = std::numeric_limits<std::int64_t>::min();
  std::deque<InstantCount> callouts;  // oldest first
  std::int64_t callouts_total = 0;
  // The first refusal about this host, of which mailbox, and until when it counts.
  std::uint64_t refused_mailbox = 0;
  std::int64_t refusal_counts_until = std::numeric_limits<std::int64_t>::min();
  std::int64_t refusing_until = std::numeric_limits<std::int64_t>::min();
};

// Least recently used at the front; the index points into the list.
struct Table {
  std::list<Exchanger> order;
  std::unordered_map<std::string, std::list<Exchanger>::iterator> index;
};

std::mutex memory_mutex;
Table memory;
std::atomic<ExchangerClock> memory_clock{nullptr};

std::int64_t now_ns() {
  ExchangerClock clock = memory_clock.load(std::memory_order_relaxed);
  if (clock != nullptr) return clock();
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// The entry of addr, made the most recently used; created (dropping the least
// recently used when full) only when create is set and new_entries (if given)
// allows one more. Called under the lock.
Exchanger* find(const char* addr, bool create, int* new_entries = nullptr) {
  auto it = memory.index.find(addr);
  if (it != memory.index.end()) {
    memory.order.splice(memory.order.end(), memory.order, it->second);
    return &*it->second;
  }
  if (!create || (new_entries != nullptr && *new_entries <= 0)) return nullptr;
  Exchanger fresh;
  fresh.addr = addr;
  if (memory.order.size() >= EXCHANGER_MEMORY_MAX) {
    memory.index.erase(memory.order.front().addr);
    memory.order.pop_front();
  }
  memory.order.push_back(std::move(fresh));
  auto last = std::prev(memory.order.end());
  try {
    memory.index.emplace(last->addr, last);
  } catch (...) {
    memory.order.pop_back();
    throw;
  }
  if (new_entries != nullptr) --*new_entries;
  return &*last;
}

// now + ttl seconds, in nanoseconds, without passing the int64 limit.
std::int64_t until(std::int64_t now, std::int64_t ttl) {
  constexpr std::int64_t hi = std::numeric_limits<std::int64_t>::max();
  if (ttl > (hi - now) / NS_PER_SECOND) return hi;
  return now + ttl * NS_PER_SECOND;
}

void forget_before(Exchanger& e, std::int64_t oldest_kept) {
  while (!e.callouts.empty() && e.callouts.front().ns < oldest_kept) {
    e.callouts_total -= e.callouts.front().count;
    e.callouts.pop_front();
  }
}

// Sets a mark of addr to ttl seconds from now; ttl <= 0 does nothing. A mark
// that cannot be kept is not: the next walk asks again.
void mark_until(const char* addr, std::int64_t ttl, int* new_entries, std::int64_t Exchanger::*field) {
  if (ttl <= 0) return;
  try {
    std::lock_guard<std::mutex> lock(memory_mutex);
    if (Exchanger* e = find(addr, true, new_entries)) e->*field = until(now_ns(), ttl);
  } catch (const std::exception&) {
  }
}

}  // namespace

bool exchanger_unreachable(const char* addr) {
  try {
    std::lock_guard<std::mutex> lock(memory_mutex);
    const Exchanger* e = find(addr, false);
    return e != nullptr && now_ns() < e->unreachable_until;
  } catch (const std::exception&) {
    return false;
  }
}

void exchanger_mark_unreachable(const char* addr, std::int64_t ttl, int* new_entries) {
  mark_until(addr, ttl, new_entries, &Exchanger::unreachable_until);
}

bool exchanger_take_callout(const char* addr, std::int64_t limit, std::int64_t period,
                            int* new_entries) {
  if (limit <= 0) return true;
  try {
    std::lock_guard<std::mutex> lock(memory_mutex);
    Exchanger* found = find(addr, true, new_entries);
    if (found == nullptr) return true;
    Exchanger& e = *found;
    const std::int64_t now = now_ns();
    // The window is the span of period seconds that ends now: a callout taken
    // exactly one period ago has left it.
    const std::int64_t span = period > now / NS_PER_SECOND ? now : period * NS_PER_SECOND;
    forget_before(e, now - span + 1);
    if (e.callouts_total >= limit) return false;
    if (e.callouts.empty() || e.callouts.back().ns != now)
      e.callouts.push_back(InstantCount{now, 0});
    ++e.callouts.back().count;
    ++e.callouts_total;
    return true;
  } catch (const std::exception&) {
    return true;
  }
}

bool exchanger_note_refusal(const char* addr, std::uint64_t mailbox_key, std::int64_t ttl,
                            int* new_entries) {
  if (ttl <= 0) return false;
  try {
    std::lock_guard<std::mutex> lock(memory_mutex);
    Exchanger* e = find(addr, true, new_entries);
    if (e == nullptr) return false;
    const std::int64_t now = now_ns();
    if (now < e->refusal_counts_until && e->refused_mailbox != mailbox_key) {
      e->refusing_until = until(now, ttl);
      e->refusal_counts_until = std::numeric_limits<std::int64_t>::min();
      return true;
    }
    if (now >= e->refusal_counts_until) {
      e->refused_mailbox = mailbox_key;
      e->refusal_counts_until = until(now, ttl);
    }
    return false;
  } catch (const std::exception&) {
    return false;
  }
}

void exchanger_mark_refusing(const char* addr, std::int64_t ttl, int* new_entries) {
  mark_until(addr, ttl, new_entries, &Exchanger::refusing_until);
}

bool exchanger_refusing(const char* addr) {
  try {
    std::lock_guard<std::mutex> lock(memory_mutex);
    const Exchanger* e = find(addr, false);
    return e != nullptr && now_ns() < e->refusing_until;
  } catch (const std::exception&) {
    return false;
  }
}

bool exchanger_forget_refusing(const char* addr) {
  std::lock_guard<std::mutex> lock(memory_mutex);
  auto it = memory.index.find(addr);
  if (it == memory.index.end()) return false;
  Exchanger& e = *it->second;
  const bool was = now_ns() < e.refusing_until;
  e.refusing_until = e.refusal_counts_until = std::numeric_limits<std::int64_t>::min();
  return was;
}

std::vector<RefusingExchanger> exchanger_refusing_list() {
  std::vector<RefusingExchanger> out;
  std::lock_guard<std::mutex> lock(memory_mutex);
  const std::int64_t now = now_ns();
  for (const Exchanger& e : memory.order)
    if (now < e.refusing_until) out.push_back({e.addr, (e.refusing_until - now) / NS_PER_SECOND});
  return out;
}

std::int64_t exchanger_refusing_count() {
  std::lock_guard<std::mutex> lock(memory_mutex);
  const std::int64_t now = now_ns();
  std::int64_t n = 0;
  for (const Exchanger& e : memory.order) n += now < e.refusing_until ? 1 : 0;
  return n;
}

void exchanger_memory_set_clock(ExchangerClock clock) {
  memory_clock.store(clock, std::memory_order_relaxed);
}

void exchanger_memory_clear() {
  std::lock_guard<std::mutex> lock(memory_mutex);
  memory.index.clear();
  memory.order.clear();
}

std::size_t exchanger_memory_size() {
  std::lock_guard<std::mutex> lock(memory_mutex);
  return memory.order.size();
}
