// The MX lookup through the system resolver against a dnsmasq started by the
// test on 127.0.0.53, inside the test's private network namespace.
#include <gtest/gtest.h>

#include <arpa/nameser.h>
#include <netdb.h>
#include <resolv.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "dns/mx.h"
#include "util/constants.h"

namespace {

const char* const DNSMASQ = "/usr/sbin/dnsmasq";

struct Lookup {
  int count;
  std::vector<std::string> names;
};

Lookup lookup(const char* domain) {
  std::vector<char> names(MX_NAMES_SIZE);
  std::vector<unsigned char> answer(MX_ANSWER_SIZE);
  MxList list = {};
  Lookup r{mx_lookup(domain, names.data(), list, answer.data()), {}};
  for (int i = 0; i < r.count; ++i) r.names.emplace_back(list[i]);
  return r;
}

// The resolver's own error code for an MX query, to record what dnsmasq sends.
int h_errno_of(const char* domain) {
  struct __res_state st;
  std::memset(&st, 0, sizeof st);
  if (res_ninit(&st) < 0) return -100;
  unsigned char answer[512];
  int n = res_nquery(&st, domain, ns_c_in, ns_t_mx, answer, sizeof answer);
  int code = n < 0 ? st.res_h_errno : 0;
  res_nclose(&st);
  return code;
}

class MxLookupDnsmasq : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    if (std::getenv("KORVANE_NO_NETNS") != nullptr || access(DNSMASQ, X_OK) != 0) return;
    // No server yet: the query is refused at once on loopback.
    no_server_count = lookup("multi.test").count;
    pid = fork();
    if (pid == 0) {
      execl(DNSMASQ, DNSMASQ, "--keep-in-foreground", "--listen-address=127.0.0.53",
            "--bind-interfaces", "--no-resolv", "--no-hosts", "--conf-file=/dev/null",
            "--pid-file=", "--user=root", "--log-facility=/dev/null", "--local=/test/",
            "--mx-host=multi.test,mx-b.multi.test,20", "--mx-host=multi.test,mx-a.multi.test,10",
            "--mx-host=multi.test,mx-c.multi.test,10", "--host-record=plain.test,192.0.2.10",
            static_cast<char*>(nullptr));
      _exit(127);
    }
    // Up to 5 seconds for the server to answer.
    for (int i = 0; i < 50 && pid > 0; ++i) {
      if (h_errno_of("multi.test") == 0) {
        ready = true;
        break;
      }
      usleep(100 * 1000);
    }
  }
  static void TearDownTestSuite() {
    if (pid > 0) {
      kill(pid, SIGTERM);
      waitpid(pid, nullptr, 0);
    }
    pid = -1;
  }
  void SetUp() override {
    if (std::getenv("KORVANE_NO_NETNS") != nullptr) GTEST_SKIP() << "no private network namespace";
    if (access(DNSMASQ, X_OK) != 0) GTEST_SKIP() << "dnsmasq is not installed";
    ASSERT_TRUE(ready) << "dnsmasq did not answer";
  }

  static pid_t pid;
  static bool ready;
  static int no_server_count;
};
pid_t MxLookupDnsmasq::pid = -1;
bool MxLookupDnsmasq::ready = false;
int MxLookupDnsmasq::no_server_count = 0;

TEST_F(MxLookupDnsmasq, WhatTheServerAnswers) {
  // dnsmasq, local for test/: a known name without MX is NODATA, an unknown
  // one NXDOMAIN; a name outside it (no upstream servers) is refused.
  EXPECT_EQ(h_errno_of("multi.test"), 0);
  EXPECT_EQ(h_errno_of("plain.test"), NO_DATA);
  EXPECT_EQ(h_errno_of("nosuch.test"), HOST_NOT_FOUND);
  EXPECT_EQ(h_errno_of("elsewhere.example"), TRY_AGAIN);
}

TEST_F(MxLookupDnsmasq, Table) {
  struct Case {
    const char* label;
    const char* domain;
    int count;
    std::vector<std::string> names;
  } table[] = {
      // mx-c weighs 156 and mx-a 191 (hash_string & 255), so c goes first.
      {"several MX records", "multi.test", 3,
       {"mx-c.multi.test.", "mx-a.multi.test.", "mx-b.multi.test."}},
      {"address but no MX: the name itself", "plain.test", 1, {"plain.test"}},
      {"name does not exist", "nosuch.test", MX_NO_DOMAIN, {}},
      {"server refuses", "elsewhere.example", MX_SERVER_FAILURE, {}},
  };
  for (const auto& c : table) {
    SCOPED_TRACE(c.label);
    Lookup r = lookup(c.domain);
    EXPECT_EQ(r.count, c.count);
    EXPECT_EQ(r.names, c.names);
  }
  EXPECT_EQ(no_server_count, MX_NO_ANSWER) << "with no server listening";
}

TEST_F(MxLookupDnsmasq, WalkThroughTheResolver) {
  struct Case {
    const char* label;
    const char* domain;
    std::vector<std::string> asked;
  } table[] = {
      {"every exchanger once, in order", "multi.test",
       {"mx-c.multi.test.", "mx-a.multi.test.", "mx-b.multi.test."}},
      {"the name itself", "plain.test", {"plain.test"}},
      {"no probe for a name that does not exist", "nosuch.test", {}},
  };
  for (const auto& c : table) {
    SCOPED_TRACE(c.label);
    std::vector<std::string> asked;
    auto probe = [&](const char*, const char* host, ProbeReplyText*) {
      asked.emplace_back(host);
      return PROBE_TEMPFAIL;
    };
    EXPECT_EQ(probe_domain_with("<u@x.test>", c.domain, probe), PROBE_TEMPFAIL);
    EXPECT_EQ(asked, c.asked);
  }
  // The real callout is not reachable here; a name without exchangers gives
  // a temporary failure before any connection, and says why.
  ProbeReplyText why;
  EXPECT_EQ(walk_domain("<u@nosuch.test>", "nosuch.test", WalkOptions{}, &why), PROBE_TEMPFAIL);
  EXPECT_STREQ(why.c_str(), "MX lookup: no such domain");
}

}  // namespace
