// The callout dialogue against a scripted server: every cell of the step
// table, both reconnect paths, target admission and its log line, line
// bounds, descriptors and many probes at once.
#include "smtp/probe.h"

#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <syslog.h>

#include <chrono>
#include <cstdlib>
#include <mutex>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "smtp/script_server.h"
#include "util/constants.h"
#include "util/helpers.h"
#include "util/log.h"

using namespace testsrv;

namespace {

const char* const ADDRESS = "user@example.test";

ProbeOptions fast(std::uint16_t port) {
  ProbeOptions o;
  o.port = port;
  o.timeouts.connect_ms = 1000;
  o.timeouts.send_ms = 1000;
  o.timeouts.receive_ms = 300;
  o.timeouts.reply_total_ms = 5000;
  o.publicname = "probe.korvane.test";
  o.safecallback = "safe@korvane.test";
  return o;
}

bool in_private_netns() { return std::getenv("KORVANE_NO_NETNS") == nullptr; }

// "H N S R" and the like: the commands of a transcript, "#" between connections.
std::string expand(const std::string& shorthand) {
  std::string out;
  std::istringstream in(shorthand);
  std::string tok;
  bool sep = false;
  while (in >> tok) {
    if (tok == "#") {
      out += "#";
      sep = false;
      continue;
    }
    if (sep) out += "|";
    sep = true;
    if (tok == "H") out += "HELO probe.korvane.test";
    else if (tok == "N") out += "MAIL FROM:<>";
    else if (tok == "S") out += "MAIL FROM:<safe@korvane.test>";
    else if (tok == "R") out += std::string("RCPT TO:<") + ADDRESS + ">";
    else if (tok == "X") out += "RCPT TO:<RANDOM@example.test>";
    else out += tok;
  }
  return out;
}

int count_open_descriptors() {
  int n = 0;
  DIR* d = opendir("/proc/self/fd");
  if (d == nullptr) return -1;
  while (readdir(d) != nullptr) ++n;
  closedir(d);
  return n;
}

class SmtpProbe : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(ipv4_literal_pattern_compile());
    log_set_sink([this](int priority, const std::string& line) {
      std::lock_guard<std::mutex> g(log_mu_);
      logged_.push_back(std::to_string(priority) + " " + line);
    });
  }
  void TearDown() override {
    log_set_sink({});
  }
  std::vector<std::string> logged() {
    std::lock_guard<std::mutex> g(log_mu_);
    return logged_;
  }
  static std::string info(const std::string& line) { return std::to_string(LOG_INFO) + " " + line; }

  std::mutex log_mu_;
  std::vector<std::string> logged_;
};

const std::string G = "220 mx ready", OK = "250 ok", BYE = "221 bye";

struct DialogueCase {
  const char* label;
  int blockignorants;
  std::vector<Script> connections;
  int max_accepts;  // > 0: the server stops listening after that many
  int result;
  const char* transcript;  // shorthand for expand()
  int catchall = 0;
  bool refused_probes = false;
  const char* reply = nullptr;  // the deciding reply, when the case tells it
};

// The catch-all test's mailbox as the shorthand "X" writes it: its local part
// has the random shape, so no other line may take its place.
std::string unrandomised(const std::string& transcript) {
  static const std::regex random_rcpt("RCPT TO:<[a-z2-7]{24}@example\\.test>");
  return std::regex_replace(transcript, random_rcpt, "RCPT TO:<RANDOM@example.test>");
}

}  // namespace

