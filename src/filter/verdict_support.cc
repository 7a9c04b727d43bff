// The outcome lines, the refusals and the engine's question shared by the
// sender and recipient checks.
#include "filter/verdict_support.h"

#include <syslog.h>

#include <cstdio>
#include <cstring>

#include "filter/decisions.h"
#include "settings/settings.h"
#include "util/helpers.h"
#include "util/log.h"

namespace {

void log_line(const Settings& s, int priority, const char* prefix, const char* what, const ConnectionContext& c,
              const char* elapsed, const char* queue_id, const ProbeReplyText* reply) {
  const char* id = queue_id != nullptr ? queue_id : MISSING_QUEUE_ID;
  // The reply is the last field: whatever it holds, the field ends at the line's end.
  // A verdict its text decided against its codes says so before it.
  BoundedText<PROBE_REPLY_MAX + sizeof(", rule=text, reply=\"\"")> tail;
  if (reply != nullptr && s.logreplies != 0) {
    std::snprintf(tail.data(), tail.capacity(), "%s, reply=\"%s\"", reply->by_text ? ", rule=text" : "",
                  reply->c_str());
  }
  if (elapsed == nullptr) {
    log_msg(priority, "%s%s: from=%s, to=%s, %s [%s], id=%s%s", prefix, what, c.sender_raw.c_str(),
            c.recipient_raw.c_str(), c.client_name.c_str(), c.client_addr.c_str(), id, tail.c_str());
  } else {
    log_msg(priority, "%s%s: from=%s, to=%s, %s [%s], [%s], id=%s%s", prefix, what,
            c.sender_raw.c_str(), c.recipient_raw.c_str(), c.client_name.c_str(),
            c.client_addr.c_str(), elapsed, id, tail.c_str());
  }
}

}  // namespace

MetricSource metric_source(const Verdict& v) {
  switch (v.source) {
    case VerdictSource::cache: return MetricSource::cache;
    case VerdictSource::shared: return MetricSource::shared;
    case VerdictSource::joined: return MetricSource::joined;
    case VerdictSource::mark:
      return v.result == PROBE_CATCHALL ? MetricSource::catch_all : MetricSource::cache;
    case VerdictSource::fresh: case VerdictSource::none: break;
  }
  return MetricSource::fresh;
}

Verdict verify_for(const Settings& s, VerifyKind kind, const char* key, const char* mailbox,
                   VerifyWay way, const char* where) {
  return verify({kind, key, mailbox, way, where, s.maxwait > 0 ? s.maxwait : 0, &s});
}

FilterDecision answer_in_progress(const Settings& s, MetricKind kind, const Verdict& v, const ConnectionContext& c,
                                  const char* elapsed, const char* queue_id,
                                  const FilterReply* reply, const FilterSeam& seam) {
  const bool sender = kind == MetricKind::sender;
  metrics_count_check(kind, MetricOutcome::tempfail, metric_source(v));
  if (sender && s.ignoretempfail != 0) return {FilterAction::go_on, nullptr};
  const CheckLine line = {LOG_NOTICE,
                          sender ? "sender check tempfailed (in progress)"
                                 : "recipient check tempfailed (in progress)",
                          elapsed, nullptr, false};
  return refuse_verified(s, kind, line, c, queue_id, FilterAction::tempfail, reply, seam);
}

void log_check(const Settings& s, int priority, const char* what, const ConnectionContext& c,
               const char* elapsed, const char* queue_id, const ProbeReplyText* reply) {
  log_line(s, priority, "", what, c, elapsed, queue_id, reply);
}

FilterDecision refuse_verified(const Settings& s, MetricKind kind, const CheckLine& line,
                               const ConnectionContext& c, const char* queue_id, FilterAction action,
                               const FilterReply* reply, const FilterSeam& seam) {
  if (s.dryrun != 0) {
    metrics_count_dry_run_refusal(kind);
    log_line(s, line.priority, "dry run: ", line.what, c, line.elapsed, queue_id, line.reply);
    return {FilterAction::go_on, nullptr};
  }
  const bool pause_first = kind == MetricKind::recipient;
  if (line.pause && pause_first) seam.sleep_seconds(1);
  log_line(s, line.priority, "", line.what, c, line.elapsed, queue_id, line.reply);
  if (line.pause && !pause_first) seam.sleep_seconds(1);
  return {action, reply};
}

void log_skipped(const Settings& s, const char* rule, const ConnectionContext& c,
                 const char* queue_id) {
  if (s.logwhitelisted == 0) return;
  char what[64];
  std::snprintf(what, sizeof what, "sender check skipped (%s)", rule);
  log_check(s, LOG_INFO, what, c, nullptr, queue_id);
}

FilterDecision whitelisted(const Settings& s, WhitelistRule rule, const ConnectionContext& c,
                           const char* queue_id) {
  metrics_count_whitelisted(rule);
  log_skipped(s, whitelist_rule_name(rule), c, queue_id);
  return {FilterAction::accept, nullptr};
}

FilterDecision syntax_refusal(MetricKind kind, const FilterReply* reply) {
  metrics_count_syntax_refusal(kind);
  return {FilterAction::reject, reply};
}
