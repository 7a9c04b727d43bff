// One exchanger host probed address by address through the exchanger memory:
// an address remembered as unreachable, or over its callout budget, is skipped
// as a temporary failure with a line of its own, and a failed connect is
// remembered. With deadmxttl and calloutrate unset it is probe_address.
#pragma once

#include "smtp/probe.h"

// host: as for probe_address. PROBE_PASS, PROBE_FAIL or PROBE_TEMPFAIL.
// probe_host is one whole verification with a deadline of its own.
[[nodiscard]] int probe_host(const char* address, const char* host);
[[nodiscard]] int probe_host_until(const char* address, const char* host, SmtpDeadline deadline);
[[nodiscard]] int probe_host_with(const char* address, const char* host, const ProbeOptions& opt);
