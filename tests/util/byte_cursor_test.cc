// The bounded byte reader: reads in order, big-endian words, and a failure that
// sticks once a read would pass the end.
#include "util/byte_cursor.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>

TEST(ByteCursor, ReadsInOrder) {
  const unsigned char data[] = {0x12, 0x34, 0x56, 0x78, 0x9a};
  ByteCursor c(data, sizeof data);
  EXPECT_EQ(c.u8(), 0x12);
  EXPECT_EQ(c.u16(), 0x3456);
  EXPECT_EQ(c.remaining(), 2u);
  EXPECT_EQ(c.here(), data + 3);
  c.skip(1);
  EXPECT_EQ(c.u8(), 0x9a);
  EXPECT_TRUE(c.at_end());
  EXPECT_FALSE(c.failed());
}

TEST(ByteCursor, FailureSticks) {
  const unsigned char data[] = {1, 2, 3};
  struct Case {
    const char* label;
    void (*reads)(ByteCursor&);
    std::size_t offset_after;  // where the cursor stays once failed
  } table[] = {
      {"u16 with one byte left", [](ByteCursor& c) { c.skip(2); (void)c.u16(); }, 2},
      {"u8 at the end", [](ByteCursor& c) { c.skip(3); (void)c.u8(); }, 3},
      {"skip past the end", [](ByteCursor& c) { c.skip(4); }, 0},
      {"huge skip cannot wrap", [](ByteCursor& c) { c.skip(1); c.skip(SIZE_MAX); }, 1},
      {"explicit failure", [](ByteCursor& c) { c.fail(); }, 0},
  };
  for (const auto& t : table) {
    SCOPED_TRACE(t.label);
    ByteCursor c(data, sizeof data);
    t.reads(c);
    EXPECT_TRUE(c.failed());
    EXPECT_EQ(c.offset(), t.offset_after);
    EXPECT_EQ(c.remaining(), 0u);
    // Later reads that would fit still give nothing and move nothing.
    EXPECT_EQ(c.u8(), 0);
    EXPECT_EQ(c.u16(), 0);
    c.skip(0);
    EXPECT_EQ(c.offset(), t.offset_after);
  }
}

TEST(ByteCursor, EmptyAndNullSpans) {
  ByteCursor empty(nullptr, 10);
  EXPECT_EQ(empty.remaining(), 0u);
  (void)empty.u8();
  EXPECT_TRUE(empty.failed());
  const unsigned char one[] = {7};
  ByteCursor c(one, 0);
  c.skip(0);
  EXPECT_FALSE(c.failed());
  EXPECT_EQ(c.u16(), 0);
  EXPECT_TRUE(c.failed());
}
