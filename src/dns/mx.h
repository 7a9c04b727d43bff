// MX lookup of a mail domain, the ordering of its exchangers, and the walk that
// probes them one after another. DNS replies are untrusted input.
#pragma once

#include <cstddef>
#include <functional>

#include "dns/exchanger_probe.h"
#include "smtp/probe_reply.h"
#include "smtp/transport.h"

inline constexpr std::size_t MX_ANSWER_SIZE = 8192;
inline constexpr std::size_t MX_NAMES_SIZE = 2048;
inline constexpr int MX_MAX = 15;

using MxList = char* [MX_MAX];

// Why a query failed, as a postmaster tells a resolver's answers apart.
inline constexpr int MX_SERVER_FAILURE = -1;  // an answer that was an error (SERVFAIL, REFUSED)
inline constexpr int MX_NO_DOMAIN = -2;       // NXDOMAIN
inline constexpr int MX_NO_ANSWER = -3;       // no answer at all after the retries
// "MX lookup: no such domain" and the like for a failure above, else "".
[[nodiscard]] const char* mx_failure_text(int count);

// Count of exchangers 1..15 in probing order, or an MX_* failure. When null_mx
// is given it tells whether the reply was a null MX (RFC 7505: one MX record,
// preference 0, exchange "."), for which the domain itself is listed.
[[nodiscard]] int mx_lookup(const char* domain, char* names, MxList list, unsigned char* answer,
                            bool* null_mx = nullptr);
// All one walk needs, built by its caller once per check.
struct WalkOptions {
  ProbeOptions probe;  // its deadline is set when the walk starts
  ExchangerLimits limits;
  std::int64_t deadline_seconds = 0;  // the whole walk's time from its start; 0: none
  bool null_mx_final = false;         // a null MX gives PROBE_NULLMX, with no probe
};

// Walks the domain's exchangers through the exchanger memory until one answers
// definitely (probe_fold), within one deadline for the whole walk. A catch-all
// answer from any but the first exchanger is a plain pass: a backup exchanger
// often takes every mailbox and relays later. *reply, when given, gets the
// reply that decided the result; probe.decided hears a deciding result before
// its dialogue's polite end. The walk adds no more addresses to the exchanger
// memory than it asks exchangers.
[[nodiscard]] int walk_domain(const char* address, const char* domain, const WalkOptions& walk,
                              ProbeReplyText* reply = nullptr);
// The same for one host (a name or an address literal) asked directly.
[[nodiscard]] int walk_host(const char* address, const char* host, const WalkOptions& walk,
                            ProbeReplyText* reply = nullptr);

// The walk with its two outside calls replaceable, for tests: probe stands for
// probe_host_with (address, host, reply) and lookup for mx_lookup. Once the deadline
// has passed no further exchanger is asked and the walk is a temporary failure.
// A failed lookup is one too, its mx_failure_text as the reply.
// null_mx_final: a null MX ends the walk with PROBE_NULLMX instead of probing
// the domain itself.
using MxProbeFunction =
    std::function<int(const char* address, const char* host, ProbeReplyText* reply)>;
using MxLookupFunction = std::function<int(const char* domain, char* names, MxList list,
                                           unsigned char* answer, bool* null_mx)>;
[[nodiscard]] int probe_domain_with(const char* address, const char* domain,
                                    const MxProbeFunction& probe,
                                    const MxLookupFunction& lookup = mx_lookup,
                                    SmtpDeadline deadline = NO_DEADLINE,
                                    bool null_mx_final = false, ProbeReplyText* reply = nullptr);
