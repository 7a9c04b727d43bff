// The MX reply reader over crafted replies: compression, record kinds, limits of
// the list and of the names buffer, and malformed or cut-short replies.
#include "dns/mx_reply.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "dns/packet_builder.h"
#include "util/helpers.h"

namespace {

const char* const DOMAIN = "example.test";

struct ReadResult {
  std::vector<std::string> names;
  bool null_mx = false;
  std::vector<char> buffer;  // the names buffer as the reader left it
};

// Reads from a heap copy of exactly the reply's bytes, so that a read past the
// usable end is caught by the address sanitizer.
ReadResult read_reply(const std::vector<unsigned char>& reply, std::size_t usable,
                      const char* domain = DOMAIN) {
  auto copy = std::make_unique<unsigned char[]>(reply.size() + 1);
  if (!reply.empty()) std::memcpy(copy.get(), reply.data(), reply.size());
  ReadResult r;
  r.buffer.assign(MX_NAMES_SIZE, '\x7f');
  MxList list = {};
  int count = mx_read_reply(copy.get(), usable, domain, r.buffer.data(), list, &r.null_mx);
  EXPECT_GE(count, 1);
  EXPECT_LE(count, MX_MAX);
  for (int i = 0; i < count && i < MX_MAX; ++i) {
    const char* p = list[i];
    EXPECT_TRUE(p >= r.buffer.data() && p < r.buffer.data() + MX_NAMES_SIZE);
    std::size_t room = static_cast<std::size_t>(r.buffer.data() + MX_NAMES_SIZE - p);
    const void* nul = std::memchr(p, 0, room);
    EXPECT_NE(nul, nullptr) << "name not terminated inside the buffer";
    r.names.push_back(nul ? std::string(p) : std::string());
  }
  return r;
}

ReadResult read_reply(const PacketBuilder& b) { return read_reply(b.bytes, b.bytes.size()); }

using Names = std::vector<std::string>;
const Names FALLBACK = {DOMAIN};

PacketBuilder one_question(unsigned ancount) {
  PacketBuilder b;
  b.header(1, ancount).question(DOMAIN);
  return b;
}

std::string long_name(char c) {
  // 253 characters: the longest name a DNS packet can carry.
  return std::string(63, c) + "." + std::string(63, c) + "." + std::string(63, c) + "." +
         std::string(61, c);
}

struct Case {
  const char* label;
  PacketBuilder packet;
  Names want;
  bool null_mx = false;  // the reply is a null MX (RFC 7505)
};

std::vector<Case> cases() {
  std::vector<Case> v;
  v.push_back({"single MX", one_question(1).mx(10, "mx.example.test"), {"mx.example.test."}});
  v.push_back({"ordered by preference",
               one_question(3).mx(30, "c.test").mx(10, "a.test").mx(20, "b.test"),
               {"a.test.", "b.test.", "c.test."}});
  v.push_back({"preference compared unsigned",
               one_question(2).mx(0x8000, "high.test").mx(1, "low.test"),
               {"low.test.", "high.test."}});
  {
    PacketBuilder b = one_question(1);
    b.pointer(12).fixed(15).u16(10).labels("mx").pointer(12).end_rdata();
    v.push_back({"exchange compressed to the question", b, {"mx.example.test."}});
  }
  {
    PacketBuilder b = one_question(2);
    b.pointer(12).fixed(15).u16(10);
    std::size_t first = b.here();
    b.labels("mx1").pointer(12).end_rdata();
    b.pointer(12).fixed(15).u16(20).labels("b").pointer(first).end_rdata();
    v.push_back({"chained pointers", b, {"mx1.example.test.", "b.mx1.example.test."}});
  }
  {
    PacketBuilder b = one_question(3);
    b.pointer(12).fixed(5);
    std::size_t target = b.here();
    b.name("real.example.test").end_rdata();
    b.pointer(target).fixed(15).u16(10).name("mx.real.test").end_rdata();
    b.pointer(target).fixed(15).u16(5).name("mx0.real.test").end_rdata();
    v.push_back({"CNAME ahead of the MX records", b, {"mx0.real.test.", "mx.real.test."}});
  }
  {
    PacketBuilder b = one_question(2);
    b.pointer(12).fixed(16).u8(3).raw("abc").end_rdata().mx(10, "mx.test");
    v.push_back({"TXT record skipped by its length", b, {"mx.test."}});
  }
  v.push_back({"null MX only", one_question(1).mx(0, ""), FALLBACK, true});
  v.push_back({"null MX beside a real one", one_question(2).mx(0, "").mx(10, "mx.test"),
               {"mx.test."}});
  v.push_back({"root exchange at preference 10 is no null MX", one_question(1).mx(10, ""), FALLBACK});
  v.push_back({"two null MX records", one_question(2).mx(0, "").mx(0, ""), FALLBACK});
  v.push_back({"null MX, then a record cut short", one_question(2).mx(0, "").u8(0), FALLBACK});
  {
    PacketBuilder b = one_question(1);
    b.pointer(12).fixed(15).u16(10).label("mx.").u8(0).end_rdata();
    // Expansion writes a dot inside a label escaped; the name then already
    // ends in a dot and gets none added.
    v.push_back({"exchange already ending in a dot", b, {"mx\\."}});
  }
  v.push_back({"letter case kept", one_question(1).mx(10, "MX.Example.TEST"),
               {"MX.Example.TEST."}});
  v.push_back({"ANCOUNT 0", one_question(0), FALLBACK});
  {
    PacketBuilder b;
    b.header(0, 1).mx(10, "mx.test");
    // No question, so the owner pointer to offset 12 points at itself: a loop.
    v.push_back({"no question, owner pointer loops", b, FALLBACK});
  }
  {
    PacketBuilder b;
    b.header(0, 1).name("example.test").fixed(15).u16(10).name("mx.test").end_rdata();
    v.push_back({"no question, plain owner", b, {"mx.test."}});
  }
  {
    PacketBuilder b;
    b.header(2, 1).question(DOMAIN).mx(10, "mx.test");
    v.push_back({"QDCOUNT larger than the questions", b, FALLBACK});
  }
  {
    PacketBuilder b;
    b.header(1, 1).labels("example").u8(4).raw("te");
    v.push_back({"question name cut short", b, FALLBACK});
  }
  {
    PacketBuilder b;
    b.header(1, 1).name("example.test").u16(15);
    v.push_back({"question without its class", b, FALLBACK});
  }
  {
    PacketBuilder b;
    b.header(1, 1).u8(0x40).raw("x").u16(15).u16(1).mx(10, "mx.test");
    v.push_back({"question with an unknown label type", b, FALLBACK});
  }
  v.push_back({"header cut short", PacketBuilder().u16(0x1234).u16(0x8180).u16(0), FALLBACK});
  v.push_back({"ANCOUNT larger than the records", one_question(5).mx(10, "a.test").mx(20, "b.test"),
               {"a.test.", "b.test."}});
  {
    PacketBuilder b = one_question(2).mx(10, "good.test");
    std::size_t self = b.here() + 2 + 10 + 2;
    b.pointer(12).fixed(15).u16(5).pointer(self).end_rdata();
    v.push_back({"exchange pointing at itself", b, {"good.test."}});
  }
  {
    PacketBuilder b = one_question(2).mx(10, "good.test");
    std::size_t at = b.here() + 2 + 10 + 2;
    b.pointer(12).fixed(15).u16(5).labels("a").pointer(at).end_rdata();
    v.push_back({"exchange looping through a label", b, {"good.test."}});
  }
  {
    PacketBuilder b = one_question(2).mx(10, "good.test");
    b.pointer(12).fixed(15).u16(5).pointer(0x3fff).end_rdata();
    v.push_back({"pointer past the end", b, {"good.test."}});
  }
  {
    PacketBuilder b = one_question(2).mx(10, "good.test");
    b.pointer(12).fixed(15).u16(5).pointer(b.here() + 2 + 10 + 2 + 2).end_rdata();
    v.push_back({"pointer to the very end", b, {"good.test."}});
  }
  {
    // The system's expansion follows a pointer forward when it stays inside
    // the reply and does not loop.
    PacketBuilder b = one_question(2);
    std::size_t second = b.here() + 2 + 10 + 2 + 2;
    b.pointer(12).fixed(15).u16(10).pointer(second + 2 + 10 + 2).end_rdata();
    b.mx(20, "later.test");
    v.push_back({"pointer forward inside the reply", b, {"later.test.", "later.test."}});
  }
  {
    PacketBuilder b = one_question(2).mx(10, "good.test");
    b.pointer(12).fixed(16, 500).raw("short");
    v.push_back({"record length past the end", b, {"good.test."}});
  }
  {
    PacketBuilder b = one_question(2).mx(10, "good.test");
    b.pointer(12).u16(15).u16(1);
    v.push_back({"fixed fields cut short", b, {"good.test."}});
  }
  {
    PacketBuilder b = one_question(2).mx(10, "good.test");
    b.pointer(12).fixed(15, 9).u8(0);
    v.push_back({"preference cut short", b, {"good.test."}});
  }
  {
    PacketBuilder b = one_question(2).mx(10, "good.test");
    b.pointer(12).fixed(15, 9).u16(5);
    v.push_back({"exchange missing", b, {"good.test."}});
  }
  {
    PacketBuilder b = one_question(2).mx(10, "good.test");
    b.pointer(12).fixed(15).u16(5).u8(0x80).raw("x").end_rdata();
    v.push_back({"exchange with an unknown label type", b, {"good.test."}});
  }
  return v;
}

TEST(MxReadReply, Table) {
  for (const Case& c : cases()) {
    SCOPED_TRACE(c.label);
    ReadResult r = read_reply(c.packet);
    EXPECT_EQ(r.names, c.want);
    EXPECT_EQ(r.null_mx, c.null_mx);
  }
}

TEST(MxReadReply, OnlyTheFirstFifteenRecordsCount) {
  PacketBuilder b = one_question(17);
  for (int i = 0; i < 15; ++i) b.mx(10 + i, "m" + std::to_string(i) + ".test");
  b.mx(1, "late.test").mx(0, "later.test");
  Names want;
  for (int i = 0; i < 15; ++i) want.push_back("m" + std::to_string(i) + ".test.");
  EXPECT_EQ(read_reply(b).names, want);
}

TEST(MxReadReply, EqualPreferenceInWeightOrderWhateverTheReplyOrder) {
  ASSERT_NE(hash_string("a.test") & 255, hash_string("b.test") & 255);
  Names ab = read_reply(one_question(2).mx(10, "a.test").mx(10, "b.test")).names;
  Names ba = read_reply(one_question(2).mx(10, "b.test").mx(10, "a.test")).names;
  EXPECT_EQ(ab, ba);
  // The lower weight goes first; the weight is taken before the dot is added.
  bool a_first = (hash_string("a.test") & 255) < (hash_string("b.test") & 255);
  EXPECT_EQ(ab.front(), a_first ? "a.test." : "b.test.");
}

// Builds a reply whose names fill the names buffer; the records own the root
// name so that only the exchanges take room. extra is added to the last
// name's length: 0 fits exactly, 1 does not.
PacketBuilder filling_reply(int extra) {
  PacketBuilder b;
  b.header(0, 10);
  auto rec = [&](unsigned pref, const std::string& name) {
    b.u8(0).fixed(15).u16(pref).name(name).end_rdata();
  };
  for (int i = 0; i < 8; ++i) rec(i, long_name(static_cast<char>('a' + i)));
  // 8 names of 253 + dot + NUL use 2040 of the 2047 bytes; 7 are left, which
  // takes a name of 6 characters, its dot and its terminator.
  rec(8, std::string("abc.de") + std::string(extra, 'f'));
  rec(9, "never.test");
  return b;
}

TEST(MxReadReply, NamesBufferFilledToTheLastByte) {
  ReadResult r = read_reply(filling_reply(0));
  ASSERT_EQ(r.names.size(), 9u);
  EXPECT_EQ(r.names[8], "abc.de.");
  EXPECT_EQ(r.buffer[MX_NAMES_SIZE - 1], '\0');
  EXPECT_EQ(r.buffer[MX_NAMES_SIZE - 2], '.');
  for (int i = 0; i < 8; ++i) EXPECT_EQ(r.names[i], long_name(static_cast<char>('a' + i)) + ".");
}

TEST(MxReadReply, NameThatDoesNotFitEndsTheWalk) {
  ReadResult r = read_reply(filling_reply(1));
  ASSERT_EQ(r.names.size(), 8u);
  EXPECT_EQ(r.names[7], long_name('h') + ".");
}

TEST(MxReadReply, FallbackCutToTheBuffer) {
  std::string domain(3000, 'd');
  ReadResult r = read_reply(one_question(0).bytes, one_question(0).bytes.size(), domain.c_str());
  ASSERT_EQ(r.names.size(), 1u);
  EXPECT_EQ(r.names[0], std::string(MX_NAMES_SIZE - 1, 'd'));
}

TEST(MxReadReply, ReadOnlyWithinTheAnswerBuffer) {
  // A big TXT record, then an MX record that lies past byte 8192 of a reply
  // the resolver said was longer than the buffer.
  auto build = [](std::size_t txt) {
    PacketBuilder b = one_question(2);
    b.pointer(12).fixed(16);
    b.raw(std::string(txt, 'x')).end_rdata();
    b.mx(10, "mx.test");
    return b;
  };
  PacketBuilder inside = build(8000);
  ASSERT_LT(inside.bytes.size(), MX_ANSWER_SIZE);
  EXPECT_EQ(read_reply(inside.bytes, 9000).names, Names{"mx.test."});

  PacketBuilder beyond = build(8170);
  ASSERT_GT(beyond.bytes.size(), MX_ANSWER_SIZE);
  std::vector<unsigned char> buffer(beyond.bytes.begin(), beyond.bytes.begin() + MX_ANSWER_SIZE);
  EXPECT_EQ(read_reply(buffer, beyond.bytes.size()).names, FALLBACK);
}

TEST(MxReadReply, RecordCutShortAtEveryByte) {
  PacketBuilder b = one_question(2).mx(20, "first.test");
  std::size_t end1 = b.here();
  b.pointer(12).fixed(15).u16(10).labels("second").pointer(12).end_rdata();
  std::size_t end2 = b.here();
  for (std::size_t n = 0; n <= end2; ++n) {
    SCOPED_TRACE("usable length " + std::to_string(n));
    std::vector<unsigned char> prefix(b.bytes.begin(), b.bytes.begin() + n);
    Names got = read_reply(prefix, n).names;
    if (n < end1) {
      EXPECT_EQ(got, FALLBACK);
    } else if (n < end2) {
      EXPECT_EQ(got, Names{"first.test."});
    } else {
      EXPECT_EQ(got, (Names{"second.example.test.", "first.test."}));
    }
  }
}

TEST(MxReadReply, EveryPrefixOfValidRepliesIsSafe) {
  std::vector<Case> all = cases();
  all.push_back({"fill", filling_reply(0), {}});
  for (const Case& c : all) {
    SCOPED_TRACE(c.label);
    const auto& bytes = c.packet.bytes;
    for (std::size_t n = 0; n <= bytes.size(); ++n) {
      std::vector<unsigned char> prefix(bytes.begin(), bytes.begin() + n);
      (void)read_reply(prefix, n);
    }
  }
}

TEST(MxSort, ExchangeSortOrder) {
  struct SortCase {
    const char* label;
    std::vector<std::uint16_t> pref;
    std::vector<int> weight;
    std::string want;  // entry i is named by the letter 'A' + i
  } table[] = {
      {"not stable: P Q R to R Q P", {10, 10, 5}, {5, 5, 9}, "CBA"},
      {"weight breaks ties", {10, 10, 10}, {30, 10, 20}, "BCA"},
      {"preference before weight", {20, 10}, {0, 255}, "BA"},
      {"unsigned preference", {65535, 0, 1}, {0, 0, 0}, "BCA"},
      {"already ordered", {1, 2, 3}, {9, 8, 7}, "ABC"},
      {"one entry", {7}, {7}, "A"},
  };
  for (auto& c : table) {
    SCOPED_TRACE(c.label);
    int count = static_cast<int>(c.pref.size());
    char names[MX_MAX][2] = {};
    MxList list = {};
    for (int i = 0; i < count; ++i) {
      names[i][0] = static_cast<char>('A' + i);
      list[i] = names[i];
    }
    mx_sort(list, c.pref.data(), c.weight.data(), count);
    std::string got;
    for (int i = 0; i < count; ++i) got += list[i][0];
    EXPECT_EQ(got, c.want);
    for (int i = 0; i + 1 < count; ++i) EXPECT_LE(c.pref[i], c.pref[i + 1]);
  }
}

}  // namespace
