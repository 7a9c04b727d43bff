// MX lookup of a mail domain, the ordering of its exchangers, and the walk that
// probes them one after another. DNS replies are untrusted input.
#pragma once

#include <cstddef>
#include <functional>

#include "smtp/probe_reply.h"
#include "smtp/transport.h"

inline constexpr std::size_t MX_ANSWER_SIZE = 8192;
inline constexpr std::size_t MX_NAMES_SIZE = 2048;
inline constexpr int MX_MAX = 15;

using MxList = char* [MX_MAX];

// Count of exchangers 1..15 in probing order, or -1 when the query fails. When
// null_mx is given it tells whether the reply was a null MX (RFC 7505: one MX
// record, preference 0, exchange "."), for which the domain itself is listed.
[[nodiscard]] int mx_lookup(const char* domain, char* names, MxList list, unsigned char* answer,
                            bool* null_mx = nullptr);
// Walks the domain's exchangers with probe_host until one answers definitely
// (probe_fold), within one deadline (calloutdeadline) for the whole walk. A
// catch-all answer from any but the first exchanger is a plain pass: a backup
// exchanger often takes every mailbox and relays later. *reply, when given,
// gets the reply that decided the result. The walk adds no more addresses to
// the exchanger memory than it asks exchangers.
[[nodiscard]] int probe_domain(const char* address, const char* domain,
                               ProbeReplyText* reply = nullptr);
// The same for a sender's domain: with nullmx reject a null MX gives
// PROBE_NULLMX at once, with no probe; with refusals mailbox, PROBE_REFUSED
// when every exchanger that answered refused the probe.
[[nodiscard]] int probe_sender_domain(const char* address, const char* domain,
                                      ProbeReplyText* reply = nullptr);
// The same walk with every exchanger tried and every line of its dialogues
// shown to observer (the command-line probe).
[[nodiscard]] int probe_sender_domain_watched(const char* address, const char* domain,
                                              SmtpObserver& observer);

// The walk with its two outside calls replaceable, for tests: probe stands for
// probe_host (address, host, reply) and lookup for mx_lookup. Once the deadline
// has passed no further exchanger is asked and the walk is a temporary failure.
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
