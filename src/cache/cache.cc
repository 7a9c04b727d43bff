// The verification cache: 65536 chained buckets of outcomes with lazy expiry,
// guarded by one private mutex that every operation takes for itself, and die,
// the fatal stop when that mutex fails. Keys are the callers' address texts,
// compared byte for byte. Allocation failures store nothing and are not
// reported; a failed lock never returns.
#include "cache/cache.h"

#include "cache/mark_strikes.h"

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <libmilter/mfapi.h>
#include <limits>
#include <pthread.h>
#include <syslog.h>

#include "cache/shared_tier.h"
#include "util/constants.h"
#include "util/helpers.h"
#include "util/log.h"

namespace {

struct CacheEntry {
  char* key;  // the entry's own copy; null when the copy failed
  std::uint64_t hash;
  std::int32_t kind;
  std::int32_t status;
  std::int64_t expires;  // live while now < expires
  CacheEntry* next;
};

// Null until cache_create succeeds and after cache_destroy; read and changed
// only under cache_mutex once the milter threads run.
CacheEntry** cache_table = nullptr;
pthread_mutex_t cache_mutex;
bool cache_mutex_ready = false;  // changed only while no other thread exists
// Entries held per kind (CACHE_SENDER up to CACHE_EXCHANGER_REFUSING), dead
// ones not yet reused included; kept under cache_mutex as entries are made and
// reused.
constexpr int HELD_KINDS = CACHE_EXCHANGER_REFUSING + 1;
std::int64_t held[HELD_KINDS] = {};

bool counted_kind(int kind) { return kind >= 0 && kind < HELD_KINDS; }

void count_held(int kind, int delta) {
  if (counted_kind(kind)) held[kind] += delta;
}

// Holds cache_mutex for its scope; a lock or unlock that fails never returns.
class CacheLock {
 public:
  CacheLock() {
    if (pthread_mutex_lock(&cache_mutex) != 0) die("pthread_mutex_lock");
  }
  ~CacheLock() {
    if (pthread_mutex_unlock(&cache_mutex) != 0) die("pthread_mutex_unlock");
  }
  CacheLock(const CacheLock&) = delete;
  CacheLock& operator=(const CacheLock&) = delete;
};

// Read under the cache lock by every thread; only tests ever change it, and only
// while no other thread uses the cache. Atomic so that is never a data race.
std::atomic<CacheClock> cache_clock{nullptr};
std::atomic<int> die_pause_seconds{60};

std::int64_t cache_now() {
  CacheClock clock = cache_clock.load(std::memory_order_relaxed);
  return static_cast<std::int64_t>(clock != nullptr ? clock() : std::time(nullptr));
}

// now + ttl, clamped to the range of int64 instead of wrapping: a huge lifetime
// setting means "practically for ever", a hugely negative one "already dead".
std::int64_t expiry_of(std::int64_t now, std::int64_t ttl) {
  constexpr std::int64_t hi = std::numeric_limits<std::int64_t>::max();
  constexpr std::int64_t lo = std::numeric_limits<std::int64_t>::min();
  if (ttl > 0 && now > hi - ttl) return hi;
  if (ttl < 0 && now < lo - ttl) return lo;
  return now + ttl;
}

// The cheap integer tests come first so that text is compared almost only for
// the true match.
bool entry_matches(const CacheEntry* e, const char* key, std::uint64_t h, int kind,
                   std::int64_t now) {
  return e->kind == kind && e->hash == h && now < e->expires && e->key != nullptr &&
         std::strcmp(e->key, key) == 0;
}

void entry_fill(CacheEntry* e, const char* key, std::uint64_t h, int kind, int status,
                std::int64_t expires) {
  e->key = strdup(key);  // null on failure: the entry then never matches
  e->hash = h;
  e->kind = kind;
  e->status = status;
  e->expires = expires;
}

// Both expect the lock held. *left, when given, gets the live entry's seconds left.
int cache_lookup(const char* key, int kind, std::int64_t* left = nullptr) {
  if (cache_table == nullptr || key == nullptr) return 0;
  const std::uint64_t h = hash_string(key);
  const std::int64_t now = cache_now();
  for (const CacheEntry* e = cache_table[h & (CACHE_BUCKETS - 1)]; e != nullptr; e = e->next) {
    if (!entry_matches(e, key, h, kind, now)) continue;
    if (left != nullptr) *left = e->expires - now;
    return e->status;
  }
  return 0;
}

// replace: a live entry takes the new outcome and lifetime (a renewal).
void cache_store(const char* key, std::int64_t ttl, int kind, int status, bool replace = false) {
  if (cache_table == nullptr || key == nullptr) return;
  const std::uint64_t h = hash_string(key);
  const std::int64_t now = cache_now();
  CacheEntry** head = &cache_table[h & (CACHE_BUCKETS - 1)];

  // Otherwise a live outcome is never replaced, refreshed or extended: the first store wins.
  for (CacheEntry* e = *head; e != nullptr; e = e->next) {
    if (!entry_matches(e, key, h, kind, now)) continue;
    if (replace) {
      e->status = status;
      e->expires = expiry_of(now, ttl);
    }
    return;
  }
  // Dead entries are recycled in place, so a chain only grows while all of it is live.
  CacheEntry** tail = head;
  for (CacheEntry* e = *head; e != nullptr; e = e->next) {
    if (e->expires < now) {
      std::free(e->key);
      count_held(e->kind, -1);
      count_held(kind, 1);
      entry_fill(e, key, h, kind, status, expiry_of(now, ttl));
      return;
    }
    tail = &e->next;
  }
  auto* fresh = static_cast<CacheEntry*>(std::calloc(1, sizeof(CacheEntry)));
  if (fresh == nullptr) return;
  entry_fill(fresh, key, h, kind, status, expiry_of(now, ttl));
  *tail = fresh;
  count_held(kind, 1);
}

// Expects the lock held. Unlinks every entry of key and kind, dead ones too,
// and gives the live one's status and seconds left (0 and 0 when none was live).
CacheHolding cache_holding(const char* key, int kind, bool remove) {
  CacheHolding found{kind, 0, 0, false};
  if (cache_table == nullptr || key == nullptr) return found;
  const std::uint64_t h = hash_string(key);
  const std::int64_t now = cache_now();
  for (CacheEntry** link = &cache_table[h & (CACHE_BUCKETS - 1)]; *link != nullptr;) {
    CacheEntry* e = *link;
    const bool same =
        e->kind == kind && e->hash == h && e->key != nullptr && std::strcmp(e->key, key) == 0;
    if (same && now < e->expires) found = {kind, e->status, e->expires - now, false};
    if (!same || !remove) {
      link = &e->next;
      continue;
    }
    *link = e->next;
    count_held(kind, -1);
    std::free(e->key);
    std::free(e);
  }
  return found;
}

// Memory's part first, then the shared tier's, which is asked without the lock.
std::vector<CacheHolding> cache_holdings(const char* key, std::span<const int> kinds, bool forget,
                                         bool* shared_forgotten = nullptr) {
  std::vector<CacheHolding> out;
  {
    CacheLock lock;
    for (int kind : kinds)
      if (const CacheHolding h = cache_holding(key, kind, forget); h.status != 0) out.push_back(h);
  }
  for (int kind : kinds) {
    long long spent_ms = 0;  // each look has the whole timeout: no check waits on it
    const SharedAnswer a = shared_tier_recall(key, kind, &spent_ms);
    if (a.status != 0) out.push_back({kind, a.status, a.keep_seconds, true});
    if (forget && !shared_tier_forget(key, kind) && shared_forgotten != nullptr)
      *shared_forgotten = false;
  }
  return out;
}

}  // namespace

