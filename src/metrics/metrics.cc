// The metrics registry and its HTTP endpoint (prometheus-cpp's pull exposer).
// Every series is created once at start, so a counting call is one atomic load
// and one atomic add on a counter found by array index: no label lookup, no lock.
// The endpoint serves only /metrics; a scrape never takes a lock the filter holds.
#include "metrics/metrics.h"

#include <CivetServer.h>
#include <civetweb.h>
#include <prometheus/collectable.h>
#include <prometheus/counter.h>
#include <prometheus/exposer.h>
#include <prometheus/family.h>
#include <prometheus/gauge.h>
#include <prometheus/histogram.h>
#include <prometheus/registry.h>
#include <syslog.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cstring>
#include <ctime>
#include <exception>
#include <memory>
#include <string>
#include <vector>

#include "util/log.h"
#include "util/unix_socket.h"

#ifndef KORVANE_VERSION
#define KORVANE_VERSION "unknown"
#endif

namespace {

using prometheus::Counter;
using prometheus::Gauge;
using prometheus::Histogram;

constexpr std::array<const char*, 2> kind_names = {"sender", "recipient"};
constexpr std::array<const char*, 3> outcome_names = {"pass", "fail", "tempfail"};
constexpr std::array<const char*, 5> source_names = {"fresh", "cache", "shared", "joined",
                                                     "catch-all"};
constexpr std::array<const char*, 3> trust_names = {"interface", "auth", "certificate"};
constexpr std::array<const char*, 4> whitelist_names = {"whitelistip", "whitelistptr",
                                                        "whitelistfrom", "whitelistto"};
constexpr std::array<const char*, 3> skip_names = {"unreachable", "rate_limit", "refusing"};
constexpr std::array<const char*, 5> refusal_names = {"greeting", "helo", "null_sender", "client", "other"};

// From a cache hit to a callout that waits out every timeout.
const Histogram::BucketBoundaries walk_buckets = {0.005, 0.01, 0.025, 0.05, 0.1, 0.25, 0.5,
                                                  1,     2.5,  5,     10,   30,  60,   120};

template <typename T, std::size_t N>
using Series = std::array<T*, N>;

struct Instruments {
  std::shared_ptr<prometheus::Registry> registry = std::make_shared<prometheus::Registry>();
  std::array<std::array<Series<Counter, 5>, 3>, 2> checks{};
  Series<Counter, 2> syntax_refusals{};
  Series<Counter, 3> trusted{};
  Series<Counter, 4> whitelisted{};
  Series<Counter, 3> dialogues{};
  Histogram* walk_seconds = nullptr;
  Series<Counter, 3> skipped{};
  Counter* deadline_cuts = nullptr;
  Counter* walks_dropped = nullptr;
  Gauge* in_flight = nullptr;
  Gauge* waiting = nullptr;
  Counter* tarpit_seconds = nullptr;
  Series<Counter, 2> dry_run_refusals{};
  Series<Counter, 5> refused_probes{};
  Gauge* walks_queued = nullptr;
  Gauge* walks_running = nullptr;
  Series<Counter, 2> stopped_waiting{};
  Series<Counter, 3> refreshes{};
  prometheus::Family<Gauge>* self_listed = nullptr;
  Counter* self_listing_failures = nullptr;
  Gauge* cache_saved_entries = nullptr;
  Counter* cache_save_failures = nullptr;
};

template <typename T>
prometheus::Family<T>& family(prometheus::detail::Builder<T> builder, Instruments& in,
                              const char* name, const char* help) {
  return builder.Name(name).Help(help).Register(*in.registry);
}

template <typename T, std::size_t N>
void labelled(Series<T, N>& out, prometheus::Family<T>& f, const char* label,
              const std::array<const char*, N>& values) {
  for (std::size_t i = 0; i < N; ++i) out[i] = &f.Add({{label, values[i]}});
}

void build(Instruments& in) {
  auto& checks = family(prometheus::BuildCounter(), in, "korvane_checks_total",
                        "Address checks by kind, outcome and where the answer came from");
  for (std::size_t k = 0; k < kind_names.size(); ++k)
    for (std::size_t o = 0; o < outcome_names.size(); ++o)
      for (std::size_t s = 0; s < source_names.size(); ++s)
        in.checks[k][o][s] = &checks.Add(
            {{"kind", kind_names[k]}, {"outcome", outcome_names[o]}, {"source", source_names[s]}});
  labelled(in.syntax_refusals,
           family(prometheus::BuildCounter(), in, "korvane_syntax_refusals_total",
                  "Envelope addresses refused for their syntax, by kind"),
           "kind", kind_names);
  labelled(in.trusted,
           family(prometheus::BuildCounter(), in, "korvane_trusted_passes_total",
                  "Messages let through unchecked because the MTA vouches for the client"),
           "rule", trust_names);
  labelled(in.whitelisted,
           family(prometheus::BuildCounter(), in, "korvane_whitelist_passes_total",
                  "Messages let through by a whitelist, by its key"),
           "rule", whitelist_names);
  labelled(in.dialogues,
           family(prometheus::BuildCounter(), in, "korvane_callout_dialogues_total",
                  "SMTP callout dialogues with one exchanger, by result"),
           "result", outcome_names);
  in.walk_seconds =
      &family(prometheus::BuildHistogram(), in, "korvane_walk_duration_seconds",
              "Duration of a walk over a domain's exchangers, MX lookup included")
           .Add({}, walk_buckets);
  labelled(in.skipped,
           family(prometheus::BuildCounter(), in, "korvane_exchangers_skipped_total",
                  "Exchangers a walk passed over without a callout, by reason"),
           "reason", skip_names);
  in.deadline_cuts = &family(prometheus::BuildCounter(), in, "korvane_walks_cut_total",
                             "Walks ended by calloutdeadline before every exchanger was tried")
                          .Add({});
  in.walks_dropped = &family(prometheus::BuildCounter(), in, "korvane_walks_dropped_total",
                             "Walks never run: the walker queue was full, or korvane was stopping")
                          .Add({});
  in.in_flight = &family(prometheus::BuildGauge(), in, "korvane_checks_in_flight",
                         "Checks doing their own callout right now")
                      .Add({});
  in.waiting = &family(prometheus::BuildGauge(), in, "korvane_checks_waiting",
                       "Checks waiting for another check of the same address")
                    .Add({});
  in.tarpit_seconds = &family(prometheus::BuildCounter(), in, "korvane_tarpit_seconds_total",
                              "Seconds recipients were held back for earlier failed recipients")
                           .Add({});
  labelled(in.dry_run_refusals,
           family(prometheus::BuildCounter(), in, "korvane_dry_run_refusals_total",
                  "Refusals and deferrals that dryrun let through, by kind"),
           "kind", kind_names);
  labelled(in.refused_probes,
           family(prometheus::BuildCounter(), in, "korvane_refused_probes_total",
                  "Sender checks passed because every exchanger refused the probe, by why"),
           "reason", refusal_names);
  in.walks_queued = &family(prometheus::BuildGauge(), in, "korvane_walks_queued",
                            "Walks waiting for a free walker").Add({});
  in.walks_running = &family(prometheus::BuildGauge(), in, "korvane_walks_running",
                             "Walks a walker is doing right now").Add({});
  labelled(in.stopped_waiting,
           family(prometheus::BuildCounter(), in, "korvane_checks_stopped_waiting_total",
                  "Checks answered with a temporary failure after maxwait, by kind"),
           "kind", kind_names);
  labelled(in.refreshes,
           family(prometheus::BuildCounter(), in, "korvane_refreshes_total",
                  "Background walks verifying a cached pass again, by outcome"),
           "outcome", outcome_names);
  in.self_listed = &family(prometheus::BuildGauge(), in, "korvane_self_listed",
                           "1 while an address this host makes callouts from is listed in the zone");
  in.self_listing_failures =
      &family(prometheus::BuildCounter(), in, "korvane_self_listing_failures_total",
              "Lookups of this host's addresses in a selflisting zone that failed or timed out")
           .Add({});
  in.cache_saved_entries = &family(prometheus::BuildGauge(), in, "korvane_cache_saved_entries",
                                   "Entries written to the cache file by its last save").Add({});
  in.cache_save_failures = &family(prometheus::BuildCounter(), in, "korvane_cache_save_failures_total",
                                   "Saves of the cache file that failed").Add({});
  family(prometheus::BuildGauge(), in, "korvane_start_time_seconds",
         "Start time of the daemon since the Unix epoch in seconds")
      .Add({})
      .Set(static_cast<double>(std::time(nullptr)));
  family(prometheus::BuildGauge(), in, "korvane_build_info", "The daemon's version, value 1")
      .Add({{"version", KORVANE_VERSION}})
      .Set(1);
}

constexpr std::array<const char*, 4> entry_kind_names = {"sender", "recipient",
                                                         "sender-catch-all",
                                                         "recipient-catch-all"};

// Each set once the cache can answer, read by the endpoint's threads.
std::atomic<std::int64_t (*)(CacheEntryKind)> read_cache_entries{nullptr};
std::atomic<bool (*)()> read_shared_up{nullptr};
std::atomic<std::uint64_t (*)()> read_shared_errors{nullptr};
std::atomic<std::uint64_t (*)(SharedErrorReason)> read_shared_errors_by{nullptr};
std::atomic<std::int64_t (*)()> read_exchangers_refusing{nullptr};
constexpr std::array<const char*, SHARED_ERROR_REASONS> shared_error_names = {
    "connection", "timeout", "auth", "refused", "garbage"};

prometheus::ClientMetric valued(double value, prometheus::MetricType type) {
  prometheus::ClientMetric m;
  if (type == prometheus::MetricType::Counter)
    m.counter.value = value;
  else
    m.gauge.value = value;
  return m;
}

prometheus::MetricFamily one_series(const char* name, const char* help,
                                    prometheus::MetricType type, double value) {
  return {name, help, type, {valued(value, type)}};
}

// The series read at scrape time: cache entries by kind, the shared tier's state.
class ReadAtScrape : public prometheus::Collectable {
 public:
  std::vector<prometheus::MetricFamily> Collect() const override {
    std::vector<prometheus::MetricFamily> out;
    if (auto count = read_cache_entries.load(std::memory_order_acquire)) {
      prometheus::MetricFamily f{"korvane_cache_entries",
                                 "Entries held in the local cache, by kind",
                                 prometheus::MetricType::Gauge, {}};
      for (std::size_t k = 0; k < entry_kind_names.size(); ++k) {
        prometheus::ClientMetric m = valued(
            static_cast<double>(count(static_cast<CacheEntryKind>(k))), prometheus::MetricType::Gauge);
        m.label.push_back({"kind", entry_kind_names[k]});
        f.metric.push_back(std::move(m));
      }
      out.push_back(std::move(f));
    }
    if (auto up = read_shared_up.load(std::memory_order_acquire))
      out.push_back(one_series("korvane_shared_tier_up", "1 while the shared cache tier answers, else 0",
                               prometheus::MetricType::Gauge, up() ? 1 : 0));
    if (auto refusing = read_exchangers_refusing.load(std::memory_order_acquire))
      out.push_back(one_series("korvane_exchangers_refusing",
                               "Exchanger addresses marked as refusing this host's probes",
                               prometheus::MetricType::Gauge, static_cast<double>(refusing())));
    if (auto errors = read_shared_errors.load(std::memory_order_acquire))
      out.push_back(one_series("korvane_shared_tier_errors_total",
                               "Shared cache tier requests that failed or read a value not ours",
                               prometheus::MetricType::Counter, static_cast<double>(errors())));
    if (auto by = read_shared_errors_by.load(std::memory_order_acquire)) {
      prometheus::MetricFamily f{"korvane_shared_errors_total",
                                 "Shared cache operations that had no effect, by reason",
                                 prometheus::MetricType::Counter, {}};
      for (std::size_t r = 0; r < shared_error_names.size(); ++r) {
        prometheus::ClientMetric m = valued(static_cast<double>(by(static_cast<SharedErrorReason>(r))),
                                            prometheus::MetricType::Counter);
        m.label.push_back({"reason", shared_error_names[r]});
        f.metric.push_back(std::move(m));
      }
      out.push_back(std::move(f));
    }
    return out;
  }
};

// Set once, before the milter library's threads exist, and never freed: a
// connection thread may still count after the main loop has returned.
std::atomic<Instruments*> live{nullptr};
std::unique_ptr<prometheus::Exposer> exposer;
std::shared_ptr<ReadAtScrape> read_at_scrape;

// Anything but GET of /metrics itself is answered here, before the exposer's
// handler (which takes every path below /metrics too) could see it.
int only_get_metrics(struct mg_connection* conn) {
  const struct mg_request_info* req = mg_get_request_info(conn);
  if (req == nullptr || req->local_uri == nullptr || std::strcmp(req->local_uri, "/metrics") != 0) {
    mg_send_http_error(conn, 404, "Not found");
    return 404;
  }
  if (req->request_method == nullptr || std::strcmp(req->request_method, "GET") != 0) {
    mg_send_http_error(conn, 405, "Only GET");
    return 405;
  }
  return 0;
}

Instruments* on() { return live.load(std::memory_order_relaxed); }

template <typename E>
std::size_t at(E e) {
  return static_cast<std::size_t>(e);
}

std::int64_t steady_ns() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

}  // namespace

