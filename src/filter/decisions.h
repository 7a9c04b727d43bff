// The filter's decisions, one per verifying step: each takes the connection's
// context and the macro values the callback fetched, does its side effects only
// through the seam, the cache and the log, and gives a milter result and the
// reply (if any) the callback must set. Macro values may be null (absent).
#pragma once

#include <libmilter/mfapi.h>

#include <optional>

#include "filter/context.h"
#include "filter/milter_seam.h"
#include "metrics/metrics.h"

struct FilterReply {
  const char* code;
  const char* xcode;
  const char* text;
};

struct FilterDecision {
  sfsistat result;
  const FilterReply* reply;  // null: no reply is set
};

struct EnvfromMacros {
  const char* if_addr;
  const char* auth_authen;
  const char* verify;
};

struct EnvrcptMacros {
  const char* rcpt_mailer;
  const char* rcpt_host;
  const char* rcpt_addr;
  const char* queue_id;
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
[[nodiscard]] std::optional<TrustRule> trusted_by(const ConnectionContext& c, const EnvfromMacros& m);

[[nodiscard]] FilterDecision decide_envfrom(ConnectionContext& c, const EnvfromMacros& m,
                                            const char* address);
[[nodiscard]] FilterDecision decide_eoh(ConnectionContext& c, const char* queue_id,
                                        const FilterSeam& seam);
[[nodiscard]] FilterDecision decide_envrcpt(ConnectionContext& c, const EnvrcptMacros& m,
                                            const char* address, const FilterSeam& seam);
