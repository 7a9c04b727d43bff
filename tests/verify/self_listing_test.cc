// The self-listing table against a stand-in lookup: first lookups, the hourly
// round, a failure that changes nothing, the bound of sixteen addresses.
#include "verify/self_listing.h"

#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <string>

#include "settings/settings.h"

namespace {

std::set<std::string> listed, failing, asked;
std::int64_t now = 1000;
std::int64_t test_clock() { return now; }

int stand_in(const char* address, const char* zone, ListingText& why) {
  asked.insert(std::string(address) + " " + zone);
  if (failing.count(address) != 0) return -1;
  why.assign("test");
  return listed.count(address) != 0 ? 1 : 0;
}

TEST(SelfListing, RoundsAndBounds) {
  settings.selflisting = {PatternEntry{"bl.test"}};
  self_listing_install(stand_in, test_clock);
  self_listing_clear();
  listed = {"192.0.2.1"};
  self_listing_note("192.0.2.1");
  self_listing_note("192.0.2.2");
  self_listing_run_due();
  EXPECT_EQ(asked, (std::set<std::string>{"192.0.2.1 bl.test", "192.0.2.2 bl.test"}));
  EXPECT_TRUE(self_listing_listed());

  // Within the hour nothing is asked again; a failed lookup keeps the listing.
  asked.clear();
  failing = {"192.0.2.1"};
  now = 1000 + 3599;
  self_listing_run_due();
  EXPECT_TRUE(asked.empty());
  self_listing_note("192.0.2.1");
  now = 1000 + 3600;
  self_listing_run_due();
  EXPECT_TRUE(self_listing_listed());
  // Delisted once a lookup says so; an address unused for the hour is dropped.
  failing.clear();
  listed.clear();
  asked.clear();
  now = 1000 + 7201;
  self_listing_note("192.0.2.1");
  self_listing_run_due();
  EXPECT_FALSE(self_listing_listed());
  EXPECT_EQ(asked, (std::set<std::string>{"192.0.2.1 bl.test"}));

  self_listing_clear();
  asked.clear();
  for (int i = 0; i < SELF_LISTING_ADDRESSES_MAX + 4; ++i) self_listing_note(("10.0.0." + std::to_string(i)).c_str());
  self_listing_run_due();
  EXPECT_EQ(asked.size(), static_cast<std::size_t>(SELF_LISTING_ADDRESSES_MAX));
  self_listing_install(nullptr, nullptr);
  settings.selflisting.clear();
  self_listing_clear();
}

}  // namespace
