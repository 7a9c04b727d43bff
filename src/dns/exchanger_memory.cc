// The exchanger memory: a table keyed by address text, in order of last use,
// under one private mutex held only for one lookup or update (never across DNS
// or SMTP work). Callouts are counted per second, so an entry holds at most as
// many counts as its budget or its period has seconds, whichever is fewer.
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

struct SecondCount {
  std::int64_t second;
  std::int64_t count;
};

struct Exchanger {
  std::string addr;
  std::int64_t unreachable_until = std::numeric_limits<std::int64_t>::min();
  std::deque<SecondCount> callouts;  // oldest first
  std::int64_t callouts_total = 0;
};

// Least recently used at the front; the index points into the list.
struct Table {
  std::list<Exchanger> order;
  std::unordered_map<std::string, std::list<Exchanger>::iterator> index;
};

std::mutex memory_mutex;
Table memory;
std::atomic<ExchangerClock> memory_clock{nullptr};

std::int64_t now_seconds() {
  ExchangerClock clock = memory_clock.load(std::memory_order_relaxed);
  if (clock != nullptr) return clock();
  return std::chrono::duration_cast<std::chrono::seconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// The entry of addr, made the most recently used; created (dropping the least
// recently used when full) only when create is set. Called under the lock.
Exchanger* find(const char* addr, bool create) {
  auto it = memory.index.find(addr);
  if (it != memory.index.end()) {
    memory.order.splice(memory.order.end(), memory.order, it->second);
    return &*it->second;
  }
  if (!create) return nullptr;
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
  return &*last;
}

// now + ttl without passing the int64 limit.
std::int64_t until(std::int64_t now, std::int64_t ttl) {
  constexpr std::int64_t hi = std::numeric_limits<std::int64_t>::max();
  return now > hi - ttl ? hi : now + ttl;
}

void forget_before(Exchanger& e, std::int64_t oldest_kept) {
  while (!e.callouts.empty() && e.callouts.front().second < oldest_kept) {
    e.callouts_total -= e.callouts.front().count;
    e.callouts.pop_front();
  }
}

}  // namespace

bool exchanger_unreachable(const char* addr) {
  try {
    std::lock_guard<std::mutex> lock(memory_mutex);
    const Exchanger* e = find(addr, false);
    return e != nullptr && now_seconds() < e->unreachable_until;
  } catch (const std::exception&) {
    return false;
  }
}

void exchanger_mark_unreachable(const char* addr, std::int64_t ttl) {
  if (ttl <= 0) return;
  try {
    std::lock_guard<std::mutex> lock(memory_mutex);
    find(addr, true)->unreachable_until = until(now_seconds(), ttl);
  } catch (const std::exception&) {
    // Not remembered: the next walk tries the address again.
  }
}

bool exchanger_take_callout(const char* addr, std::int64_t limit, std::int64_t period) {
  if (limit <= 0) return true;
  try {
    std::lock_guard<std::mutex> lock(memory_mutex);
    Exchanger& e = *find(addr, true);
    const std::int64_t now = now_seconds();
    // The window is the last period seconds, this one included.
    forget_before(e, now - period + 1);
    if (e.callouts_total >= limit) return false;
    if (e.callouts.empty() || e.callouts.back().second != now)
      e.callouts.push_back(SecondCount{now, 0});
    ++e.callouts.back().count;
    ++e.callouts_total;
    return true;
  } catch (const std::exception&) {
    return true;
  }
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
