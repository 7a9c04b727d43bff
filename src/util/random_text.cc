// The random local part: getrandom(2) bytes mapped onto a 32-symbol alphabet.
#include "util/random_text.h"

#include <sys/random.h>

#include <cerrno>

namespace {
constexpr char ALPHABET[] = "abcdefghijklmnopqrstuvwxyz234567";
static_assert(sizeof ALPHABET - 1 == 32);
// getrandom may return fewer bytes or be interrupted; a few rounds always suffice.
constexpr int READ_ROUNDS = 8;
}  // namespace

bool random_local_part(char* out, std::size_t size) {
  if (out == nullptr || size == 0) return false;
  out[0] = '\0';
  if (size <= RANDOM_LOCAL_PART_LENGTH) return false;
  unsigned char bytes[RANDOM_LOCAL_PART_LENGTH];
  std::size_t have = 0;
  for (int round = 0; round < READ_ROUNDS && have < sizeof bytes; ++round) {
    const ssize_t n = getrandom(bytes + have, sizeof bytes - have, 0);
    if (n > 0) have += static_cast<std::size_t>(n);
    else if (n < 0 && errno != EINTR) return false;
  }
  if (have < sizeof bytes) return false;
  for (std::size_t i = 0; i < sizeof bytes; ++i) out[i] = ALPHABET[bytes[i] & 31];
  out[sizeof bytes] = '\0';
  return true;
}
