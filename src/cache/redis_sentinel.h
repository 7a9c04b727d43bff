// Which Redis server is the master, as the site's sentinels say: looked up when
// the tier starts and again on request (at most once a second), and followed
// through one sentinel connection subscribed to +switch-master, on a thread of
// its own. The checks never talk to a sentinel; they read the answer.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "cache/redis_wire.h"
#include "cache/shared_tier.h"

// Before the milter threads: looks the master up once and starts the watcher.
void sentinel_start(const SharedTierConfig& config);
// Ends and joins the watcher; the master stays as last known.
void sentinel_stop();
// The master in use, if any sentinel has named one; the epoch moves on whenever it changes.
[[nodiscard]] std::optional<RedisTarget> sentinel_master();
[[nodiscard]] std::uint64_t sentinel_epoch();
// Why the last lookup found no master, as the last sentinel asked said it.
[[nodiscard]] std::string sentinel_trouble();
// The master may have changed (a lost connection, READONLY, a ROLE that is not
// master): the watcher asks the sentinels again, at most once a second.
void sentinel_relookup();
