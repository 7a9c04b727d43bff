// Reading of a blocklist zone's reply (an A or a TXT query for one address) and
// the name asked: pure functions of their bytes. The reply is untrusted; every
// read is bounded by the usable length.
#pragma once

#include <cstddef>

#include "util/bounded_text.h"

// A listing's reason, as the zone's TXT record gives it, cut at 200 bytes.
using ListingText = BoundedText<201>;

struct ListingReply {
  bool listed = false;  // an A record inside 127.0.0.0/8
  ListingText text;     // the first TXT record's strings joined with one space
};

// What the answer records of reply say; a reply cut short keeps what was read
// before the cut.
[[nodiscard]] ListingReply listing_read_reply(const unsigned char* reply, std::size_t usable);

// The name to ask for address (a dotted quad, or IPv6 in any written form) in
// zone: the IPv4 octets or the IPv6 nibbles reversed, then the zone. False
// (out empty) for an address that is neither, or a name that would not fit.
[[nodiscard]] bool listing_query_name(const char* address, const char* zone, BoundedText<256>& out);
