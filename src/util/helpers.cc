// The shared helpers: hash, pause, elapsed time, lower-casing, bounded copy and
// the dotted-quad pattern.
#include "util/helpers.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sys/select.h>

std::uint64_t hash_string(const char* text) {
  std::uint64_t h = 0;
  for (const unsigned char* p = reinterpret_cast<const unsigned char*>(text); *p != 0; ++p) {
    h += *p;
    h += h << 10;
    h ^= h >> 6;
  }
  h += h << 3;
  h ^= h >> 11;
  h += h << 15;
  return h;
}

void sleep_seconds(int n) {
  for (;;) {
    struct timeval tv = {n, 0};
    int r = select(0, nullptr, nullptr, nullptr, &tv);
    if (r < 0 && errno == EINTR) continue;
    return;
  }
}

void format_elapsed(std::time_t start, std::time_t end, char out[10]) {
  long long e = static_cast<long long>(end - start);
  // Hours of 100 or more still fit; anything longer is cut at 9 characters.
  char wide[48];
  std::snprintf(wide, sizeof wide, "%02d:%02d:%02d", static_cast<int>(e / 3600),
                static_cast<int>((e % 3600) / 60), static_cast<int>(e % 60));
  copy_bounded(out, wide, 10);
}

void lowercase_in_place(char* text) {
  for (char* p = text; *p != '\0'; ++p) {
    if (*p >= 'A' && *p <= 'Z') *p = static_cast<char>(*p - 'A' + 'a');
  }
}

void copy_bounded(char* dst, const char* src, std::size_t size) {
  if (size == 0) return;
  std::size_t n = 0;
  if (src != nullptr) {
    while (n + 1 < size && src[n] != '\0') ++n;
    std::memcpy(dst, src, n);
  }
  dst[n] = '\0';
}

regex_t ipv4_literal_pattern;
static bool pattern_ready = false;

bool ipv4_literal_pattern_compile() {
  if (pattern_ready) return true;
  int r = regcomp(&ipv4_literal_pattern,
                  "^[0-9]{1,3}[.][0-9]{1,3}[.][0-9]{1,3}[.][0-9]{1,3}[.]?$",
                  REG_EXTENDED | REG_ICASE);
  pattern_ready = (r == 0);
  return pattern_ready;
}

bool ipv4_literal_match(const char* text) {
  if (!pattern_ready && !ipv4_literal_pattern_compile()) return false;
  return regexec(&ipv4_literal_pattern, text, 0, nullptr, 0) == 0;
}
