// Many connections at once through the real callbacks: each thread drives its own
// connections while all share the settings, the cache and the log; and the drain
// that shutdown waits on. Meant to be run under ThreadSanitizer as well; the
// answers must match the probe outcomes.
#include <gtest/gtest.h>
#include <libmilter/mfapi.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <ctime>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "cache/cache.h"
#include "milter/callbacks.h"
#include "filter/filter_seam.h"
#include "milter/milter_seam.h"
#include "settings/settings.h"
#include "util/constants.h"
#include "util/log.h"
#include "verify/engine.h"

namespace {

// One milter connection as the stand-in library sees it; the SMFICTX handle
// points here, so every callback reaches only its own connection.
struct Conn {
  void* priv = nullptr;
  std::map<std::string, std::string> macros;
  std::string reply;
};

Conn* conn_of(SMFICTX* ctx) { return reinterpret_cast<Conn*>(ctx); }

// The outcome of a probe depends only on the mailbox, so a cached answer must
// always agree with a fresh one: "p..." passes, "f..." fails, the rest tempfail.
int outcome_of(const char* address) {
  if (address[0] == 'p') return PROBE_PASS;
  if (address[0] == 'f') return PROBE_FAIL;
  return PROBE_TEMPFAIL;
}

// Counted per thread, not in shared atomics: an atomic touched by every thread
// would order their cache work and hide a missing lock from the race detector.
constexpr int kThreads = 4;
long probes[kThreads] = {};
long lines[kThreads] = {};
thread_local int thread_slot = 0;

long total(const long (&counts)[kThreads]) {
  long sum = 0;
  for (long c : counts) sum += c;
  return sum;
}

MilterSeam shared_seam() {
  MilterSeam s{};
  s.getpriv = [](SMFICTX* ctx) -> void* { return conn_of(ctx)->priv; };
  s.setpriv = [](SMFICTX* ctx, void* p) -> int {
    conn_of(ctx)->priv = p;
    return MI_SUCCESS;
  };
  s.getsymval = [](SMFICTX* ctx, char* name) -> char* {
    auto& m = conn_of(ctx)->macros;
    auto it = m.find(name);
    return it == m.end() ? nullptr : it->second.data();
  };
  s.setreply = [](SMFICTX* ctx, char* code, char* xcode, char* text) -> int {
    conn_of(ctx)->reply = std::string(code) + " " + xcode + " " + text;
    return MI_SUCCESS;
  };
  return s;
}

// No pause and the real clock.
const FilterSeam quiet_filter_seam = {[](int) {}, []() -> std::time_t { return std::time(nullptr); }};

// Walks run on the checking thread while no walker pool runs.
int counted_walk(const VerifyRequest& q, const WalkOptions&, ProbeReplyText*) {
  ++probes[thread_slot];
  return outcome_of(q.mailbox);
}

struct Expect {
  sfsistat result;
  std::string reply;
};

Expect sender_expect(int outcome) {
  if (outcome == PROBE_FAIL)
    return {SMFIS_REJECT, "550 5.1.8 Sender address verification failed, check your MX"};
  if (outcome < 0)
    return {SMFIS_TEMPFAIL, "451 4.1.8 Temporary failure in sender address verification"};
  return {SMFIS_ACCEPT, ""};  // a cached pass gives SMFIS_CONTINUE instead
}

Expect recipient_expect(int outcome) {
  if (outcome == PROBE_FAIL)
    return {SMFIS_REJECT, "550 5.1.1 Sorry, no mailbox here by that name or mailbox is over quota"};
  if (outcome < 0) return {SMFIS_TEMPFAIL, "451 4.2.1 Mailbox is not available now, try again later"};
  return {SMFIS_CONTINUE, ""};
}

}  // namespace

