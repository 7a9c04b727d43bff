// libFuzzer target for the cache file's reader: any bytes as a file; what it
// takes from a usable one must fit the cache and come back whole when written again.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "cache/cache_file.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  constexpr std::int64_t now = 1'700'000'000;
  const CacheFileContents c = cache_file_read({data, size}, now);
  if (!c.usable) return 0;
  for (const CacheFileEntry& e : c.entries)
    if (e.key.empty() || e.key.size() > CACHE_FILE_KEY_LIMIT || e.expires <= now) std::abort();
  const std::string again = cache_file_encode(c.written, c.entries);
  const CacheFileContents back =
      cache_file_read({reinterpret_cast<const unsigned char*>(again.data()), again.size()}, now);
  if (!back.usable || back.entries.size() != c.entries.size() || back.left_out != 0) std::abort();
  return 0;
}
