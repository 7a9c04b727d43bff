// One exchanger host probed address by address through the exchanger memory:
// an address remembered as unreachable, or over its callout budget, is skipped
// as a temporary failure with a line of its own, and a failed connect is
// remembered. With refusedttl, an address marked as refusing probes is skipped
// as a refused probe, and refusals about this host mark it. With every
// setting unset it is probe_address.
#pragma once

#include <cstdint>

#include "smtp/probe.h"

// What the exchanger memory is told to keep, from the configuration.
struct ExchangerLimits {
  std::int64_t deadmxttl = 0;           // seconds an unreachable address is skipped
  std::int64_t calloutrate_count = 0;   // callouts per address and period; 0: no budget
  std::int64_t calloutrate_period = 0;  // seconds of the budget's window
  // Seconds an address that refuses probes for this host's sake is left
  // alone; 0: nothing marked or skipped.
  std::int64_t refusedttl = 0;
  // The site's share of the marks, when there is one: the seconds a mark
  // another host made has left (0: none), and a mark made here.
  std::int64_t (*site_refusing)(const char* addr) = nullptr;
  void (*site_mark_refusing)(const char* addr, std::int64_t ttl) = nullptr;
};

// The walk's answer when every exchanger it would have asked is marked as
// refusing probes: no connection was made.
[[nodiscard]] bool probe_all_marked(int result, const ProbeReplyText& reply);

// host: as for probe_address. PROBE_PASS, PROBE_FAIL or PROBE_TEMPFAIL (and
// PROBE_REFUSED with opt.refused_probes); *reply, when given, gets the reply
// that decided it. new_entries (if given) bounds the addresses added to the
// exchanger memory and is lowered by each one added.
[[nodiscard]] int probe_host_with(const char* address, const char* host, const ProbeOptions& opt,
                                  const ExchangerLimits& limits, ProbeReplyText* reply = nullptr,
                                  int* new_entries = nullptr);
