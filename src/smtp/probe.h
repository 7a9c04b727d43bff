// The callout dialogue: asks one mail server whether it would accept mail for
// one mailbox, giving PROBE_PASS, PROBE_FAIL or PROBE_TEMPFAIL.
#pragma once

#include <cstdint>

#include "smtp/transport.h"

struct ProbeOptions {
  SmtpTimeouts timeouts;
  std::uint16_t port = 25;  // tests use a port of their own
};

[[nodiscard]] int probe_address(const char* address, const char* host);
[[nodiscard]] int probe_address_with(const char* address, const char* host, const ProbeOptions& opt);
