// The verification cache: lifetimes on a fake clock, the first-store-wins rule,
// in-place reuse of dead entries within a bucket's chain, the expiry clamp,
// teardown, die, and many threads sharing the table under the lock.
#include "cache/cache.h"
#include "cache/mark_strikes.h"

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "util/constants.h"
#include "util/helpers.h"
#include "util/log.h"

namespace {

constexpr std::int64_t I64_MAX = std::numeric_limits<std::int64_t>::max();
constexpr std::int64_t I64_MIN = std::numeric_limits<std::int64_t>::min();

std::atomic<std::time_t> fake_now{0};
std::time_t fake_clock() { return fake_now.load(); }

std::size_t bucket_of(const std::string& key) { return hash_string(key.c_str()) & (CACHE_BUCKETS - 1); }

// n distinct sender-like keys that share one bucket, found by a bounded search.
std::vector<std::string> keys_in_one_bucket(std::size_t n) {
  std::map<std::size_t, std::vector<std::string>> seen;
  for (int i = 0; i < 4'000'000; ++i) {
    std::string key = "user" + std::to_string(i) + "@example.org";
    auto& list = seen[bucket_of(key)];
    list.push_back(key);
    if (list.size() == n) return list;
  }
  ADD_FAILURE() << "no bucket with " << n << " keys";
  return {};
}

std::vector<CacheSlot> chain_of(std::size_t bucket) { return cache_chain(bucket); }

bool same_slot(const CacheSlot& a, const CacheSlot& b) {
  return a.key == b.key && a.hash == b.hash && a.kind == b.kind && a.status == b.status &&
         a.expires == b.expires;
}

// Each test gets a fresh table and a clock it drives itself.
class Cache : public ::testing::Test {
 protected:
  void SetUp() override {
    fake_now = 1000;
    cache_set_clock(fake_clock);
    ASSERT_TRUE(cache_mutex_init());
    ASSERT_TRUE(cache_create());
  }
  void TearDown() override {
    cache_destroy();
    cache_mutex_destroy();
    cache_set_clock(nullptr);
  }
  static void at(std::time_t t) { fake_now = t; }
  static int lookup(const std::string& key, int kind = CACHE_SENDER) {
    return cache_recall(key.c_str(), kind);
  }
  static void store(const std::string& key, std::int64_t ttl, int status, int kind = CACHE_SENDER) {
    cache_remember(key.c_str(), ttl, kind, status);
  }
};

TEST_F(Cache, LifetimeEndsExactlyAtTtl) {
  struct Case { const char* label; std::int64_t ttl; std::int64_t offset; int want; } cases[] = {
      {"same second", 60, 0, SENDER_FAIL},
      {"last live second", 60, 59, SENDER_FAIL},
      {"expiry second", 60, 60, 0},
      {"long after", 60, 100000, 0},
      {"ttl 1, same second", 1, 0, SENDER_FAIL},
      {"ttl 1, next second", 1, 1, 0},
      {"ttl 0 never lives", 0, 0, 0},
      {"negative ttl never lives", -1, 0, 0},
      {"very negative ttl never lives", -1'000'000'000'000, 0, 0},
      {"earlier clock reading still live", 60, -500, SENDER_FAIL},
  };
  std::int64_t t = 1000;
  for (const auto& c : cases) {
    // A fresh key per case, far enough apart in time that no case sees another's entry.
    std::string key = std::string("life-") + c.label + "@example.net";
    t += 10'000'000;
    at(t);
    store(key, c.ttl, SENDER_FAIL);
    at(t + c.offset);
    EXPECT_EQ(lookup(key), c.want) << c.label;
  }
}

// A mark takes refusals of two addresses within one lifetime.
TEST_F(Cache, MarkStrikesCountTwoAddressesWithinTheLifetime) {
  const struct {
    std::time_t at;
    const char* address;
    std::int64_t ttl;
    bool marks;
  } steps[] = {
      {1000, "a@d", 0, false},    // no lifetime: not counted
      {1000, "a@d", 60, false},   // the first
      {1030, "A@d", 60, false},   // the same address again (the table keys lower-cased addresses)
      {1060, "b@d", 60, false},   // the first has expired: this one is the first again
      {1119, "c@d", 60, true},    // another address within the lifetime
      {1120, "a@d", 60, true},    // marked: each refusal keeps it so
  };
  for (const auto& s : steps) {
    at(s.at);
    EXPECT_EQ(mark_strike(CACHE_SENDER_REFUSING, "D", s.address, "554 no", s.ttl), s.marks) << s.at;
  }
  EXPECT_TRUE(mark_note(CACHE_SENDER_REFUSING, "d")->marked);
  EXPECT_FALSE(mark_note(CACHE_SENDER_CATCHALL, "d"));
}

TEST_F(Cache, KindsAreSeparate) {
  store("a@example.com", 300, SENDER_PASS, CACHE_SENDER);
  EXPECT_EQ(lookup("a@example.com", CACHE_RECIPIENT), 0);
  store("a@example.com", 300, RCPT_FAIL, CACHE_RECIPIENT);
  EXPECT_EQ(lookup("a@example.com", CACHE_SENDER), SENDER_PASS);
  EXPECT_EQ(lookup("a@example.com", CACHE_RECIPIENT), RCPT_FAIL);
}

TEST_F(Cache, KeysAreComparedByteForByte) {
  store("Bob@Example.com", 300, SENDER_FAIL);
  EXPECT_EQ(lookup("Bob@Example.com"), SENDER_FAIL);
  for (const char* other : {"bob@example.com", "BOB@EXAMPLE.COM", "Bob@Example.co", "Bob@Example.com "})
    EXPECT_EQ(lookup(other), 0) << other;
}

TEST_F(Cache, LiveEntryIsNeverReplacedOrExtended) {
  store("c@example.com", 100, SENDER_TEMPFAIL);
  at(1050);
  store("c@example.com", 100000, SENDER_PASS);  // a different outcome with a longer life
  EXPECT_EQ(lookup("c@example.com"), SENDER_TEMPFAIL);
  EXPECT_EQ(chain_of(bucket_of("c@example.com")).size(), 1u);
  at(1100);  // the first lifetime ends; the second store left no trace
  EXPECT_EQ(lookup("c@example.com"), 0);
  store("c@example.com", 100, SENDER_PASS);
  EXPECT_EQ(lookup("c@example.com"), SENDER_PASS);
}

TEST_F(Cache, EmptyKeyLivesInBucketZero) {
  ASSERT_EQ(hash_string(""), 0u);
  store("", 60, SENDER_FAIL);
  const auto chain = chain_of(0);
  ASSERT_EQ(chain.size(), 1u);
  EXPECT_TRUE(chain[0].has_key);
  EXPECT_EQ(chain[0].key, "");
  EXPECT_EQ(chain[0].hash, 0u);
  EXPECT_EQ(lookup(""), SENDER_FAIL);
  EXPECT_EQ(lookup("x"), 0);
}

TEST_F(Cache, NullKeyIsIgnored) {
  cache_remember(nullptr, 60, CACHE_SENDER, SENDER_PASS);
  EXPECT_EQ(cache_recall(nullptr, CACHE_SENDER), 0);
}

// Without a table (its allocation failed, or shutdown released it) recalls find
// nothing and stores are dropped, under the lock that guards the table itself.
TEST_F(Cache, NoTableNoAnswers) {
  cache_destroy();
  EXPECT_FALSE(cache_available());
  cache_remember("x@example.com", 60, CACHE_SENDER, SENDER_PASS);
  EXPECT_EQ(cache_recall("x@example.com", CACHE_SENDER), 0);
  EXPECT_TRUE(chain_of(bucket_of("x@example.com")).empty());
}

// Three keys A, B, C chained in one bucket; stores at a later time either reuse
// the first dead entry in place or append at the tail.
TEST_F(Cache, DeadEntriesAreReusedInPlace) {
  const auto keys = keys_in_one_bucket(4);
  ASSERT_EQ(keys.size(), 4u);
  const std::string &a = keys[0], &b = keys[1], &c = keys[2], &d = keys[3];
  const std::size_t bucket = bucket_of(a);

  struct Case {
    const char* label;
    std::int64_t ttl_a, ttl_b, ttl_c;  // all stored at 1000
    std::time_t store_at;              // when d is stored
    int d_kind;
    int reused;                        // index of the entry d takes over, or -1 for an append
  } cases[] = {
      {"middle dead", 500, 10, 500, 1100, CACHE_SENDER, 1},
      {"head and middle dead: first wins", 10, 10, 500, 1100, CACHE_SENDER, 0},
      {"tail dead", 500, 500, 10, 1100, CACHE_SENDER, 2},
      {"dead entry reused by the other kind", 500, 10, 500, 1100, CACHE_RECIPIENT, 1},
      {"dead entry reused by a catch-all domain", 500, 10, 500, 1100, CACHE_SENDER_CATCHALL, 1},
      {"expires equal to now is not reused", 500, 100, 500, 1100, CACHE_SENDER, -1},
      {"all live: append", 500, 500, 500, 1100, CACHE_SENDER, -1},
  };
  for (const auto& k : cases) {
    SCOPED_TRACE(k.label);
    cache_destroy();
    ASSERT_TRUE(cache_create());
    at(1000);
    store(a, k.ttl_a, SENDER_PASS);
    store(b, k.ttl_b, SENDER_FAIL);
    store(c, k.ttl_c, SENDER_TEMPFAIL);
    const auto before = chain_of(bucket);
    ASSERT_EQ(before.size(), 3u);

    at(k.store_at);
    const int d_status = k.d_kind == CACHE_SENDER      ? SENDER_PASS
                         : k.d_kind == CACHE_RECIPIENT ? RCPT_PASS
                                                       : CATCHALL_DOMAIN;
    store(d, 60, d_status, k.d_kind);
    const auto after = chain_of(bucket);
    EXPECT_EQ(lookup(d, k.d_kind), d_status);

    if (k.reused < 0) {
      ASSERT_EQ(after.size(), 4u);
      EXPECT_EQ(after[3].key, d);
    } else {
      ASSERT_EQ(after.size(), 3u);
      EXPECT_EQ(after[k.reused].key, d);
      EXPECT_EQ(after[k.reused].hash, hash_string(d.c_str()));
      EXPECT_EQ(after[k.reused].kind, k.d_kind);
      EXPECT_EQ(after[k.reused].expires, k.store_at + 60);
    }
    // Every other entry stays where it was, in the same order.
    for (std::size_t i = 0; i < before.size(); ++i) {
      if (static_cast<int>(i) != k.reused) { EXPECT_TRUE(same_slot(after[i], before[i])) << i; }
    }
    const std::string* old[] = {&a, &b, &c};
    const std::int64_t ttls[] = {k.ttl_a, k.ttl_b, k.ttl_c};
    const int statuses[] = {SENDER_PASS, SENDER_FAIL, SENDER_TEMPFAIL};
    for (int i = 0; i < 3; ++i) {
      const bool live = k.store_at < 1000 + ttls[i];
      EXPECT_EQ(lookup(*old[i]), live ? statuses[i] : 0) << *old[i];
    }
    // The held counts follow a reused entry into its new kind.
    const bool d_sender = k.d_kind == CACHE_SENDER;
    EXPECT_EQ(cache_entry_count(CACHE_SENDER), (k.reused < 0 ? 3 : 2) + (d_sender ? 1 : 0));
    EXPECT_EQ(cache_entry_count(CACHE_RECIPIENT), k.d_kind == CACHE_RECIPIENT ? 1 : 0);
    EXPECT_EQ(cache_entry_count(CACHE_SENDER_CATCHALL), k.d_kind == CACHE_SENDER_CATCHALL ? 1 : 0);
  }
}

TEST_F(Cache, ExpiryIsClampedInsteadOfWrapping) {
  struct Case { const char* label; std::time_t now; std::int64_t ttl; std::int64_t want; } cases[] = {
      {"huge ttl", 1000, I64_MAX, I64_MAX},
      {"sum just over", I64_MAX - 5, 10, I64_MAX},
      {"sum exactly max", I64_MAX - 5, 5, I64_MAX},
      {"ordinary", 1000, 3600, 4600},
      {"negative ttl", 1000, -1, 999},
      {"most negative ttl, positive now", 1000, I64_MIN, I64_MIN + 1000},
      {"most negative ttl, negative now", -5, I64_MIN, I64_MIN},
      {"sum just under", I64_MIN + 5, -10, I64_MIN},
  };
  for (const auto& c : cases) {
    cache_destroy();
    ASSERT_TRUE(cache_create());
    at(c.now);
    store("clamp@example.com", c.ttl, SENDER_PASS);
    const auto chain = chain_of(bucket_of("clamp@example.com"));
    ASSERT_EQ(chain.size(), 1u) << c.label;
    EXPECT_EQ(chain[0].expires, c.want) << c.label;
  }
  // A clamped lifetime is "for ever" in practice, and is not extended later.
  cache_destroy();
  ASSERT_TRUE(cache_create());
  at(1000);
  store("forever@example.com", I64_MAX, SENDER_PASS);
  at(I64_MAX - 1);
  EXPECT_EQ(lookup("forever@example.com"), SENDER_PASS);
  store("forever@example.com", 10, SENDER_FAIL);
  EXPECT_EQ(lookup("forever@example.com"), SENDER_PASS);
}

TEST_F(Cache, DestroyReleasesEverythingAndNullsTable) {
  const auto same_bucket = keys_in_one_bucket(3);
  for (const auto& k : same_bucket) store(k, 60, SENDER_PASS);
  for (int i = 0; i < 5000; ++i) store("r" + std::to_string(i) + "@example.com", 60, RCPT_PASS, CACHE_RECIPIENT);
  EXPECT_EQ(cache_entry_count(CACHE_RECIPIENT), 5000);
  at(2000);  // everything dead, then partly reused
  for (int i = 0; i < 100; ++i) store("s" + std::to_string(i) + "@example.com", 60, SENDER_FAIL);
  cache_destroy();
  EXPECT_FALSE(cache_available());
  EXPECT_EQ(cache_entry_count(CACHE_SENDER) + cache_entry_count(CACHE_RECIPIENT), 0);
  cache_destroy();  // a second call finds nothing to release
  EXPECT_FALSE(cache_available());
  // LeakSanitizer (in the sanitizer build) checks that no entry or key survived.
}

TEST_F(Cache, CreateTwiceKeepsTheFirstTable) {
  store("kept@example.com", 60, SENDER_PASS);
  ASSERT_TRUE(cache_create());
  EXPECT_EQ(lookup("kept@example.com"), SENDER_PASS);
}

TEST(CacheDeathTest, DieLogsThenAborts) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  for (const char* what : {"pthread_mutex_lock", "pthread_mutex_unlock"}) {
    EXPECT_DEATH(
        {
          cache_set_die_pause(0);
          log_set_sink([](int prio, const std::string& line) {
            std::fprintf(stderr, "<%d>%s\n", prio, line.c_str());
          });
          die(what);
        },
        "<3>\\[ERROR\\] die: " + std::string(what))
        << what;
  }
}

