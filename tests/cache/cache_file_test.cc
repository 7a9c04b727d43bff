// The cache file: its reader against whole, cut, altered and foreign files, and
// the memory cache's export and import around it.
#include "cache/cache_file.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "cache/cache.h"
#include "util/constants.h"

namespace {

constexpr std::int64_t NOW = 1'700'000'000;

const std::vector<CacheFileEntry> sample = {
    {CACHE_SENDER, SENDER_FAIL, NOW + 600, "bob@example.org"},
    {CACHE_RECIPIENT, RCPT_PASS, NOW + 60, "ann@example.net"},
    {CACHE_SENDER_CATCHALL, CATCHALL_DOMAIN, NOW + 9, "example.com"},
    {CACHE_SENDER, SENDER_PASS, NOW, "expired@example.org"},        // left out: dead at NOW
    {9, SENDER_PASS, NOW + 60, "nokind@example.org"},                // left out: no such kind
    {CACHE_RECIPIENT, SENDER_PASS, NOW + 60, "wrong@example.org"},   // left out: not its status
};

std::vector<unsigned char> bytes_of(const std::string& s) { return {s.begin(), s.end()}; }

struct Case {
  const char* label;
  std::vector<unsigned char> bytes;
  const char* reason;  // nullptr: usable
};

TEST(CacheFile, ReaderTable) {
  const auto good = bytes_of(cache_file_encode(NOW - 5, sample));
  auto flipped = good;
  flipped[30] ^= 0x01;  // inside the first entry's expiry
  auto other_version = good;
  other_version[9] = 2;
  auto trailing = good;
  trailing.push_back(0);
  auto huge_count = bytes_of(cache_file_encode(NOW, {}));
  std::memset(huge_count.data() + 18, 0xff, 4);
  const Case cases[] = {
      {"whole", good, nullptr},
      {"empty cache", bytes_of(cache_file_encode(NOW, {})), nullptr},
      {"empty file", {}, "not a korvane cache file"},
      {"foreign", bytes_of("socket unix:/run/korvane/korvane.sock\n"), "not a korvane cache file"},
      {"other version", other_version, "another format version"},
      {"altered", flipped, "checksum mismatch"},
      {"trailing byte", trailing, "bytes after its end"},
      {"count beyond the file", huge_count, "truncated"},
      {"header cut", {good.begin(), good.begin() + 12}, "truncated"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    const CacheFileContents r = cache_file_read(c.bytes, NOW);
    EXPECT_EQ(r.usable, c.reason == nullptr);
    EXPECT_STREQ(r.reason, c.reason != nullptr ? c.reason : "");
  }
  const CacheFileContents whole = cache_file_read(good, NOW);
  EXPECT_EQ(whole.written, NOW - 5);
  ASSERT_EQ(whole.entries.size(), 3u);
  EXPECT_EQ(whole.left_out, 3u);
  EXPECT_EQ(whole.entries[0].key, "bob@example.org");
  EXPECT_EQ(whole.entries[0].expires, NOW + 600);
  // Every cut, at an entry's boundary too, is refused whole.
  for (std::size_t n = 0; n < good.size(); ++n)
    EXPECT_FALSE(cache_file_read({good.data(), n}, NOW).usable) << n;
}

std::time_t file_now() { return NOW; }

TEST(CacheFile, ExportAndImportKeepExpiry) {
  cache_set_clock(file_now);
  ASSERT_TRUE(cache_mutex_init());
  ASSERT_TRUE(cache_create());
  cache_remember("bob@example.org", 600, CACHE_SENDER, SENDER_FAIL);
  cache_remember("example.com", 9, CACHE_SENDER_CATCHALL, CATCHALL_DOMAIN);
  const std::vector<CacheFileEntry> saved = cache_export();
  cache_destroy();
  ASSERT_TRUE(cache_create());
  cache_remember("bob@example.org", 5, CACHE_SENDER, SENDER_PASS);  // live: kept as it is
  std::size_t taken = 0;
  for (const CacheFileEntry& e : cache_file_read(bytes_of(cache_file_encode(NOW, saved)), NOW).entries)
    taken += cache_import(e) ? 1 : 0;
  EXPECT_EQ(taken, 1u);
  EXPECT_EQ(cache_recall("bob@example.org", CACHE_SENDER), SENDER_PASS);
  EXPECT_EQ(cache_recall("example.com", CACHE_SENDER_CATCHALL), CATCHALL_DOMAIN);
  EXPECT_EQ(cache_export().size(), 2u);
  cache_destroy();
  cache_set_clock(nullptr);
}

}  // namespace
