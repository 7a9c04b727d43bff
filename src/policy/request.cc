// The policy request reader: one pass over the lines, each split at its first
// "=", the attributes korvane reads kept as views.
#include "policy/request.h"

namespace {

struct Attribute {
  std::string_view name;
  std::string_view PolicyRequest::*field;
};

constexpr Attribute ATTRIBUTES[] = {
    {"client_address", &PolicyRequest::client_address},
    {"client_name", &PolicyRequest::client_name},
    {"sasl_username", &PolicyRequest::sasl_username},
    {"ccert_fingerprint", &PolicyRequest::ccert_fingerprint},
    {"server_address", &PolicyRequest::server_address},
    {"sender", &PolicyRequest::sender},
    {"recipient", &PolicyRequest::recipient},
    {"queue_id", &PolicyRequest::queue_id},
    {"instance", &PolicyRequest::instance},
};

PolicyRequest refused(const char* reason) {
  PolicyRequest r;
  r.error = reason;
  return r;
}

void take(PolicyRequest& r, std::string_view name, std::string_view value) {
  if (name == "protocol_state") {
    r.state = value == "RCPT" ? PolicyState::rcpt : value == "DATA" ? PolicyState::data
                                                                    : PolicyState::other;
    return;
  }
  if (name == "request") {
    r.access_policy = value == "smtpd_access_policy";
    return;
  }
  for (const Attribute& a : ATTRIBUTES)
    if (name == a.name) {
      r.*a.field = value;
      return;
    }
}

}  // namespace

PolicyRequest policy_parse(std::span<const unsigned char> request) {
  if (request.size() > POLICY_REQUEST_MAX) return refused("request too long");
  const std::string_view text(reinterpret_cast<const char*>(request.data()), request.size());
  if (text.find('\0') != std::string_view::npos) return refused("NUL byte in request");
  PolicyRequest r;
  std::size_t pos = 0;
  while (pos < text.size()) {
    std::size_t end = text.find('\n', pos);
    if (end == std::string_view::npos) end = text.size();
    std::string_view line = text.substr(pos, end - pos);
    pos = end + 1;
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    const std::size_t eq = line.find('=');
    if (eq == std::string_view::npos) return refused("line without \"=\"");
    if (eq == 0) return refused("attribute without a name");
    take(r, line.substr(0, eq), line.substr(eq + 1));
  }
  return r;
}
