// The filter's decisions, one per verifying step, whichever door the MTA asked
// through: each takes the message's context, the facts the door gathered and
// the settings the door fetched once for this request; it does its side effects
// only through the filter seam, the cache and the log, and gives an action and
// the reply (if any) the door must send. Fact texts may be null (absent).
#pragma once

#include <sys/socket.h>

#include <optional>

#include "filter/context.h"
#include "filter/filter_seam.h"
#include "metrics/metrics.h"

struct Settings;

// go_on: this step has no objection, later ones still decide; accept: the
// whole message passes, no later step looks at it.
enum class FilterAction { go_on, accept, reject, tempfail };

struct FilterReply {
  const char* code;
  const char* xcode;
  const char* text;
};

struct FilterDecision {
  FilterAction action;
  const FilterReply* reply;  // null: no reply is set
};

// What the MTA vouches for at MAIL FROM: the interface the client reached, an
// SMTP AUTH identity, a verified client certificate ("OK").
struct TrustFacts {
  const char* if_addr;
  const char* auth_authen;
  const char* verify;
};

// Where the MTA sends a recipient on: its mailer ("smtp", "esmtp", "local"),
// host and the address as rewritten; and the queue id. verifiable false: the
// door cannot tell, so no recipient is verified.
struct RelayFacts {
  const char* rcpt_mailer;
  const char* rcpt_host;
  const char* rcpt_addr;
  const char* queue_id;
  bool verifiable = true;
};

// The queue id shown in outcome lines when the MTA gives none.
inline constexpr const char* MISSING_QUEUE_ID = "NOQUEUE";

// Fills client_addr from the socket address (AF_INET, AF_INET6, else
// "undefined") and client_name from the host name, clearing a name that is only
// the bracketed address.
void connect_record_client(ConnectionContext& c, const char* hostname, const struct sockaddr* addr);

// The MTA vouches for the client: its own interface address (compared as an
// address when both texts are IP addresses, an "IPv6:" tag removed; else as
// text), an SMTP AUTH identity (even empty), or a verified client certificate
// ("OK" exactly). The first that holds, in that order, is the rule counted.
[[nodiscard]] std::optional<TrustRule> trusted_by(const ConnectionContext& c, const TrustFacts& m);

[[nodiscard]] FilterDecision decide_envfrom(ConnectionContext& c, const TrustFacts& m,
                                            const char* address, const Settings& s);
[[nodiscard]] FilterDecision decide_eoh(ConnectionContext& c, const char* queue_id,
                                        const Settings& s, const FilterSeam& seam);
[[nodiscard]] FilterDecision decide_envrcpt(ConnectionContext& c, const RelayFacts& m,
                                            const char* address, const Settings& s,
                                            const FilterSeam& seam);
