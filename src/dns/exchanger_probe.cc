// The exchanger memory's place in a probe: consulted only for targets that
// would be contacted (not for refused addresses or the mailstore), so that
// neither skips nor budget apply where no connection would be made.
#include "dns/exchanger_probe.h"

#include <syslog.h>

#include <cstdio>

#include "dns/exchanger_memory.h"
#include "metrics/metrics.h"
#include "util/constants.h"
#include "util/helpers.h"
#include "util/log.h"

namespace {

// The reply a skip of a marked exchanger leaves, so the walk can tell it from
// an exchanger that refused in words.
constexpr const char* MARKED_REPLY = "(refuses probes)";

const char* skip_words(SkipReason reason) {
  switch (reason) {
    case SkipReason::unreachable: return "unreachable";
    case SkipReason::rate_limit: return "rate limit";
    case SkipReason::refusing: break;
  }
  return "refuses probes";
}

// A skip logged, counted and shown to the dialogue's observer.
int skipped(const char* host, const ProbeTarget& t, const ProbeOptions& opt, SkipReason reason) {
  const char* why = skip_words(reason);
  log_msg(LOG_INFO, "MX check at %s [%s] skipped (%s)", host, t.text, why);
  metrics_count_skipped(reason);
  if (opt.observer != nullptr) {
    char note[600];
    std::snprintf(note, sizeof note, "MX check at %s [%s] skipped (%s)", host, t.text, why);
    opt.observer->note(note);
  }
  return PROBE_TEMPFAIL;
}

// A refusal about this host (a block list, a banned address, reputation, a
// rate): the exchanger would refuse any mailbox asked from here.
bool refused_for_this_host(const ProbeReplyText& reply) { return reply.reason == RefusalReason::client; }

bool marked_refusing(const char* addr, const ExchangerLimits& limits, int* new_entries) {
  if (exchanger_refusing(addr)) return true;
  if (limits.site_refusing == nullptr) return false;
  const std::int64_t left = limits.site_refusing(addr);
  if (left <= 0) return false;
  exchanger_mark_refusing(addr, left, new_entries);
  return true;
}

void note_refusal(const char* address, const ProbeTarget& t, const ExchangerLimits& limits,
                  int* new_entries) {
  if (!exchanger_note_refusal(t.text, hash_string(address), limits.refusedttl, new_entries)) return;
  log_msg(LOG_NOTICE, "exchanger %s marked as refusing probes", t.text);
  if (limits.site_mark_refusing != nullptr) limits.site_mark_refusing(t.text, limits.refusedttl);
}

int probe_remembered(const char* address, const char* host, const ProbeTarget& t,
                     const ProbeOptions& opt, const ExchangerLimits& limits,
                     ProbeReplyText* reply, int* new_entries) {
  // Past the deadline no address is tried, nor counted against its budget.
  if (deadline_passed(opt.timeouts.deadline)) return PROBE_TEMPFAIL;
  if (probe_admit(t, opt.mailstore) == ProbeAdmission::contact) {
    if (limits.deadmxttl > 0 && exchanger_unreachable(t.text))
      return skipped(host, t, opt, SkipReason::unreachable);
    if (limits.refusedttl > 0 && marked_refusing(t.text, limits, new_entries)) {
      (void)skipped(host, t, opt, SkipReason::refusing);
      if (reply != nullptr) reply->assign(MARKED_REPLY);
      return PROBE_REFUSED;
    }
    if (!exchanger_take_callout(t.text, limits.calloutrate_count, limits.calloutrate_period,
                                new_entries))
      return skipped(host, t, opt, SkipReason::rate_limit);
  }
  bool unreachable = false;
  ProbeReplyText own;
  ProbeReplyText* said = reply != nullptr ? reply : &own;
  const int result = probe_target(address, host, t, opt, &unreachable, said);
  if (unreachable) exchanger_mark_unreachable(t.text, limits.deadmxttl, new_entries);
  if (result == PROBE_REFUSED && limits.refusedttl > 0 && refused_for_this_host(*said))
    note_refusal(address, t, limits, new_entries);
  return result;
}

}  // namespace

bool probe_all_marked(int result, const ProbeReplyText& reply) {
  return result == PROBE_REFUSED && reply.view() == MARKED_REPLY;
}

int probe_host_with(const char* address, const char* host, const ProbeOptions& opt,
                    const ExchangerLimits& limits, ProbeReplyText* reply, int* new_entries) {
  bool asked = false;
  const int result = probe_each_target(
      host, opt.ipv6,
      [&](const ProbeTarget& t, ProbeReplyText* one) {
        const int r = probe_remembered(address, host, t, opt, limits, one, new_entries);
        asked = asked || !probe_all_marked(r, *one);
        return r;
      },
      reply);
  // An address that refused in words outweighs a marked one beside it.
  if (asked && reply != nullptr && probe_all_marked(result, *reply)) reply->clear();
  return result;
}