TEST(FilterConcurrency, ConnectionsOnManyThreadsKeepTheirOwnAnswers) {
  const MilterSeam seam = shared_seam();
  milter_seam_install(&seam);
  filter_seam_install(&quiet_filter_seam);
  verify_walk_install(counted_walk);
  settings = Settings{};
  settings.sav = 1;
  settings.mailstore = "192.0.2.25";
  settings.frompassttl = settings.fromfailttl = settings.fromtfailttl = 2;
  settings.topassttl = settings.tofailttl = settings.totfailttl = 2;
  log_set_sink([](int, const std::string&) { ++lines[thread_slot]; });
  ASSERT_TRUE(cache_mutex_init());
  ASSERT_TRUE(cache_create());

  // A pool of mailboxes that the threads walk in different orders, so that they
  // meet on the same cache entries while new ones are still being stored.
  constexpr int kPool = 96;
  auto mailbox = [](int k, const char* domain) {
    static const char* const lead[] = {"p", "f", "t"};
    return std::string(lead[k % 3]) + std::to_string(k) + "@" + domain;
  };
  constexpr int kConnections = 150;
  int wrong_by[kThreads] = {};

  auto worker = [&](int id) {
    thread_slot = id;
    int& wrong = wrong_by[id];
    for (int n = 0; n < kConnections; ++n) {
      Conn conn;
      SMFICTX* ctx = reinterpret_cast<SMFICTX*>(&conn);
      std::string host = "client" + std::to_string(id) + ".test";
      if (milter_connect(ctx, host.data(), nullptr) != SMFIS_NOREPLY) ++wrong;
      conn.macros = {{"{rcpt_mailer}", "esmtp"}, {"{rcpt_host}", "[192.0.2.7]"}, {"i", "Q1"}};

      const std::string sender = mailbox((n * 5 + id * 31) % kPool, "sender.test");
      std::string from = "<" + sender + ">";
      char* fargv[] = {from.data(), nullptr};
      if (milter_envfrom(ctx, fargv) != SMFIS_CONTINUE) ++wrong;

      for (int r = 0; r < 3; ++r) {
        const std::string rcpt = mailbox((n * 3 + r + id * 23) % kPool, "dest.test");
        conn.macros["{rcpt_addr}"] = rcpt;
        std::string arg = "<" + rcpt + ">";
        char* rargv[] = {arg.data(), nullptr};
        conn.reply.clear();
        const Expect e = recipient_expect(outcome_of(rcpt.c_str()));
        if (milter_envrcpt(ctx, rargv) != e.result || conn.reply != e.reply) ++wrong;
      }

      conn.reply.clear();
      const Expect e = sender_expect(outcome_of(sender.c_str()));
      const sfsistat got = milter_eoh(ctx);
      const bool pass_ok = e.result == SMFIS_ACCEPT && got == SMFIS_CONTINUE;
      if ((got != e.result && !pass_ok) || conn.reply != e.reply) ++wrong;
      if (milter_close(ctx) != SMFIS_CONTINUE || conn.priv != nullptr) ++wrong;
    }
  };
  std::vector<std::thread> threads;
  for (int i = 0; i < kThreads; ++i) threads.emplace_back(worker, i);
  for (auto& t : threads) t.join();

  for (int i = 0; i < kThreads; ++i) EXPECT_EQ(wrong_by[i], 0) << "thread " << i;
  // Most answers came from the cache: far fewer probes than checks.
  EXPECT_LT(total(probes), kThreads * kConnections * 4 / 2);
  EXPECT_GT(total(lines), 0);

  cache_destroy();
  cache_mutex_destroy();
  log_set_sink(nullptr);
  milter_seam_install(nullptr);
  filter_seam_install(nullptr);
  verify_walk_install(nullptr);
  settings = Settings{};
}

