// A stand-in for the milter library and the walks, installed through the filter
// and engine seams: macros come from a table, replies, probes and pauses are recorded, the
// clock is scripted, and log lines are captured. Single-threaded tests only.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "cache/cache.h"
#include "milter/callbacks.h"
#include "filter/context.h"
#include "filter/filter_seam.h"
#include "milter/milter_seam.h"
#include "settings/settings.h"
#include "util/log.h"
#include "verify/engine.h"

struct LoggedLine {
  int priority;
  std::string text;
};

struct ProbeCall {
  std::string kind;  // "domain" or "address"
  std::string address;
  std::string target;
};

struct FakeMilter {
  void* priv = nullptr;
  std::map<std::string, std::string> macros;
  std::vector<std::string> replies;  // "code xcode text"
  std::vector<ProbeCall> probes;
  std::vector<int> sleeps;
  std::vector<LoggedLine> lines;
  std::vector<std::string> events;  // "log", "sleep N", "reply" in the order they happened
  int probe_result = 1;
  std::string probe_reply;  // the deciding reply every probe gives
  std::time_t clock = 1000;
  std::time_t clock_step = 0;  // added after each reading of the clock
};

inline FakeMilter fake;

inline MilterSeam fake_milter_seam() {
  MilterSeam s{};
  s.getpriv = [](SMFICTX*) -> void* { return fake.priv; };
  s.setpriv = [](SMFICTX*, void* p) -> int {
    fake.priv = p;
    return MI_SUCCESS;
  };
  s.getsymval = [](SMFICTX*, char* name) -> char* {
    auto it = fake.macros.find(name);
    return it == fake.macros.end() ? nullptr : it->second.data();
  };
  s.setreply = [](SMFICTX*, char* code, char* xcode, char* text) -> int {
    fake.replies.push_back(std::string(code) + " " + xcode + " " + text);
    fake.events.push_back("reply");
    return MI_SUCCESS;
  };
  return s;
}

inline FilterSeam fake_seam() {
  FilterSeam s{};
  s.sleep_seconds = [](int n) {
    fake.sleeps.push_back(n);
    fake.events.push_back("sleep " + std::to_string(n));
  };
  s.now = []() -> std::time_t {
    std::time_t t = fake.clock;
    fake.clock += fake.clock_step;
    return t;
  };
  return s;
}

// The engine's walk: a sender's domain, a relay walked as a domain, or a relay
// host asked directly ("address").
inline int fake_walk(const VerifyRequest& q, const WalkOptions&, ProbeReplyText* r) {
  r->assign(fake.probe_reply);
  const char* kind = q.kind == VerifyKind::sender ? "sender domain"
                     : q.way == VerifyWay::domain ? "domain"
                                                  : "address";
  fake.probes.push_back({kind, q.mailbox, q.where});
  return fake.probe_result;
}

inline SMFICTX* fake_ctx() {
  static int handle;
  return reinterpret_cast<SMFICTX*>(&handle);
}

// Installs the stand-ins, a fresh cache and cleared settings for every test.
class FilterTest : public ::testing::Test {
 protected:
  MilterSeam milter_seam_ = fake_milter_seam();
  FilterSeam seam_ = fake_seam();
  ConnectionContext ctx_{};

  void SetUp() override {
    fake = FakeMilter{};
    fake.priv = &ctx_;
    milter_seam_install(&milter_seam_);
    filter_seam_install(&seam_);
    verify_walk_install(fake_walk);
    settings = Settings{};
    log_set_sink([](int p, const std::string& l) {
      fake.lines.push_back({p, l});
      fake.events.push_back("log");
    });
    ASSERT_TRUE(cache_mutex_init());
    cache_destroy();
    ASSERT_TRUE(cache_create());
  }

  void TearDown() override {
    cache_destroy();
    cache_mutex_destroy();
    log_set_sink(nullptr);
    milter_seam_install(nullptr);
    filter_seam_install(nullptr);
    verify_walk_install(nullptr);
    settings = Settings{};
  }

  void cache_put(const char* key, int kind, int status) {
    cache_remember(key, 3600, kind, status);
  }

  int cache_get(const char* key, int kind) {
    return cache_recall(key, kind);
  }

  // The one line logged, or "" when none was; fails when there were several.
  std::string only_line(int* priority = nullptr) {
    EXPECT_LE(fake.lines.size(), 1u);
    if (fake.lines.empty()) return "";
    if (priority != nullptr) *priority = fake.lines[0].priority;
    return fake.lines[0].text;
  }
  // A fresh fake, settings, context and cache for one row of a table.
  void start_row(int probe_result, const std::function<void(Settings&)>& configure) {
    ASSERT_TRUE(cache_create());
    fake = FakeMilter{};
    fake.priv = &ctx_;
    fake.probe_result = probe_result;
    fake.clock_step = 2;
    settings = Settings{};
    if (configure) {
      configure(settings);
    }
    ctx_ = ConnectionContext{};
    ctx_.client_addr.assign("192.0.2.7");
    ctx_.client_name.assign("mail.client.test");
  }

  // Result, reply, the one line and its level, the pauses, and for a refusal
  // after a verification the order of its last three events.
  void expect_answer(sfsistat got, sfsistat want, const std::string& reply, const std::string& line,
                     int level, const std::vector<int>& sleeps,
                     const std::vector<std::string>& refusal_order) {
    EXPECT_EQ(got, want);
    EXPECT_EQ(only_reply(), reply);
    int got_level = -1;
    EXPECT_EQ(only_line(&got_level), line);
    if (!line.empty()) {
      EXPECT_EQ(got_level, level);
    }
    EXPECT_EQ(fake.sleeps, sleeps);
    if (!line.empty() && !reply.empty()) {
      const auto& e = fake.events;
      ASSERT_GE(e.size(), 3u);
      EXPECT_EQ(std::vector<std::string>(e.end() - 3, e.end()), refusal_order);
    }
  }

  void expect_probe(const std::optional<ProbeCall>& want) {
    if (!want) {
      EXPECT_TRUE(fake.probes.empty());
      return;
    }
    ASSERT_EQ(fake.probes.size(), 1u);
    EXPECT_EQ(fake.probes[0].kind, want->kind);
    EXPECT_EQ(fake.probes[0].address, want->address);
    EXPECT_EQ(fake.probes[0].target, want->target);
  }
  std::string only_reply() {
    EXPECT_LE(fake.replies.size(), 1u);
    return fake.replies.empty() ? "" : fake.replies[0];
  }
};
