// The exchanger walk with stand-in lookups and probes: which hosts are asked,
// in what order, and which result the walk gives.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "dns/mx.h"
#include "util/bounded_text.h"
#include "util/constants.h"

namespace {

// A lookup that yields the given hosts (or the given failure count).
MxLookupFunction lookup_giving(std::vector<std::string> hosts, int result, bool null_mx = false) {
  return [hosts, result, null_mx](const char*, char* names, MxList list, unsigned char* answer,
                                  bool* null_out) {
    EXPECT_NE(answer, nullptr);
    if (null_out != nullptr) *null_out = null_mx;
    char* w = names;
    for (std::size_t i = 0; i < hosts.size(); ++i) {
      copy_bounded(w, hosts[i].c_str(), 64);
      list[i] = w;
      w += 64;
    }
    return result;
  };
}

TEST(ProbeDomain, WalkTable) {
  const std::vector<std::string> three = {"mx1.test.", "mx2.test.", "mx3.test."};
  struct Case {
    const char* label;
    int lookup_result;
    std::vector<int> answers;  // what the exchangers answer, in order
    int want;
    std::vector<std::string> asked;
    int slow = -1;  // this exchanger's probe outlasts the walk's deadline
    bool null_mx = false;        // the lookup reports a null MX (and lists the domain)
    bool null_mx_final = false;  // the walk of a sender with nullmx reject
  } table[] = {
      {"null MX for a sender with nullmx reject: no probe", 1, {PROBE_PASS}, PROBE_NULLMX, {}, -1,
       true, true},
      {"null MX otherwise: the domain itself is probed", 1, {PROBE_PASS}, PROBE_PASS, {"mx1.test."},
       -1, true, false},
      {"no null MX: a sender walk as any other", 1, {PROBE_FAIL}, PROBE_FAIL, {"mx1.test."}, -1,
       false, true},
      {"first passes", 3, {PROBE_PASS, PROBE_PASS, PROBE_PASS}, PROBE_PASS, {"mx1.test."}},
      {"first fails: later ones not asked", 3, {PROBE_FAIL, PROBE_PASS, PROBE_PASS}, PROBE_FAIL,
       {"mx1.test."}},
      {"tempfail then pass", 3, {PROBE_TEMPFAIL, PROBE_PASS, PROBE_FAIL}, PROBE_PASS,
       {"mx1.test.", "mx2.test."}},
      {"tempfail then fail", 3, {PROBE_TEMPFAIL, PROBE_TEMPFAIL, PROBE_FAIL}, PROBE_FAIL, three},
      {"all tempfail", 3, {PROBE_TEMPFAIL, PROBE_TEMPFAIL, PROBE_TEMPFAIL}, PROBE_TEMPFAIL, three},
      {"any negative counts as temporary", 2, {-7, 0}, PROBE_FAIL, {"mx1.test.", "mx2.test."}},
      {"only the counted hosts", 1, {PROBE_TEMPFAIL, PROBE_PASS}, PROBE_TEMPFAIL, {"mx1.test."}},
      {"lookup fails: no probe", -1, {PROBE_PASS}, PROBE_TEMPFAIL, {}},
      {"lookup gives nothing: no probe", 0, {PROBE_PASS}, PROBE_TEMPFAIL, {}},
      {"deadline passes at the first: no other asked", 3, {PROBE_TEMPFAIL, PROBE_PASS, PROBE_PASS},
       PROBE_TEMPFAIL, {"mx1.test."}, 0},
      {"deadline passes at the second", 3, {PROBE_TEMPFAIL, PROBE_TEMPFAIL, PROBE_PASS},
       PROBE_TEMPFAIL, {"mx1.test.", "mx2.test."}, 1},
      {"refused, the rest unreachable: refused", 3, {PROBE_REFUSED, PROBE_TEMPFAIL, PROBE_REFUSED},
       PROBE_REFUSED, three},
      {"refused, then a pass", 2, {PROBE_REFUSED, PROBE_PASS}, PROBE_PASS, {"mx1.test.", "mx2.test."}},
      {"catch-all at the first exchanger", 2, {PROBE_CATCHALL}, PROBE_CATCHALL, {"mx1.test."}},
      {"catch-all at a backup: a plain pass", 2, {PROBE_TEMPFAIL, PROBE_CATCHALL}, PROBE_PASS,
       {"mx1.test.", "mx2.test."}},
      {"a definite answer at the deadline stands", 3, {PROBE_FAIL, PROBE_PASS, PROBE_PASS}, PROBE_FAIL,
       {"mx1.test."}, 0},
  };
  for (const auto& c : table) {
    SCOPED_TRACE(c.label);
    std::vector<std::string> asked;
    const auto wait = std::chrono::milliseconds(20);
    const SmtpDeadline deadline = c.slow < 0 ? NO_DEADLINE : std::chrono::steady_clock::now() + wait;
    auto probe = [&](const char* address, const char* host, ProbeReplyText*) {
      EXPECT_STREQ(address, "<user@example.test>");
      std::size_t i = asked.size();
      asked.emplace_back(host);
      if (static_cast<int>(i) == c.slow) std::this_thread::sleep_for(2 * wait);
      return i < c.answers.size() ? c.answers[i] : PROBE_TEMPFAIL;
    };
    int got = probe_domain_with("<user@example.test>", "example.test", probe,
                                lookup_giving(three, c.lookup_result, c.null_mx), deadline,
                                c.null_mx_final);
    EXPECT_EQ(got, c.want);
    EXPECT_EQ(asked, c.asked);
  }
}

TEST(ProbeDomain, DomainPassedToTheLookupUnchanged) {
  std::string seen;
  auto lookup = [&](const char* domain, char*, MxList, unsigned char*, bool*) {
    seen = domain;
    return -1;
  };
  auto probe = [](const char*, const char*, ProbeReplyText*) { return PROBE_PASS; };
  EXPECT_EQ(probe_domain_with("a@Mixed.Example", "Mixed.Example", probe, lookup), PROBE_TEMPFAIL);
  EXPECT_EQ(seen, "Mixed.Example");
}

}  // namespace
