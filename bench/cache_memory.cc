// Fills the cache with N distinct sender addresses (default 100000) and prints
// how much resident memory it grew by, per entry, with and without the fixed
// bucket array. Usage: korvane_cache_memory [N]
#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>
#include <vector>

#include "cache/cache.h"
#include "sample_addresses.h"
#include "util/constants.h"

namespace {

// Resident bytes from /proc/self/statm (second field, in pages); -1 on failure.
long resident_bytes() {
  std::FILE* f = std::fopen("/proc/self/statm", "r");
  if (f == nullptr) return -1;
  long size = 0, resident = 0;
  int got = std::fscanf(f, "%ld %ld", &size, &resident);
  std::fclose(f);
  return got == 2 ? resident * sysconf(_SC_PAGESIZE) : -1;
}

}  // namespace

int main(int argc, char** argv) {
  long n = argc > 1 ? std::strtol(argv[1], nullptr, 10) : 100000;
  if (n <= 0 || n > 100'000'000) {
    std::fprintf(stderr, "usage: %s [entries, 1..100000000]\n", argv[0]);
    return 2;
  }
  // The keys exist before the first reading, so only the cache's own copies count.
  const std::vector<std::string> keys = sample_addresses(static_cast<std::size_t>(n));
  std::size_t key_bytes = 0;
  for (const auto& k : keys) key_bytes += k.size() + 1;

  const long before = resident_bytes();
  if (!cache_mutex_init() || !cache_create()) {
    std::fprintf(stderr, "cache_create failed\n");
    return 1;
  }
  for (const auto& k : keys) cache_remember(k.c_str(), 3600, CACHE_SENDER, SENDER_PASS);
  const long after = resident_bytes();
  if (before < 0 || after < 0) {
    std::fprintf(stderr, "cannot read /proc/self/statm\n");
    return 1;
  }

  const double growth = static_cast<double>(after - before);
  const double table = static_cast<double>(CACHE_BUCKETS * sizeof(void*));
  std::printf("entries                      %ld\n", n);
  std::printf("mean key length              %.1f bytes (with terminator)\n",
              static_cast<double>(key_bytes) / static_cast<double>(n));
  std::printf("sizeof(CacheEntry)           %zu bytes\n", cache_entry_size());
  std::printf("resident growth              %.0f bytes\n", growth);
  std::printf("per entry, table included    %.1f bytes\n", growth / static_cast<double>(n));
  std::printf("per entry, table excluded    %.1f bytes\n", (growth - table) / static_cast<double>(n));
  cache_destroy();
  return 0;
}
