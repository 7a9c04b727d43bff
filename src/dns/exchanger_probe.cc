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
                     const ProbeOptions& opt) {
  // Past the deadline no address is tried, nor counted against its budget.
  if (deadline_passed(opt.timeouts.deadline)) return PROBE_TEMPFAIL;
  if (probe_admit(t) == ProbeAdmission::contact) {
    if (settings.deadmxttl > 0 && exchanger_unreachable(t.text)) {
      log_msg(LOG_INFO, "MX check at %s [%s] skipped (unreachable)", host, t.text);
      metrics_count_skipped(SkipReason::unreachable);
      return PROBE_TEMPFAIL;
    }
    if (!exchanger_take_callout(t.text, settings.calloutrate_count, settings.calloutrate_period)) {
      log_msg(LOG_INFO, "MX check at %s [%s] skipped (rate limit)", host, t.text);
      metrics_count_skipped(SkipReason::rate_limit);
      return PROBE_TEMPFAIL;
    }
  }
  bool unreachable = false;
  const int result = probe_target(address, host, t, opt, &unreachable);
  if (unreachable) exchanger_mark_unreachable(t.text, settings.deadmxttl);
  return result;
}

}  // namespace

int probe_host(const char* address, const char* host) {
  return probe_host_until(address, host, callout_deadline());
}

int probe_host_until(const char* address, const char* host, SmtpDeadline deadline) {
  ProbeOptions opt;
  opt.timeouts.deadline = deadline;
  return probe_host_with(address, host, opt);
}

int probe_host_with(const char* address, const char* host, const ProbeOptions& opt) {
  return probe_each_target(host, [&](const ProbeTarget& t) {
    return probe_remembered(address, host, t, opt);
  });
}
