// Keys, values and lifetimes of the shared tier, as written to and read from Redis.
#include "cache/shared_codec.h"

#include "cache/cache.h"
#include "util/constants.h"

namespace {

struct KindWord {
  int kind;
  const char* word;
};
constexpr KindWord kind_words[] = {
    {CACHE_SENDER, "sender"},
    {CACHE_RECIPIENT, "recipient"},
    {CACHE_SENDER_CATCHALL, "sender-catchall"},
    {CACHE_RECIPIENT_CATCHALL, "recipient-catchall"},
    {CACHE_SENDER_REFUSING, "sender-refusing"},
    {CACHE_EXCHANGER_REFUSING, "exchanger-refusing"},
};

// One row per status that is shared; the value alone does not say the kind,
// the key does.
struct StatusValue {
  int status;
  int kind;
  std::string_view value;
};
constexpr StatusValue status_values[] = {
    {SENDER_PASS, CACHE_SENDER, "pass"},        {SENDER_FAIL, CACHE_SENDER, "fail"},
    {SENDER_TEMPFAIL, CACHE_SENDER, "tempfail"}, {RCPT_PASS, CACHE_RECIPIENT, "pass"},
    {RCPT_FAIL, CACHE_RECIPIENT, "fail"},        {RCPT_TEMPFAIL, CACHE_RECIPIENT, "tempfail"},
    {CATCHALL_DOMAIN, CACHE_SENDER_CATCHALL, "catchall"},
    {CATCHALL_DOMAIN, CACHE_RECIPIENT_CATCHALL, "catchall"},
    {REFUSING_DOMAIN, CACHE_SENDER_REFUSING, "refusing"},
    {REFUSING_EXCHANGER, CACHE_EXCHANGER_REFUSING, "refusing"},
};

constexpr long long MAX_PX = 100LL * 365 * 86400 * 1000;

}  // namespace

std::string shared_kind_word(int kind) {
  for (const KindWord& k : kind_words)
    if (k.kind == kind) return k.word;
  return "kind" + std::to_string(kind);
}

std::string shared_key(std::string_view prefix, int kind, std::string_view address) {
  std::string key(prefix);
  key += shared_kind_word(kind);
  key += ':';
  for (char c : address) key += (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
  return key;
}

std::string_view shared_value(int status) {
  for (const StatusValue& s : status_values)
    if (s.status == status) return s.value;
  return {};
}

int shared_status(int kind, std::string_view value) {
  for (const StatusValue& s : status_values)
    if (s.kind == kind && s.value == value) return s.status;
  return 0;
}

std::int64_t shared_keep_seconds(long long pttl_ms) {
  return pttl_ms < 1000 ? 0 : pttl_ms / 1000;
}

long long shared_px(std::int64_t ttl_seconds) {
  if (ttl_seconds <= 0) return 0;
  if (ttl_seconds > MAX_PX / 1000) return MAX_PX;
  return static_cast<long long>(ttl_seconds) * 1000;
}
