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

// The deadline of a verification starting now, calloutdeadline seconds ahead;
// none when the setting is 0 (a cleared record).
[[nodiscard]] SmtpDeadline callout_deadline();
[[nodiscard]] bool deadline_passed(SmtpDeadline deadline);

// host: a name or an IPv4 literal (one trailing dot allowed). A mailbox holding
// CR or LF, or one longer than 512 bytes, is never sent: PROBE_TEMPFAIL, as is
// every dialogue that reaches its deadline (opt.timeouts.deadline).
// probe_address is one whole verification with a deadline of its own.
[[nodiscard]] int probe_address(const char* address, const char* host);
[[nodiscard]] int probe_address_until(const char* address, const char* host, SmtpDeadline deadline);
[[nodiscard]] int probe_address_with(const char* address, const char* host, const ProbeOptions& opt);
