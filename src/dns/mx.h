// MX lookup of a mail domain, the ordering of its exchangers, and the walk that
// probes them one after another. DNS replies are untrusted input.
#pragma once

#include <cstddef>

inline constexpr std::size_t MX_ANSWER_SIZE = 8192;
inline constexpr std::size_t MX_NAMES_SIZE = 2048;
inline constexpr int MX_MAX = 15;

using MxList = char* [MX_MAX];

// Count of exchangers 1..15 in probing order, or -1 when the query fails.
[[nodiscard]] int mx_lookup(const char* domain, char* names, MxList list, unsigned char* answer);
// Walks the domain's exchangers with probe_address until one answers definitely.
[[nodiscard]] int probe_domain(const char* address, const char* domain);
