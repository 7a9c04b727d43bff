// Whether this host's own callout addresses are listed in a blocklist zone
// (selflisting): each source address a probe connects from is looked up within
// seconds of its first use, then hourly while in use, on a thread of its own.
// A listing is logged as an error and shown by a gauge per zone; with
// selflistingpause the sender checks make no callout while any is listed.
#pragma once

#include <cstdint>

#include "dns/listing_reply.h"

// At most this many source addresses are kept; one more is not looked up.
inline constexpr int SELF_LISTING_ADDRESSES_MAX = 16;

// Records that a probe connected from address (its text). Cheap: one lock, no DNS.
void self_listing_note(const char* address);
// True while some address is listed in some zone.
[[nodiscard]] bool self_listing_listed();

// Starts the looking-up thread over the zones of selflisting; none without zones.
void self_listing_start();
// Stops and joins it; a lookup under way ends first (a few seconds at most).
void self_listing_stop();

// Tests: the lookup (nullptr: listing_lookup) and the clock in seconds
// (nullptr: a steady clock), one round of the lookups due now, and forgetting
// every address (the zones read again from the settings).
using SelfListingLookup = int (*)(const char* address, const char* zone, ListingText& why);
using SelfListingClock = std::int64_t (*)();
void self_listing_install(SelfListingLookup lookup, SelfListingClock clock);
void self_listing_run_due();
void self_listing_clear();
