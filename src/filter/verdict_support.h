// What the sender and recipient checks share: catch-all and refusing-domain
// memory, the wait for a check in flight, the outcome log lines and the
// refusals a verification decides (which dryrun only logs and counts).
#pragma once

#include "cache/cache.h"
#include "filter/context.h"
#include "filter/decisions.h"
#include "metrics/metrics.h"

// How long a check waits for the same check already in flight: about calloutdeadline.
[[nodiscard]] long long check_wait_seconds();

// Whether the domain of address (after its last "@", lower-cased) is remembered
// as catch-all under kind, and remembering it for catchallttl, within the
// check's budget.
[[nodiscard]] bool catchall_known(int kind, const char* address, CacheBudget& budget);
void catchall_remember(int kind, const char* address, CacheBudget& budget);
// The same for a sender domain whose exchangers refuse probes (refusedttl).
[[nodiscard]] bool refusing_domain_known(const char* address, CacheBudget& budget);
void refusing_domain_remember(const char* address, CacheBudget& budget);

// Writes "<what>: from=..., to=..., name [addr], [elapsed], id=..." ; elapsed is
// null for an answer taken from the cache, which has no elapsed field. With
// logreplies on, a reply given adds ", reply=\"<reply>\"" at the end.
void log_check(int priority, const char* what, const ConnectionContext& c, const char* elapsed,
               const char* queue_id, const ProbeReplyText* reply = nullptr);

// A refusal or deferral that a verification decided: the line (as log_check),
// the one-second pause (a recipient's before its line, a sender's after), and
// result with reply. Under dryrun the line starts with "dry run: ", the refusal
// is counted, and nothing is refused or paused: SMFIS_CONTINUE without a reply.
struct CheckLine {
  int priority;
  const char* what;
  const char* elapsed;
  const ProbeReplyText* reply;
};
[[nodiscard]] FilterDecision refuse_verified(MetricKind kind, const CheckLine& line,
                                             const ConnectionContext& c, const char* queue_id,
                                             sfsistat result, const FilterReply* reply,
                                             const FilterSeam& seam);

// A check answered from the cache: its memory, or the shared tier behind it.
[[nodiscard]] inline MetricSource cache_source(bool shared) {
  return shared ? MetricSource::shared : MetricSource::cache;
}

// The whole message is accepted by a whitelist: counted by its rule.
[[nodiscard]] FilterDecision whitelisted(WhitelistRule rule, const ConnectionContext& c,
                                         const char* queue_id);
// With logwhitelisted on: "sender check skipped (<rule>): from=..., id=...".
void log_skipped(const char* rule, const ConnectionContext& c, const char* queue_id);
// An envelope address refused for its syntax: counted by kind.
[[nodiscard]] FilterDecision syntax_refusal(MetricKind kind, const FilterReply* reply);
