// One exchanger host probed address by address through the exchanger memory:
// an address remembered as unreachable, or over its callout budget, is skipped
// as a temporary failure with a line of its own, and a failed connect is
// remembered. With deadmxttl and calloutrate unset it is probe_address.
#pragma once

#include <cstdint>

#include "smtp/probe.h"

// What the exchanger memory is told to keep, from the configuration.
struct ExchangerLimits {
  std::int64_t deadmxttl = 0;           // seconds an unreachable address is skipped
  std::int64_t calloutrate_count = 0;   // callouts per address and period; 0: no budget
  std::int64_t calloutrate_period = 0;  // seconds of the budget's window
};

// host: as for probe_address. PROBE_PASS, PROBE_FAIL or PROBE_TEMPFAIL (and
// PROBE_REFUSED with opt.refused_probes); *reply, when given, gets the reply
// that decided it. new_entries (if given) bounds the addresses added to the
// exchanger memory and is lowered by each one added.
[[nodiscard]] int probe_host_with(const char* address, const char* host, const ProbeOptions& opt,
                                  const ExchangerLimits& limits, ProbeReplyText* reply = nullptr,
                                  int* new_entries = nullptr);