bool metrics_start(const char* address) {
  try {
    // Released into live only once the endpoint listens; freed if it cannot.
    std::unique_ptr<Instruments> fresh;
    Instruments* in = live.load();
    if (in == nullptr) {
      fresh = std::make_unique<Instruments>();
      build(*fresh);
      in = fresh.get();
    }
    static CivetCallbacks callbacks;
    callbacks.begin_request = only_get_metrics;
    // Few threads, and a client that stalls mid-request is dropped.
    std::unique_ptr<prometheus::Exposer> server;
    {
      const SignalsBlocked blocked;
      server = std::make_unique<prometheus::Exposer>(
          std::vector<std::string>{"listening_ports", address, "num_threads", "2",
                                   "request_timeout_ms", "5000"},
          &callbacks);
    }
    read_at_scrape = std::make_shared<ReadAtScrape>();
    server->RegisterCollectable(read_at_scrape);
    server->RegisterCollectable(in->registry);
    exposer = std::move(server);
    live.store(fresh != nullptr ? fresh.release() : in);
    return true;
  } catch (const std::exception& e) {
    log_msg(LOG_ERR, "[ERROR] metrics endpoint %s: %s", address, e.what());
    return false;
  }
}

void metrics_stop() {
  exposer.reset();
  read_at_scrape.reset();
}

