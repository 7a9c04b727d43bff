// Sender verification at end of headers: the policy around the engine's
// verdict (client and sender whitelists, the null sender, domains never
// probed), and the replies and lines of each verdict.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <syslog.h>

#include <cstdint>
#include <cstring>
#include <string_view>

#include "filter/address.h"
#include "filter/decisions.h"
#include "filter/verdict_support.h"
#include "settings/settings.h"
#include "util/constants.h"
#include "util/helpers.h"
#include "verify/self_listing.h"

namespace {

const FilterReply sender_fail_reply = {"550", "5.1.8",
                                       "Sender address verification failed, check your MX"};
const FilterReply sender_tempfail_reply = {"451", "4.1.8",
                                           "Temporary failure in sender address verification"};
const FilterReply sender_nullmx_reply = {"550", "5.7.27", "Sender address has null MX"};

// The first prefix bits of a and b are the same.
bool same_prefix6(const unsigned char* a, const unsigned char* b, unsigned prefix) {
  const unsigned whole = prefix / 8;
  if (std::memcmp(a, b, whole) != 0) return false;
  const unsigned rest = prefix % 8;
  if (rest == 0) return true;
  const auto mask = static_cast<unsigned char>(0xFF << (8 - rest));
  return ((a[whole] ^ b[whole]) & mask) == 0;
}

// IPv4 entries: a text that is not a dotted quad compares as 255.255.255.255
// (INADDR_NONE), except an IPv4-mapped IPv6 client, which compares as its
// IPv4 address. IPv6 entries take IPv6 clients that are not IPv4-mapped.
bool client_ip_whitelisted(const Settings& s, const char* client_addr) {
  if (s.whitelist_ip.empty()) return false;
  in6_addr client6{};
  const bool is6 = inet_pton(AF_INET6, client_addr, &client6) == 1;
  const bool mapped = is6 && IN6_IS_ADDR_V4MAPPED(&client6);
  std::uint32_t client = ntohl(inet_addr(client_addr));
  if (mapped) {
    std::uint32_t v4 = 0;
    std::memcpy(&v4, client6.s6_addr + 12, sizeof v4);
    client = ntohl(v4);
  }
  for (const IpWhitelistEntry& e : s.whitelist_ip) {
    if (e.ipv6) {
      const unsigned prefix = e.prefix_len > 128 ? 128 : e.prefix_len;
      if (is6 && !mapped && same_prefix6(client6.s6_addr, e.network6.data(), prefix)) return true;
      continue;
    }
    const std::uint32_t net = ntohl(static_cast<std::uint32_t>(e.network));
    const unsigned prefix = e.prefix_len > 32 ? 32 : e.prefix_len;
    // Shifted in 64 bits: prefix 0 shifts by 32 and must leave nothing.
    const std::uint64_t differing = static_cast<std::uint64_t>(client ^ net) >> (32 - prefix);
    if (differing == 0) return true;
  }
  return false;
}

bool client_name_whitelisted(const Settings& s, const char* client_name) {
  if (client_name[0] == '\0') return false;
  for (const PatternEntry& e : s.whitelist_ptr)
    if (strcasestr(client_name, e.pattern.c_str()) != nullptr) return true;
  return false;
}

bool sender_whitelisted(const Settings& s, const char* sender) {
  for (const PatternEntry& e : s.whitelist_from)
    if (std::strstr(sender, e.pattern.c_str()) != nullptr) return true;
  return false;
}

// "example.com" names that domain alone, ".example.com" each of its subdomains.
bool domain_skipped(const Settings& s, std::string_view domain) {
  for (const PatternEntry& e : s.skip_domains) {
    const std::string_view listed = e.pattern;
    if (listed.front() == '.' ? domain.size() > listed.size() && domain.ends_with(listed)
                              : domain == listed)
      return true;
  }
  return false;
}

RefusalLabel refusal_label(RefusalReason reason) {
  switch (reason) {
    case RefusalReason::greeting: return RefusalLabel::greeting;
    case RefusalReason::helo: return RefusalLabel::helo;
    case RefusalReason::null_sender: return RefusalLabel::null_sender;
    case RefusalReason::client: return RefusalLabel::client;
    case RefusalReason::none: case RefusalReason::mailbox_busy: case RefusalReason::other: break;
  }
  return RefusalLabel::other;
}

FilterDecision refuse(const Settings& s, const ConnectionContext& c, const CheckLine& line,
                      const char* queue_id, FilterAction action, const FilterReply* reply,
                      const FilterSeam& seam) {
  return refuse_verified(s, MetricKind::sender, line, c, queue_id, action, reply, seam);
}

// The answer to a sender whose outcome is known without a walk of its own: from
// the cache, or from the same check another connection has just made.
FilterDecision answer_known(const Settings& s, const ConnectionContext& c, const Verdict& v,
                            const char* queue_id, const FilterSeam& seam) {
  metrics_count_check(MetricKind::sender, metric_outcome(v.result), metric_source(v));
  switch (v.result) {
    case PROBE_TEMPFAIL:
      if (v.source == VerdictSource::joined && s.ignoretempfail != 0)
        return {FilterAction::go_on, nullptr};
      return refuse(s, c, {LOG_INFO, "sender check tempfailed (cached)", nullptr, nullptr}, queue_id,
                    FilterAction::tempfail, &sender_tempfail_reply, seam);
    case PROBE_FAIL:
      return refuse(s, c, {LOG_INFO, "sender check failed (cached)", nullptr, nullptr}, queue_id,
                    FilterAction::reject, &sender_fail_reply, seam);
    // Joined a walk whose exchangers refused the probe: nothing is known of the mailbox.
    case PROBE_REFUSED:
      log_check(s, LOG_INFO, "sender check skipped (probe refused)", c, nullptr, queue_id);
      return {FilterAction::go_on, nullptr};
    default:
      log_check(s, LOG_INFO, "sender check succeeded (cached)", c, nullptr, queue_id);
      return {FilterAction::go_on, nullptr};
  }
}

// The domain answers for every mailbox: it takes them all, or refuses probes.
FilterDecision answer_marked(const Settings& s, const ConnectionContext& c, const Verdict& v,
                             const char* queue_id) {
  metrics_count_check(MetricKind::sender, MetricOutcome::pass, metric_source(v));
  log_check(s, LOG_INFO,
            v.result == PROBE_CATCHALL ? "sender check succeeded (catch-all)"
                                       : "sender check skipped (domain refuses probes)",
            c, nullptr, queue_id);
  return {FilterAction::go_on, nullptr};
}

// The outcome of a walk: this check's own, or one whose wait ran out.
FilterDecision answer_walked(const Settings& s, const ConnectionContext& c, const Verdict& v,
                             const char* elapsed, const char* queue_id, const FilterSeam& seam) {
  metrics_count_check(MetricKind::sender, metric_outcome(v.result), metric_source(v));
  const CheckLine failed = {LOG_NOTICE, "sender check failed", elapsed, &v.reply};
  switch (v.result) {
    // Its domain takes no mail, so no bounce could ever reach this sender.
    case PROBE_NULLMX: return refuse(s, c, failed, queue_id, FilterAction::reject, &sender_nullmx_reply, seam);
    case PROBE_FAIL: return refuse(s, c, failed, queue_id, FilterAction::reject, &sender_fail_reply, seam);
    case PROBE_REFUSED:
      metrics_count_refused_probe(refusal_label(v.reply.reason));
      log_check(s, LOG_NOTICE, "sender check skipped (probe refused)", c, elapsed, queue_id, &v.reply);
      return {FilterAction::go_on, nullptr};
    case PROBE_ALL_MARKED:
      log_check(s, LOG_INFO, "sender check skipped (exchanger refuses probes)", c, elapsed, queue_id);
      return {FilterAction::go_on, nullptr};
    case PROBE_PASS: case PROBE_CATCHALL:
      log_check(s, LOG_INFO, "sender check succeeded", c, elapsed, queue_id);
      return {FilterAction::accept, nullptr};
    default:
      if (s.ignoretempfail != 0) return {FilterAction::go_on, nullptr};
      return refuse(s, c, {LOG_NOTICE, "sender check tempfailed", elapsed, &v.reply}, queue_id,
                    FilterAction::tempfail, &sender_tempfail_reply, seam);
  }
}

}  // namespace

