// Checks in flight: waiters get the leader's outcome, take over the lead when it
// ends without one, give up at their deadline; kinds and keys are separate.
#include "cache/inflight.h"

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <thread>

#include "util/constants.h"

namespace {

using namespace std::chrono_literals;

// Starts a check of (kind, key) on another thread once the leader holds the
// flight, and gives what that check saw: its outcome, or 0 when it led itself.
std::future<int> check_elsewhere(int kind, const char* key, long long wait) {
  return std::async(std::launch::async, [=] {
    InflightCheck other(kind, key, wait);
    return other.leads() ? 0 : other.outcome();
  });
}

}  // namespace

TEST(Inflight, WaitersShareTheLeadersOutcome) {
  struct Case {
    const char* label;
    int other_kind;
    const char* other_key;
    long long wait;
    int publish;  // 0: the leader ends without an outcome
    int want;
  };
  const Case cases[] = {
      {"same kind and key: the outcome", CACHE_SENDER, "a@x.test", 5, SENDER_FAIL, SENDER_FAIL},
      {"leader ends without an outcome: the waiter leads", CACHE_SENDER, "a@x.test", 5, 0, 0},
      {"deadline before the outcome", CACHE_SENDER, "a@x.test", 0, SENDER_PASS, INFLIGHT_TIMED_OUT},
      {"another kind leads on its own", CACHE_RECIPIENT, "a@x.test", 5, SENDER_PASS, 0},
      {"another key leads on its own", CACHE_SENDER, "b@x.test", 5, SENDER_PASS, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    std::future<int> seen;
    {
      InflightCheck leader(CACHE_SENDER, "a@x.test", 5);
      ASSERT_TRUE(leader.leads());
      seen = check_elsewhere(c.other_kind, c.other_key, c.wait);
      // Long enough for the other check to be waiting (or done, when it need not wait).
      std::this_thread::sleep_for(100ms);
      if (c.publish != 0) leader.publish(c.publish);
    }
    EXPECT_EQ(seen.get(), c.want);
    EXPECT_EQ(inflight_count(), 0u);
  }
}