void metrics_set_readers(const MetricsReaders& readers) {
  read_cache_entries.store(readers.cache_entries, std::memory_order_release);
  read_shared_up.store(readers.shared_tier_up, std::memory_order_release);
  read_shared_errors.store(readers.shared_tier_errors, std::memory_order_release);
  read_shared_errors_by.store(readers.shared_errors, std::memory_order_release);
  read_exchangers_refusing.store(readers.exchangers_refusing, std::memory_order_release);
}

void metrics_count_check(MetricKind kind, MetricOutcome outcome, MetricSource source) {
  if (Instruments* in = on()) in->checks[at(kind)][at(outcome)][at(source)]->Increment();
}

void metrics_count_syntax_refusal(MetricKind kind) {
  if (Instruments* in = on()) in->syntax_refusals[at(kind)]->Increment();
}

void metrics_count_trusted(TrustRule rule) {
  if (Instruments* in = on()) in->trusted[at(rule)]->Increment();
}

void metrics_count_whitelisted(WhitelistRule rule) {
  if (Instruments* in = on()) in->whitelisted[at(rule)]->Increment();
}

int metrics_count_dialogue(int probe_result) {
  const MetricOutcome outcome =
      probe_result == PROBE_REFUSED ? MetricOutcome::fail : metric_outcome(probe_result);
  if (Instruments* in = on()) in->dialogues[at(outcome)]->Increment();
  return probe_result;
}