std::vector<CacheHolding> cache_look_up(const char* key, std::span<const int> kinds) {
  return cache_holdings(key, kinds, false);
}

std::vector<CacheHolding> cache_forget(const char* key, std::span<const int> kinds,
                                       bool* shared_forgotten) {
  if (shared_forgotten != nullptr) *shared_forgotten = true;
  return cache_holdings(key, kinds, true, shared_forgotten);
}

bool cache_mutex_init() {
  if (cache_mutex_ready) return true;
  cache_mutex_ready = pthread_mutex_init(&cache_mutex, nullptr) == 0;
  return cache_mutex_ready;
}

void cache_mutex_destroy() {
  if (!cache_mutex_ready) return;
  pthread_mutex_destroy(&cache_mutex);
  cache_mutex_ready = false;
}

bool cache_create() {
  CacheLock lock;
  if (cache_table != nullptr) return true;  // a second call must not leak the first table
  cache_table = static_cast<CacheEntry**>(std::calloc(CACHE_BUCKETS, sizeof(CacheEntry*)));
  return cache_table != nullptr;
}

bool cache_available() {
  CacheLock lock;
  return cache_table != nullptr;
}

void cache_destroy() {
  // What counts towards a mark goes with the marks.
  mark_strikes_clear();
  CacheLock lock;
  if (cache_table == nullptr) return;
  for (std::size_t b = 0; b < CACHE_BUCKETS; ++b) {
    CacheEntry* e = cache_table[b];
    while (e != nullptr) {
      CacheEntry* next = e->next;
      std::free(e->key);
      std::free(e);
      e = next;
    }
  }
  std::free(cache_table);
  cache_table = nullptr;
  for (std::int64_t& n : held) n = 0;
}

