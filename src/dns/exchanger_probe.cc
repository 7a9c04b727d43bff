// The exchanger memory's place in a probe: consulted only for targets that
// would be contacted (not for refused addresses or the mailstore), so that
// neither skips nor budget apply where no connection would be made.
#include "dns/exchanger_probe.h"

#include <syslog.h>

#include "dns/exchanger_memory.h"
#include "metrics/metrics.h"
#include "settings/settings.h"
#include "util/constants.h"
#include "util/log.h"

namespace {

int probe_remembered(const char* address, const char* host, const ProbeTarget& t,
                     const ProbeOptions& opt, ProbeReplyText* reply, int* new_entries) {
  // Past the deadline no address is tried, nor counted against its budget.
  if (deadline_passed(opt.timeouts.deadline)) return PROBE_TEMPFAIL;
  if (probe_admit(t) == ProbeAdmission::contact) {
    if (settings.deadmxttl > 0 && exchanger_unreachable(t.text)) {
      log_msg(LOG_INFO, "MX check at %s [%s] skipped (unreachable)", host, t.text);
      metrics_count_skipped(SkipReason::unreachable);
      return PROBE_TEMPFAIL;
    }
    if (!exchanger_take_callout(t.text, settings.calloutrate_count, settings.calloutrate_period,
                                new_entries)) {
      log_msg(LOG_INFO, "MX check at %s [%s] skipped (rate limit)", host, t.text);
      metrics_count_skipped(SkipReason::rate_limit);
      return PROBE_TEMPFAIL;
    }
  }
  bool unreachable = false;
  const int result = probe_target(address, host, t, opt, &unreachable, reply);
  if (unreachable) exchanger_mark_unreachable(t.text, settings.deadmxttl, new_entries);
  return result;
}

}  // namespace

int probe_host(const char* address, const char* host, ProbeReplyText* reply) {
  ProbeOptions opt;
  opt.timeouts.deadline = callout_deadline();
  int new_entries = 1;
  return probe_host_with(address, host, opt, reply, &new_entries);
}

int probe_host_with(const char* address, const char* host, const ProbeOptions& opt,
                    ProbeReplyText* reply, int* new_entries) {
  return probe_each_target(
      host,
      [&](const ProbeTarget& t, ProbeReplyText* one) {
        return probe_remembered(address, host, t, opt, one, new_entries);
      },
      reply);
}
