// The exchanger memory's place in a probe: consulted only for targets that
// would be contacted (not for refused addresses or the mailstore), so that
// neither skips nor budget apply where no connection would be made.
#include "dns/exchanger_probe.h"

#include <syslog.h>

#include <cstdio>

#include "dns/exchanger_memory.h"
#include "metrics/metrics.h"
#include "settings/settings.h"
#include "util/constants.h"
#include "util/log.h"

namespace {

// A skip logged, counted and shown to the dialogue's observer.
int skipped(const char* host, const ProbeTarget& t, const ProbeOptions& opt, SkipReason reason) {
  const char* why = reason == SkipReason::unreachable ? "unreachable" : "rate limit";
  log_msg(LOG_INFO, "MX check at %s [%s] skipped (%s)", host, t.text, why);
  metrics_count_skipped(reason);
  if (opt.observer != nullptr) {
    char note[600];
    std::snprintf(note, sizeof note, "MX check at %s [%s] skipped (%s)", host, t.text, why);
    opt.observer->note(note);
  }
  return PROBE_TEMPFAIL;
}

int probe_remembered(const char* address, const char* host, const ProbeTarget& t,
                     const ProbeOptions& opt, ProbeReplyText* reply, int* new_entries) {
  // Past the deadline no address is tried, nor counted against its budget.
  if (deadline_passed(opt.timeouts.deadline)) return PROBE_TEMPFAIL;
  if (probe_admit(t) == ProbeAdmission::contact) {
    if (settings.deadmxttl > 0 && exchanger_unreachable(t.text))
      return skipped(host, t, opt, SkipReason::unreachable);
    if (!exchanger_take_callout(t.text, settings.calloutrate_count, settings.calloutrate_period,
                                new_entries))
      return skipped(host, t, opt, SkipReason::rate_limit);
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
