// Fuzz target of the MX and blocklist reply readers: any bytes give 1 to 15
// terminated names inside the names buffer, a bounded reason, and no read
// leaves the reply.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "dns/listing_reply.h"
#include "dns/mx_reply.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // An exact-size copy, so that a read past the usable end is caught; at most
  // the answer buffer's size, as the resolver would have written it.
  std::size_t n = size < MX_ANSWER_SIZE ? size : MX_ANSWER_SIZE;
  auto reply = std::make_unique<unsigned char[]>(n ? n : 1);
  if (n) std::memcpy(reply.get(), data, n);
  auto names = std::make_unique<char[]>(MX_NAMES_SIZE);
  MxList list = {};
  int count = mx_read_reply(reply.get(), size, "fuzz.test", names.get(), list);
  if (count < 1 || count > MX_MAX) std::abort();
  for (int i = 0; i < count; ++i) {
    if (list[i] < names.get() || list[i] >= names.get() + MX_NAMES_SIZE) std::abort();
    std::size_t room = static_cast<std::size_t>(names.get() + MX_NAMES_SIZE - list[i]);
    if (std::memchr(list[i], 0, room) == nullptr) std::abort();
  }
  const ListingReply listing = listing_read_reply(reply.get(), n);
  if (listing.text.size() >= ListingText::capacity()) std::abort();
  return 0;
}
