// Reading of a blocklist zone's reply: the header's counts, the question, then
// each answer record by type; and the reversed name of an address in a zone.
#include "dns/listing_reply.h"

#include <arpa/inet.h>
#include <resolv.h>

#include <cstdio>
#include <cstring>

#include "util/byte_cursor.h"

namespace {

constexpr std::uint16_t TYPE_A = 1;
constexpr std::uint16_t TYPE_TXT = 16;

bool skip_name(ByteCursor& cur) {
  const int n = cur.at_end() ? -1 : dn_skipname(cur.here(), cur.end());
  if (n < 0) return false;
  cur.skip(static_cast<std::size_t>(n));
  return !cur.failed();
}

// The character-strings of one TXT record's data, joined with one space.
void read_txt(ByteCursor& cur, std::size_t rdlength, ListingText& out) {
  char joined[ListingText::capacity()] = {};
  std::size_t used = 0;
  std::size_t left = rdlength;
  while (left > 0 && !cur.failed()) {
    const std::size_t len = cur.u8();
    --left;
    if (len > left) {
      cur.fail();
      break;
    }
    if (used > 0 && used < sizeof joined - 1) joined[used++] = ' ';
    for (std::size_t i = 0; i < len; ++i) {
      const std::uint8_t b = cur.u8();
      if (used < sizeof joined - 1) joined[used++] = static_cast<char>(b);
    }
    left -= len;
  }
  joined[used] = '\0';
  out.assign(std::string_view(joined, used));
}

}  // namespace

ListingReply listing_read_reply(const unsigned char* reply, std::size_t usable) {
  ListingReply got;
  ByteCursor cur(reply, usable);
  cur.skip(4);
  const std::uint16_t qdcount = cur.u16();
  const std::uint16_t ancount = cur.u16();
  cur.skip(4);
  for (unsigned q = 0; q < qdcount && !cur.failed(); ++q) {
    if (!skip_name(cur)) return got;
    cur.skip(4);
  }
  bool have_text = false;
  for (unsigned a = 0; a < ancount && !cur.failed(); ++a) {
    if (!skip_name(cur)) break;
    const std::uint16_t type = cur.u16();
    cur.skip(6);  // class and TTL
    const std::uint16_t rdlength = cur.u16();
    if (cur.failed() || cur.remaining() < rdlength) break;
    if (type == TYPE_A && rdlength == 4) {
      const std::uint8_t first = cur.u8();
      cur.skip(3);
      got.listed = got.listed || first == 127;
    } else if (type == TYPE_TXT && !have_text) {
      read_txt(cur, rdlength, got.text);
      have_text = true;
    } else {
      cur.skip(rdlength);
    }
  }
  return got;
}

bool listing_query_name(const char* address, const char* zone, BoundedText<256>& out) {
  out.clear();
  char name[512];
  int n = -1;
  unsigned char bytes[16];
  if (inet_pton(AF_INET, address, bytes) == 1) {
    n = std::snprintf(name, sizeof name, "%u.%u.%u.%u.%s", bytes[3], bytes[2], bytes[1], bytes[0], zone);
  } else if (inet_pton(AF_INET6, address, bytes) == 1) {
    static const char hex[] = "0123456789abcdef";
    std::size_t at = 0;
    for (int i = 15; i >= 0; --i) {
      name[at++] = hex[bytes[i] & 15];
      name[at++] = '.';
      name[at++] = hex[bytes[i] >> 4];
      name[at++] = '.';
    }
    n = std::snprintf(name + at, sizeof name - at, "%s", zone);
    if (n >= 0) n += static_cast<int>(at);
  }
  if (n < 0 || static_cast<std::size_t>(n) >= out.capacity()) return false;
  out.assign(std::string_view(name, static_cast<std::size_t>(n)));
  return true;
}
