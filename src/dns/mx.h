// MX lookup of a mail domain, the ordering of its exchangers, and the walk that
// probes them one after another. DNS replies are untrusted input.
#pragma once

#include <cstddef>
#include <functional>

#include "smtp/transport.h"

inline constexpr std::size_t MX_ANSWER_SIZE = 8192;
inline constexpr std::size_t MX_NAMES_SIZE = 2048;
inline constexpr int MX_MAX = 15;

using MxList = char* [MX_MAX];

// Count of exchangers 1..15 in probing order, or -1 when the query fails.
[[nodiscard]] int mx_lookup(const char* domain, char* names, MxList list, unsigned char* answer);
// Walks the domain's exchangers with probe_address until one answers definitely,
// within one deadline (calloutdeadline) for the whole walk.
[[nodiscard]] int probe_domain(const char* address, const char* domain);

// The walk with its two outside calls replaceable, for tests: probe stands for
// probe_address (address, host) and lookup for mx_lookup. Once the deadline has
// passed no further exchanger is asked and the walk is a temporary failure.
using MxProbeFunction = std::function<int(const char* address, const char* host)>;
using MxLookupFunction =
    std::function<int(const char* domain, char* names, MxList list, unsigned char* answer)>;
[[nodiscard]] int probe_domain_with(const char* address, const char* domain,
                                    const MxProbeFunction& probe,
                                    const MxLookupFunction& lookup = mx_lookup,
                                    SmtpDeadline deadline = NO_DEADLINE);
