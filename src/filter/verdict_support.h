// What the sender and recipient checks share: the outcome log lines.
#pragma once

#include "filter/context.h"
#include "filter/decisions.h"
#include "metrics/metrics.h"

// Writes "<what>: from=..., to=..., name [addr], [elapsed], id=..." ; elapsed is
// null for an answer taken from the cache, which has no elapsed field.
void log_check(int priority, const char* what, const ConnectionContext& c, const char* elapsed,
               const char* queue_id);

// The whole message is accepted by a whitelist: counted by its rule.
[[nodiscard]] FilterDecision whitelisted(WhitelistRule rule);
// An envelope address refused for its syntax: counted by kind.
[[nodiscard]] FilterDecision syntax_refusal(MetricKind kind, const FilterReply* reply);
