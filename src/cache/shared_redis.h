// The Redis store under the shared tier: a small pool of hiredis connections,
// each used by one thread at a time, every command bounded by the check's budget.
#pragma once

#include "cache/shared_tier.h"

// Takes the server's address and credentials; before any thread uses the store.
void shared_redis_configure(const SharedTierConfig& config);
// Frees every idle connection; busy ones are freed when they come back.
void shared_redis_close();
[[nodiscard]] const SharedStore& shared_redis_store();
