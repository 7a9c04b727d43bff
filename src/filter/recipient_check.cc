// Recipient verification at RCPT TO: syntax, the tarpit for earlier failures,
// the cache, catch-all domains, the same check in flight elsewhere, a probe at
// the MTA's relay host, and the recipient whitelist.
#include <strings.h>
#include <syslog.h>

#include <climits>
#include <cstring>
#include <string_view>

#include "cache/cache.h"
#include "cache/inflight.h"
#include "filter/address.h"
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
      return whitelisted(WhitelistRule::whitelistto, c, nullptr);
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
int probe_relay(const EnvrcptMacros& m, const FilterSeam& seam, ProbeReplyText* reply) {
  const char* open = std::strchr(m.rcpt_host, '[');
  if (open == nullptr) return seam.probe_domain(m.rcpt_addr, m.rcpt_host, reply);
  char literal[LITERAL_SIZE];
  copy_bounded(literal, open + 1, sizeof literal);
  if (char* close = std::strrchr(literal, ']'); close != nullptr) *close = '\0';
  return seam.probe_address(m.rcpt_addr, literal, reply);
}

void tarpit(const ConnectionContext& c, const FilterSeam& seam) {
  if (c.failed_recipients == 0 || settings.dryrun != 0) return;
  const long long seconds = static_cast<long long>(TARPIT_SECONDS_PER_FAILURE) * c.failed_recipients;
  metrics_tarpit_seconds(static_cast<double>(seconds > INT_MAX ? INT_MAX : seconds));
  seam.sleep_seconds(seconds > INT_MAX ? INT_MAX : static_cast<int>(seconds));
}

bool is_recipient_status(int status) { return status >= RCPT_PASS && status <= RCPT_TEMPFAIL; }

MetricOutcome recipient_outcome(int status) {
  return status == RCPT_FAIL       ? MetricOutcome::fail
         : status == RCPT_TEMPFAIL ? MetricOutcome::tempfail
                                   : MetricOutcome::pass;
}

// The answer to a recipient whose outcome is known without a probe of its own:
// from the cache, or from the same check another connection has just made.
// Unlike the sender side, the pause comes before the line. Under dryrun the
// refused recipient goes on as a passed one would.
FilterDecision refuse(ConnectionContext& c, const CheckLine& line, const char* queue_id,
                      sfsistat result, const FilterReply* reply, const FilterSeam& seam) {
  const FilterDecision d = refuse_verified(MetricKind::recipient, line, c, queue_id, result, reply, seam);
  return d.reply != nullptr ? d : whitelist_step(c);
}

FilterDecision answer_known(ConnectionContext& c, int status, MetricSource source,
                            const char* queue_id, const FilterSeam& seam) {
  metrics_count_check(MetricKind::recipient, recipient_outcome(status), source);
  switch (status) {
    case RCPT_TEMPFAIL:
      return refuse(c, {LOG_INFO, "recipient check tempfailed (cached)", nullptr, nullptr},
                    queue_id, SMFIS_TEMPFAIL, &recipient_tempfail_reply, seam);
    case RCPT_FAIL:
      ++c.failed_recipients;
      return refuse(c, {LOG_INFO, "recipient check failed (cached)", nullptr, nullptr}, queue_id,
                    SMFIS_REJECT, &recipient_fail_reply, seam);
    default:
      log_check(LOG_INFO, "recipient check succeeded (cached)", c, nullptr, queue_id);
      return whitelist_step(c);
  }
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

  // Every Redis wait of this check, its recalls and remembers, shares one budget.
  CacheBudget budget;
  bool shared = false;
  const int known = cache_recall(c.recipient.c_str(), CACHE_RECIPIENT, budget, &shared);
  if (is_recipient_status(known)) return answer_known(c, known, cache_source(shared), m.queue_id, seam);

  const ProbeChoice choice = choose_probe(m);
  if (choice == ProbeChoice::local) return whitelist_step(c);
  if (choice == ProbeChoice::probe && catchall_known(CACHE_RECIPIENT_CATCHALL, m.rcpt_addr, budget)) {
    metrics_count_check(MetricKind::recipient, MetricOutcome::pass, MetricSource::catch_all);
    log_check(LOG_INFO, "recipient check succeeded (catch-all)", c, nullptr, m.queue_id);
    return whitelist_step(c);
  }

  const std::time_t start = seam.now();
  InflightCheck flight(CACHE_RECIPIENT, c.recipient.c_str(), check_wait_seconds());
  if (is_recipient_status(flight.outcome()))
    return answer_known(c, flight.outcome(), MetricSource::joined, m.queue_id, seam);
  // A waiter whose wait ran out has a temporary failure of its own.
  int result = PROBE_TEMPFAIL;
  ProbeReplyText reply;
  if (flight.leads()) {
    // A check of this host that ended between the lookup above and the flight
    // has stored its outcome in memory; the shared tier was asked just now.
    const int stored = cache_recall_local(c.recipient.c_str(), CACHE_RECIPIENT);
    if (is_recipient_status(stored)) {
      flight.publish(stored);
      return answer_known(c, stored, MetricSource::cache, m.queue_id, seam);
    }
    result = choice == ProbeChoice::probe ? probe_relay(m, seam, &reply) : PROBE_PASS;
  }
  char elapsed[10];
  format_elapsed(start, seam.now(), elapsed);
  // A waiter whose wait ran out joined a walk too, one that told it nothing.
  metrics_count_check(MetricKind::recipient, metric_outcome(result),
                      flight.leads() ? MetricSource::fresh : MetricSource::joined);

  // Each outcome is stored before it is published, so a check that starts once
  // the flight has ended finds it in the cache.
  if (result == PROBE_FAIL) {
    ++c.failed_recipients;
    cache_remember(c.recipient.c_str(), settings.tofailttl, CACHE_RECIPIENT, RCPT_FAIL, budget);
    flight.publish(RCPT_FAIL);
    return refuse(c, {LOG_NOTICE, "recipient check failed", elapsed, &reply}, m.queue_id,
                  SMFIS_REJECT, &recipient_fail_reply, seam);
  }
  if (result < 0) {
    // Only the leader stores: a waiter's own failure must not outlive the leader's outcome.
    if (flight.leads())
      cache_remember(c.recipient.c_str(), settings.totfailttl, CACHE_RECIPIENT, RCPT_TEMPFAIL, budget);
    flight.publish(RCPT_TEMPFAIL);
    return refuse(c, {LOG_NOTICE, "recipient check tempfailed", elapsed, &reply}, m.queue_id,
                  SMFIS_TEMPFAIL, &recipient_tempfail_reply, seam);
  }
  if (result == PROBE_CATCHALL) catchall_remember(CACHE_RECIPIENT_CATCHALL, m.rcpt_addr, budget);
  // A recipient never probed passes on this host's word alone: another host of
  // the site may route it to a mailer that can be asked.
  if (choice == ProbeChoice::probe)
    cache_remember(c.recipient.c_str(), settings.topassttl, CACHE_RECIPIENT, RCPT_PASS, budget);
  else
    cache_remember_local(c.recipient.c_str(), settings.topassttl, CACHE_RECIPIENT, RCPT_PASS);
  flight.publish(RCPT_PASS);
  log_check(LOG_INFO, "recipient check succeeded", c, elapsed, m.queue_id);
  return whitelist_step(c);
}
