// The engine's one sequence for both kinds: the cache, the domain marks, the
// check in flight and a second look, then a walk on the walker pool that
// stores, publishes, and tells the waiting check as soon as its verdict is known.
#include "verify/engine.h"

#include <chrono>
#include <climits>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>

#include "cache/cache.h"
#include "cache/inflight.h"
#include "cache/mark_strikes.h"
#include "metrics/metrics.h"
#include "settings/settings.h"
#include "util/bounded_text.h"
#include "util/helpers.h"
#include "verify/self_listing.h"
#include "verify/walkers.h"

namespace {

// What each kind stores, under which kinds and for how long.
struct KindRow {
  int cache_kind, catchall_kind, refreshed_kind, pass, fail, tempfail;
  std::int64_t Settings::*passttl;
  std::int64_t Settings::*failttl;
  std::int64_t Settings::*tfailttl;
};
constexpr KindRow SENDER_ROW = {CACHE_SENDER, CACHE_SENDER_CATCHALL, CACHE_SENDER_REFRESHED,
                                SENDER_PASS, SENDER_FAIL,
                                SENDER_TEMPFAIL, &Settings::frompassttl, &Settings::fromfailttl,
                                &Settings::fromtfailttl};
constexpr KindRow RECIPIENT_ROW = {CACHE_RECIPIENT, CACHE_RECIPIENT_CATCHALL, CACHE_RECIPIENT_REFRESHED,
                                   RCPT_PASS, RCPT_FAIL,
                                   RCPT_TEMPFAIL, &Settings::topassttl, &Settings::tofailttl,
                                   &Settings::totfailttl};

const KindRow& row(VerifyKind kind) { return kind == VerifyKind::sender ? SENDER_ROW : RECIPIENT_ROW; }

// What result_of gives for a status that is none of the kind's outcomes.
constexpr int NOT_KNOWN = INT_MIN;

// A cache status of the kind as a probe result, else NOT_KNOWN.
int result_of(const KindRow& k, int status) {
  if (status == k.pass) return PROBE_PASS;
  if (status == k.fail) return PROBE_FAIL;
  if (status == k.tempfail) return PROBE_TEMPFAIL;
  return NOT_KNOWN;
}

// A domain name is at most 253 characters; a longer text is cut, and then
// simply never matches a real domain.
using DomainText = BoundedText<256>;

// The lower-cased domain of address into out; false when there is none.
bool domain_key(const char* address, DomainText& out) {
  const char* at = address != nullptr ? std::strrchr(address, '@') : nullptr;
  if (at == nullptr || at[1] == '\0') return false;
  out.assign(at + 1);
  lowercase_in_place(out.data());
  return true;
}

bool domain_marked(int kind, int status, const char* address, CacheBudget& budget) {
  DomainText domain;
  return domain_key(address, domain) && cache_recall(domain.c_str(), kind, budget) == status;
}

void domain_mark(int kind, int status, std::int64_t ttl, const char* address, CacheBudget& budget) {
  DomainText domain;
  if (domain_key(address, domain)) cache_remember(domain.c_str(), ttl, kind, status, budget);
}

// The longest any check waits: a day is only a backstop, and keeps the clock's
// arithmetic far from overflow whatever maxwait says.
constexpr long long LONGEST_WAIT = 86400;

// How long a check waits for the same check already in flight: about
// calloutdeadline, as the walk ends by then once started.
long long flight_wait_seconds(const Settings& s, long long wait_seconds) {
  const long long walk =
      s.calloutdeadline > 0 && s.calloutdeadline < LONGEST_WAIT ? s.calloutdeadline + 1 : LONGEST_WAIT;
  return wait_seconds > 0 && wait_seconds < walk ? wait_seconds : walk;
}

VerifyWalkFunction current_walk = verify_walk;

// What the check that started a walk waits on.
struct Pending {
  std::mutex mu;
  std::condition_variable cv;
  bool done = false;
  bool waiting = true;  // the check has not given up on the walk
  int result = PROBE_TEMPFAIL;
  ProbeReplyText reply;
};

void tell(const std::shared_ptr<Pending>& p, int result, const ProbeReplyText& reply) {
  if (!p) return;
  {
    std::lock_guard<std::mutex> lock(p->mu);
    p->done = true;
    p->result = result;
    p->reply = reply;
  }
  p->cv.notify_all();
}

bool waited_for(const std::shared_ptr<Pending>& p) {
  if (!p) return false;
  std::lock_guard<std::mutex> lock(p->mu);
  return p->waiting;
}

// One walk with copies of its request's texts, and what is left of its check's
// budget for the shared tier: it may outlive the check.
struct WalkJob {
  WalkJob(const VerifyRequest& r, std::unique_ptr<InflightCheck> f, const CacheBudget& b, bool again)
      : kind(r.kind), way(r.way), key(r.key), mailbox(r.mailbox != nullptr ? r.mailbox : ""),
        where(r.where != nullptr ? r.where : ""), settings(settings_hold(r.settings)),
        walk(verify_walk_options(r)),
        flight(std::move(f)), budget(b), refresh(again) {
    if (!refresh) pending = std::make_shared<Pending>();
  }
  // A walk dropped unrun (at shutdown) still releases its check.
  ~WalkJob() {
    if (!settled) tell(pending, PROBE_TEMPFAIL, ProbeReplyText{});
  }
  WalkJob(const WalkJob&) = delete;
  WalkJob& operator=(const WalkJob&) = delete;

