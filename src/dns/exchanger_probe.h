// One exchanger host probed address by address through the exchanger memory:
// an address remembered as unreachable, or over its callout budget, is skipped
// as a temporary failure with a line of its own, and a failed connect is
// remembered. With deadmxttl and calloutrate unset it is probe_address.
#pragma once

#include "smtp/probe.h"

// host: as for probe_address. PROBE_PASS, PROBE_FAIL or PROBE_TEMPFAIL (and
// PROBE_REFUSED with opt.refused_probes); *reply, when given, gets the reply
// that decided it. probe_host is one whole verification with a deadline of its
// own; it adds at most one address to the exchanger memory.
[[nodiscard]] int probe_host(const char* address, const char* host, ProbeReplyText* reply = nullptr);
// new_entries (if given) bounds the addresses added to the exchanger memory and
// is lowered by each one added.
[[nodiscard]] int probe_host_with(const char* address, const char* host, const ProbeOptions& opt,
                                  ProbeReplyText* reply = nullptr, int* new_entries = nullptr);
