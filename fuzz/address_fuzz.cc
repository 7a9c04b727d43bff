// libFuzzer target for envelope address extraction: any byte string as the raw
// argument; an accepted address must be bounded, hold an "@" and no line break,
// and its sender key must be no longer and keep its domain.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "filter/address.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string raw(reinterpret_cast<const char*>(data), size);  // cut at the first NUL
  EnvelopeText dest;
  const int r = extract_address(dest, raw.c_str());
  if (r != 0 && r != 1) std::abort();
  if (dest.size() >= EnvelopeText::capacity()) std::abort();
  if (r == 1) {
    const std::string_view got = dest.view();
    if (got.size() < 2 || got.find('@') == std::string_view::npos || has_line_break(got))
      std::abort();
    if (got.front() == ' ' || got.back() == ' ') std::abort();
    EnvelopeText key;
    sender_key(got, "+-", key);
    const std::string_view domain = got.substr(got.rfind('@'));
    if (key.size() > got.size() || !key.view().ends_with(domain)) std::abort();
  }
  return 0;
}
