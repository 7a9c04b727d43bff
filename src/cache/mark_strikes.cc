// The table of counted refusals: bounded, behind a lock of its own, on the
// cache's clock so that tests can move time.
#include "cache/mark_strikes.h"

#include <cstdint>
#include <functional>
#include <mutex>
#include <new>
#include <unordered_map>

#include "cache/cache.h"

namespace {

// Far above the domains that refuse probes within one lifetime; beyond it a
// refusal is not counted, which only delays a mark.
constexpr std::size_t STRIKES_MAX = 16384;

struct Strike {
  std::size_t address = 0;  // a hash: only told apart, never shown
  std::string reply;
  std::int64_t expires = 0;
  bool marked = false;
};

std::mutex strikes_mu;
std::unordered_map<std::string, Strike> strikes;

std::string lowered(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) out += (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
  return out;
}

std::string table_key(int kind, std::string_view key) { return std::to_string(kind) + ":" + lowered(key); }

void drop_expired(std::int64_t now) {
  for (auto it = strikes.begin(); it != strikes.end();)
    it = it->second.expires <= now ? strikes.erase(it) : std::next(it);
}

}  // namespace

bool mark_strike(int kind, std::string_view key, std::string_view address, std::string_view reply,
                 std::int64_t ttl) {
  if (ttl <= 0) return false;
  const std::int64_t now = cache_time();
  const std::int64_t expires = ttl > INT64_MAX - now ? INT64_MAX : now + ttl;
  try {
    const std::size_t who = std::hash<std::string>{}(lowered(address));
    std::lock_guard<std::mutex> lock(strikes_mu);
    const std::string k = table_key(kind, key);
    auto it = strikes.find(k);
    if (it == strikes.end() || it->second.expires <= now) {
      if (it == strikes.end() && strikes.size() >= STRIKES_MAX) drop_expired(now);
      if (it == strikes.end() && strikes.size() >= STRIKES_MAX) return false;
      strikes[k] = Strike{who, std::string(reply), expires, false};
      return false;
    }
    Strike& s = it->second;
    if (!s.marked && s.address == who) return false;
    s.marked = true;
    s.reply.assign(reply);
    s.expires = expires;
    return true;
  } catch (const std::bad_alloc&) {
    return false;
  }
}

std::optional<MarkNote> mark_note(int kind, std::string_view key) {
  const std::int64_t now = cache_time();
  try {
    std::lock_guard<std::mutex> lock(strikes_mu);
    auto it = strikes.find(table_key(kind, key));
    if (it == strikes.end() || it->second.expires <= now) return std::nullopt;
    return MarkNote{it->second.marked, it->second.reply, it->second.expires - now};
  } catch (const std::bad_alloc&) {
    return std::nullopt;
  }
}

bool mark_strikes_forget(int kind, std::string_view key) {
  const std::int64_t now = cache_time();
  try {
    std::lock_guard<std::mutex> lock(strikes_mu);
    auto it = strikes.find(table_key(kind, key));
    if (it == strikes.end()) return false;
    const bool live = it->second.expires > now;
    strikes.erase(it);
    return live;
  } catch (const std::bad_alloc&) {
    return false;
  }
}

void mark_strikes_clear() {
  std::lock_guard<std::mutex> lock(strikes_mu);
  strikes.clear();
}
