// libFuzzer target: one configuration line, any bytes, applied to a defaulted
// record; the record must stay usable and every whitelist prefix within its family's
// width (32 bits for IPv4, 128 for IPv6).
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "settings/settings.h"
#include "util/helpers.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static bool ready = ipv4_literal_pattern_compile();
  if (!ready) return 0;
  // A line as the reader hands it over: at most 254 bytes, terminated.
  char line[256];
  std::size_t n = size < 254 ? size : 254;
  std::memcpy(line, data, n);
  line[n] = '\0';
  Settings s;
  (void)config_apply_line(s, line);
  for (const IpWhitelistEntry& e : s.whitelist_ip) {
    if (e.prefix_len > (e.ipv6 ? 128 : 32) || (e.network >> 32) != 0) std::abort();
  }
  std::string ttl(reinterpret_cast<const char*>(data), size);
  std::int64_t v = parse_ttl(ttl.data());
  if (v > LIFETIME_LIMIT || v < -LIFETIME_LIMIT) std::abort();
  return 0;
}
