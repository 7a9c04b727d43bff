// The cache file's encoder and its bounded reader. Numbers are big-endian; the
// checksum (64-bit FNV-1a) tells a file altered or cut at an entry's boundary
// from a whole one, which the entry count alone could not.
#include "cache/cache_file.h"

#include <cstring>

#include "cache/cache.h"
#include "util/byte_cursor.h"
#include "util/constants.h"

namespace {

constexpr char MAGIC[8] = {'K', 'O', 'R', 'V', 'C', 'A', 'C', 'H'};
// magic, version, time written, entry count
constexpr std::size_t HEADER_SIZE = sizeof MAGIC + 2 + 8 + 4;
constexpr std::size_t CHECKSUM_SIZE = 8;
// kind, status, expiry, key length
constexpr std::size_t ENTRY_FIXED = 1 + 1 + 8 + 2;

std::uint64_t checksum(const unsigned char* p, std::size_t n) {
  std::uint64_t h = 14695981039346656037ULL;
  for (std::size_t i = 0; i < n; ++i) {
    h ^= p[i];
    h *= 1099511628211ULL;
  }
  return h;
}

void put(std::string& out, std::uint64_t v, int bytes) {
  for (int i = bytes - 1; i >= 0; --i) out.push_back(static_cast<char>((v >> (8 * i)) & 0xff));
}

// The statuses each kind of entry can hold in the cache.
bool fits_cache(int kind, int status) {
  switch (kind) {
    case CACHE_SENDER: return status >= SENDER_PASS && status <= SENDER_TEMPFAIL;
    case CACHE_RECIPIENT: return status >= RCPT_PASS && status <= RCPT_TEMPFAIL;
    case CACHE_SENDER_CATCHALL:
    case CACHE_RECIPIENT_CATCHALL: return status == CATCHALL_DOMAIN;
    case CACHE_SENDER_REFUSING: return status == REFUSING_DOMAIN;
    default: return false;
  }
}

bool key_fits(std::string_view key) {
  return !key.empty() && key.size() <= CACHE_FILE_KEY_LIMIT &&
         key.find('\0') == std::string_view::npos;
}

CacheFileContents refused(const char* reason) {
  CacheFileContents c;
  c.reason = reason;
  return c;
}

}  // namespace

std::string cache_file_encode(std::int64_t written, std::span<const CacheFileEntry> entries) {
  std::uint32_t count = 0;
  for (const CacheFileEntry& e : entries)
    if (key_fits(e.key) && count < UINT32_MAX) ++count;
  std::string out(MAGIC, sizeof MAGIC);
  put(out, CACHE_FILE_VERSION, 2);
  put(out, static_cast<std::uint64_t>(written), 8);
  put(out, count, 4);
  std::uint32_t put_entries = 0;
  for (const CacheFileEntry& e : entries) {
    if (!key_fits(e.key) || put_entries == count) continue;
    ++put_entries;
    put(out, static_cast<std::uint8_t>(e.kind), 1);
    put(out, static_cast<std::uint8_t>(e.status), 1);
    put(out, static_cast<std::uint64_t>(e.expires), 8);
    put(out, e.key.size(), 2);
    out += e.key;
  }
  put(out, checksum(reinterpret_cast<const unsigned char*>(out.data()), out.size()), 8);
  return out;
}

CacheFileContents cache_file_read(std::span<const unsigned char> bytes, std::int64_t now) {
  if (bytes.size() > CACHE_FILE_SIZE_LIMIT) return refused("too large");
  if (bytes.size() < sizeof MAGIC || std::memcmp(bytes.data(), MAGIC, sizeof MAGIC) != 0)
    return refused("not a korvane cache file");
  ByteCursor in(bytes.data(), bytes.size());
  in.skip(sizeof MAGIC);
  const std::uint16_t version = in.u16();
  if (in.failed()) return refused("truncated");
  if (version != CACHE_FILE_VERSION) return refused("another format version");
  CacheFileContents c;
  c.written = static_cast<std::int64_t>(in.u64());
  const std::uint32_t count = in.u32();
  if (in.failed() || bytes.size() < HEADER_SIZE + CHECKSUM_SIZE) return refused("truncated");
  // Each entry takes at least ENTRY_FIXED bytes: a count beyond what the file
  // could hold is a cut file, found before any memory is set aside for it.
  if (count > (bytes.size() - HEADER_SIZE - CHECKSUM_SIZE) / ENTRY_FIXED)
    return refused("truncated");
  c.entries.reserve(count);
  for (std::uint32_t i = 0; i < count; ++i) {
    CacheFileEntry e;
    e.kind = in.u8();
    e.status = in.u8();
    e.expires = static_cast<std::int64_t>(in.u64());
    const std::uint16_t len = in.u16();
    if (in.failed() || in.remaining() < len) return refused("truncated");
    e.key.assign(reinterpret_cast<const char*>(in.here()), len);
    in.skip(len);
    if (now < e.expires && fits_cache(e.kind, e.status) && key_fits(e.key))
      c.entries.push_back(std::move(e));
    else
      ++c.left_out;
  }
  const std::size_t body = in.offset();
  const std::uint64_t sum = in.u64();
  if (in.failed()) return refused("truncated");
  if (!in.at_end()) return refused("bytes after its end");
  if (sum != checksum(bytes.data(), body)) return refused("checksum mismatch");
  c.usable = true;
  return c;
}
