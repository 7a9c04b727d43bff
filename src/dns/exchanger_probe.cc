// The exchanger memory's place in a probe: consulted only for targets that
// would be contacted (not for refused addresses or the mailstore), so that
// neither skips nor budget apply where no connection would be made.
#include "dns/exchanger_probe.h"

#include <syslog.h>

#include "dns/exchanger_memory.h"
#include "metrics/metrics.h"
#include "util/constants.h"
#include "util/log.h"

namespace {

int probe_remembered(const char* address, const char* host, const ProbeTarget& t,
                     const ProbeOptions& opt, const ExchangerLimits& limits,
                     ProbeReplyText* reply, int* new_entries) {
  // Past the deadline no address is tried, nor counted against its budget.
  if (deadline_passed(opt.timeouts.deadline)) return PROBE_TEMPFAIL;
  if (probe_admit(t, opt.mailstore) == ProbeAdmission::contact) {
    if (limits.deadmxttl > 0 && exchanger_unreachable(t.text)) {
      log_msg(LOG_INFO, "MX check at %s [%s] skipped (unreachable)", host, t.text);
      metrics_count_skipped(SkipReason::unreachable);
      return PROBE_TEMPFAIL;
    }
    if (!exchanger_take_callout(t.text, limits.calloutrate_count, limits.calloutrate_period,
                                new_entries)) {
      log_msg(LOG_INFO, "MX check at %s [%s] skipped (rate limit)", host, t.text);
      metrics_count_skipped(SkipReason::rate_limit);
      return PROBE_TEMPFAIL;
    }
  }
  bool unreachable = false;
  const int result = probe_target(address, host, t, opt, &unreachable, reply);
  if (unreachable) exchanger_mark_unreachable(t.text, limits.deadmxttl, new_entries);
  return result;
}

}  // namespace

int probe_host_with(const char* address, const char* host, const ProbeOptions& opt,
                    const ExchangerLimits& limits, ProbeReplyText* reply, int* new_entries) {
  return probe_each_target(
      host, opt.ipv6,
      [&](const ProbeTarget& t, ProbeReplyText* one) {
        return probe_remembered(address, host, t, opt, limits, one, new_entries);
      },
      reply);
}
