// Result and status codes shared by every subsystem: probe results, cache kinds
// and statuses. The milter results (SMFIS_*) come from libmilter's own header.
#pragma once

inline constexpr int PROBE_PASS = 1;
inline constexpr int PROBE_FAIL = 0;
inline constexpr int PROBE_TEMPFAIL = -1;
// A pass that tells nothing: the exchanger also accepted a random mailbox of the
// domain. Positive, so every caller that only tells pass from failure takes it as a pass.
inline constexpr int PROBE_CATCHALL = 2;
// A sender walk's answer for a domain that publishes a null MX (no callout made).
inline constexpr int PROBE_NULLMX = 3;
// The exchanger refused the probe itself (its greeting, HELO, both senders, or a
// RCPT refusal for policy): nothing is known of the mailbox. Positive, so a
// caller that only tells pass from failure lets the sender through.
inline constexpr int PROBE_REFUSED = 4;
// A sender walk's answer when every exchanger of the domain is marked as
// refusing probes for this host's sake: none was asked. Positive, as above.
inline constexpr int PROBE_ALL_MARKED = 5;

inline constexpr int CACHE_SENDER = 0;
inline constexpr int CACHE_RECIPIENT = 1;

inline constexpr int SENDER_PASS = 1;
inline constexpr int SENDER_FAIL = 2;
inline constexpr int SENDER_TEMPFAIL = 3;
inline constexpr int RCPT_PASS = 4;
inline constexpr int RCPT_FAIL = 5;
inline constexpr int RCPT_TEMPFAIL = 6;