// Threads store and look up overlapping keys, some sharing one bucket so that
// dead entries are reused across keys, while the clock moves on. Every answer
// must be an outcome that some thread stored for that key and kind.
TEST_F(Cache, ThreadsSeeOnlyStoredOutcomes) {
  std::vector<std::string> keys = keys_in_one_bucket(4);
  for (int i = 0; i < 12; ++i) keys.push_back("spread" + std::to_string(i) + "@example.com");
  constexpr int kThreads = 4;
  constexpr int kOps = 20000;
  // Bit s of stored[key][kind] is set just before a thread stores status s.
  std::vector<std::array<std::atomic<unsigned>, 2>> stored(keys.size());
  for (auto& s : stored) s[0] = s[1] = 0;
  std::atomic<int> bad{0}, hits{0};

  auto worker = [&](int id) {
    unsigned x = 2654435761u * static_cast<unsigned>(id + 1);
    for (int op = 0; op < kOps; ++op) {
      x = x * 1103515245u + 12345u;
      const std::size_t k = (x >> 8) % keys.size();
      const int kind = (x >> 4) & 1;
      if (op % 64 == 0) fake_now.fetch_add(1);
      if ((x >> 16) % 3 == 0) {
        const int status = (kind == CACHE_SENDER ? SENDER_PASS : RCPT_PASS) + id % 3;
        stored[k][kind].fetch_or(1u << status);
        store(keys[k], 1 + (x >> 20) % 4, status, kind);
      } else {
        const int r = lookup(keys[k], kind);
        if (r != 0) {
          hits.fetch_add(1);
          if ((stored[k][kind].load() & (1u << r)) == 0) bad.fetch_add(1);
        }
      }
    }
  };
  std::vector<std::thread> threads;
  for (int i = 0; i < kThreads; ++i) threads.emplace_back(worker, i);
  for (auto& t : threads) t.join();

  EXPECT_EQ(bad.load(), 0);
  EXPECT_GT(hits.load(), 0);
  // The shared chain is still well formed: each entry's hash is its key's, no key twice live.
  const auto chain = chain_of(bucket_of(keys[0]));
  EXPECT_LE(chain.size(), 8u * 2);
  for (const CacheSlot& e : chain) {
    ASSERT_TRUE(e.has_key);
    EXPECT_EQ(e.hash, hash_string(e.key.c_str()));
  }
}

}  // namespace