void metrics_walk_seconds(double seconds) {
  if (Instruments* in = on()) in->walk_seconds->Observe(seconds);
}

void metrics_count_skipped(SkipReason reason) {
  if (Instruments* in = on()) in->skipped[at(reason)]->Increment();
}

void metrics_count_deadline_cut() {
  if (Instruments* in = on()) in->deadline_cuts->Increment();
}

void metrics_count_walk_dropped() {
  if (Instruments* in = on()) in->walks_dropped->Increment();
}

void metrics_in_flight(int delta) {
  if (Instruments* in = on()) delta >= 0 ? in->in_flight->Increment(delta) : in->in_flight->Decrement(-delta);
}

void metrics_waiting(int delta) {
  if (Instruments* in = on()) delta >= 0 ? in->waiting->Increment(delta) : in->waiting->Decrement(-delta);
}

void metrics_tarpit_seconds(double seconds) {
  if (Instruments* in = on()) in->tarpit_seconds->Increment(seconds);
}

void metrics_count_dry_run_refusal(MetricKind kind) {
  if (Instruments* in = on()) in->dry_run_refusals[at(kind)]->Increment();
}

void metrics_count_refused_probe(RefusalLabel reason) {
  if (Instruments* in = on()) in->refused_probes[at(reason)]->Increment();
}

void metrics_walks(int queued, int running) {
  if (Instruments* in = on()) {
    in->walks_queued->Set(queued);
    in->walks_running->Set(running);
  }
}

void metrics_count_stopped_waiting(MetricKind kind) {
  if (Instruments* in = on()) in->stopped_waiting[at(kind)]->Increment();
}

void metrics_cache_saved(std::int64_t entries) {
  if (Instruments* in = on()) in->cache_saved_entries->Set(static_cast<double>(entries));
}

void metrics_count_cache_save_failure() {
  if (Instruments* in = on()) in->cache_save_failures->Increment();
}

void metrics_count_refresh(MetricOutcome outcome) {
  if (Instruments* in = on()) in->refreshes[at(outcome)]->Increment();
}

// The zones are the configuration's few, so their series stay few.
void metrics_set_self_listed(const char* zone, bool listed) {
  if (Instruments* in = on()) in->self_listed->Add({{"zone", zone}}).Set(listed ? 1 : 0);
}

void metrics_count_self_listing_failure() {
  if (Instruments* in = on()) in->self_listing_failures->Increment();
}

MetricsWalkTimer::MetricsWalkTimer() : start_ns_(on() != nullptr ? steady_ns() : 0) {}

MetricsWalkTimer::~MetricsWalkTimer() {
  if (start_ns_ != 0) metrics_walk_seconds(static_cast<double>(steady_ns() - start_ns_) / 1e9);
}

const char* trust_rule_name(TrustRule rule) { return trust_names[static_cast<std::size_t>(rule)]; }

const char* whitelist_rule_name(WhitelistRule rule) {
  return whitelist_names[static_cast<std::size_t>(rule)];
}
