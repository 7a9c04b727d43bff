// The shared tier: keys, values and lifetimes as tables; one reply against the
// deadline and the size limit; the two tiers over a fake store on fake clocks
// (memory hit, shared hit kept for its time left, miss, store, loss and
// once-a-second retry, refused writes, the check's one budget). The Redis store
// itself meets real and faulty servers in the e2e group "shared".
#include "cache/shared_tier.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <map>
#include <thread>
#include <string>
#include <vector>

#include "cache/cache.h"
#include "cache/redis_wire.h"
#include "cache/shared_codec.h"
#include "util/constants.h"
#include "util/log.h"

namespace {

TEST(SharedCodec, KeysValuesAndLifetimes) {
  EXPECT_EQ(shared_key("korvane:", CACHE_SENDER, "Alice@Good.TEST"), "korvane:sender:alice@good.test");
  EXPECT_EQ(shared_key("", CACHE_RECIPIENT, "b@x"), "recipient:b@x");
  EXPECT_EQ(shared_key("site:", 99, "\xc3\x84@x"), "site:kind99:\xc3\x84@x");  // only A-Z change
  const struct { int kind, status; const char* value; } values[] = {
      {CACHE_SENDER, SENDER_PASS, "pass"},      {CACHE_SENDER, SENDER_FAIL, "fail"},
      {CACHE_SENDER, SENDER_TEMPFAIL, "tempfail"}, {CACHE_RECIPIENT, RCPT_PASS, "pass"},
      {CACHE_RECIPIENT, RCPT_FAIL, "fail"},     {CACHE_RECIPIENT, RCPT_TEMPFAIL, "tempfail"},
      {CACHE_SENDER_CATCHALL, CATCHALL_DOMAIN, "catchall"},
  };
  for (const auto& v : values) {
    EXPECT_EQ(shared_value(v.status), v.value);
    EXPECT_EQ(shared_status(v.kind, v.value), v.status) << v.value;
  }
  for (const char* garbage : {"", "PASS", "pass ", "ok", "1", "pass\n"})
    EXPECT_EQ(shared_status(CACHE_SENDER, garbage), 0) << garbage;
  EXPECT_EQ(shared_status(9, "pass"), 0);
  const std::pair<long long, std::int64_t> keep[] = {
      {-2, 0}, {-1, 0}, {0, 0}, {999, 0}, {1000, 1}, {1999, 1}, {86'400'000, 86400}};
  for (auto [pttl, secs] : keep) EXPECT_EQ(shared_keep_seconds(pttl), secs) << pttl;
  const std::pair<std::int64_t, long long> px[] = {
      {0, 0}, {-5, 0}, {1, 1000}, {86400, 86'400'000}, {INT64_MAX / 2, 3'153'600'000'000LL}};
  for (auto [ttl, ms] : px) EXPECT_EQ(shared_px(ttl), ms) << ttl;
}

// What one reply read within 100 ms gives, from a server that answers at once,
// drips a large bulk reply a byte every 10 ms, floods one past the limit,
// answers garbage or hangs up.
TEST(RedisWire, AReplyIsWholeByTheDeadlineOrNothing) {
  const struct {
    std::string sent;
    bool drip, hang_up;
    const char* failure;  // null: a reply
  } rows[] = {
      {"+OK\r\n", false, false, nullptr},
      {"$200000\r\n" + std::string(40, 'x'), true, false, "no answer within 100 ms"},
      {"$100000\r\n" + std::string(70000, 'x'), false, false,
       "garbage from the server: a reply over 65536 bytes"},
      {"hello\r\n", false, false, "garbage from the server: Protocol error, got \"h\" as reply type byte"},
      {"", false, true, "connection closed by the server"},
  };
  for (const auto& row : rows) {
    int fds[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
    fcntl(fds[0], F_SETFL, O_NONBLOCK);
    redisContext* c = redisConnectFd(fds[0]);
    std::thread server([&] {
      char buf[64];
      [[maybe_unused]] const ssize_t request = read(fds[1], buf, sizeof buf);
      for (std::size_t i = 0; i < row.sent.size();) {
        const std::size_t n = row.drip ? 1 : row.sent.size() - i;
        i += static_cast<std::size_t>(write(fds[1], row.sent.data() + i, n));
        if (row.drip) std::this_thread::sleep_for(std::chrono::milliseconds(10));
      }
      if (row.hang_up) close(fds[1]);
    });
    const auto start = std::chrono::steady_clock::now();
    SharedFailure why;
    redis_wire_append(c, {"PING"});
    RedisReply r = redis_wire_reply(c, RedisDeadline(100), &why);
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                        std::chrono::steady_clock::now() - start).count();
    EXPECT_EQ(r == nullptr, row.failure != nullptr) << row.sent.substr(0, 9);
    if (row.failure != nullptr) {
      EXPECT_EQ(why.text, row.failure);
    }
    EXPECT_LT(ms, 180) << row.sent.substr(0, 9);
    server.join();
    redisFree(c);
    if (!row.hang_up) close(fds[1]);
  }
}

// The fake store: keys to value and time left; a failure to give (a loss, or a
// refusal of writes alone); the clock each call moves on, never past the budget
// it was given (a slower call is a timeout, as Redis's would be); what the tier
// asked of it.
struct Fake {
  std::map<std::string, std::pair<std::string, long long>> keys;
  std::string failure;
  SharedResult failing = SHARED_FAILED;
  long long cost_ms = 0;
  int calls = 0;
  std::vector<long long> budgets;
  long long last_budget = 0;
} fake;
std::time_t mem_now = 1000;
long long tier_now = 1'000'000;

SharedResult fake_call(long long budget, bool write, SharedFailure* why) {
  ++fake.calls;
  fake.budgets.push_back(fake.last_budget = budget);
  tier_now += std::min(fake.cost_ms, budget);
  if (fake.cost_ms > budget) {
    *why = {SharedErrorReason::timeout, "no answer within " + std::to_string(budget) + " ms"};
    return SHARED_FAILED;
  }
  if (fake.failure.empty() || (fake.failing == SHARED_REFUSED && !write)) return SHARED_DONE;
  *why = {fake.failing == SHARED_REFUSED ? SharedErrorReason::refused : SharedErrorReason::connection,
          fake.failure};
  return fake.failing;
}
const SharedStore fake_store = {
    [](const std::string& key, long long budget, SharedFetch* out, SharedFailure* why) {
      SharedResult r = fake_call(budget, false, why);
      if (auto it = fake.keys.find(key); r == SHARED_DONE && it != fake.keys.end())
        *out = {true, it->second.first, it->second.second};
      return r;
    },
    [](const std::string& key, std::string_view value, long long px, long long budget,
       SharedFailure* why) {
      SharedResult r = fake_call(budget, true, why);
      if (r == SHARED_DONE) fake.keys[key] = {std::string(value), px};
      return r;
    },
    nullptr, nullptr, nullptr, nullptr,
    [](const std::string& key, long long budget, SharedFailure* why) {
      SharedResult r = fake_call(budget, true, why);
      if (r == SHARED_DONE) fake.keys.erase(key);
      return r;
    }};

class Tiers : public ::testing::Test {
 protected:
  std::vector<std::string> lines;
  void SetUp() override {
    fake = Fake{};
    cache_set_clock([] { return mem_now; });
    shared_tier_set_clock([] { return tier_now; });
    ASSERT_TRUE(cache_mutex_init());
    ASSERT_TRUE(cache_create());
    log_set_sink([this](int, const std::string& line) { lines.push_back(line); });
    SharedTierConfig config;
    config.prefix = "k:";
    shared_tier_start_with(config, &fake_store);
  }
  void TearDown() override {
    shared_tier_stop();
    log_set_sink({});
    cache_destroy();
    cache_mutex_destroy();
    cache_set_clock(nullptr);
    shared_tier_set_clock(nullptr);
  }
};

TEST_F(Tiers, MemoryFirstThenSharedKeptForItsTimeLeft) {
  cache_remember("a@x", 60, CACHE_SENDER, SENDER_FAIL);
  EXPECT_EQ(fake.keys["k:sender:a@x"], (std::pair<std::string, long long>{"fail", 60000}));
  fake.keys.clear();
  const int calls = fake.calls;
  EXPECT_EQ(cache_recall("a@x", CACHE_SENDER), SENDER_FAIL);  // memory: the store is not asked
  EXPECT_EQ(fake.calls, calls);

  fake.keys["k:recipient:b@x"] = {"pass", 5500};
  EXPECT_EQ(cache_recall("b@x", CACHE_RECIPIENT), RCPT_PASS);
  fake.keys.clear();
  mem_now += 4;
  EXPECT_EQ(cache_recall("b@x", CACHE_RECIPIENT), RCPT_PASS);  // kept 5 s, from memory
  mem_now += 1;
  EXPECT_EQ(cache_recall("b@x", CACHE_RECIPIENT), 0);          // and not a second longer

  fake.keys["k:sender:forever@x"] = {"pass", -1};               // no lifetime: never kept
  EXPECT_EQ(cache_recall("forever@x", CACHE_SENDER), SENDER_PASS);
  fake.keys.clear();
  EXPECT_EQ(cache_recall("forever@x", CACHE_SENDER), 0);

  fake.keys["k:sender:odd@x"] = {"maybe", 9000};
  const std::uint64_t errors = shared_tier_errors();
  EXPECT_EQ(cache_recall("odd@x", CACHE_SENDER), 0);
  EXPECT_EQ(shared_tier_errors(), errors + 1);
  EXPECT_TRUE(shared_tier_up());
  EXPECT_EQ(lines, std::vector<std::string>{"shared cache available"});

  cache_remember("z@x", 0, CACHE_SENDER, SENDER_PASS);  // a lifetime of 0 is stored nowhere
  EXPECT_EQ(fake.keys.count("k:sender:z@x"), 0u);
}

TEST_F(Tiers, LookUpChangesNothingForgetClearsBothTiers) {
  cache_remember("a@x", 60, CACHE_SENDER, SENDER_PASS);
  fake.keys["k:recipient:a@x"] = {"fail", 9500};
  cache_remember("b@x", 60, CACHE_SENDER, SENDER_PASS);
  const int kinds[] = {CACHE_SENDER, CACHE_RECIPIENT};
  mem_now += 10;
  auto lines = [](const std::vector<CacheHolding>& held) {
    std::string out;
    for (const CacheHolding& h : held)
      out += std::to_string(h.kind) + ":" + std::to_string(h.status) + ":" +
             std::to_string(h.seconds_left) + (h.shared ? "s " : "m ");
    return out;
  };
  EXPECT_EQ(lines(cache_look_up("a@x", kinds)), "0:1:50m 0:1:60s 1:5:9s ");
  EXPECT_EQ(cache_recall_again("a@x", CACHE_RECIPIENT), 0);  // not copied into memory
  EXPECT_EQ(lines(cache_forget("a@x", kinds)), "0:1:50m 0:1:60s 1:5:9s ");
  EXPECT_EQ(fake.keys.count("k:sender:a@x") + fake.keys.count("k:recipient:a@x"), 0u);
  EXPECT_EQ(cache_recall("a@x", CACHE_SENDER), 0);
  EXPECT_EQ(cache_recall_again("b@x", CACHE_SENDER), SENDER_PASS);  // its neighbour stays
  EXPECT_EQ(cache_entry_count(CACHE_SENDER), 1);
  bool forgotten = true;
  fake.keys["k:sender:b@x"] = {"pass", 9000};
  fake.failure = "connect: Connection refused";
  (void)cache_forget("b@x", kinds, &forgotten);
  EXPECT_FALSE(forgotten);  // a lost tier keeps its key, and says so
  EXPECT_EQ(fake.keys.count("k:sender:b@x"), 1u);
}

// A check's calls, the address and its domain's catch-all mark recalled and the
// outcome remembered, wait 100 ms together, each from what the others left.
TEST_F(Tiers, OneBudgetForEveryCallOfACheck) {
  const struct {
    long long cost_ms;
    std::vector<long long> budgets;  // the recall, the catch-all recall, the remember
    bool written;
  } rows[] = {{0, {100, 100, 100}, true}, {30, {100, 70, 40}, true},
              {45, {100, 55, 10}, false},  // the remember's 10 ms run out: a timeout
              {120, {100}, false}};        // nothing left after the recall: no more waits
  for (const auto& row : rows) {
    fake = Fake{};
    fake.cost_ms = row.cost_ms;
    SharedTierConfig config;
    config.prefix = "k:";
    shared_tier_start_with(config, &fake_store);
    const std::string a = std::to_string(row.cost_ms) + "@x";
    CacheBudget budget;
    EXPECT_EQ(cache_recall(a.c_str(), CACHE_SENDER, budget), 0);
    EXPECT_EQ(cache_recall("x", CACHE_SENDER_CATCHALL, budget), 0);
    cache_remember(a.c_str(), 60, CACHE_SENDER, SENDER_PASS, budget);
    EXPECT_EQ(fake.budgets, row.budgets) << row.cost_ms;
    EXPECT_EQ(fake.keys.count("k:sender:" + a), row.written ? 1u : 0u) << row.cost_ms;
    EXPECT_LE(budget.shared_spent_ms, 100) << row.cost_ms;
  }
}

// A server that refuses writes (out of memory, read-only) still answers reads:
// counted each time, one line a minute, never "unavailable".
TEST_F(Tiers, RefusedWritesAreNoLoss) {
  fake.keys["k:sender:known@x"] = {"pass", 9000};
  fake.failing = SHARED_REFUSED;
  fake.failure = "OOM command not allowed when used memory > 'maxmemory'.";
  for (int i = 0; i < 4; ++i) {
    cache_remember("new@x", 60, CACHE_SENDER, SENDER_PASS);
    tier_now += 20'000;
  }
  EXPECT_EQ(cache_recall("known@x", CACHE_SENDER), SENDER_PASS);
  EXPECT_TRUE(shared_tier_up());
  EXPECT_EQ(shared_tier_errors_by(SharedErrorReason::refused), 4u);
  EXPECT_EQ(lines, (std::vector<std::string>{
                       "shared cache available",
                       "shared cache write refused: OOM command not allowed when used memory > 'maxmemory'.",
                       "shared cache write refused: OOM command not allowed when used memory > 'maxmemory'."}));
}

TEST_F(Tiers, LostOnceRetriedOnceASecondBackOnce) {
  EXPECT_EQ(cache_recall("a@x", CACHE_SENDER), 0);
  fake.failure = "connect: Connection refused";
  EXPECT_EQ(cache_recall("b@x", CACHE_SENDER), 0);
  EXPECT_FALSE(shared_tier_up());
  const int calls = fake.calls;
  for (int i = 0; i < 5; ++i) {
    tier_now += 100;
    EXPECT_EQ(cache_recall("c@x", CACHE_SENDER), 0);
    cache_remember("d@x", 60, CACHE_SENDER, SENDER_PASS);
  }
  EXPECT_EQ(fake.calls, calls);  // under a second: the store is left alone
  tier_now += 500;
  EXPECT_EQ(cache_recall("c@x", CACHE_SENDER), 0);
  EXPECT_EQ(fake.calls, calls + 1);  // one retry, failed again: no second line
  fake.failure.clear();
  fake.keys["k:sender:e@x"] = {"pass", 9000};
  tier_now += 1000;
  EXPECT_EQ(cache_recall("e@x", CACHE_SENDER), SENDER_PASS);
  EXPECT_TRUE(shared_tier_up());
  EXPECT_EQ(lines, (std::vector<std::string>{"shared cache available",
                                             "shared cache unavailable: connect: Connection refused",
                                             "shared cache available"}));
  EXPECT_EQ(shared_tier_errors(), 2u);
  EXPECT_EQ(shared_tier_errors_by(SharedErrorReason::connection), 2u);
}

}  // namespace
