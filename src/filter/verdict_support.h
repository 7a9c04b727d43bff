// What the sender and recipient checks share: the outcome log lines, the
// refusals a verification decides (which dryrun only logs and counts), and the
// verdict's source as counted.
#pragma once

#include "filter/context.h"
#include "filter/decisions.h"
#include "metrics/metrics.h"
#include "settings/settings.h"
#include "verify/engine.h"

// Writes "<what>: from=..., to=..., name [addr], [elapsed], id=..." ; elapsed is
// null for an answer taken from the cache, which has no elapsed field. With
// logreplies on, a reply given adds ", reply=\"<reply>\"" at the end.
void log_check(const Settings& s, int priority, const char* what, const ConnectionContext& c,
               const char* elapsed, const char* queue_id, const ProbeReplyText* reply = nullptr);

// A refusal or deferral that a verification decided: the line (as log_check),
// the one-second pause unless pause is off (a recipient's before its line, a
// sender's after), and
// result with reply. Under dryrun the line starts with "dry run: ", the refusal
// is counted, and nothing is refused or paused: go_on without a reply.
struct CheckLine {
  int priority;
  const char* what;
  const char* elapsed;
  const ProbeReplyText* reply;
  bool pause = true;
};
[[nodiscard]] FilterDecision refuse_verified(const Settings& s, MetricKind kind,
                                             const CheckLine& line, const ConnectionContext& c,
                                             const char* queue_id, FilterAction action,
                                             const FilterReply* reply, const FilterSeam& seam);

// A verdict's source as the check metrics count it; a domain mark counts by
// its kind (catch-all, or the cache for a domain refusing probes).
[[nodiscard]] MetricSource metric_source(const Verdict& v);

// What the filter asks the engine: the address under kind, with the wait of maxwait.
[[nodiscard]] Verdict verify_for(const Settings& s, VerifyKind kind, const char* key,
                                 const char* mailbox, VerifyWay way, const char* where);

// The answer to a check that stopped waiting while its walk goes on: a
// temporary failure with its "(in progress)" line and no pause; under
// ignoretempfail (senders) a silent pass.
[[nodiscard]] FilterDecision answer_in_progress(const Settings& s, MetricKind kind, const Verdict& v,
                                                const ConnectionContext& c, const char* elapsed,
                                                const char* queue_id, const FilterReply* reply,
                                                const FilterSeam& seam);

// The whole message is accepted by a whitelist: counted by its rule.
[[nodiscard]] FilterDecision whitelisted(const Settings& s, WhitelistRule rule,
                                         const ConnectionContext& c, const char* queue_id);
// With logwhitelisted on: "sender check skipped (<rule>): from=..., id=...".
void log_skipped(const Settings& s, const char* rule, const ConnectionContext& c,
                 const char* queue_id);
// An envelope address refused for its syntax: counted by kind.
[[nodiscard]] FilterDecision syntax_refusal(MetricKind kind, const FilterReply* reply);