  [[nodiscard]] VerifyRequest request() const {
    return {kind, key.c_str(), mailbox.c_str(), way, where.c_str(), 0, settings.get()};
  }

  VerifyKind kind;
  VerifyWay way;
  std::string key, mailbox, where;
  SettingsSnapshot settings;  // the check's, even after a reload
  WalkOptions walk;
  std::unique_ptr<InflightCheck> flight;
  std::shared_ptr<Pending> pending;  // none for a refresh: nobody waits for it
  CacheBudget budget;
  bool refresh;
  bool settled = false;
};

// Each outcome is stored before it is published, so a check that starts once
// the flight has ended finds it in the cache. Gives the status published.
int store_outcome(WalkJob& j, int result, const ProbeReplyText& reply) {
  const Settings& s = *j.settings;
  const KindRow& k = row(j.kind);
  const bool sender = j.kind == VerifyKind::sender;
  const char* key = j.key.c_str();
  // Nothing was asked: every exchanger is left alone for this host's sake.
  if (sender && result == PROBE_ALL_MARKED) return k.pass;
  // The exchangers refused the probe, not the mailbox: nothing is known of the
  // address. A domain whose exchangers refuse probes by policy is spared further
  // probes for a while, but only once a second address has met such a refusal:
  // one odd reply never spares a whole domain site-wide. A busy mailbox says
  // nothing of the domain.
  if (sender && result == PROBE_REFUSED) {
    DomainText domain;
    if (reply.reason != RefusalReason::mailbox_busy && domain_key(j.mailbox.c_str(), domain) &&
        mark_strike(CACHE_SENDER_REFUSING, domain.view(), j.key, reply.view(), s.refusedttl))
      domain_mark(CACHE_SENDER_REFUSING, REFUSING_DOMAIN, s.refusedttl, j.mailbox.c_str(), j.budget);
    return REFUSING_DOMAIN;
  }
  if (result == PROBE_FAIL || result == PROBE_NULLMX) {
    cache_remember(key, s.*k.failttl, k.cache_kind, k.fail, j.budget);
    return k.fail;
  }
  if (result < 0) {
    if (!sender || s.ignoretempfail == 0)
      cache_remember(key, s.*k.tfailttl, k.cache_kind, k.tempfail, j.budget);
    return k.tempfail;
  }
  if (result == PROBE_CATCHALL)
    domain_mark(k.catchall_kind, CATCHALL_DOMAIN, s.catchallttl, j.mailbox.c_str(), j.budget);
  // A recipient never probed passes on this host's word alone: another host of
  // the site may route it to a mailer that can be asked.
  cache_remember(key, s.*k.passttl, k.cache_kind, k.pass, j.budget,
                 j.way == VerifyWay::unprobed ? CacheReach::host : CacheReach::site);
  return k.pass;
}

// A pass verified again: renewed by a pass, replaced by a refusal, and left as
// it was by anything else (0 publishes nothing), for passrefresh before the
// next try: else every hit on it would walk again.
int refresh_outcome(WalkJob& j, int result) {
  const Settings& s = *j.settings;
  const KindRow& k = row(j.kind);
  metrics_count_refresh(metric_outcome(result));
  if (result == PROBE_FAIL || result == PROBE_NULLMX) {
    cache_renew(j.key.c_str(), s.*k.failttl, k.cache_kind, k.fail, j.budget);
    return k.fail;
  }
  if (result < 0 || result == PROBE_REFUSED || result == PROBE_ALL_MARKED) {
    cache_remember(j.key.c_str(), s.passrefresh, k.refreshed_kind, REFRESHED_ADDRESS, j.budget,
                   CacheReach::host);
    return 0;
  }
  cache_renew(j.key.c_str(), s.*k.passttl, k.cache_kind, k.pass, j.budget);
  return k.pass;
}

// Once per walk, on its walker: at the deciding reply, or when the walk ends.
void settle(WalkJob& j, int result, const ProbeReplyText& reply) {
  if (j.settled) return;
  j.settled = true;
  // At a stop, what no check waits for is abandoned: it stores and tells nothing.
  if (walkers_stopping() && !waited_for(j.pending)) return;
  const int status = j.refresh ? refresh_outcome(j, result) : store_outcome(j, result, reply);
  j.flight->publish(status);
  tell(j.pending, result, reply);
}

void run(WalkJob& j) {
  j.walk.probe.decided = [&j](int result, const ProbeReplyText& reply) { settle(j, result, reply); };
  ProbeReplyText reply;
  const int result = j.way == VerifyWay::unprobed ? PROBE_PASS : current_walk(j.request(), j.walk, &reply);
  settle(j, result, reply);
}

// The site's share of the exchanger marks, through the shared tier.
std::int64_t site_refusing(const char* addr) {
  CacheBudget budget;
  CacheHit hit;
  return cache_recall(addr, CACHE_EXCHANGER_REFUSING, budget, &hit) == REFUSING_EXCHANGER ? hit.left : 0;
}

void site_mark_refusing(const char* addr, std::int64_t ttl) {
  CacheBudget budget;
  cache_remember(addr, ttl, CACHE_EXCHANGER_REFUSING, REFUSING_EXCHANGER, budget);
}

bool hand_to_walker(const std::shared_ptr<WalkJob>& job) {
  return walkers_submit([job] { run(*job); }, job->refresh ? WalkPlace::background : WalkPlace::check);
}

// A cached pass old enough is verified again by one background walk, unless a
// check of the address is already under way.
void refresh_if_due(const VerifyRequest& r, int status, const CacheHit& hit, CacheBudget& budget) {
  const Settings& s = *r.settings;
  const KindRow& k = row(r.kind);
  if (s.passrefresh <= 0 || status != k.pass) return;
  if (r.way != VerifyWay::domain && r.way != VerifyWay::host) return;
  if (s.*k.passttl - hit.left < s.passrefresh) return;
  if (cache_recall_again(r.key, k.refreshed_kind) == REFRESHED_ADDRESS) return;
  // Such a domain's walk would tell nothing of the address.
  if (s.catchall != 0 && domain_marked(k.catchall_kind, CATCHALL_DOMAIN, r.mailbox, budget)) return;
  if (r.kind == VerifyKind::sender &&
      domain_marked(CACHE_SENDER_REFUSING, REFUSING_DOMAIN, r.mailbox, budget))
    return;
  auto flight = std::make_unique<InflightCheck>(k.cache_kind, r.key, 0);
  if (!flight->leads()) return;
  // A background walk has a budget of its own: no check waits for it.
  (void)hand_to_walker(std::make_shared<WalkJob>(r, std::move(flight), CacheBudget{}, true));
}

bool known(const VerifyRequest& r, Verdict& v, CacheBudget& budget) {
  CacheHit hit;
  const int status = cache_recall(r.key, row(r.kind).cache_kind, budget, &hit);
  v.result = result_of(row(r.kind), status);
  if (v.result == NOT_KNOWN) return false;
  v.source = hit.shared ? VerdictSource::shared : VerdictSource::cache;
  refresh_if_due(r, status, hit, budget);
  return true;
}

bool marked(const VerifyRequest& r, Verdict& v, CacheBudget& budget) {
  const Settings& s = *r.settings;
  if (r.way != VerifyWay::domain && r.way != VerifyWay::host) return false;
  v.source = VerdictSource::mark;
  if (s.catchall != 0 && domain_marked(row(r.kind).catchall_kind, CATCHALL_DOMAIN, r.mailbox, budget))
    v.result = PROBE_CATCHALL;
  else if (r.kind == VerifyKind::sender && s.refusals_mailbox != 0 &&
           domain_marked(CACHE_SENDER_REFUSING, REFUSING_DOMAIN, r.mailbox, budget))
    v.result = PROBE_REFUSED;
  else
    return false;
  return true;
}

Verdict waited_out(const VerifyRequest& r, VerdictSource source) {
  Verdict v;
  v.source = source;
  v.waited_out = true;
  v.in_progress = r.wait_seconds > 0;
  if (v.in_progress)
    metrics_count_stopped_waiting(r.kind == VerifyKind::sender ? MetricKind::sender : MetricKind::recipient);
  return v;
}

// The leader hands the walk over and waits for the verdict it tells. A walk
// the pool drops (its queue full, or a stop) is a temporary failure at once:
// nothing goes on that the client's retry could find.
Verdict lead(const VerifyRequest& r, std::unique_ptr<InflightCheck> flight,
             const CacheBudget& budget) {
  auto job = std::make_shared<WalkJob>(r, std::move(flight), budget, false);
  const std::shared_ptr<Pending> pending = job->pending;
  if (r.way == VerifyWay::unprobed) {
    run(*job);
  } else if (!hand_to_walker(job)) {
    Verdict dropped;
    dropped.source = VerdictSource::fresh;
    return dropped;
  }
  job.reset();
  std::unique_lock<std::mutex> lock(pending->mu);
  if (r.wait_seconds > 0) {
    const long long wait = r.wait_seconds < LONGEST_WAIT ? r.wait_seconds : LONGEST_WAIT;
    if (!pending->cv.wait_for(lock, std::chrono::seconds(wait), [&] { return pending->done; })) {
      pending->waiting = false;
      return waited_out(r, VerdictSource::fresh);
    }
  } else {
    pending->cv.wait(lock, [&] { return pending->done; });
  }
  Verdict v;
  v.result = pending->result;
  v.source = VerdictSource::fresh;
  v.reply = pending->reply;
  return v;
}

Verdict walk_or_join(const VerifyRequest& r, const CacheBudget& budget) {
  const KindRow& k = row(r.kind);
  auto flight = std::make_unique<InflightCheck>(k.cache_kind, r.key,
                                                flight_wait_seconds(*r.settings, r.wait_seconds));
  Verdict v;
  if (!flight->leads()) {
    // The walk's exchangers refused the probe: as unknown to this check as to that one.
    v.result = flight->outcome() == REFUSING_DOMAIN ? PROBE_REFUSED : result_of(k, flight->outcome());
    if (v.result == NOT_KNOWN) return waited_out(r, VerdictSource::joined);
    v.source = VerdictSource::joined;
    return v;
  }
  // A check of this host that ended between the lookup above and the flight
  // has stored its outcome; the shared tier was asked just now.
  const int stored = cache_recall_again(r.key, k.cache_kind);
  v.result = result_of(k, stored);
  if (v.result != NOT_KNOWN) {
    flight->publish(stored);
    v.source = VerdictSource::cache;
    return v;
  }
  return lead(r, std::move(flight), budget);
}

}  // namespace

