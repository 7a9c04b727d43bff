// Outcome lines shared by the sender and recipient checks.
#include "filter/verdict_support.h"

#include "filter/decisions.h"
#include "util/log.h"

void log_check(int priority, const char* what, const ConnectionContext& c, const char* elapsed,
               const char* queue_id) {
  const char* id = queue_id != nullptr ? queue_id : MISSING_QUEUE_ID;
  if (elapsed == nullptr) {
    log_msg(priority, "%s: from=%s, to=%s, %s [%s], id=%s", what, c.sender_raw.c_str(),
            c.recipient_raw.c_str(), c.client_name.c_str(), c.client_addr.c_str(), id);
  } else {
    log_msg(priority, "%s: from=%s, to=%s, %s [%s], [%s], id=%s", what, c.sender_raw.c_str(),
            c.recipient_raw.c_str(), c.client_name.c_str(), c.client_addr.c_str(), elapsed, id);
  }
}

FilterDecision whitelisted(WhitelistRule rule) {
  metrics_count_whitelisted(rule);
  return {SMFIS_ACCEPT, nullptr};
}

FilterDecision syntax_refusal(MetricKind kind, const FilterReply* reply) {
  metrics_count_syntax_refusal(kind);
  return {SMFIS_REJECT, reply};
}