namespace {
std::atomic<bool> probe_entered{false}, probe_release{false};
void wait_for(const std::atomic<bool>& flag) {
  for (int i = 0; i < 500 && !flag; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
}
}  // namespace

// Shutdown's drain waits while a check is inside its walk and returns once it
// has ended; from then on a callback answers "try again later" without any
// check, while milter_close still frees its connection's context.
TEST(FilterConcurrency, DrainWaitsForChecksInProgress) {
  MilterSeam seam = shared_seam();
  verify_walk_install([](const VerifyRequest&, const WalkOptions&, ProbeReplyText*) -> int {
    probe_entered = true;
    wait_for(probe_release);
    return PROBE_PASS;
  });
  milter_seam_install(&seam);
  filter_seam_install(&quiet_filter_seam);
  settings = Settings{};
  settings.sav = 1;
  log_set_sink([](int, const std::string&) {});
  ASSERT_TRUE(cache_mutex_init());
  Conn busy, late;
  SMFICTX* ctx[] = {reinterpret_cast<SMFICTX*>(&busy), reinterpret_cast<SMFICTX*>(&late)};
  char host[] = "client.test", from[] = "<p1@sender.test>";
  char* argv[] = {from, nullptr};
  for (SMFICTX* c : ctx) ASSERT_EQ(milter_connect(c, host, nullptr), SMFIS_NOREPLY);
  for (SMFICTX* c : ctx) ASSERT_EQ(milter_envfrom(c, argv), SMFIS_CONTINUE);

  std::thread check([&] { EXPECT_EQ(milter_eoh(ctx[0]), SMFIS_ACCEPT); });
  wait_for(probe_entered);
  EXPECT_FALSE(milter_drain(std::chrono::milliseconds(100)));
  probe_release = true;
  EXPECT_TRUE(milter_drain(std::chrono::seconds(5)));
  check.join();

  probe_entered = false;
  EXPECT_EQ(milter_eoh(ctx[1]), SMFIS_TEMPFAIL);
  EXPECT_EQ(milter_connect(ctx[0], host, nullptr), SMFIS_NOREPLY);  // connect can only go on
  EXPECT_EQ(milter_envfrom(ctx[0], argv), SMFIS_TEMPFAIL);
  EXPECT_FALSE(probe_entered);
  for (SMFICTX* c : ctx) EXPECT_EQ(milter_close(c), SMFIS_CONTINUE);
  EXPECT_EQ(late.priv, nullptr);
  milter_drain_undo();
  cache_mutex_destroy();
  log_set_sink(nullptr);
  milter_seam_install(nullptr);
  filter_seam_install(nullptr);
  verify_walk_install(nullptr);
  settings = Settings{};
}

namespace {
std::atomic<int> burst_probes{0};
std::atomic<int> burst_outcome{PROBE_PASS};
}  // namespace

// Connections that carry one new sender at once share one walk, whatever becomes
// of its outcome (stored, not stored with a lifetime of 0, let through); each
// waiter logs the cache hit line with its own queue id.
TEST(FilterConcurrency, ABurstOfOneNewSenderMakesOneWalk) {
  struct Case {
    const char* sender;
    int outcome;
    std::int64_t ttl;
    int ignoretempfail;
    sfsistat leader, waiters;
    int lines;  // of them "(cached)": all but the leader's
  };
  const Case cases[] = {
      {"<pass@burst.test>", PROBE_PASS, 60, 0, SMFIS_ACCEPT, SMFIS_CONTINUE, 8},
      {"<fail@burst.test>", PROBE_FAIL, 60, 0, SMFIS_REJECT, SMFIS_REJECT, 8},
      {"<tfail@burst.test>", PROBE_TEMPFAIL, 0, 0, SMFIS_TEMPFAIL, SMFIS_TEMPFAIL, 8},
      {"<let@burst.test>", PROBE_TEMPFAIL, 60, 1, SMFIS_CONTINUE, SMFIS_CONTINUE, 0},
  };
  MilterSeam seam = shared_seam();
  verify_walk_install([](const VerifyRequest&, const WalkOptions&, ProbeReplyText*) -> int {
    ++burst_probes;
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    return burst_outcome.load();
  });
  milter_seam_install(&seam);
  filter_seam_install(&quiet_filter_seam);
  ASSERT_TRUE(cache_mutex_init());
  ASSERT_TRUE(cache_create());
  std::mutex mu;
  std::vector<std::string> logged;
  log_set_sink([&](int, const std::string& line) {
    std::lock_guard<std::mutex> g(mu);
    logged.push_back(line);
  });
  constexpr int kBurst = 8;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.sender);
    settings = Settings{};
    settings.sav = 1;
    settings.frompassttl = settings.fromfailttl = settings.fromtfailttl = c.ttl;
    settings.ignoretempfail = c.ignoretempfail;
    burst_probes = 0;
    burst_outcome = c.outcome;
    logged.clear();
    std::vector<sfsistat> got(kBurst);
    std::vector<std::thread> threads;
    for (int i = 0; i < kBurst; ++i) {
      threads.emplace_back([&, i] {
        Conn conn;
        SMFICTX* ctx = reinterpret_cast<SMFICTX*>(&conn);
        conn.macros = {{"i", "Q" + std::to_string(i)}};
        std::string from = c.sender;
        char* fargv[] = {from.data(), nullptr};
        if (milter_connect(ctx, nullptr, nullptr) == SMFIS_NOREPLY && milter_envfrom(ctx, fargv) == SMFIS_CONTINUE)
          got[i] = milter_eoh(ctx);
        (void)milter_close(ctx);
      });
    }
    for (auto& t : threads) t.join();
    EXPECT_EQ(burst_probes.load(), 1);
    EXPECT_EQ(std::count(got.begin(), got.end(), c.leader) + std::count(got.begin(), got.end(), c.waiters),
              c.leader == c.waiters ? 2 * kBurst : kBurst);
    EXPECT_EQ(std::count(got.begin(), got.end(), c.leader), c.leader == c.waiters ? kBurst : 1);
    EXPECT_EQ(static_cast<int>(logged.size()), c.lines);
    EXPECT_EQ(std::count_if(logged.begin(), logged.end(),
                            [](const std::string& l) { return l.find("(cached): from=") != std::string::npos; }),
              c.lines == 0 ? 0 : kBurst - 1);
  }
  cache_destroy();
  cache_mutex_destroy();
  log_set_sink(nullptr);
  milter_seam_install(nullptr);
  filter_seam_install(nullptr);
  verify_walk_install(nullptr);
  settings = Settings{};
}
