// Recipient verification at RCPT TO: the policy around the engine's verdict
// (syntax, the tarpit for earlier failures, where the MTA's relay host is
// asked, the recipient whitelist), and the replies and lines of each verdict.
#include <strings.h>
#include <syslog.h>

#include <climits>
#include <cstring>
#include <string_view>

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

FilterDecision whitelist_step(const Settings& s, const ConnectionContext& c) {
  for (const PatternEntry& e : s.whitelist_to)
    if (std::strstr(c.recipient.c_str(), e.pattern.c_str()) != nullptr)
      return whitelisted(s, WhitelistRule::whitelistto, c, nullptr);
  return {FilterAction::go_on, nullptr};
}

enum class ProbeChoice { none, local, probe };

ProbeChoice choose_probe(const RelayFacts& m) {
  if (m.rcpt_mailer == nullptr) return ProbeChoice::none;
  if (strcasecmp(m.rcpt_mailer, "local") == 0) return ProbeChoice::local;
  if (m.rcpt_host == nullptr || m.rcpt_addr == nullptr) return ProbeChoice::none;
  if (strcasecmp(m.rcpt_mailer, "smtp") == 0 || strcasecmp(m.rcpt_mailer, "esmtp") == 0)
    return ProbeChoice::probe;
  return ProbeChoice::none;
}

// Where the relay host is asked: an address literal ("[192.0.2.7]",
// "[192.0.2.7]:25") directly, a "[" without "]" giving everything after it; a
// host name is walked as a domain. A recipient the MTA delivers itself is only
// looked up, and one without a mailer that can be asked passes unprobed.
VerifyWay relay_way(ProbeChoice choice, const RelayFacts& m, char (&literal)[LITERAL_SIZE],
                    const char** where) {
  *where = nullptr;
  if (choice == ProbeChoice::local) return VerifyWay::lookup_only;
  if (choice == ProbeChoice::none) return VerifyWay::unprobed;
  *where = m.rcpt_host;
  const char* open = std::strchr(m.rcpt_host, '[');
  if (open == nullptr) return VerifyWay::domain;
  copy_bounded(literal, open + 1, sizeof literal);
  if (char* close = std::strrchr(literal, ']'); close != nullptr) *close = '\0';
  *where = literal;
  return VerifyWay::host;
}

void tarpit(const Settings& s, const ConnectionContext& c, const FilterSeam& seam) {
  if (c.failed_recipients == 0 || s.dryrun != 0) return;
  const long long seconds = static_cast<long long>(TARPIT_SECONDS_PER_FAILURE) * c.failed_recipients;
  metrics_tarpit_seconds(static_cast<double>(seconds > INT_MAX ? INT_MAX : seconds));
  seam.sleep_seconds(seconds > INT_MAX ? INT_MAX : static_cast<int>(seconds));
}

// The answer to a recipient whose outcome is known without a probe of its own:
// from the cache, or from the same check another connection has just made.
// Unlike the sender side, the pause comes before the line. Under dryrun the
// refused recipient goes on as a passed one would.
FilterDecision refuse(const Settings& s, ConnectionContext& c, const CheckLine& line,
                      const char* queue_id, FilterAction action, const FilterReply* reply,
                      const FilterSeam& seam) {
  const FilterDecision d =
      refuse_verified(s, MetricKind::recipient, line, c, queue_id, action, reply, seam);
  return d.reply != nullptr ? d : whitelist_step(s, c);
}

FilterDecision answer_known(const Settings& s, ConnectionContext& c, const Verdict& v,
                            const char* queue_id, const FilterSeam& seam) {
  metrics_count_check(MetricKind::recipient, metric_outcome(v.result), metric_source(v));
  switch (v.result) {
    case PROBE_TEMPFAIL:
      return refuse(s, c, {LOG_INFO, "recipient check tempfailed (cached)", nullptr, nullptr},
                    queue_id, FilterAction::tempfail, &recipient_tempfail_reply, seam);
    case PROBE_FAIL:
      ++c.failed_recipients;
      return refuse(s, c, {LOG_INFO, "recipient check failed (cached)", nullptr, nullptr}, queue_id,
                    FilterAction::reject, &recipient_fail_reply, seam);
    case PROBE_CATCHALL:
      log_check(s, LOG_INFO, "recipient check succeeded (catch-all)", c, nullptr, queue_id);
      return whitelist_step(s, c);
    default:
      log_check(s, LOG_INFO, "recipient check succeeded (cached)", c, nullptr, queue_id);
      return whitelist_step(s, c);
  }
}

// The outcome of a walk: this check's own, or one whose wait ran out.
FilterDecision answer_walked(const Settings& s, ConnectionContext& c, const Verdict& v,
                             const char* elapsed, const char* queue_id, const FilterSeam& seam) {
  metrics_count_check(MetricKind::recipient, metric_outcome(v.result), metric_source(v));
  if (v.result == PROBE_FAIL) {
    ++c.failed_recipients;
    return refuse(s, c, {LOG_NOTICE, "recipient check failed", elapsed, &v.reply}, queue_id,
                  FilterAction::reject, &recipient_fail_reply, seam);
  }
  if (v.result < 0)
    return refuse(s, c, {LOG_NOTICE, "recipient check tempfailed", elapsed, &v.reply}, queue_id,
                  FilterAction::tempfail, &recipient_tempfail_reply, seam);
  log_check(s, LOG_INFO, "recipient check succeeded", c, elapsed, queue_id);
  return whitelist_step(s, c);
}

}  // namespace

FilterDecision decide_envrcpt(ConnectionContext& c, const RelayFacts& m, const char* address,
                              const Settings& s, const FilterSeam& seam) {
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
  if (!s.mailstore || !m.verifiable) return whitelist_step(s, c);

  tarpit(s, c, seam);

  char literal[LITERAL_SIZE];
  const char* where = nullptr;
  const VerifyWay way = relay_way(choose_probe(m), m, literal, &where);
  const std::time_t start = seam.now();
  const Verdict v = verify_for(s, VerifyKind::recipient, c.recipient.c_str(), m.rcpt_addr, way, where);
  if (v.source == VerdictSource::none) return whitelist_step(s, c);
  if (v.source != VerdictSource::fresh && !v.waited_out) return answer_known(s, c, v, m.queue_id, seam);
  char elapsed[10];
  format_elapsed(start, seam.now(), elapsed);
  if (v.in_progress) {
    const FilterDecision d = answer_in_progress(s, MetricKind::recipient, v, c, elapsed, m.queue_id,
                                                &recipient_tempfail_reply, seam);
    return d.reply != nullptr ? d : whitelist_step(s, c);
  }
  return answer_walked(s, c, v, elapsed, m.queue_id, seam);
}
