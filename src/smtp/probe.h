// The callout dialogue: asks one mail server whether it would accept mail for
// one mailbox, giving PROBE_PASS, PROBE_FAIL or PROBE_TEMPFAIL. Logs only the
// "MX check at %s [%s]" line; every socket it opens is closed before it returns.
#pragma once

#include <cstdint>

#include "smtp/transport.h"

struct ProbeOptions {
  SmtpTimeouts timeouts;
  std::uint16_t port = 25;  // tests use a port of their own
};

// host: a name or an IPv4 literal (one trailing dot allowed). A mailbox holding
// CR or LF, or one longer than 512 bytes, is never sent: PROBE_TEMPFAIL; so is
// a target of 127.0.0.1 or 0.0.0.0/8, which is logged but never contacted.
[[nodiscard]] int probe_address(const char* address, const char* host);
[[nodiscard]] int probe_address_with(const char* address, const char* host, const ProbeOptions& opt);
