// Cache use, catch-all memory, the wait for a check in flight and the outcome
// lines shared by the sender and recipient checks.
#include "filter/verdict_support.h"

#include <syslog.h>

#include <cstdio>
#include <cstring>

#include "cache/cache.h"
#include "filter/decisions.h"
#include "settings/settings.h"
#include "util/helpers.h"
#include "util/log.h"

long long check_wait_seconds() {
  // The leader's walk ends by calloutdeadline, counted from a moment just after
  // the waiter's own start; the second more covers that gap. Without a deadline
  // (a cleared record) the leader's own waits end its walk, and a day is only a
  // backstop.
  constexpr long long NO_DEADLINE_WAIT = 86400;
  return settings.calloutdeadline > 0 ? settings.calloutdeadline + 1 : NO_DEADLINE_WAIT;
}

namespace {

// A domain name is at most 253 characters; a longer text is cut, and then
// simply never matches a real domain.
using DomainText = BoundedText<256>;

// The lower-cased domain of address into out; false when there is none.
bool domain_key(const char* address, DomainText& out) {
  const char* at = address != nullptr ? std::strrchr(address, '@') : nullptr;
  if (at == nullptr || at[1] == '\0') return false;
  out.assign(at + 1);
  lowercase_in_place(out.data());
  return true;
}

}  // namespace

bool catchall_known(int kind, const char* address) {
  DomainText domain;
  if (settings.catchall == 0 || !domain_key(address, domain)) return false;
  return cache_recall(domain.c_str(), kind) == CATCHALL_DOMAIN;
}

void catchall_remember(int kind, const char* address) {
  DomainText domain;
  if (domain_key(address, domain)) cache_remember(domain.c_str(), settings.catchallttl, kind, CATCHALL_DOMAIN);
}

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

void log_skipped(const char* rule, const ConnectionContext& c, const char* queue_id) {
  if (settings.logwhitelisted == 0) return;
  char what[64];
  std::snprintf(what, sizeof what, "sender check skipped (%s)", rule);
  log_check(LOG_INFO, what, c, nullptr, queue_id);
}

FilterDecision whitelisted(WhitelistRule rule, const ConnectionContext& c, const char* queue_id) {
  metrics_count_whitelisted(rule);
  log_skipped(whitelist_rule_name(rule), c, queue_id);
  return {SMFIS_ACCEPT, nullptr};
}

FilterDecision syntax_refusal(MetricKind kind, const FilterReply* reply) {
  metrics_count_syntax_refusal(kind);
  return {SMFIS_REJECT, reply};
}