// Memory first, then the site's shared tier, asked without the lock held; what
// the shared tier knows is kept here for the time it has left there.
int cache_recall(const char* key, int kind, CacheBudget& budget, CacheHit* hit) {
  CacheHit unused;
  CacheHit& h = hit != nullptr ? *hit : unused;
  h = CacheHit{};
  {
    CacheLock lock;
    if (const int status = cache_lookup(key, kind, &h.left); status != 0) return status;
  }
  const SharedAnswer shared = shared_tier_recall(key, kind, &budget.shared_spent_ms);
  h.shared = shared.status != 0;
  h.left = shared.keep_seconds;
  if (shared.status != 0 && shared.keep_seconds > 0) {
    CacheLock lock;
    cache_store(key, shared.keep_seconds, kind, shared.status);
  }
  return shared.status;
}

int cache_recall(const char* key, int kind) {
  CacheBudget own;
  return cache_recall(key, kind, own);
}

int cache_recall_again(const char* key, int kind) {
  CacheLock lock;
  return cache_lookup(key, kind);
}

void cache_remember(const char* key, std::int64_t ttl, int kind, int status, CacheBudget& budget,
                    CacheReach reach) {
  if (ttl == 0) return;
  {
    CacheLock lock;
    cache_store(key, ttl, kind, status);
  }
  if (reach == CacheReach::site) shared_tier_remember(key, kind, status, ttl, &budget.shared_spent_ms);
}

void cache_remember(const char* key, std::int64_t ttl, int kind, int status) {
  CacheBudget own;
  cache_remember(key, ttl, kind, status, own);
}

void cache_renew(const char* key, std::int64_t ttl, int kind, int status, CacheBudget& budget) {
  if (ttl == 0) return;
  {
    CacheLock lock;
    cache_store(key, ttl, kind, status, true);
  }
  shared_tier_remember(key, kind, status, ttl, &budget.shared_spent_ms);
}

std::vector<CacheFileEntry> cache_export() {
  std::vector<CacheFileEntry> out;
  for (std::size_t b = 0; b < CACHE_BUCKETS; ++b) {
    CacheLock lock;
    if (cache_table == nullptr) break;
    const std::int64_t now = cache_now();
    for (const CacheEntry* e = cache_table[b]; e != nullptr; e = e->next)
      if (e->key != nullptr && now < e->expires) out.push_back({e->kind, e->status, e->expires, e->key});
  }
  return out;
}

bool cache_import(const CacheFileEntry& entry) {
  CacheLock lock;
  if (cache_table == nullptr) return false;
  const std::int64_t now = cache_now();
  if (entry.expires <= now) return false;
  const char* key = entry.key.c_str();
  if (cache_lookup(key, entry.kind) != 0) return false;
  cache_store(key, entry.expires - now, entry.kind, entry.status);
  return cache_lookup(key, entry.kind) != 0;
}

void die(const char* what) {
  log_msg(LOG_ERR, "[ERROR] die: %s", what);
  smfi_stop();
  // The pause gives the milter library time to wind down before the abort.
  sleep_seconds(die_pause_seconds.load(std::memory_order_relaxed));
  std::abort();
}

std::vector<CacheSlot> cache_chain(std::size_t bucket) {
  std::vector<CacheSlot> out;
  CacheLock lock;
  if (cache_table == nullptr || bucket >= CACHE_BUCKETS) return out;
  for (const CacheEntry* e = cache_table[bucket]; e != nullptr; e = e->next) {
    out.push_back({e->key != nullptr, e->key != nullptr ? e->key : "", e->hash, e->kind,
                   e->status, e->expires});
  }
  return out;
}

std::int64_t cache_entry_count(int kind) {
  CacheLock lock;
  return counted_kind(kind) ? held[kind] : 0;
}

std::size_t cache_entry_size() { return sizeof(CacheEntry); }

void cache_set_clock(CacheClock clock) { cache_clock.store(clock, std::memory_order_relaxed); }

std::int64_t cache_time() { return cache_now(); }

void cache_set_die_pause(int seconds) {
  die_pause_seconds.store(seconds, std::memory_order_relaxed);
}
