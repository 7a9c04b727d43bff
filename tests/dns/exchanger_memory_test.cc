// The exchanger memory over a clock the test turns: the callout budget's
// sliding window, unreachable addresses and their lifetime, the table's bound.
#include "dns/exchanger_memory.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

std::int64_t test_now = 0;
std::int64_t test_clock() { return test_now; }

class ExchangerMemory : public ::testing::Test {
 protected:
  void SetUp() override {
    exchanger_memory_set_clock(test_clock);
    exchanger_memory_clear();
    test_now = 1000;
  }
  void TearDown() override {
    exchanger_memory_clear();
    exchanger_memory_set_clock(nullptr);
  }
};

// One step: at second t, take a callout (budget 3 per 60 s) or ask about or
// mark an address as unreachable (for 300 s).
enum Op { TAKE, DEAD, MARK };
struct Step {
  std::int64_t t;
  Op op;
  const char* addr;
  bool want;  // TAKE: granted; DEAD: remembered as unreachable; MARK: unused
};

TEST_F(ExchangerMemory, Table) {
  struct Case {
    const char* label;
    std::vector<Step> steps;
  } table[] = {
      {"three in one second, the fourth refused",
       {{0, TAKE, "a", true}, {0, TAKE, "a", true}, {0, TAKE, "a", true}, {0, TAKE, "a", false}}},
      {"the window slides: a callout leaves it 60 s later",
       {{0, TAKE, "a", true}, {20, TAKE, "a", true}, {40, TAKE, "a", true}, {59, TAKE, "a", false},
        {60, TAKE, "a", true}, {61, TAKE, "a", false}, {80, TAKE, "a", true}}},
      {"a refused callout is not counted",
       {{0, TAKE, "a", true}, {0, TAKE, "a", true}, {0, TAKE, "a", true}, {30, TAKE, "a", false},
        {30, TAKE, "a", false}, {60, TAKE, "a", true}, {60, TAKE, "a", true}, {60, TAKE, "a", true},
        {60, TAKE, "a", false}}},
      {"each address has its own budget",
       {{0, TAKE, "a", true}, {0, TAKE, "a", true}, {0, TAKE, "a", true}, {0, TAKE, "b", true},
        {0, TAKE, "a", false}, {0, TAKE, "2001:db8::1", true}}},
      {"unreachable for its lifetime, then tried again",
       {{0, DEAD, "a", false}, {0, MARK, "a", false}, {0, DEAD, "a", true}, {299, DEAD, "a", true},
        {300, DEAD, "a", false}, {0, DEAD, "b", false}}},
      {"marked again: the lifetime starts over",
       {{0, MARK, "a", false}, {200, MARK, "a", false}, {450, DEAD, "a", true},
        {500, DEAD, "a", false}}},
      {"the budget and the mark are separate",
       {{0, MARK, "a", false}, {0, TAKE, "a", true}, {0, DEAD, "a", true}}},
  };
  for (const auto& c : table) {
    SCOPED_TRACE(c.label);
    exchanger_memory_clear();
    for (const Step& s : c.steps) {
      SCOPED_TRACE("at " + std::to_string(s.t) + " " + s.addr);
      test_now = 1000 + s.t;
      switch (s.op) {
        case TAKE: EXPECT_EQ(exchanger_take_callout(s.addr, 3, 60), s.want); break;
        case DEAD: EXPECT_EQ(exchanger_unreachable(s.addr), s.want); break;
        case MARK: exchanger_mark_unreachable(s.addr, 300); break;
      }
    }
  }
}

TEST_F(ExchangerMemory, SettingsOffRememberNothing) {
  exchanger_mark_unreachable("a", 0);
  EXPECT_FALSE(exchanger_unreachable("a"));
  for (int i = 0; i < 100; ++i) EXPECT_TRUE(exchanger_take_callout("a", 0, 60));
  EXPECT_EQ(exchanger_memory_size(), 0u);
}

TEST_F(ExchangerMemory, BoundedTheLeastRecentlyUsedDropped) {
  exchanger_mark_unreachable("first", 300);
  exchanger_mark_unreachable("second", 300);
  for (std::size_t i = 0; i + 2 < EXCHANGER_MEMORY_MAX; ++i)
    exchanger_mark_unreachable(("192.0.2." + std::to_string(i)).c_str(), 300);
  EXPECT_TRUE(exchanger_unreachable("first"));  // used: now the most recent
  exchanger_mark_unreachable("one more", 300);
  EXPECT_EQ(exchanger_memory_size(), EXCHANGER_MEMORY_MAX);
  EXPECT_TRUE(exchanger_unreachable("first"));
  EXPECT_FALSE(exchanger_unreachable("second"));
  EXPECT_TRUE(exchanger_unreachable("one more"));
}

}  // namespace
