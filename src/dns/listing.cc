// The blocklist queries through the reentrant resolver. Each call owns its
// resolver state and buffer; nothing is shared.
#include "dns/listing.h"

#include <arpa/nameser.h>
#include <netdb.h>

#include "dns/resolver_state.h"

namespace {

constexpr int LISTING_ANSWER_SIZE = 2048;

// The reply's length, 0 for a name or a record that does not exist, -1 on failure.
int query(const char* name, int type, unsigned char* answer) {
  ResolverState res;
  if (!res.ready()) return -1;
  // A blocklist answers quickly or not at all; its lookup holds no check.
  res.get()->retrans = 3;
  res.get()->retry = 2;
  const int len = res_nquery(res.get(), name, ns_c_in, type, answer, LISTING_ANSWER_SIZE);
  if (len >= 0) return len;
  const int code = res.get()->res_h_errno;
  return code == HOST_NOT_FOUND || code == NO_DATA ? 0 : -1;
}

}  // namespace

int listing_lookup(const char* address, const char* zone, ListingText& why) {
  why.clear();
  BoundedText<256> name;
  if (!listing_query_name(address, zone, name)) return -1;
  unsigned char answer[LISTING_ANSWER_SIZE];
  const int len = query(name.c_str(), ns_t_a, answer);
  if (len <= 0) return len;
  // A reply longer than the buffer was cut by the resolver; read what is there.
  const std::size_t usable = len < LISTING_ANSWER_SIZE ? static_cast<std::size_t>(len) : LISTING_ANSWER_SIZE;
  if (!listing_read_reply(answer, usable).listed) return 0;
  const int txt = query(name.c_str(), ns_t_txt, answer);
  if (txt > 0)
    why = listing_read_reply(answer, txt < LISTING_ANSWER_SIZE ? static_cast<std::size_t>(txt) : LISTING_ANSWER_SIZE).text;
  return 1;
}
