// The verification cache: a process-wide, mutex-guarded hash table of recent
// outcomes with lazy expiry, and the fatal stop used when its lock fails.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>

struct CacheEntry {
  char* key;  // the entry's own copy; null when the copy failed
  std::uint64_t hash;
  std::int32_t kind;
  std::int32_t status;
  std::int64_t expires;  // live while now < expires
  CacheEntry* next;
};

inline constexpr std::size_t CACHE_BUCKETS = 65536;

// Kinds beside CACHE_SENDER (0) and CACHE_RECIPIENT (1): domains found catch-all,
// keyed by the lower-cased domain, one kind per side because a sender's domain is
// asked at its public exchangers and a recipient's at the relay host, which may
// know its mailboxes better. Their one status is CATCHALL_DOMAIN.
inline constexpr int CACHE_SENDER_CATCHALL = 2;
inline constexpr int CACHE_RECIPIENT_CATCHALL = 3;
inline constexpr int CATCHALL_DOMAIN = 7;

// Null until cache_create succeeds; users skip the cache while it is null.
extern CacheEntry** cache_table;

[[nodiscard]] bool cache_mutex_init();
void cache_mutex_destroy();
// Allocates the 65536 empty buckets; false (and cache_table null) on failure.
[[nodiscard]] bool cache_create();
void cache_destroy();

// Callers bracket each single lookup or store with cache_lock/cache_unlock.
// Both expect the lock held and cache_table set; expires is clamped, not wrapped.
[[nodiscard]] int cache_lookup(const char* key, int kind);
void cache_store(const char* key, std::int64_t ttl, int kind, int status);
void cache_lock();
void cache_unlock();
[[noreturn]] void die(const char* what);

// Tests replace the clock; nullptr restores time().
using CacheClock = std::time_t (*)();
void cache_set_clock(CacheClock clock);
// Tests shorten die's 60-second pause before the abort.
void cache_set_die_pause(int seconds);
