// Sender verification at end of headers: client and sender whitelists, the null
// sender, the cache, and a fresh walk of the sender domain's exchangers.
#include <arpa/inet.h>
#include <syslog.h>

#include <cstdint>
#include <cstring>

#include "cache/cache.h"
#include "filter/address.h"
#include "filter/decisions.h"
#include "filter/verdict_support.h"
#include "settings/settings.h"
#include "util/constants.h"
#include "util/helpers.h"

namespace {

const FilterReply sender_fail_reply = {"550", "5.1.8",
                                       "Sender address verification failed, check your MX"};
const FilterReply sender_tempfail_reply = {"451", "4.1.8",
                                           "Temporary failure in sender address verification"};

// A text that is not a dotted quad compares as 255.255.255.255 (INADDR_NONE).
bool client_ip_whitelisted(const char* client_addr) {
  if (settings.whitelist_ip.empty()) return false;
  const std::uint32_t client = ntohl(inet_addr(client_addr));
  for (const IpWhitelistEntry& e : settings.whitelist_ip) {
    const std::uint32_t net = ntohl(static_cast<std::uint32_t>(e.network));
    const unsigned prefix = e.prefix_len > 32 ? 32 : e.prefix_len;
    // Shifted in 64 bits: prefix 0 shifts by 32 and must leave nothing.
    const std::uint64_t differing = static_cast<std::uint64_t>(client ^ net) >> (32 - prefix);
    if (differing == 0) return true;
  }
  return false;
}

bool client_name_whitelisted(const char* client_name) {
  if (client_name[0] == '\0') return false;
  for (const PatternEntry& e : settings.whitelist_ptr)
    if (strcasestr(client_name, e.pattern.c_str()) != nullptr) return true;
  return false;
}

bool sender_whitelisted(const char* sender) {
  for (const PatternEntry& e : settings.whitelist_from)
    if (std::strstr(sender, e.pattern.c_str()) != nullptr) return true;
  return false;
}

// A refusal that follows a verification is logged first, then paused.
FilterDecision refuse(const FilterSeam& seam, sfsistat result, const FilterReply* reply) {
  seam.sleep_seconds(1);
  return {result, reply};
}

}  // namespace

FilterDecision decide_eoh(ConnectionContext& c, const char* queue_id, const FilterSeam& seam) {
  if (client_ip_whitelisted(c.client_addr.c_str())) return whitelisted(WhitelistRule::whitelistip);
  if (client_name_whitelisted(c.client_name.c_str())) return whitelisted(WhitelistRule::whitelistptr);
  if (is_null_sender(c.sender_raw.view())) return {SMFIS_CONTINUE, nullptr};

  // The lower-cased sender is also the cache key and the mailbox probed.
  lowercase_in_place(c.sender.data());
  if (sender_whitelisted(c.sender.c_str())) return whitelisted(WhitelistRule::whitelistfrom);
  if (settings.sav == 0) return {SMFIS_CONTINUE, nullptr};

  switch (cache_recall(c.sender.c_str(), CACHE_SENDER)) {
    case SENDER_TEMPFAIL:
      metrics_count_check(MetricKind::sender, MetricOutcome::tempfail, MetricSource::cache);
      log_check(LOG_INFO, "sender check tempfailed (cached)", c, nullptr, queue_id);
      return refuse(seam, SMFIS_TEMPFAIL, &sender_tempfail_reply);
    case SENDER_FAIL:
      metrics_count_check(MetricKind::sender, MetricOutcome::fail, MetricSource::cache);
      log_check(LOG_INFO, "sender check failed (cached)", c, nullptr, queue_id);
      return refuse(seam, SMFIS_REJECT, &sender_fail_reply);
    case SENDER_PASS:
      metrics_count_check(MetricKind::sender, MetricOutcome::pass, MetricSource::cache);
      log_check(LOG_INFO, "sender check succeeded (cached)", c, nullptr, queue_id);
      return {SMFIS_CONTINUE, nullptr};
    default:
      break;
  }

  const std::time_t start = seam.now();
  const char* at = std::strchr(c.sender.c_str(), '@');
  const char* domain = at != nullptr ? at + 1 : "";
  const int result = seam.probe_domain(c.sender.c_str(), domain);
  char elapsed[10];
  format_elapsed(start, seam.now(), elapsed);
  metrics_count_check(MetricKind::sender, metric_outcome(result), MetricSource::fresh);

  if (result == PROBE_FAIL) {
    cache_remember(c.sender.c_str(), settings.fromfailttl, CACHE_SENDER, SENDER_FAIL);
    log_check(LOG_NOTICE, "sender check failed", c, elapsed, queue_id);
    return refuse(seam, SMFIS_REJECT, &sender_fail_reply);
  }
  if (result < 0) {
    if (settings.ignoretempfail != 0) return {SMFIS_CONTINUE, nullptr};
    cache_remember(c.sender.c_str(), settings.fromtfailttl, CACHE_SENDER, SENDER_TEMPFAIL);
    log_check(LOG_NOTICE, "sender check tempfailed", c, elapsed, queue_id);
    return refuse(seam, SMFIS_TEMPFAIL, &sender_tempfail_reply);
  }
  cache_remember(c.sender.c_str(), settings.frompassttl, CACHE_SENDER, SENDER_PASS);
  log_check(LOG_INFO, "sender check succeeded", c, elapsed, queue_id);
  return {SMFIS_ACCEPT, nullptr};
}
