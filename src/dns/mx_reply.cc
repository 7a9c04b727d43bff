// Reading of an MX reply: header counts, the question section, then the answer
// records, gathering exchange names back to back in the names buffer.
#include "dns/mx_reply.h"

#include <resolv.h>

#include <cstring>

#include "util/bounded_text.h"
#include "util/byte_cursor.h"
#include "util/helpers.h"

namespace {

constexpr std::uint16_t TYPE_MX = 15;
// Expansion gets one byte less than the buffer, so that the dot appended to
// the last name and its terminator always fit.
constexpr int NAMES_EXPANSION_SPACE = static_cast<int>(MX_NAMES_SIZE) - 1;

// Expands the name at the cursor into out (at most size bytes with its
// terminator) and moves the cursor past the name's compressed form.
bool expand_name(ByteCursor& cur, char* out, int size) {
  if (cur.failed() || cur.at_end() || size < 1) return false;
  int n = dn_expand(cur.begin(), cur.end(), cur.here(), out, size);
  if (n < 0) return false;
  cur.skip(static_cast<std::size_t>(n));
  return !cur.failed();
}

}  // namespace

int mx_fallback(const char* domain, char* names, MxList list) {
  copy_bounded(names, domain, MX_NAMES_SIZE);
  list[0] = names;
  return 1;
}

void mx_sort(MxList list, std::uint16_t* preference, int* weight, int count) {
  for (int i = 0; i + 1 < count; ++i) {
    for (int k = i + 1; k < count; ++k) {
      bool swap = preference[i] > preference[k] ||
                  (preference[i] == preference[k] && weight[i] > weight[k]);
      if (!swap) continue;
      char* name = list[i];
      list[i] = list[k];
      list[k] = name;
      std::uint16_t p = preference[i];
      preference[i] = preference[k];
      preference[k] = p;
      int w = weight[i];
      weight[i] = weight[k];
      weight[k] = w;
    }
  }
}

int mx_read_reply(const unsigned char* reply, std::size_t usable, const char* domain, char* names,
                  MxList list, bool* null_mx) {
  if (null_mx != nullptr) *null_mx = false;
  if (usable > MX_ANSWER_SIZE) usable = MX_ANSWER_SIZE;
  ByteCursor cur(reply, usable);

  // Of the 12-byte header only the two counts matter: the resolver has
  // already matched the ID and turned error codes into failures.
  cur.skip(4);
  std::uint16_t qdcount = cur.u16();
  std::uint16_t ancount = cur.u16();
  cur.skip(4);
  if (cur.failed()) return mx_fallback(domain, names, list);

  for (unsigned q = 0; q < qdcount; ++q) {
    int n = cur.at_end() ? -1 : dn_skipname(cur.here(), cur.end());
    if (n < 0) return mx_fallback(domain, names, list);
    cur.skip(static_cast<std::size_t>(n) + 4);
    if (cur.failed()) return mx_fallback(domain, names, list);
  }
  if (ancount == 0) return mx_fallback(domain, names, list);

  std::uint16_t preference[MX_MAX] = {};
  int weight[MX_MAX] = {};
  int count = 0;
  char* write = names;
  int free_space = NAMES_EXPANSION_SPACE;
  int mx_records = 0;
  bool root_at_zero = false;

  unsigned left = ancount;
  for (; left > 0 && count < MX_MAX; --left) {
    // The owner name is expanded only to find its end; the space is reused.
    if (!expand_name(cur, write, free_space)) break;
    std::uint16_t type = cur.u16();
    cur.skip(6);  // CLASS and TTL are never examined
    std::uint16_t rdlength = cur.u16();
    if (cur.failed()) break;
    if (type != TYPE_MX) {
      cur.skip(rdlength);
      if (cur.failed()) break;
      continue;
    }
    std::uint16_t pref = cur.u16();
    if (cur.failed()) break;
    if (!expand_name(cur, write, free_space)) break;
    ++mx_records;

    std::size_t len = std::strlen(write);
    if (len == 0) {  // the root names no host
      root_at_zero = root_at_zero || pref == 0;
      continue;
    }

    list[count] = write;
    preference[count] = pref;
    weight[count] = static_cast<int>(hash_string(write) & 255);
    if (write[len - 1] != '.') {
      write[len] = '.';
      ++len;
    }
    write[len] = '\0';
    ++count;
    if (static_cast<std::size_t>(free_space) <= len) break;
    free_space -= static_cast<int>(len) + 1;
    write += len + 1;
  }

  // Only a reply read to its end can show that no other MX record exists.
  if (null_mx != nullptr) *null_mx = left == 0 && mx_records == 1 && root_at_zero;
  if (count == 0) return mx_fallback(domain, names, list);
  mx_sort(list, preference, weight, count);
  return count;
}
