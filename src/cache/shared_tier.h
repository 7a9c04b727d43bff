// The site's shared verification cache, the tier behind the memory cache: one
// Redis server (or the master its sentinels name) that the korvane of every MTA
// host reads and writes. Whatever it cannot answer in time is "not known here":
// a server that is down, slower than the timeout, refuses AUTH or answers
// garbage costs a check at most the timeout, and the memory tier goes on alone;
// a lost and a regained tier are logged once each, and a lost one is tried again
// at most once a second. A server that refuses a write (out of memory, read-only)
// is not lost: its reads still answer.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "metrics/metrics.h"

struct SharedTierConfig {
  std::string unix_path;  // a unix socket when set, else host and port
  std::string host;
  int port = 0;
  int db = 0;
  std::optional<std::string> password;
  std::string prefix;
  int timeout_ms = 100;  // the most one check may wait for the server, all commands together
  // With sentinels, the master named master_name is asked of them, and
  // unix_path, host and port are not used.
  struct Sentinel {
    std::string host;
    int port = 0;
  };
  std::vector<Sentinel> sentinels;
  std::string master_name;
  std::optional<std::string> sentinel_password;
};

// Before the milter threads start: takes the configuration and tries the server
// once, so that a wrong setting shows in the log at start-up.
void shared_tier_start(const SharedTierConfig& config);
// After the main loop: closes the connections; later calls find the tier off.
void shared_tier_stop();

struct SharedAnswer {
  int status = 0;                 // 0: not known here
  std::int64_t keep_seconds = 0;  // how long the memory tier may keep it (0: not at all)
};
// What the site knows of the address under kind; never fails. *spent_ms is the
// time the check has spent on the tier so far, and grows by what this costs: a
// check's calls together never wait past the timeout.
[[nodiscard]] SharedAnswer shared_tier_recall(const char* address, int kind, long long* spent_ms);
// Writes a fresh outcome for ttl seconds within what is left of the same
// budget; does nothing for a ttl of 0 or less.
void shared_tier_remember(const char* address, int kind, int status, std::int64_t ttl,
                          long long* spent_ms);

// Deletes the address's key under kind, within the timeout; what it held is not
// read. False when the tier is on but the key could not be deleted (lost, slow,
// refused): the site still knows it.
[[nodiscard]] bool shared_tier_forget(const char* address, int kind);

// For the metrics: whether the tier answers now, and how many of its operations
// failed, were refused or read a value that is not ours since start-up, in all
// and by reason.
[[nodiscard]] bool shared_tier_up();
[[nodiscard]] std::uint64_t shared_tier_errors();
[[nodiscard]] std::uint64_t shared_tier_errors_by(SharedErrorReason reason);

// The store under the tier: Redis in production, a table in the tests. Each
// operation gets what is left of the check's budget in milliseconds and gives
// SHARED_DONE; SHARED_FAILED with *why (the server is to be taken as lost);
// SHARED_REFUSED with *why (an error reply: the server is there, this one
// operation had no effect); or SHARED_SKIPPED (no connection came free in time:
// no answer, nothing is wrong).
enum SharedResult { SHARED_DONE, SHARED_FAILED, SHARED_REFUSED, SHARED_SKIPPED };
struct SharedFailure {
  SharedErrorReason reason = SharedErrorReason::connection;
  std::string text;
};
struct SharedFetch {
  bool found = false;
  std::string value;
  long long pttl_ms = -2;
};
struct SharedStore {
  SharedResult (*fetch)(const std::string& key, long long budget_ms, SharedFetch* out,
                        SharedFailure* why);
  SharedResult (*store)(const std::string& key, std::string_view value, long long px,
                        long long budget_ms, SharedFailure* why);
  // Connects if need be and asks the server whether it is there.
  SharedResult (*ping)(long long budget_ms, SharedFailure* why);
  // The tier was lost: drop every idle connection, and busy ones when they come back.
  void (*forget_connections)();
  // A count that moves on whenever the master in use changes, and that master
  // ("" without sentinels); null for a store that has no master to tell.
  std::uint64_t (*master_epoch)();
  std::string (*master)();
  // Deletes a key; null for a store that cannot.
  SharedResult (*erase)(const std::string& key, long long budget_ms, SharedFailure* why);
};
// Tests: run the tier over another store (nullptr: Redis) with a clock of their
// own (monotonic milliseconds; nullptr: the steady clock). No start-up probe.
void shared_tier_start_with(const SharedTierConfig& config, const SharedStore* store);
using SharedClock = long long (*)();
void shared_tier_set_clock(SharedClock clock);
