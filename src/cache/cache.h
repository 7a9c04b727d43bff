// The verification cache: a process-wide hash table of recent outcomes with lazy
// expiry behind its own lock, and the fatal stop used when that lock fails.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <span>
#include <string>
#include <vector>

#include "cache/cache_file.h"

inline constexpr std::size_t CACHE_BUCKETS = 65536;

// Kinds beside CACHE_SENDER (0) and CACHE_RECIPIENT (1): domains found catch-all,
// keyed by the lower-cased domain, one kind per side because a sender's domain is
// asked at its public exchangers and a recipient's at the relay host, which may
// know its mailboxes better. Their one status is CATCHALL_DOMAIN.
inline constexpr int CACHE_SENDER_CATCHALL = 2;
inline constexpr int CACHE_RECIPIENT_CATCHALL = 3;
inline constexpr int CATCHALL_DOMAIN = 7;
// Sender domains whose exchangers refused the probe itself (refusals mailbox),
// keyed the same way; their one status is REFUSING_DOMAIN.
inline constexpr int CACHE_SENDER_REFUSING = 4;
inline constexpr int REFUSING_DOMAIN = 8;
// Addresses whose cached pass was just verified again without being renewed:
// no further background walk of them until this expires. Kept in this host's
// memory only; their one status is REFRESHED_ADDRESS.
inline constexpr int CACHE_SENDER_REFRESHED = 5;
inline constexpr int CACHE_RECIPIENT_REFRESHED = 6;
inline constexpr int REFRESHED_ADDRESS = 9;
// Exchanger addresses marked as refusing this host's probes, keyed by the
// address text; shared so that every host of a site leaves them alone.
inline constexpr int CACHE_EXCHANGER_REFUSING = 7;
inline constexpr int REFUSING_EXCHANGER = 10;

// Start-up makes the lock before any other thread exists, then the table;
// without a table every recall finds nothing and every remember does nothing.
[[nodiscard]] bool cache_mutex_init();
void cache_mutex_destroy();
// Allocates the 65536 empty buckets; false (and no table) on failure.
[[nodiscard]] bool cache_create();
// Releases every entry and the table under the lock, and what counts towards a
// mark (mark_strikes.h); later calls find no table.
void cache_destroy();
[[nodiscard]] bool cache_available();

// What one check may spend waiting on the shared tier: its recalls and its
// remembers together wait at most redistimeout. Made at the start of the check
// and handed to each of its calls, on whichever thread runs them (one after
// another, never two at once).
struct CacheBudget {
  long long shared_spent_ms = 0;
};

// Where an answer was found: this host's memory or the site's shared tier, and
// the seconds it has left to live.
struct CacheHit {
  bool shared = false;
  std::int64_t left = 0;
};
// The live status for key and kind, or 0 (also without a table or key): from
// memory, else from the shared tier when it is on (and then kept in memory for
// the time it has left there), within what is left of budget. *hit, when
// given, tells where it was found.
[[nodiscard]] int cache_recall(const char* key, int kind, CacheBudget& budget,
                               CacheHit* hit = nullptr);
// The same for a call outside any check (tests, benchmarks): a budget of its own.
[[nodiscard]] int cache_recall(const char* key, int kind);
// A second look at a key just recalled: only what this host has stored since.
[[nodiscard]] int cache_recall_again(const char* key, int kind);
// Who may use a stored outcome: the whole site, or only this host, for what
// only this host can vouch for.
enum class CacheReach { site, host };
// Stores the outcome unless there is no table or its lifetime is 0; a live
// entry for key and kind is kept as it is. Expiry is clamped, not wrapped.
// Within the site's reach the shared tier, when on, is written too, within budget.
void cache_remember(const char* key, std::int64_t ttl, int kind, int status, CacheBudget& budget,
                    CacheReach reach = CacheReach::site);
void cache_remember(const char* key, std::int64_t ttl, int kind, int status);
// The same, but a live entry takes the new outcome and lifetime: a renewal.
void cache_renew(const char* key, std::int64_t ttl, int kind, int status, CacheBudget& budget);

// Entries held for kind, expired ones not yet reused included: what the cache
// costs in memory, not how many outcomes are still live.
[[nodiscard]] std::int64_t cache_entry_count(int kind);

// What the control socket sees of one key: each live entry under one of kinds,
// with the whole seconds it has left, in this host's memory or the shared tier.
struct CacheHolding {
  int kind;
  int status;
  std::int64_t seconds_left;
  bool shared;
};
// Looks only: neither tier changes, and what the shared tier holds is not
// copied into memory as a check's recall would.
[[nodiscard]] std::vector<CacheHolding> cache_look_up(const char* key, std::span<const int> kinds);
// Removes key under each of kinds from memory and from the shared tier, and
// tells what was live there; *shared_forgotten (when given) is false when the
// shared tier is on but could not delete every key.
std::vector<CacheHolding> cache_forget(const char* key, std::span<const int> kinds,
                                       bool* shared_forgotten = nullptr);

// What the cache file keeps: the live entries of this host's memory, copied one
// bucket at a time so that checks wait at most one bucket's copy for the lock.
[[nodiscard]] std::vector<CacheFileEntry> cache_export();
// Takes an entry back from the file with the expiry it had (memory only: the
// shared tier keeps its own); a live entry for key and kind is kept as it is.
// False when there is no table, the entry is no longer live, or it is not stored.
bool cache_import(const CacheFileEntry& entry);

[[noreturn]] void die(const char* what);

// For tests and benchmarks: a copy of one bucket's chain in link order, taken
// under the lock, and the size of one entry.
struct CacheSlot {
  bool has_key;
  std::string key;
  std::uint64_t hash;
  int kind;
  int status;
  std::int64_t expires;
};
[[nodiscard]] std::vector<CacheSlot> cache_chain(std::size_t bucket);
[[nodiscard]] std::size_t cache_entry_size();
// Tests replace the clock; nullptr restores time().
using CacheClock = std::time_t (*)();
void cache_set_clock(CacheClock clock);
// The cache's clock, in seconds, for what lives beside the cache.
[[nodiscard]] std::int64_t cache_time();
// Tests shorten die's 60-second pause before the abort.
void cache_set_die_pause(int seconds);
