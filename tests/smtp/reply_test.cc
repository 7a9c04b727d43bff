// The pure reply assembly and code reading: pieces, the 8100/8099 rule, NUL
// bytes, continuation lines, the byte bound and "%3d" code semantics.
#include "smtp/reply.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "smtp/probe_reply.h"
#include "smtp/transport.h"
#include "util/constants.h"

namespace {

struct Fed {
  SmtpReplyAssembler::State state;
  int code;
  int receives;  // receives taken
};

// Feeds the receives in order until the reply is no longer being read.
Fed assemble(const std::vector<std::string>& receives, std::size_t max_bytes = 64 * 1024) {
  std::vector<char> buf(SMTP_REPLY_BUFFER, '\0');
  SmtpReplyAssembler a(buf.data(), max_bytes);
  int taken = 0;
  for (const std::string& r : receives) {
    if (a.state() != SmtpReplyAssembler::State::reading) break;
    a.feed(r.data(), r.size());
    ++taken;
  }
  return {a.state(), a.code(), taken};
}

constexpr auto reading = SmtpReplyAssembler::State::reading;
constexpr auto done = SmtpReplyAssembler::State::done;
constexpr auto failed = SmtpReplyAssembler::State::failed;

}  // namespace

TEST(SmtpReply, Assembly) {
  struct Case {
    const char* label;
    std::vector<std::string> receives;
    SmtpReplyAssembler::State state;
    int code;
    int receives_taken;
  };
  const std::string x8097(8097, 'x');
  const Case cases[] = {
      {"one line", {"250 ok\r\n"}, done, 250, 1},
      {"bare LF", {"250 ok\n"}, done, 250, 1},
      {"continuation in one receive", {"250-a\r\n250 b\r\n"}, done, 250, 1},
      {"three pieces", {"220-a\r\n", "220-b\r\n", "220 c\r\n", "extra"}, done, 220, 3},
      {"last piece decides", {"250-a\r\n", "451 b\r\n"}, done, 451, 2},
      {"split inside a line", {"25", "0 ok\r\n"}, done, 250, 2},
      {"hyphen arrives in a later receive", {"250", "-a\r\n", "550 no\r\n"}, done, 550, 3},
      {"no LF yet", {"250 ok"}, reading, -1, 1},
      {"8100 without LF completes", {"421" + x8097}, done, 421, 1},
      {"8099 reads on", {"421" + std::string(8096, 'x'), "\r\n"}, done, 421, 2},
      {"8100 over two receives", {"421" + std::string(5000, 'x'), std::string(3097, 'x')}, done, 421, 2},
      {"long continuation line goes on", {"250-" + std::string(8096, 'x'), "550 end\r\n"}, done, 550, 2},
      {"too short", {"25\r\n"}, done, -1, 1},
      {"lone CR LF", {"\r\n"}, done, -1, 1},
      {"short last line ends reply", {"250-a\r\n25\r\n"}, done, 250, 1},
      {"letters", {"abc hello\r\n"}, done, 0, 1},
      {"NUL ends the text", {std::string("250 ok\0\r\n", 9)}, reading, -1, 1},
      {"bytes after NUL are dropped, next receive appends",
       {std::string("2\0junk\r\n", 8), "50 ok\r\n"}, done, 250, 2},
      {"empty text reads on", {std::string("\0", 1), "220 hi\r\n"}, done, 220, 2},
      {"only the last LF is removed", {"250 a\r\n\n"}, done, 250, 1},
      {"closed connection", {""}, failed, -1, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    Fed f = assemble(c.receives);
    EXPECT_EQ(f.state, c.state);
    EXPECT_EQ(f.code, c.code);
    EXPECT_EQ(f.receives, c.receives_taken);
  }
}

TEST(SmtpReply, WindowsStayInsideTheBuffer) {
  std::vector<char> buf(SMTP_REPLY_BUFFER, '\0');
  SmtpReplyAssembler a(buf.data(), 1 << 20);
  EXPECT_EQ(a.window(), buf.data());
  EXPECT_EQ(a.window_size(), SMTP_REPLY_BUFFER);  // a new piece: up to 8191 bytes
  a.feed("220 ", 4);
  EXPECT_EQ(a.window(), buf.data() + 4);
  EXPECT_EQ(a.window_size(), 8191u - 4);  // appending keeps the text within 8190
  std::string big(9000, 'q');
  EXPECT_EQ(a.feed(big.data(), big.size()), done);  // cut to the window, 8190 characters
  EXPECT_EQ(a.text_length(), 8190u);
  EXPECT_EQ(a.code(), 220);
}

TEST(SmtpReply, ByteBoundCountsEveryPiece) {
  std::vector<std::string> pieces(10, "250-0123456789\r\n");  // 16 bytes each
  pieces.push_back("250 end\r\n");
  EXPECT_EQ(assemble(pieces, 16 * 10 + 9).code, 250);
  Fed f = assemble(pieces, 16 * 10 + 8);
  EXPECT_EQ(f.state, failed);
  EXPECT_EQ(f.code, -1);
}

TEST(SmtpReply, CodeHasScanfSemantics) {
  struct Case {
    const char* text;
    int code;
  };
  const Case cases[] = {
      {"", -1},          {"250", -1},       {"250 ", 250},     {"2501", 250},   {"abcd", 0},
      {"  250 x", 250},  {"\t\r\n 421x", 421}, {"+250", 25},   {"-250", -25},   {"+-25", 0},
      {"- 25", 0},       {"0250", 25},      {"9 ab", 9},       {"   +", 0},      {"    ", 0},
      {"1x2y", 1},       {"000 z", 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(smtp_reply_code(c.text), c.code);
    if (std::string(c.text).size() >= 4) {
      int n = 0;
      int expect = std::sscanf(c.text, "%3d", &n) == 1 ? n : 0;
      EXPECT_EQ(smtp_reply_code(c.text), expect) << "differs from sscanf";
    }
  }
  EXPECT_EQ(smtp_reply_code(nullptr), -1);
}

TEST(SmtpReply, VerdictByStage) {
  constexpr auto G = ProbeStage::greeting, H = ProbeStage::helo, M = ProbeStage::mail,
                 R = ProbeStage::recipient;
  constexpr auto pass = ReplyVerdict::pass, temp = ReplyVerdict::temporary,
                 mailbox = ReplyVerdict::mailbox_refusal, refused = ReplyVerdict::refused_probe;
  const struct {
    ProbeStage stage;
    const char* reply;
    ReplyVerdict want;
  } cases[] = {
      {R, "250 2.1.5 ok", pass},         {G, "220 mx ready", pass},
      {R, "450 4.2.0 greylisted", temp}, {G, "421 busy", temp},
      {R, "what?", temp},                {R, "", temp},
      {R, "55", temp},                   {R, "199 odd", temp},
      {G, "554 5.7.1 no", refused},      {H, "550 5.1.1 no", refused},
      {M, "550 5.1.1 no", refused},      {R, "550 5.1.1 <u>: unknown", mailbox},
      {R, "550-5.1.1 unknown", mailbox}, {R, "550 5.1.0", mailbox},
      {R, "553 5.1.2 bad", mailbox},     {R, "550 5.1.3 x", mailbox},
      {R, "551 5.1.6 moved", mailbox},   {R, "550 5.1.10 null MX", mailbox},
      {R, "550 5.2.1 disabled", mailbox}, {R, "550 5.7.1 blocked using x", refused},
      {R, "554 5.7.1 blocked", refused}, {R, "550 5.3.0 x", refused},
      {R, "550 5.4.1 x", refused},       {R, "550 5.5.1 x", refused},
      {R, "552 5.2.2 full", refused},    {R, "552 5.2.3 too big", refused},
      {R, "550 5.1.100 x", refused},     {R, "550 5.1.8 x", refused},
      {R, "550 no such user", mailbox},  {R, "551 not local", mailbox},
      {R, "553 bad name", mailbox},      {R, "554 no", refused},
      {R, "552 no", refused},            {R, "550 4.1.1 wrong class", mailbox},
      {R, "550 5.1.1x", mailbox},        {R, "554 5.1.1 mailbox", mailbox},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.reply);
    EXPECT_EQ(reply_verdict(c.stage, c.reply), c.want);
  }
}

TEST(SmtpReply, KeptReplyAndWalkFold) {
  ProbeReplyText kept;
  probe_reply_keep(kept, "550-5.7.1 blocked\r\n550 5.7.1 using x\r");
  EXPECT_STREQ(kept.c_str(), "550-5.7.1 blocked 550 5.7.1 using x");
  probe_reply_keep(kept, std::string(300, 'x'));
  EXPECT_EQ(kept.size(), PROBE_REPLY_MAX);

  auto at = [](int result, const char* reply) {
    ProbeOutcome o;
    o.result = result;
    o.reply.assign(reply);
    return o;
  };
  const struct {
    const char* label;
    std::vector<ProbeOutcome> probes;
    int want;
    const char* reply;
  } cases[] = {
      {"refused, then unreachable", {at(PROBE_REFUSED, "554 no"), at(PROBE_TEMPFAIL, "")},
       PROBE_REFUSED, "554 no"},
      {"refused, then deferred", {at(PROBE_REFUSED, "554 no"), at(PROBE_TEMPFAIL, "450 later")},
       PROBE_TEMPFAIL, "450 later"},
      {"deferred, then refused", {at(PROBE_TEMPFAIL, "421 busy"), at(PROBE_REFUSED, "554 no")},
       PROBE_TEMPFAIL, "421 busy"},
      {"refused, then failed", {at(PROBE_REFUSED, "554 no"), at(PROBE_FAIL, "550 5.1.1 no")},
       PROBE_FAIL, "550 5.1.1 no"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    ProbeOutcome walk;
    for (const ProbeOutcome& p : c.probes)
      if (probe_fold(walk, p)) break;
    EXPECT_EQ(walk.result, c.want);
    EXPECT_STREQ(walk.reply.c_str(), c.reply);
  }
}
