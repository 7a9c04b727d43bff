// Recipient verification at RCPT TO: syntax, the tarpit for earlier failures,
// the cache, a probe at the MTA's relay host, and the recipient whitelist.
#include <strings.h>
#include <syslog.h>

#include <climits>
#include <cstring>
#include <string_view>

#include "filter/address.h"
#include "cache/cache.h"
#include "filter/decisions.h"
#include "filter/verdict_support.h"
#include "settings/settings.h"
#include "util/constants.h"
#include "util/helpers.h"

namespace {

const FilterReply recipient_syntax_reply = {
    "550", "5.1.3", "Recipient address does not conform to RFC-2821 syntax"};
const FilterReply recipient_fail_reply = {
    "550", "5.1.1", "Sorry, no mailbox here by that name or mailbox is over quota"};
const FilterReply recipient_tempfail_reply = {"451", "4.2.1",
                                              "Mailbox is not available now, try again later"};

inline constexpr int TARPIT_SECONDS_PER_FAILURE = 5;
inline constexpr std::size_t LITERAL_SIZE = 128;

FilterDecision whitelist_step(const ConnectionContext& c) {
  for (const PatternEntry& e : settings.whitelist_to)
    if (std::strstr(c.recipient.c_str(), e.pattern.c_str()) != nullptr)
      return whitelisted(WhitelistRule::whitelistto);
  return {SMFIS_CONTINUE, nullptr};
}

enum class ProbeChoice { none, local, probe };

ProbeChoice choose_probe(const EnvrcptMacros& m) {
  if (m.rcpt_mailer == nullptr) return ProbeChoice::none;
  if (strcasecmp(m.rcpt_mailer, "local") == 0) return ProbeChoice::local;
  if (m.rcpt_host == nullptr || m.rcpt_addr == nullptr) return ProbeChoice::none;
  if (strcasecmp(m.rcpt_mailer, "smtp") == 0 || strcasecmp(m.rcpt_mailer, "esmtp") == 0)
    return ProbeChoice::probe;
  return ProbeChoice::none;
}

// An address literal ("[192.0.2.7]", "[192.0.2.7]:25") is probed directly; a
// "[" without "]" gives everything after it. A host name is walked as a domain.
int probe_relay(const EnvrcptMacros& m, const FilterSeam& seam) {
  const char* open = std::strchr(m.rcpt_host, '[');
  if (open == nullptr) return seam.probe_domain(m.rcpt_addr, m.rcpt_host);
  char literal[LITERAL_SIZE];
  copy_bounded(literal, open + 1, sizeof literal);
  if (char* close = std::strrchr(literal, ']'); close != nullptr) *close = '\0';
  return seam.probe_address(m.rcpt_addr, literal);
}

void tarpit(const ConnectionContext& c, const FilterSeam& seam) {
  if (c.failed_recipients == 0) return;
  const long long seconds = static_cast<long long>(TARPIT_SECONDS_PER_FAILURE) * c.failed_recipients;
  metrics_tarpit_seconds(static_cast<double>(seconds > INT_MAX ? INT_MAX : seconds));
  seam.sleep_seconds(seconds > INT_MAX ? INT_MAX : static_cast<int>(seconds));
}

}  // namespace

FilterDecision decide_envrcpt(ConnectionContext& c, const EnvrcptMacros& m, const char* address,
                              const FilterSeam& seam) {
  // A refused argument never becomes the message's recorded recipient: later
  // outcome lines of this message name only recipients that were taken.
  EnvelopeText raw = c.recipient_raw;
  if (address != nullptr) raw.assign(address);
  EnvelopeText mailbox;
  if (extract_address(mailbox, raw.c_str()) == 0)
    return syntax_refusal(MetricKind::recipient, &recipient_syntax_reply);
  c.recipient_raw = raw;
  c.recipient = mailbox;
  lowercase_in_place(c.recipient.data());
  if (!settings.mailstore) return whitelist_step(c);

  tarpit(c, seam);

  // Unlike the sender side, the pause comes before the line.
  switch (cache_recall(c.recipient.c_str(), CACHE_RECIPIENT)) {
    case RCPT_PASS:
      metrics_count_check(MetricKind::recipient, MetricOutcome::pass, MetricSource::cache);
      log_check(LOG_INFO, "recipient check succeeded (cached)", c, nullptr, m.queue_id);
      return whitelist_step(c);
    case RCPT_TEMPFAIL:
      metrics_count_check(MetricKind::recipient, MetricOutcome::tempfail, MetricSource::cache);
      seam.sleep_seconds(1);
      log_check(LOG_INFO, "recipient check tempfailed (cached)", c, nullptr, m.queue_id);
      return {SMFIS_TEMPFAIL, &recipient_tempfail_reply};
    case RCPT_FAIL:
      metrics_count_check(MetricKind::recipient, MetricOutcome::fail, MetricSource::cache);
      ++c.failed_recipients;
      seam.sleep_seconds(1);
      log_check(LOG_INFO, "recipient check failed (cached)", c, nullptr, m.queue_id);
      return {SMFIS_REJECT, &recipient_fail_reply};
    default:
      break;
  }

  const std::time_t start = seam.now();
  int result = PROBE_PASS;
  switch (choose_probe(m)) {
    case ProbeChoice::local:
      return whitelist_step(c);
    case ProbeChoice::probe:
      result = probe_relay(m, seam);
      break;
    case ProbeChoice::none:
      break;
  }
  char elapsed[10];
  format_elapsed(start, seam.now(), elapsed);
  metrics_count_check(MetricKind::recipient, metric_outcome(result), MetricSource::fresh);

  if (result == PROBE_FAIL) {
    ++c.failed_recipients;
    cache_remember(c.recipient.c_str(), settings.tofailttl, CACHE_RECIPIENT, RCPT_FAIL);
    seam.sleep_seconds(1);
    log_check(LOG_NOTICE, "recipient check failed", c, elapsed, m.queue_id);
    return {SMFIS_REJECT, &recipient_fail_reply};
  }
  if (result < 0) {
    cache_remember(c.recipient.c_str(), settings.totfailttl, CACHE_RECIPIENT, RCPT_TEMPFAIL);
    seam.sleep_seconds(1);
    log_check(LOG_NOTICE, "recipient check tempfailed", c, elapsed, m.queue_id);
    return {SMFIS_TEMPFAIL, &recipient_tempfail_reply};
  }
  cache_remember(c.recipient.c_str(), settings.topassttl, CACHE_RECIPIENT, RCPT_PASS);
  log_check(LOG_INFO, "recipient check succeeded", c, elapsed, m.queue_id);
  return whitelist_step(c);
}