TEST_F(SmtpProbe, DialogueTable) {
  auto r = [](std::vector<std::string> tokens) { return replies(tokens); };
  // The server answers the null sender with 550 and closes at once.
  Script refuse_and_close = {Send(G + "\r\n"), ReadLine(), Send(OK + "\r\n"), ReadLine(),
                             Send("550 no bounces\r\n"), Close()};
  const Script pass_after_reconnect = r({G, OK, OK, OK, OK, BYE});
  const DialogueCase cases[] = {
      // step 1, greeting
      {"greeting dropped", 0, {r({"DROP"})}, 0, PROBE_TEMPFAIL, ""},
      {"greeting never comes", 0, {r({"SILENT"})}, 0, PROBE_TEMPFAIL, ""},
      {"greeting 554", 0, {r({"554 go away", OK, BYE})}, 0, PROBE_FAIL, "RSET QUIT"},
      {"greeting 421", 0, {r({"421 busy", OK, BYE})}, 0, PROBE_TEMPFAIL, "RSET QUIT"},
      {"greeting 554, RSET unanswered", 0, {r({"554 go away", "DROP"})}, 0, PROBE_FAIL, "RSET"},
      // step 2, HELO
      {"HELO dropped", 0, {r({G, "DROP"})}, 0, PROBE_TEMPFAIL, "H"},
      {"HELO unanswered: no RSET, no QUIT", 0, {r({G, "SILENT"})}, 0, PROBE_TEMPFAIL, "H"},
      {"HELO 501", 0, {r({G, "501 bad", OK, BYE})}, 0, PROBE_FAIL, "H RSET QUIT"},
      {"HELO 450", 0, {r({G, "450 later", OK, BYE})}, 0, PROBE_TEMPFAIL, "H RSET QUIT"},
      // step 3, null sender
      {"null sender dropped", 0, {r({G, OK, "DROP"})}, 0, PROBE_TEMPFAIL, "H N"},
      {"null sender 550, blockignorants", 1, {r({G, OK, "550 no", OK, BYE})}, 0, PROBE_FAIL,
       "H N RSET QUIT"},
      {"null sender 550 falls back to the safe sender", 0, {r({G, OK, "550 no", OK, OK, OK, OK, BYE})}, 0,
       PROBE_PASS, "H N RSET S R RSET QUIT"},
      {"null sender 451 falls back even with blockignorants", 1,
       {r({G, OK, "451 later", OK, OK, OK, OK, BYE})}, 0, PROBE_PASS, "H N RSET S R RSET QUIT"},
      // step 4, first recipient
      {"recipient accepted", 0, {r({G, OK, OK, OK, OK, BYE})}, 0, PROBE_PASS, "H N R RSET QUIT"},
      {"recipient 251 accepted", 0, {r({G, OK, OK, "251 forward", OK, BYE})}, 0, PROBE_PASS,
       "H N R RSET QUIT"},
      {"recipient dropped", 0, {r({G, OK, OK, "DROP"})}, 0, PROBE_TEMPFAIL, "H N R"},
      {"recipient reply without a code", 0, {r({G, OK, OK, "what?"})}, 0, PROBE_TEMPFAIL, "H N R"},
      {"recipient 550, blockignorants", 1, {r({G, OK, OK, "550 no", OK, BYE})}, 0, PROBE_FAIL,
       "H N R RSET QUIT"},
      {"recipient 550 twice", 0, {r({G, OK, OK, "550 no", OK, OK, "550 no", OK, BYE})}, 0, PROBE_FAIL,
       "H N R RSET S R RSET QUIT"},
      {"recipient 450 then accepted", 0, {r({G, OK, OK, "450 later", OK, OK, OK, OK, BYE})}, 0, PROBE_PASS,
       "H N R RSET S R RSET QUIT"},
      {"recipient 199 counts as other", 0, {r({G, OK, OK, "199 odd", OK, OK, OK, OK, BYE})}, 0, PROBE_PASS,
       "H N R RSET S R RSET QUIT"},
      // step 5, reset after the refused sender
      {"RSET after sender 550", 0, {r({G, OK, "550 no", "550 no", OK, BYE})}, 0, PROBE_FAIL,
       "H N RSET RSET QUIT"},
      {"RSET after sender 421", 0, {r({G, OK, "550 no", "421 bye", OK, BYE})}, 0, PROBE_TEMPFAIL,
       "H N RSET RSET QUIT"},
      // step 6, safe sender
      {"safe sender dropped", 0, {r({G, OK, "550 no", OK, "DROP"})}, 0, PROBE_TEMPFAIL, "H N RSET S"},
      {"safe sender 553", 0, {r({G, OK, "550 no", OK, "553 no", OK, BYE})}, 0, PROBE_FAIL,
       "H N RSET S RSET QUIT"},
      {"safe sender 451", 0, {r({G, OK, "550 no", OK, "451 later", OK, BYE})}, 0, PROBE_TEMPFAIL,
       "H N RSET S RSET QUIT"},
      {"safe sender accepted, recipient 550: safe sender a second time", 0,
       {r({G, OK, "451 later", OK, OK, "550 no", OK, OK, OK, OK, BYE})}, 0, PROBE_PASS,
       "H N RSET S R RSET S R RSET QUIT"},
      // step 7, reset after the refused recipient
      {"RSET after recipient 550", 0, {r({G, OK, OK, "550 no", "550 no", OK, BYE})}, 0, PROBE_FAIL,
       "H N R RSET RSET QUIT"},
      {"RSET after recipient 421", 0, {r({G, OK, OK, "550 no", "421 bye", OK, BYE})}, 0, PROBE_TEMPFAIL,
       "H N R RSET RSET QUIT"},
      // step 8, safe sender a second time
      {"second safe sender dropped", 0, {r({G, OK, OK, "550 no", OK, "DROP"})}, 0, PROBE_TEMPFAIL,
       "H N R RSET S"},
      {"second safe sender 550", 0, {r({G, OK, OK, "550 no", OK, "550 no", OK, BYE})}, 0, PROBE_FAIL,
       "H N R RSET S RSET QUIT"},
      {"second safe sender 452", 0, {r({G, OK, OK, "550 no", OK, "452 full", OK, BYE})}, 0, PROBE_TEMPFAIL,
       "H N R RSET S RSET QUIT"},
      // step 9, second recipient
      {"second recipient dropped", 0, {r({G, OK, OK, "550 no", OK, OK, "DROP"})}, 0, PROBE_TEMPFAIL,
       "H N R RSET S R"},
      {"second recipient 450", 0, {r({G, OK, OK, "550 no", OK, OK, "450 later", OK, BYE})}, 0,
       PROBE_TEMPFAIL, "H N R RSET S R RSET QUIT"},
      {"second recipient 600", 0, {r({G, OK, OK, "550 no", OK, OK, "600 odd", OK, BYE})}, 0, PROBE_TEMPFAIL,
       "H N R RSET S R RSET QUIT"},
      // reconnect from step 5
      {"sender refused, RSET dropped: reconnect, safe sender", 0,
       {r({G, OK, "550 no", "DROP"}), pass_after_reconnect}, 0, PROBE_PASS, "H N RSET # H S R RSET QUIT"},
      {"sender refused and closed at once: reconnect", 0, {refuse_and_close, pass_after_reconnect}, 0,
       PROBE_PASS, "H N # H S R RSET QUIT"},
      {"reconnect refused", 0, {r({G, OK, "550 no", "DROP"})}, 1, PROBE_TEMPFAIL, "H N RSET"},
      {"reconnect greeting dropped", 0, {r({G, OK, "550 no", "DROP"}), r({"DROP"})}, 0, PROBE_TEMPFAIL,
       "H N RSET #"},
      {"reconnect greeting 554", 0, {r({G, OK, "550 no", "DROP"}), r({"554 no", OK, BYE})}, 0, PROBE_FAIL,
       "H N RSET # RSET QUIT"},
      {"reconnect greeting 421", 0, {r({G, OK, "550 no", "DROP"}), r({"421 busy", OK, BYE})}, 0,
       PROBE_TEMPFAIL, "H N RSET # RSET QUIT"},
      {"reconnect HELO dropped", 0, {r({G, OK, "550 no", "DROP"}), r({G, "DROP"})}, 0, PROBE_TEMPFAIL,
       "H N RSET # H"},
      {"reconnect HELO 550", 0, {r({G, OK, "550 no", "DROP"}), r({G, "550 no", OK, BYE})}, 0, PROBE_FAIL,
       "H N RSET # H RSET QUIT"},
      {"reconnect HELO 451", 0, {r({G, OK, "550 no", "DROP"}), r({G, "451 later", OK, BYE})}, 0,
       PROBE_TEMPFAIL, "H N RSET # H RSET QUIT"},
      // reconnect from step 7
      {"recipient refused, RSET dropped: reconnect, safe sender", 0,
       {r({G, OK, OK, "550 no", "DROP"}), pass_after_reconnect}, 0, PROBE_PASS,
       "H N R RSET # H S R RSET QUIT"},
      {"recipient refused, reconnect refused", 0, {r({G, OK, OK, "550 no", "DROP"})}, 1, PROBE_TEMPFAIL,
       "H N R RSET"},
      {"recipient refused, reconnect greeting 554", 0,
       {r({G, OK, OK, "550 no", "DROP"}), r({"554 no", OK, BYE})}, 0, PROBE_FAIL, "H N R RSET # RSET QUIT"},
      {"recipient refused, reconnect HELO 501", 0, {r({G, OK, OK, "550 no", "DROP"}), r({G, "501 no", OK, BYE})},
       0, PROBE_FAIL, "H N R RSET # H RSET QUIT"},
      {"recipient refused, reconnect HELO 421", 0, {r({G, OK, OK, "550 no", "DROP"}), r({G, "421 no", OK, BYE})},
       0, PROBE_TEMPFAIL, "H N R RSET # H RSET QUIT"},
      {"recipient refused, reconnect HELO unanswered", 0,
       {r({G, OK, OK, "550 no", "DROP"}), r({G, "SILENT"})}, 0, PROBE_TEMPFAIL, "H N R RSET # H"},
      {"both reconnects: the longest dialogue", 0,
       {r({G, OK, "550 no", "DROP"}), r({G, OK, OK, "550 no", "DROP"}), pass_after_reconnect}, 0, PROBE_PASS,
       "H N RSET # H S R RSET # H S R RSET QUIT"},
      {"both reconnects, final refusal", 0,
       {r({G, OK, "550 no", "DROP"}), r({G, OK, OK, "550 no", "DROP"}), r({G, OK, OK, "550 no", OK, BYE})}, 0,
       PROBE_FAIL, "H N RSET # H S R RSET # H S R RSET QUIT"},
      // catchall on: a random mailbox before the first recipient command
      {"catch-all: random mailbox accepted", 0, {r({G, OK, OK, OK, OK, BYE})}, 0, PROBE_CATCHALL,
       "H N X RSET QUIT", 1},
      {"catch-all: random refused, the real one asked in the same session", 0,
       {r({G, OK, OK, "550 no", OK, OK, BYE})}, 0, PROBE_PASS, "H N X R RSET QUIT", 1},
      {"catch-all: random deferred, real refused twice", 0,
       {r({G, OK, OK, "450 later", "550 no", OK, OK, "550 no", OK, BYE})}, 0, PROBE_FAIL,
       "H N X R RSET S R RSET QUIT", 1},
      {"catch-all: asked after the safe sender, once only", 0,
       {r({G, OK, "550 no", OK, OK, OK, OK, BYE})}, 0, PROBE_CATCHALL, "H N RSET S X RSET QUIT", 1},
      // refusals mailbox: only the mailbox's own refusal fails
      {"refused probes: greeting 554", 0, {r({"554 5.7.1 go away", OK, BYE})}, 0, PROBE_REFUSED,
       "RSET QUIT", 0, true, "554 5.7.1 go away"},
      {"refused probes: HELO 550", 0, {r({G, "550 no", OK, BYE})}, 0, PROBE_REFUSED, "H RSET QUIT",
       0, true},
      {"refused probes: both senders refused", 0,
       {r({G, OK, "550 5.7.1 no", OK, "550 5.7.1 policy", OK, BYE})}, 0, PROBE_REFUSED,
       "H N RSET S RSET QUIT", 0, true, "550 5.7.1 policy"},
      {"refused probes: recipient blocked twice", 0,
       {r({G, OK, OK, "550 5.7.1 no", OK, OK, "550 5.7.1 blocked using x", OK, BYE})}, 0,
       PROBE_REFUSED, "H N R RSET S R RSET QUIT", 0, true, "550 5.7.1 blocked using x"},
      {"refused probes: recipient unknown, not asked again with the safe sender", 0,
       {r({G, OK, OK, "550 5.1.1 no", OK, BYE})}, 0, PROBE_FAIL, "H N R RSET QUIT", 0, true, "550 5.1.1 no"},
      {"refused probes: null sender refused, safe sender's recipient unknown: asked once", 0,
       {r({G, OK, "550 5.7.1 no bounces", OK, OK, "550 5.1.1 unknown", OK, BYE})}, 0, PROBE_FAIL,
       "H N RSET S R RSET QUIT", 0, true, "550 5.1.1 unknown"},
      {"refused probes: recipient deferred, no safe-sender retry", 0,
       {r({G, OK, OK, "450 4.2.0 greylisted", OK, BYE})}, 0, PROBE_TEMPFAIL, "H N R RSET QUIT", 0,
       true, "450 4.2.0 greylisted"},
      {"refused probes: reconnect greeting 554", 0,
       {r({G, OK, "550 no", "DROP"}), r({"554 no", OK, BYE})}, 0, PROBE_REFUSED,
       "H N RSET # RSET QUIT", 0, true},
      {"refused probes: recipient dropped leaves no reply", 0, {r({G, OK, OK, "DROP"})}, 0,
       PROBE_TEMPFAIL, "H N R", 0, true, ""},
      {"refused probes: unknown at the first RCPT, blockignorants: no retry to refuse", 1,
       {r({G, OK, OK, "550 5.1.1 User unknown", OK, BYE})}, 0, PROBE_FAIL, "H N R RSET QUIT", 0, true,
       "550 5.1.1 User unknown"},
      {"refused probes: client blocked at the first RCPT, then a policy refusal", 1,
       {r({G, OK, OK, "554 5.7.1 Client host rejected", OK, OK, "554 5.7.1 no", OK, BYE})}, 0,
       PROBE_REFUSED, "H N R RSET S R RSET QUIT", 0, true, "554 5.7.1 Client host rejected"},
      {"refused probes: null sender refused at RCPT, blockignorants", 1,
       {r({G, OK, OK, "550 5.7.1 no bounces", OK, BYE})}, 0, PROBE_FAIL, "H N R RSET QUIT", 0, true},
  };
  for (const DialogueCase& c : cases) {
    SCOPED_TRACE(c.label);
    ScriptServer server("127.0.0.2", c.connections, false, c.max_accepts);
    ASSERT_TRUE(server.ok());
    ProbeOptions opt = fast(server.port());
    opt.blockignorants = c.blockignorants != 0;
    opt.catchall = c.catchall != 0;
    opt.refused_probes = c.refused_probes;
    ProbeReplyText reply;
    EXPECT_EQ(probe_address_with(ADDRESS, "127.0.0.2", opt, &reply), c.result);
    EXPECT_EQ(unrandomised(server.transcript()), expand(c.transcript));
    if (c.reply != nullptr) {
      EXPECT_STREQ(reply.c_str(), c.reply);
    }
  }
}

