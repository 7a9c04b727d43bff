// The engine off the checking thread: a check that stops waiting, a verdict told
// before the walk has ended, and a cached pass verified again in the background.
// The walk is a stand-in that the test holds and releases.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "cache/cache.h"
#include "settings/settings.h"
#include "verify/engine.h"
#include "verify/walkers.h"

namespace {

std::atomic<int> walk_result{PROBE_PASS};
std::atomic<bool> tell_early{false}, release{false};
std::atomic<int> walks{0};

int held_walk(const VerifyRequest&, const WalkOptions& walk, ProbeReplyText*) {
  ++walks;
  if (tell_early) walk.probe.decided(walk_result, ProbeReplyText{});
  for (int i = 0; i < 500 && !release; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  return walk_result;
}

class Engine : public ::testing::Test {
 protected:
  void SetUp() override {
    settings = Settings{};
    settings.frompassttl = settings.fromfailttl = settings.fromtfailttl = 3600;
    walk_result = PROBE_PASS;
    tell_early = release = false;
    walks = 0;
    ASSERT_TRUE(cache_mutex_init());
    ASSERT_TRUE(cache_create());
    verify_walk_install(held_walk);
    walkers_start(2);
  }
  void TearDown() override {
    release = true;
    EXPECT_TRUE(walkers_stop(std::chrono::seconds(10)));
    walkers_reset();
    verify_walk_install(nullptr);
    cache_destroy();
    cache_mutex_destroy();
    settings = Settings{};
  }
  static Verdict ask(const char* address, long long wait) {
    return verify({VerifyKind::sender, address, address, VerifyWay::domain, "x.test", wait});
  }
};

}  // namespace

// The walk goes on past the check's wait and its outcome answers the next check.
TEST_F(Engine, AWaitThatRunsOutLeavesTheWalkToStore) {
  const Verdict first = ask("slow@x.test", 1);
  EXPECT_TRUE(first.in_progress);
  EXPECT_EQ(first.result, PROBE_TEMPFAIL);
  EXPECT_EQ(cache_recall("slow@x.test", CACHE_SENDER), 0);
  release = true;
  for (int i = 0; i < 200 && cache_recall("slow@x.test", CACHE_SENDER) == 0; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  const Verdict retry = ask("slow@x.test", 1);
  EXPECT_EQ(retry.source, VerdictSource::cache);
  EXPECT_EQ(retry.result, PROBE_PASS);
  EXPECT_EQ(walks, 1);
}

// A maxwait past any clock still waits for the walk; once the stop has begun, what
// no check waits for stores nothing and a new check is not told "in progress".
TEST_F(Engine, HugeWaitsAndTheStop) {
  tell_early = true;
  EXPECT_FALSE(ask("huge@x.test", 10'000'000'000LL).waited_out);
  tell_early = false;
  EXPECT_TRUE(ask("gone@x.test", 1).in_progress);
  (void)walkers_stop(std::chrono::milliseconds(0));
  release = true;
  EXPECT_TRUE(walkers_stop(std::chrono::seconds(5)));
  EXPECT_EQ(cache_recall("gone@x.test", CACHE_SENDER), 0);
  const Verdict after = ask("late@x.test", 1);
  EXPECT_FALSE(after.in_progress);
  EXPECT_EQ(after.result, PROBE_TEMPFAIL);
}

// One walker queues 16 walks; the next check is answered at once, and a
// refresh finds no place while checks wait. A check that joins a walk whose
// probe was refused is told so.
TEST_F(Engine, TheQueueIsBoundedAndAJoinerSeesARefusal) {
  walkers_reset();
  walkers_start(1);
  std::vector<std::thread> checks;
  std::atomic<int> told_at_once{0};
  const auto check = [&told_at_once](int n) {
    const std::string a = "q" + std::to_string(n) + "@x.test";
    const Verdict v = ask(a.c_str(), 2);
    if (!v.in_progress && v.result == PROBE_TEMPFAIL) ++told_at_once;
  };
  checks.emplace_back(check, 0);
  for (int i = 0; i < 300 && walks == 0; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  for (int n = 1; n <= 17; ++n) checks.emplace_back(check, n);
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  settings.passrefresh = 60;
  cache_remember("due@x.test", 30, CACHE_SENDER, SENDER_PASS);
  EXPECT_EQ(ask("due@x.test", 1).source, VerdictSource::cache);
  for (std::thread& t : checks) t.join();
  EXPECT_EQ(told_at_once, 1);
  release = true;
  for (int i = 0; i < 300 && walks < 17; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_TRUE(walkers_stop(std::chrono::seconds(10)));
  EXPECT_EQ(walks, 17) << "the dropped check and the refresh walked nothing";
  walkers_reset();
  walkers_start(2);
  release = false;
  walk_result = PROBE_REFUSED;
  settings.refusals_mailbox = 1;
  std::thread leader([] { (void)ask("r@x.test", 0); });
  for (int i = 0; i < 300 && walks == 17; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  std::thread releaser([] {
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    release = true;
  });
  const Verdict joined = ask("r@x.test", 0);
  leader.join();
  releaser.join();
  EXPECT_EQ(joined.source, VerdictSource::joined);
  EXPECT_EQ(joined.result, PROBE_REFUSED);
}

// The deciding reply answers the check while the walk's polite end is still to come.
TEST_F(Engine, TheVerdictLeavesBeforeTheWalkEnds) {
  for (const int result : {PROBE_PASS, PROBE_FAIL}) {
    SCOPED_TRACE(result);
    walk_result = result;
    tell_early = true;
    release = false;
    const Verdict v = ask(result == PROBE_PASS ? "p@x.test" : "f@x.test", 0);
    EXPECT_FALSE(release);
    EXPECT_EQ(v.source, VerdictSource::fresh);
    EXPECT_EQ(v.result, result);
    release = true;
  }
}

// An old pass is answered from the cache and walked again: a pass renews it, a
// refusal replaces it, a temporary failure or a refused probe leaves it, and
// then for passrefresh no hit walks it again. A catch-all domain's is not walked.
TEST_F(Engine, ARefreshRenewsReplacesOrLeavesAPass) {
  struct Row {
    int walked;
    int after;
  } const rows[] = {{PROBE_PASS, SENDER_PASS}, {PROBE_FAIL, SENDER_FAIL}, {PROBE_TEMPFAIL, SENDER_PASS},
                    {PROBE_REFUSED, SENDER_PASS}};
  settings.passrefresh = 60;
  release = true;
  int n = 0;
  for (const Row& r : rows) {
    SCOPED_TRACE(r.walked);
    const std::string key = "old" + std::to_string(n++) + "@x.test";
    cache_remember(key.c_str(), 30, CACHE_SENDER, SENDER_PASS);  // 3570 s old under frompassttl
    walk_result = r.walked;
    const int before = walks;
    EXPECT_EQ(ask(key.c_str(), 1).source, VerdictSource::cache);
    for (int i = 0; i < 300 && (walks == before || cache_recall(key.c_str(), CACHE_SENDER) != r.after); ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(cache_recall(key.c_str(), CACHE_SENDER), r.after);
    const int walked = walks;
    (void)ask(key.c_str(), 1);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(walks, walked) << "walked again at once";
  }
  settings.catchall = 1;
  cache_remember("x.test", 60, CACHE_SENDER_CATCHALL, CATCHALL_DOMAIN);
  cache_remember("any@x.test", 30, CACHE_SENDER, SENDER_PASS);
  const int walked = walks;
  (void)ask("any@x.test", 1);
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_EQ(walks, walked) << "a catch-all domain's pass walked again";
}