Verdict verify(const VerifyRequest& request) {
  Verdict v;
  if (request.key == nullptr) return v;
  // Taken once: the lookups, the walk and its stores all use what the check started with.
  const SettingsSnapshot held = settings_hold(request.settings);
  VerifyRequest r = request;
  r.settings = held.get();
  // Every shared-tier wait of this check, its recalls and its walk's remembers,
  // shares one budget, started here.
  CacheBudget budget;
  if (known(r, v, budget)) return v;
  if (r.way == VerifyWay::lookup_only) return Verdict{};
  if (marked(r, v, budget)) return v;
  return walk_or_join(r, budget);
}

WalkOptions verify_walk_options(const VerifyRequest& r) {
  const SettingsSnapshot held = settings_hold(r.settings);
  const Settings& s = *held;
  const bool sender = r.kind == VerifyKind::sender;
  WalkOptions w;
  w.probe.publicname = s.publicname.value_or("");
  w.probe.safecallback = s.safecallback.value_or("");
  w.probe.mailstore = s.mailstore;
  w.probe.blockignorants = s.blockignorants != 0;
  w.probe.catchall = s.catchall != 0;
  w.probe.ipv6 = s.ipv6 != 0;
  w.probe.refused_probes = sender && s.refusals_mailbox != 0;
  w.probe.connected_from = self_listing_note;
  w.limits = {s.deadmxttl, s.calloutrate_count, s.calloutrate_period};
  // Under refusals any every refusal stands as the exchanger's word on the mailbox.
  if (w.probe.refused_probes) {
    w.limits.refusedttl = s.refusedttl;
    if (s.redis || s.redissentinel) {
      w.limits.site_refusing = site_refusing;
      w.limits.site_mark_refusing = site_mark_refusing;
    }
  }
  w.deadline_seconds = s.calloutdeadline;
  w.null_mx_final = sender && s.nullmx != 0;
  return w;
}

int verify_walk(const VerifyRequest& r, const WalkOptions& walk, ProbeReplyText* reply) {
  const MetricsInFlight counted;
  switch (r.way) {
    case VerifyWay::domain: return walk_domain(r.mailbox, r.where, walk, reply);
    case VerifyWay::host: return walk_host(r.mailbox, r.where, walk, reply);
    case VerifyWay::unprobed: case VerifyWay::lookup_only: break;
  }
  return PROBE_PASS;
}

void verify_walk_install(VerifyWalkFunction walk) { current_walk = walk != nullptr ? walk : verify_walk; }