// Every reply comes well within its own bounds, but the dialogue as a whole
// meets its deadline: it ends there, and no reconnect is begun after it.
TEST_F(SmtpProbe, DeadlineEndsTheWholeDialogue) {
  struct Case {
    const char* label;
    std::vector<Script> connections;
    int result;
    const char* transcript;  // a reconnect would show as "#"
  } cases[] = {
      {"dripping server, deadline at MAIL", {replies({G, OK, OK, OK, OK, BYE}, 120)}, PROBE_TEMPFAIL, "H N"},
      {"deadline in the RSET wait: no reconnect",
       {replies({G, OK, "550 no", "SILENT"}, 100), replies({G, OK, OK, OK, OK, BYE})}, PROBE_TEMPFAIL,
       "H N RSET"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    ScriptServer server("127.0.0.2", c.connections);
    ASSERT_TRUE(server.ok());
    ProbeOptions o = fast(server.port());
    const auto start = std::chrono::steady_clock::now();
    o.timeouts.deadline = start + std::chrono::milliseconds(330);
    EXPECT_EQ(probe_address_with(ADDRESS, "127.0.0.2", o), c.result);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(600));
    EXPECT_EQ(server.transcript(), expand(c.transcript));
  }
}

TEST_F(SmtpProbe, Admission) {
  struct Case {
    const char* label;
    const char* host;
    const char* mailstore;  // nullptr: unset
    const char* server_ip;  // where the scripted server listens
    int result;
    const char* log_line;  // nullptr: nothing logged
    bool contacted;
    bool needs_netns;  // a fault here could reach beyond loopback
    bool ipv6 = false;
  };
  const Case cases[] = {
      {"literal with a trailing dot", "127.0.0.3.", nullptr, "127.0.0.3", PROBE_PASS,
       "MX check at 127.0.0.3. [127.0.0.3]", true, false},
      {"exactly 127.0.0.1 is refused", "127.0.0.1", nullptr, "127.0.0.1", PROBE_TEMPFAIL,
       "MX check at 127.0.0.1 [127.0.0.1]", false, false},
      {"0.0.0.0 reaches this host and is refused", "0.0.0.0", nullptr, "127.0.0.1", PROBE_TEMPFAIL,
       "MX check at 0.0.0.0 [0.0.0.0]", false, false},
      {"all of 0.0.0.0/8 is refused", "0.255.255.255", "0.255.255.255", "127.0.0.1",
       PROBE_TEMPFAIL, "MX check at 0.255.255.255 [0.255.255.255]", false, false},
      {"127.0.0.2 is contacted", "127.0.0.2", nullptr, "127.0.0.2", PROBE_PASS,
       "MX check at 127.0.0.2 [127.0.0.2]", true, false},
      {"a name for 127.0.0.1 is refused", "localhost", nullptr, "127.0.0.1", PROBE_TEMPFAIL,
       "MX check at localhost [127.0.0.1]", false, false},
      {"mailstore equal to the target", "127.0.0.2", "127.0.0.2", "127.0.0.2", PROBE_PASS,
       "MX check at 127.0.0.2 [127.0.0.2]", false, false},
      {"mailstore written differently", "127.0.0.2", "127.0.0.02", "127.0.0.2", PROBE_PASS,
       "MX check at 127.0.0.2 [127.0.0.2]", true, false},
      {"octet above 255", "300.1.1.1", nullptr, "127.0.0.2", PROBE_TEMPFAIL,
       "MX check at 300.1.1.1 [255.255.255.255]", false, true},
      {"leading zero is octal", "010.0.0.1", "8.0.0.1", "127.0.0.2", PROBE_PASS,
       "MX check at 010.0.0.1 [8.0.0.1]", false, true},
      {"name that does not resolve", "no-such-host.invalid", nullptr, "127.0.0.2", PROBE_TEMPFAIL, nullptr,
       false, true},
      {"IPv6 literal with ipv6 off: not resolved", "IPv6:::ffff:127.0.0.2", nullptr, "127.0.0.2",
       PROBE_TEMPFAIL, nullptr, false, true},
      {"::1 is refused", "IPv6:::1", nullptr, "127.0.0.2", PROBE_TEMPFAIL, "MX check at IPv6:::1 [::1]",
       false, true, true},
      {":: is refused", "ipv6:::", nullptr, "127.0.0.2", PROBE_TEMPFAIL, "MX check at ipv6::: [::]",
       false, true, true},
      {"127.0.0.1 mapped into IPv6 is refused", "IPv6:::ffff:127.0.0.1", nullptr, "127.0.0.2",
       PROBE_TEMPFAIL, "MX check at IPv6:::ffff:127.0.0.1 [::ffff:127.0.0.1]", false, true, true},
      {"another mapped address is contacted", "IPv6:::ffff:127.0.0.2", nullptr, "127.0.0.2",
       PROBE_PASS, "MX check at IPv6:::ffff:127.0.0.2 [::ffff:127.0.0.2]", true, true, true},
      {"IPv6 mailstore compared by value", "IPv6:2001:db8::7", "2001:DB8:0::7", "127.0.0.2",
       PROBE_PASS, "MX check at IPv6:2001:db8::7 [2001:db8::7]", false, true, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    if (c.needs_netns && !in_private_netns()) continue;
    {
      std::lock_guard<std::mutex> g(log_mu_);
      logged_.clear();
    }
    ScriptServer server(c.server_ip, {replies({G, OK, OK, OK, OK, BYE})}, true);
    ASSERT_TRUE(server.ok());
    ProbeOptions opt = fast(server.port());
    opt.ipv6 = c.ipv6;
    if (c.mailstore != nullptr) opt.mailstore = c.mailstore;
    EXPECT_EQ(probe_address_with(ADDRESS, c.host, opt), c.result);
    server.wait_idle();
    EXPECT_EQ(server.accepted(), c.contacted ? 1 : 0);
    std::vector<std::string> expected;
    if (c.log_line != nullptr) expected.push_back(info(c.log_line));
    EXPECT_EQ(logged(), expected);
  }
}

TEST_F(SmtpProbe, DefaultPortAndTimeouts) {
  if (!in_private_netns()) GTEST_SKIP() << "needs the private network namespace";
  ScriptServer server("192.0.2.7", {replies({G, OK, OK, OK, OK, BYE})}, false, 0, 25);
  ASSERT_TRUE(server.ok());
  ProbeOptions opt;
  opt.publicname = "probe.korvane.test";
  opt.safecallback = "safe@korvane.test";
  EXPECT_EQ(probe_address_with(ADDRESS, "192.0.2.7.", opt), PROBE_PASS);
  EXPECT_EQ(server.transcript(), expand("H N R RSET QUIT"));
  EXPECT_EQ(logged(), std::vector<std::string>{info("MX check at 192.0.2.7. [192.0.2.7]")});
}

TEST_F(SmtpProbe, CommandLinesAreWholeOrNotSent) {
  struct Case {
    const char* label;
    std::string address;
    int result;
    bool contacted;
  };
  const Case cases[] = {
      {"116 characters: longer than 127 with its line end", std::string(103, 'a') + "@example.test", PROBE_PASS,
       true},
      {"512 characters", std::string(499, 'b') + "@example.test", PROBE_PASS, true},
      {"513 characters do not fit", std::string(500, 'c') + "@example.test", PROBE_TEMPFAIL, false},
      {"CR LF in the mailbox", "user@example.test>\r\nDATA\r\nRCPT TO:<x@y", PROBE_TEMPFAIL, false},
      {"bare LF in the mailbox", "user\n@example.test", PROBE_TEMPFAIL, false},
      {"bare CR in the mailbox", "user\r@example.test", PROBE_TEMPFAIL, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    ScriptServer server("127.0.0.2", {replies({G, OK, OK, OK, OK, BYE})});
    ASSERT_TRUE(server.ok());
    EXPECT_EQ(probe_address_with(c.address.c_str(), "127.0.0.2", fast(server.port())), c.result);
    std::vector<std::string> lines = server.raw_lines(0);
    EXPECT_EQ(server.accepted(), c.contacted ? 1 : 0);
    if (c.contacted) {
      ASSERT_EQ(lines.size(), 5u);
      EXPECT_EQ(lines[2], "RCPT TO:<" + c.address + ">\r\n");
    }
  }
}

TEST_F(SmtpProbe, ManyProbesAtOnce) {
  rlimit rl{};
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &rl), 0);
  rlimit raised = rl;
  if (raised.rlim_cur != RLIM_INFINITY && raised.rlim_cur < 4096) {
    raised.rlim_cur = raised.rlim_max == RLIM_INFINITY || raised.rlim_max >= 4096 ? 4096 : raised.rlim_max;
  }
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &raised), 0);
  int before = count_open_descriptors();

  constexpr int PROBES = 200;
  std::vector<int> results(PROBES, 99);
  {
    // Recipients "ok-*" pass, "bad-*" are refused, "tmp-*" are deferred.
    ScriptServer server(
        "127.0.0.4", G,
        [](const std::string& line) -> std::string {
          if (line.rfind("RCPT TO:<bad-", 0) == 0) return "550 no such user";
          if (line.rfind("RCPT TO:<tmp-", 0) == 0) return "450 try later";
          if (line.rfind("QUIT", 0) == 0) return "221 bye";
          return OK;
        },
        20);
    ASSERT_TRUE(server.ok());
    std::vector<std::thread> threads;
    for (int i = 0; i < PROBES; ++i) {
      threads.emplace_back([&results, &server, i] {
        static const char* const kinds[] = {"ok-", "bad-", "tmp-"};
        std::string address = kinds[i % 3] + std::to_string(i) + "@example.test";
        ProbeOptions o = fast(server.port());
        o.timeouts.receive_ms = 5000;
        results[i] = probe_address_with(address.c_str(), "127.0.0.4", o);
      });
    }
    for (auto& t : threads) t.join();
    server.wait_idle();
  }
  for (int i = 0; i < PROBES; ++i) {
    const int expected[] = {PROBE_PASS, PROBE_FAIL, PROBE_TEMPFAIL};
    EXPECT_EQ(results[i], expected[i % 3]) << "probe " << i;
  }
  EXPECT_EQ(logged().size(), static_cast<std::size_t>(PROBES));
  EXPECT_EQ(count_open_descriptors(), before);
  setrlimit(RLIMIT_NOFILE, &rl);
}
