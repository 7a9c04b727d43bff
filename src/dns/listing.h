// Whether an address of this host is listed in a blocklist zone: an A query of
// the address's reversed name and, when listed, a TXT query for the reason.
#pragma once

#include "dns/listing_reply.h"

// 1 listed (why gets the zone's reason, empty when it gives none), 0 not listed
// (no such name, or no A record in 127.0.0.0/8), -1 when the lookup failed or
// timed out, which tells nothing. Waits at most about 12 seconds.
[[nodiscard]] int listing_lookup(const char* address, const char* zone, ListingText& why);
