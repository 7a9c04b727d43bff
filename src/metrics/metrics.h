// The daemon's operational numbers for a monitoring system: counters and gauges
// updated where the event happens, served in the Prometheus text format. Every
// function is a no-op until metrics_start succeeds; labels are fixed small sets.
#pragma once

#include <cstdint>

#include "util/constants.h"

enum class MetricKind : unsigned char { sender, recipient };
enum class MetricOutcome : unsigned char { pass, fail, tempfail };
// Where a check's answer came from: a callout of its own, the local cache, the
// shared tier, another check of the same address already under way, or a
// domain's answer for every mailbox.
enum class MetricSource : unsigned char { fresh, cache, shared, joined, catch_all };
// Why the client is trusted: the MTA's own interface address, SMTP AUTH, or a
// verified client certificate.
enum class TrustRule : unsigned char { interface, auth, certificate };
// The whitelist key that let the message through.
enum class WhitelistRule : unsigned char { whitelistip, whitelistptr, whitelistfrom, whitelistto };
enum class SkipReason : unsigned char { unreachable, rate_limit, refusing };
// Why a shared cache operation had no effect: the connection failed or was lost,
// no answer came in time, AUTH was refused, the server refused the command (out
// of memory, read-only), or it answered what no command asked for.
enum class SharedErrorReason : unsigned char { connection, timeout, auth, refused, garbage };
inline constexpr int SHARED_ERROR_REASONS = 5;

// A probe result as an outcome label; a null MX refuses the sender.
[[nodiscard]] constexpr MetricOutcome metric_outcome(int probe_result) {
  if (probe_result == PROBE_FAIL || probe_result == PROBE_NULLMX) return MetricOutcome::fail;
  return probe_result > 0 ? MetricOutcome::pass : MetricOutcome::tempfail;
}

// Opens the endpoint on address ("127.0.0.1:9457", "[::1]:9457"), serving GET
// /metrics with its own two threads, and turns counting on. False, with the
// reason logged, when the address cannot be bound. Call before the milter
// library starts its threads; the endpoint's threads do not survive a fork.
[[nodiscard]] bool metrics_start(const char* address);
// Closes the endpoint. Counting calls still arriving from late threads stay harmless.
void metrics_stop();
// What the cache and the shared tier keep for themselves is read when a scrape
// collects, from the endpoint's threads, rather than counted twice. The daemon
// sets them once the cache can answer; a null reader leaves its series out.
enum class CacheEntryKind : unsigned char { sender, recipient, sender_catch_all, recipient_catch_all };
struct MetricsReaders {
  std::int64_t (*cache_entries)(CacheEntryKind kind) = nullptr;
  bool (*shared_tier_up)() = nullptr;
  std::uint64_t (*shared_tier_errors)() = nullptr;
  std::uint64_t (*shared_errors)(SharedErrorReason reason) = nullptr;
  std::int64_t (*exchangers_refusing)() = nullptr;
};
void metrics_set_readers(const MetricsReaders& readers);

void metrics_count_check(MetricKind kind, MetricOutcome outcome, MetricSource source);
void metrics_count_syntax_refusal(MetricKind kind);
void metrics_count_trusted(TrustRule rule);
// A rule's name, as its label and its log line give it.
[[nodiscard]] const char* trust_rule_name(TrustRule rule);
[[nodiscard]] const char* whitelist_rule_name(WhitelistRule rule);
void metrics_count_whitelisted(WhitelistRule rule);
// Counts one callout dialogue by its probe result and gives the result back; a
// refused probe counts as a failed dialogue.
int metrics_count_dialogue(int probe_result);
void metrics_walk_seconds(double seconds);
void metrics_count_skipped(SkipReason reason);
void metrics_count_deadline_cut();
// A walk never run: the walker queue was full, or the daemon was stopping.
void metrics_count_walk_dropped();
void metrics_in_flight(int delta);
void metrics_waiting(int delta);
void metrics_tarpit_seconds(double seconds);
// A refusal or deferral that dryrun let through, by kind.
void metrics_count_dry_run_refusal(MetricKind kind);
// Why a probe was refused, as counted: at the greeting, at HELO, the null
// sender itself, our client (block list, reputation, rate), anything else.
enum class RefusalLabel : unsigned char { greeting, helo, null_sender, client, other };
// A sender check whose walk ended with every answering exchanger refusing the
// probe, by why the deciding one refused it.
void metrics_count_refused_probe(RefusalLabel reason);

// Whether an address of this host is listed in zone (one of selflisting's), and
// a lookup of one that failed or timed out.
void metrics_set_self_listed(const char* zone, bool listed);
void metrics_count_self_listing_failure();

// The walker pool: walks queued for a walker and walks running.
void metrics_walks(int queued, int running);
// A check that stopped waiting for its walk (maxwait) and answered a temporary failure.
void metrics_count_stopped_waiting(MetricKind kind);
// A background walk of a cached pass, by the outcome it found.
void metrics_count_refresh(MetricOutcome outcome);

// The cache file: entries written by the last save that succeeded, and saves that failed.
void metrics_cache_saved(std::int64_t entries);
void metrics_count_cache_save_failure();

// Scope guards for the gauges and the walk's duration, one line at the call site.
struct MetricsInFlight {
  MetricsInFlight() { metrics_in_flight(1); }
  ~MetricsInFlight() { metrics_in_flight(-1); }
  MetricsInFlight(const MetricsInFlight&) = delete;
  MetricsInFlight& operator=(const MetricsInFlight&) = delete;
};
struct MetricsWaiting {
  MetricsWaiting() { metrics_waiting(1); }
  ~MetricsWaiting() { metrics_waiting(-1); }
  MetricsWaiting(const MetricsWaiting&) = delete;
  MetricsWaiting& operator=(const MetricsWaiting&) = delete;
};
class MetricsWalkTimer {
 public:
  MetricsWalkTimer();
  ~MetricsWalkTimer();
  MetricsWalkTimer(const MetricsWalkTimer&) = delete;
  MetricsWalkTimer& operator=(const MetricsWalkTimer&) = delete;

 private:
  std::int64_t start_ns_;  // 0 while metrics are off: no clock is read
};
