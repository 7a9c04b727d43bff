// What the sender and recipient checks share: the cache under its calling
// contract (skipped without a table, one operation per lock) and the outcome
// log lines.
#pragma once

#include <cstdint>

#include "filter/context.h"
#include "filter/decisions.h"
#include "metrics/metrics.h"

// The live status for key and kind, or 0 (also when there is no cache).
[[nodiscard]] int cache_recall(const char* key, int kind);
// Stores the outcome unless there is no cache or its lifetime is 0.
void cache_remember(const char* key, std::int64_t ttl, int kind, int status);

// Writes "<what>: from=..., to=..., name [addr], [elapsed], id=..." ; elapsed is
// null for an answer taken from the cache, which has no elapsed field.
void log_check(int priority, const char* what, const ConnectionContext& c, const char* elapsed,
               const char* queue_id);

// The whole message is accepted by a whitelist: counted by its rule.
[[nodiscard]] FilterDecision whitelisted(WhitelistRule rule);
// An envelope address refused for its syntax: counted by kind.
[[nodiscard]] FilterDecision syntax_refusal(MetricKind kind, const FilterReply* reply);
