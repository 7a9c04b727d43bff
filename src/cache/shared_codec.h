// How the shared tier writes an outcome into Redis and reads it back: the key of
// an address, the value of a status, the lifetime sent with it and the one kept
// locally from what Redis says is left. Pure functions of their arguments; the
// values read back are untrusted (anyone with access to the server may write them).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

// The longest value ever written; a longer one read back is not ours.
inline constexpr int SHARED_VALUE_LIMIT = 64;

// The kind's word in a key ("sender", "recipient"); a kind without a word of its
// own is written "kind<N>", so that any kind gets keys apart from the others.
[[nodiscard]] std::string shared_kind_word(int kind);
// prefix + kind word + ":" + the address with A-Z lower-cased.
[[nodiscard]] std::string shared_key(std::string_view prefix, int kind, std::string_view address);
// The value stored for a status ("pass", "fail", "tempfail"); empty for a status
// that has no value and so is never shared.
[[nodiscard]] std::string_view shared_value(int status);
// The status a value read back means under kind, or 0 when it is not one of ours.
[[nodiscard]] int shared_status(int kind, std::string_view value);
// What Redis's PTTL said is left, as whole seconds to keep locally: rounded down,
// so a host never keeps an entry longer than its maker meant; 0 (do not keep) for
// under a second, for -1 (the key has no lifetime) and -2 (the key is gone).
[[nodiscard]] std::int64_t shared_keep_seconds(long long pttl_ms);
// A lifetime in seconds as the milliseconds of SET's PX, at most 100 years; 0
// for a lifetime of 0 or less, which is not stored.
[[nodiscard]] long long shared_px(std::int64_t ttl_seconds);