FilterDecision decide_eoh(ConnectionContext& c, const char* queue_id, const Settings& s,
                          const FilterSeam& seam) {
  if (client_ip_whitelisted(s, c.client_addr.c_str()))
    return whitelisted(s, WhitelistRule::whitelistip, c, queue_id);
  if (client_name_whitelisted(s, c.client_name.c_str()))
    return whitelisted(s, WhitelistRule::whitelistptr, c, queue_id);
  if (is_null_sender(c.sender_raw.view())) return {FilterAction::go_on, nullptr};

  // The lower-cased sender is the mailbox probed.
  lowercase_in_place(c.sender.data());
  if (sender_whitelisted(s, c.sender.c_str()))
    return whitelisted(s, WhitelistRule::whitelistfrom, c, queue_id);
  if (s.sav == 0) return {FilterAction::go_on, nullptr};
  const char* at = std::strchr(c.sender.c_str(), '@');
  const char* domain = at != nullptr ? at + 1 : "";
  if (domain_skipped(s, domain)) {
    log_check(s, LOG_INFO, "sender check skipped (domain policy)", c, nullptr, queue_id);
    return {FilterAction::go_on, nullptr};
  }

  // The start is read before any wait, so a check that gives up shows its wait.
  const std::time_t start = seam.now();
  // Every message of one mailbox shares one verdict, though the probe asks the
  // address as it came; a whitelisted base is meant for itself alone.
  EnvelopeText key;
  sender_key(c.sender.view(), s.senderdelimiter, key);
  if (sender_whitelisted(s, key.c_str())) key = c.sender;
  // Probing while this host is listed only prolongs the listing: what is
  // known still answers, and nothing else is asked.
  const bool paused = s.selflistingpause != 0 && self_listing_listed();
  const Verdict v = verify_for(s, VerifyKind::sender, key.c_str(), c.sender.c_str(),
                               paused ? VerifyWay::lookup_only : VerifyWay::domain, domain);
  if (paused && v.source == VerdictSource::none) {
    log_check(s, LOG_INFO, "sender check skipped (callouts paused)", c, nullptr, queue_id);
    return {FilterAction::go_on, nullptr};
  }
  if (v.source == VerdictSource::mark) return answer_marked(s, c, v, queue_id);
  if (v.source != VerdictSource::fresh && !v.waited_out) return answer_known(s, c, v, queue_id, seam);
  char elapsed[10];
  format_elapsed(start, seam.now(), elapsed);
  if (v.in_progress)
    return answer_in_progress(s, MetricKind::sender, v, c, elapsed, queue_id, &sender_tempfail_reply, seam);
  return answer_walked(s, c, v, elapsed, queue_id, seam);
}
