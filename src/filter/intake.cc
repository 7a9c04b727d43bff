// Connection intake and the MAIL FROM decision: client address and name, the
// trusted-client bypass, the null sender and the sender's syntax.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <strings.h>
#include <sys/socket.h>

#include <cstring>
#include <string_view>

#include "filter/address.h"
#include "filter/decisions.h"
#include "filter/verdict_support.h"
#include "settings/settings.h"

namespace {

const FilterReply sender_syntax_reply = {"550", "5.1.7",
                                         "Sender address does not conform to RFC-2821 syntax"};

// An address in the binary form inet_pton gives; family 0 when the text is none.
struct IpAddress {
  int family = 0;
  unsigned char bytes[sizeof(in6_addr)] = {};
};

// Sendmail writes an IPv6 interface address with the tag of an address literal
// and in full ("IPv6:2001:db8:0:0:0:0:0:25"); a tagged text is read as IPv6 only.
IpAddress parse_ip(const char* text) {
  IpAddress a;
  if (strncasecmp(text, "IPv6:", 5) == 0) {
    if (inet_pton(AF_INET6, text + 5, a.bytes) == 1) a.family = AF_INET6;
    return a;
  }
  if (inet_pton(AF_INET, text, a.bytes) == 1) {
    a.family = AF_INET;
  } else if (inet_pton(AF_INET6, text, a.bytes) == 1) {
    a.family = AF_INET6;
  }
  return a;
}

// Two IP addresses are equal as addresses, whatever their spelling; anything
// else ("undefined", a name) only as the same text.
bool same_interface_address(const char* if_addr, const char* client_addr) {
  const IpAddress a = parse_ip(if_addr);
  const IpAddress b = parse_ip(client_addr);
  if (a.family == 0 || b.family == 0) return std::strcmp(if_addr, client_addr) == 0;
  return a.family == b.family && std::memcmp(a.bytes, b.bytes, sizeof a.bytes) == 0;
}

FilterDecision trusted(const Settings& s, TrustRule rule, ConnectionContext& c, const char* address) {
  metrics_count_trusted(rule);
  if (s.logwhitelisted != 0) {
    // No recipient is known yet; one left from the connection's last message is not this one's.
    if (address != nullptr) c.sender_raw.assign(address);
    c.recipient_raw.clear();
    log_skipped(s, trust_rule_name(rule), c, nullptr);
  }
  return {FilterAction::accept, nullptr};
}

}  // namespace

void connect_record_client(ConnectionContext& c, const char* hostname, const struct sockaddr* addr) {
  char text[64] = "undefined";
  if (addr != nullptr && addr->sa_family == AF_INET) {
    const auto* in4 = reinterpret_cast<const struct sockaddr_in*>(addr);
    if (inet_ntop(AF_INET, &in4->sin_addr, text, sizeof text) == nullptr)
      copy_bounded(text, "undefined", sizeof text);
  } else if (addr != nullptr && addr->sa_family == AF_INET6) {
    const auto* in6 = reinterpret_cast<const struct sockaddr_in6*>(addr);
    if (inet_ntop(AF_INET6, &in6->sin6_addr, text, sizeof text) == nullptr)
      copy_bounded(text, "undefined", sizeof text);
  }
  c.client_addr.assign(text);
  c.client_name.assign(hostname);

  // The MTA names a client without a PTR name "[addr]"; later name tests and log
  // lines should see no name at all. The brackets themselves are not looked at,
  // so any first byte followed by the address text clears the name.
  const std::string_view name = c.client_name.view();
  if (!name.empty() && name.substr(1).starts_with(c.client_addr.view())) c.client_name.clear();
}

std::optional<TrustRule> trusted_by(const ConnectionContext& c, const TrustFacts& m) {
  if (m.if_addr != nullptr && same_interface_address(m.if_addr, c.client_addr.c_str()))
    return TrustRule::interface;
  if (m.auth_authen != nullptr) return TrustRule::auth;
  if (m.verify != nullptr && std::strcmp(m.verify, "OK") == 0) return TrustRule::certificate;
  return std::nullopt;
}

FilterDecision decide_envfrom(ConnectionContext& c, const TrustFacts& m, const char* address,
                              const Settings& s) {
  if (const std::optional<TrustRule> rule = trusted_by(c, m)) return trusted(s, *rule, c, address);
  if (address != nullptr) c.sender_raw.assign(address);

  // A line break would later be written into callout commands and log lines.
  if (has_line_break(c.sender_raw.view())) return syntax_refusal(MetricKind::sender, &sender_syntax_reply);
  if (is_null_sender(c.sender_raw.view())) {
    c.failed_recipients = 0;
    return {FilterAction::go_on, nullptr};
  }
  if (extract_address(c.sender, c.sender_raw.c_str()) == 1) {
    c.failed_recipients = 0;
    return {FilterAction::go_on, nullptr};
  }
  return syntax_refusal(MetricKind::sender, &sender_syntax_reply);
}
