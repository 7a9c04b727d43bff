// Cache use, catch-all and refusing-domain memory, the wait for a check in
// flight, the outcome lines and the refusals shared by the sender and recipient
// checks.
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

bool domain_marked(int kind, int status, const char* address, CacheBudget& budget) {
  DomainText domain;
  return domain_key(address, domain) && cache_recall(domain.c_str(), kind, budget) == status;
}

void domain_mark(int kind, int status, std::int64_t ttl, const char* address, CacheBudget& budget) {
  DomainText domain;
  if (domain_key(address, domain)) cache_remember(domain.c_str(), ttl, kind, status, budget);
}

void log_line(int priority, const char* prefix, const char* what, const ConnectionContext& c,
              const char* elapsed, const char* queue_id, const ProbeReplyText* reply) {
  const char* id = queue_id != nullptr ? queue_id : MISSING_QUEUE_ID;
  // The reply is the last field: whatever it holds, the field ends at the line's end.
  BoundedText<PROBE_REPLY_MAX + sizeof(", reply=\"\"")> tail;
  if (reply != nullptr && settings.logreplies != 0) {
    std::snprintf(tail.data(), tail.capacity(), ", reply=\"%s\"", reply->c_str());
  }
  if (elapsed == nullptr) {
    log_msg(priority, "%s%s: from=%s, to=%s, %s [%s], id=%s%s", prefix, what, c.sender_raw.c_str(),
            c.recipient_raw.c_str(), c.client_name.c_str(), c.client_addr.c_str(), id, tail.c_str());
  } else {
    log_msg(priority, "%s%s: from=%s, to=%s, %s [%s], [%s], id=%s%s", prefix, what,
            c.sender_raw.c_str(), c.recipient_raw.c_str(), c.client_name.c_str(),
            c.client_addr.c_str(), elapsed, id, tail.c_str());
  }
}

}  // namespace

bool catchall_known(int kind, const char* address, CacheBudget& budget) {
  return settings.catchall != 0 && domain_marked(kind, CATCHALL_DOMAIN, address, budget);
}

void catchall_remember(int kind, const char* address, CacheBudget& budget) {
  domain_mark(kind, CATCHALL_DOMAIN, settings.catchallttl, address, budget);
}

bool refusing_domain_known(const char* address, CacheBudget& budget) {
  return settings.refusals_mailbox != 0 &&
         domain_marked(CACHE_SENDER_REFUSING, REFUSING_DOMAIN, address, budget);
}

void refusing_domain_remember(const char* address, CacheBudget& budget) {
  domain_mark(CACHE_SENDER_REFUSING, REFUSING_DOMAIN, settings.refusedttl, address, budget);
}

void log_check(int priority, const char* what, const ConnectionContext& c, const char* elapsed,
               const char* queue_id, const ProbeReplyText* reply) {
  log_line(priority, "", what, c, elapsed, queue_id, reply);
}

FilterDecision refuse_verified(MetricKind kind, const CheckLine& line, const ConnectionContext& c,
                               const char* queue_id, sfsistat result, const FilterReply* reply,
                               const FilterSeam& seam) {
  if (settings.dryrun != 0) {
    metrics_count_dry_run_refusal(kind);
    log_line(line.priority, "dry run: ", line.what, c, line.elapsed, queue_id, line.reply);
    return {SMFIS_CONTINUE, nullptr};
  }
  const bool pause_first = kind == MetricKind::recipient;
  if (pause_first) seam.sleep_seconds(1);
  log_line(line.priority, "", line.what, c, line.elapsed, queue_id, line.reply);
  if (!pause_first) seam.sleep_seconds(1);
  return {result, reply};
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
