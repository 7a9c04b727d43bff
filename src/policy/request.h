// The policy door's request reader: the "name=value" lines of one Postfix policy
// delegation request, as any client may send them. A pure function of the
// bytes, so the table of cases and a fuzzer reach every path without a socket.
#pragma once

#include <cstddef>
#include <span>
#include <string_view>

// Postfix's own server side allows a request of this size and no more.
inline constexpr std::size_t POLICY_REQUEST_MAX = 64 * 1024;

enum class PolicyState { other, rcpt, data };

// Views into the bytes given; an attribute not sent is empty, as one sent empty.
struct PolicyRequest {
  const char* error = nullptr;  // why the request cannot be read; null when it can
  bool access_policy = false;   // request=smtpd_access_policy
  PolicyState state = PolicyState::other;
  std::string_view client_address;
  std::string_view client_name;
  std::string_view sasl_username;
  std::string_view ccert_fingerprint;
  std::string_view server_address;
  std::string_view sender;
  std::string_view recipient;
  std::string_view queue_id;
  std::string_view instance;
};

// request: the request's lines, each ended by a line feed (the last one may
// lack it), without the empty line that ends the request; a CR before a line
// feed is dropped. An attribute seen twice keeps its last value; unknown ones
// are skipped. Error: more than POLICY_REQUEST_MAX bytes, a line without "=",
// an empty name, or a NUL byte.
[[nodiscard]] PolicyRequest policy_parse(std::span<const unsigned char> request);
