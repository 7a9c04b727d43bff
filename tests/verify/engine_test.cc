// The engine off the checking thread: a check that stops waiting, a verdict told
// before the walk has ended, and a cached pass verified again in the background.
// The walk is a stand-in that the test holds and releases.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

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
// refusal replaces it, a temporary failure leaves it.
TEST_F(Engine, ARefreshRenewsReplacesOrLeavesAPass) {
  struct Row {
    int walked;
    int after;
  } const rows[] = {{PROBE_PASS, SENDER_PASS}, {PROBE_FAIL, SENDER_FAIL}, {PROBE_TEMPFAIL, SENDER_PASS}};
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
  }
}
