// The shared helpers: hash values, elapsed-time text, lower-casing, bounded copies
// and the dotted-quad pattern.
#include "util/helpers.h"
#include "util/random_text.h"

#include <syslog.h>

#include <cstdio>

#include "util/log.h"

#include <gtest/gtest.h>

#include <string>

TEST(HashString, KnownValues) {
  EXPECT_EQ(hash_string(""), 0u);
  EXPECT_EQ(hash_string("abc"), 0x006CF406B6071F5BULL);
  // Bytes above 127 are taken unsigned.
  EXPECT_NE(hash_string("\xff"), hash_string("\x7f"));
}

TEST(FormatElapsed, Table) {
  struct Case { long e; const char* want; } cases[] = {
      {0, "00:00:00"}, {59, "00:00:59"}, {61, "00:01:01"},
      {3600, "01:00:00"}, {3 * 3600 + 25 * 60 + 7, "03:25:07"}, {100 * 3600 + 1, "100:00:01"},
  };
  for (const auto& c : cases) {
    char out[10];
    format_elapsed(1000, 1000 + c.e, out);
    EXPECT_STREQ(out, c.want) << c.e;
  }
}

TEST(LowercaseInPlace, OnlyAsciiLetters) {
  char s[] = "AbC@Example.TEST\xc3\x84Z";
  lowercase_in_place(s);
  EXPECT_STREQ(s, "abc@example.test\xc3\x84z");
}

TEST(CopyBounded, CutsAndTerminates) {
  char dst[5];
  copy_bounded(dst, "abcdefgh", sizeof dst);
  EXPECT_STREQ(dst, "abcd");
  copy_bounded(dst, "ab", sizeof dst);
  EXPECT_STREQ(dst, "ab");
  BoundedText<4> t;
  t.assign("xyz12");
  EXPECT_STREQ(t.c_str(), "xyz");
  t.assign(nullptr);
  EXPECT_TRUE(t.empty());
}

TEST(Ipv4LiteralPattern, Table) {
  ASSERT_TRUE(ipv4_literal_pattern_compile());
  struct Case { const char* text; bool match; } cases[] = {
      {"192.0.2.7", true}, {"192.0.2.7.", true}, {"300.1.1.1", true}, {"010.0.0.1", true},
      {"192.0.2.7..", false}, {"192.0.2", false}, {"1234.0.0.1", false}, {"mx.example.test", false},
      {"", false}, {" 192.0.2.7", false}, {"192.0.2.7 ", false},
  };
  for (const auto& c : cases) EXPECT_EQ(ipv4_literal_match(c.text), c.match) << c.text;
}

TEST(RandomLocalPart, ShapeAndUnpredictability) {
  char a[RANDOM_LOCAL_PART_LENGTH + 1], b[sizeof a];
  ASSERT_TRUE(random_local_part(a, sizeof a));
  ASSERT_TRUE(random_local_part(b, sizeof b));
  EXPECT_GE(RANDOM_LOCAL_PART_LENGTH, 16u);
  EXPECT_EQ(std::string(a).size(), RANDOM_LOCAL_PART_LENGTH);
  EXPECT_EQ(std::string(a).find_first_not_of("abcdefghijklmnopqrstuvwxyz234567"), std::string::npos) << a;
  EXPECT_STRNE(a, b);  // equal only with probability 2^-120
  char small[RANDOM_LOCAL_PART_LENGTH];
  EXPECT_FALSE(random_local_part(small, sizeof small));
  EXPECT_STREQ(small, "");
}

// The "%s"-only fast path must give exactly what vsnprintf gives, cut included.
TEST(LogMsg, LinesAsVsnprintfWritesThem) {
  std::string got;
  log_set_sink([&](int, const std::string& line) { got = line; });
  const std::string long_arg(3000, 'x');
  char want[2048];
  log_msg(LOG_INFO, "%s: from=%s, id=%s", "sender check", "<a@b>", "Q1");
  EXPECT_EQ(got, "sender check: from=<a@b>, id=Q1");
  log_msg(LOG_INFO, "100%% [%s]%s", "", "end");
  EXPECT_EQ(got, "100% []end");
  log_msg(LOG_INFO, "cut: %s", long_arg.c_str());
  std::snprintf(want, sizeof want, "cut: %s", long_arg.c_str());
  EXPECT_EQ(got, want);
  log_msg(LOG_INFO, "other conversions: %s %d %5s", "a", 42, "b");
  EXPECT_EQ(got, "other conversions: a 42     b");
  log_set_sink(nullptr);
}
