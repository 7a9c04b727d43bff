// What the sender and recipient checks share: catch-all memory, the wait for a
// check in flight, and the outcome log lines.
#pragma once

#include "filter/context.h"
#include "filter/decisions.h"
#include "metrics/metrics.h"

// How long a check waits for the same check already in flight: about calloutdeadline.
[[nodiscard]] long long check_wait_seconds();

// Whether the domain of address (after its last "@", lower-cased) is remembered
// as catch-all under kind, and remembering it for catchallttl.
[[nodiscard]] bool catchall_known(int kind, const char* address);
void catchall_remember(int kind, const char* address);

// Writes "<what>: from=..., to=..., name [addr], [elapsed], id=..." ; elapsed is
// null for an answer taken from the cache, which has no elapsed field.
void log_check(int priority, const char* what, const ConnectionContext& c, const char* elapsed,
               const char* queue_id);

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
