// The blocklist reply reader over crafted replies, and the reversed names asked.
#include "dns/listing_reply.h"

#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "dns/packet_builder.h"

namespace {

PacketBuilder reply(unsigned answers) { return std::move(PacketBuilder().header(1, answers).question("x.zone")); }

TEST(ListingReply, Table) {
  struct Case {
    const char* label;
    std::vector<unsigned char> bytes;
    std::size_t cut;  // bytes left off the end
    bool listed;
    const char* text;
  } cases[] = {
      {"listed", reply(1).pointer(12).fixed(1, 4).u32(0x7f000002).bytes, 0, true, ""},
      {"an address outside 127/8", reply(1).pointer(12).fixed(1, 4).u32(0x0a000002).bytes, 0, false, ""},
      {"no answer", reply(0).bytes, 0, false, ""},
      {"A of the wrong length", reply(1).pointer(12).fixed(1, 5).u32(0x7f000002).u8(0).bytes, 0, false, ""},
      {"TXT strings joined", reply(1).pointer(12).fixed(16).label("listed").label("see x").end_rdata().bytes, 0,
       false, "listed see x"},
      {"TXT string past its record", reply(1).pointer(12).fixed(16, 3).u8(9).raw("ab").bytes, 0, false, ""},
      {"cut inside the A record", reply(1).pointer(12).fixed(1, 4).u32(0x7f000002).bytes, 2, false, ""},
      {"CNAME then A", reply(2).pointer(12).fixed(5).name("y.zone").end_rdata().pointer(12).fixed(1, 4)
                           .u32(0x7f000004).bytes, 0, true, ""},
  };
  for (const auto& c : cases) {
    const std::size_t n = c.bytes.size() - c.cut;
    auto copy = std::make_unique<unsigned char[]>(n);
    std::copy(c.bytes.begin(), c.bytes.begin() + static_cast<long>(n), copy.get());
    const ListingReply got = listing_read_reply(copy.get(), n);
    EXPECT_EQ(got.listed, c.listed) << c.label;
    EXPECT_STREQ(got.text.c_str(), c.text) << c.label;
  }
}

TEST(ListingQueryName, Table) {
  const struct {
    const char* address;
    const char* want;
  } cases[] = {
      {"192.0.2.11", "11.2.0.192.bl.test"},
      {"2001:db8::1", "1.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.8.b.d.0.1.0.0.2.bl.test"},
      {"mx.example", ""},
      {"", ""},
  };
  for (const auto& c : cases) {
    BoundedText<256> out;
    EXPECT_EQ(listing_query_name(c.address, "bl.test", out), c.want[0] != '\0') << c.address;
    EXPECT_STREQ(out.c_str(), c.want) << c.address;
  }
}

}  // namespace
