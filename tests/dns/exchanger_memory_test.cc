// The exchanger memory over a clock the test turns: the callout budget's
// sliding window, unreachable addresses and their lifetime, the table's bound.
#include "dns/exchanger_memory.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

std::int64_t test_now = 0;

struct ExchangerMemory : ::testing::Test {
  void SetUp() override { exchanger_memory_set_clock([] { return test_now; }); }
  void TearDown() override {
    exchanger_memory_clear();
    exchanger_memory_set_clock(nullptr);
  }
};

// At second t and ms milliseconds: TAKE a callout (budget 3 per 60 s; want:
// granted), ask whether addr is DEAD (want: remembered as unreachable), or MARK
// it so for 300 s; NEW_TAKE and NEW_MARK may add no entry to the table. A
// REFUSE of the mailbox numbered ms (want: it marks addr as refusing probes
// for 300 s), asking whether addr is REFUSING, or FORGET its mark (want: it had one).
enum Op { TAKE, DEAD, MARK, NEW_TAKE, NEW_MARK, REFUSE, REFUSING, FORGET };
struct Step {
  std::int64_t t;
  Op op;
  const char* addr;
  bool want;
  std::int64_t ms = 0;
};

TEST_F(ExchangerMemory, Table) {
  const std::pair<const char*, std::vector<Step>> table[] = {
      {"three in one second, the fourth refused and not counted",
       {{0, TAKE, "a", 1}, {0, TAKE, "a", 1}, {0, TAKE, "a", 1}, {0, TAKE, "a", 0},
        {59, TAKE, "a", 0}, {60, TAKE, "a", 1}, {60, TAKE, "a", 1}, {60, TAKE, "a", 1},
        {60, TAKE, "a", 0}}},
      {"the window slides: a callout leaves it 60 s later",
       {{0, TAKE, "a", 1}, {20, TAKE, "a", 1}, {40, TAKE, "a", 1}, {59, TAKE, "a", 0},
        {60, TAKE, "a", 1}, {61, TAKE, "a", 0}, {80, TAKE, "a", 1}}},
      {"each address has its own budget",
       {{0, TAKE, "a", 1}, {0, TAKE, "a", 1}, {0, TAKE, "a", 1}, {0, TAKE, "b", 1},
        {0, TAKE, "2001:db8::1", 1}}},
      {"unreachable for its lifetime, then tried again; the budget apart",
       {{0, DEAD, "a", 0}, {0, MARK, "a", 0}, {0, TAKE, "a", 1}, {299, DEAD, "a", 1},
        {300, DEAD, "a", 0}, {0, DEAD, "b", 0}}},
      {"marked again: the lifetime starts over",
       {{0, MARK, "a", 0}, {200, MARK, "a", 0}, {450, DEAD, "a", 1}, {500, DEAD, "a", 0}}},
      {"any span of the period counts, not whole seconds",
       {{0, TAKE, "a", 1, 999}, {0, TAKE, "a", 1, 999}, {0, TAKE, "a", 1, 999},
        {60, TAKE, "a", 0, 0}, {60, TAKE, "a", 0, 998}, {60, TAKE, "a", 1, 999}}},
      {"a walk out of allowance adds nothing, but keeps what is known",
       {{0, NEW_MARK, "a", 0}, {0, DEAD, "a", 0}, {0, NEW_TAKE, "b", 1}, {0, NEW_TAKE, "b", 1},
        {0, NEW_TAKE, "b", 1}, {0, NEW_TAKE, "b", 1}, {0, MARK, "c", 0}, {0, NEW_MARK, "c", 0},
        {1, DEAD, "c", 1}}},
      {"two mailboxes refused within the lifetime mark the address, one twice does not",
       {{0, REFUSE, "a", 0, 1}, {10, REFUSE, "a", 0, 1}, {0, REFUSING, "a", 0}, {20, REFUSE, "a", 1, 2},
        {319, REFUSING, "a", 1}, {321, REFUSING, "a", 0}, {0, REFUSE, "b", 0, 1}, {300, REFUSE, "b", 0, 2},
        {301, REFUSE, "b", 1, 3}, {302, FORGET, "b", 1}, {302, REFUSING, "b", 0}, {303, FORGET, "b", 0}}},
  };
  for (const auto& [label, steps] : table) {
    SCOPED_TRACE(label);
    exchanger_memory_clear();
    for (const Step& s : steps) {
      SCOPED_TRACE("second " + std::to_string(s.t));
      test_now = ((1000 + s.t) * 1000 + s.ms) * 1000 * 1000;
      int none_left = 0;
      if (s.op == MARK || s.op == NEW_MARK)
        exchanger_mark_unreachable(s.addr, 300, s.op == NEW_MARK ? &none_left : nullptr);
      const bool got = s.op == REFUSE     ? exchanger_note_refusal(s.addr, static_cast<std::uint64_t>(s.ms), 300)
                       : s.op == REFUSING ? exchanger_refusing(s.addr)
                       : s.op == FORGET   ? exchanger_forget_refusing(s.addr)
                       : s.op == TAKE   ? exchanger_take_callout(s.addr, 3, 60)
                       : s.op == NEW_TAKE ? exchanger_take_callout(s.addr, 3, 60, &none_left)
                       : s.op == DEAD ? exchanger_unreachable(s.addr)
                                      : s.want;
      EXPECT_EQ(got, s.want);
    }
  }
}

TEST_F(ExchangerMemory, BoundedTheLeastRecentlyUsedDropped) {
  exchanger_mark_unreachable("first", 300);
  exchanger_mark_unreachable("second", 300);
  for (std::size_t i = 0; i + 2 < EXCHANGER_MEMORY_MAX; ++i)
    exchanger_mark_unreachable(std::to_string(i).c_str(), 300);
  EXPECT_TRUE(exchanger_unreachable("first"));  // used: now the most recent
  exchanger_mark_unreachable("one more", 300);
  EXPECT_EQ(exchanger_memory_size(), EXCHANGER_MEMORY_MAX);
  EXPECT_TRUE(exchanger_unreachable("first"));
  EXPECT_FALSE(exchanger_unreachable("second"));
}

}  // namespace
