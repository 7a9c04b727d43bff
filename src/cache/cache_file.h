// The cache file's format: what the memory cache's live entries look like on
// disk, and the reader that takes them back. Pure functions of their bytes; the
// bytes read are untrusted (a crash, a full disk or another program may have
// left anything there), so every read is bounded and any doubt refuses the file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

inline constexpr std::uint16_t CACHE_FILE_VERSION = 1;
// An envelope field holds at most 511 bytes, so no key of ours is longer.
inline constexpr std::size_t CACHE_FILE_KEY_LIMIT = 511;
// Far above what a busy host's cache holds (some million entries), and what
// the loader may take into memory at once.
inline constexpr std::size_t CACHE_FILE_SIZE_LIMIT = std::size_t{512} << 20;

struct CacheFileEntry {
  int kind = 0;
  int status = 0;
  std::int64_t expires = 0;  // seconds since the epoch; live while now < expires
  std::string key;
};

// The header, then each entry, then a checksum of all that precedes it.
// Entries whose key is empty or over CACHE_FILE_KEY_LIMIT are left out.
[[nodiscard]] std::string cache_file_encode(std::int64_t written,
                                            std::span<const CacheFileEntry> entries);

struct CacheFileContents {
  bool usable = false;
  const char* reason = "";  // why the file is refused, when it is not usable
  std::int64_t written = 0;
  std::vector<CacheFileEntry> entries;  // the live ones that fit the cache
  std::size_t left_out = 0;  // whole entries not taken: expired, or of no kind or status of ours
};
// A file that is not ours, of another version, truncated, altered, too large or
// with bytes after its end is refused whole; in a good one an entry that is
// expired at now, or that the cache could not hold, is left out.
[[nodiscard]] CacheFileContents cache_file_read(std::span<const unsigned char> bytes,
                                                std::int64_t now);
