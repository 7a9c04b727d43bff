// The policy door's answers to a message's requests in turn: the decisions the
// milter door makes, reached through Postfix's attributes, and the state a
// message keeps from RCPT to DATA.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "cache/cache.h"
#include "filter/filter_seam.h"
#include "policy/door.h"
#include "settings/settings.h"
#include "util/constants.h"
#include "util/log.h"
#include "verify/engine.h"

namespace {

int walks = 0;
int walk_result = PROBE_FAIL;
std::string walked_to;
std::time_t clock_now = 1000;

int fake_walk(const VerifyRequest& q, const WalkOptions&, ProbeReplyText*) {
  ++walks;
  walked_to = q.where != nullptr ? q.where : "";
  return walk_result;
}

const FilterSeam quiet = {[](int) {}, []() -> std::time_t { return clock_now; }};

std::string ask(const std::string& attrs) {
  const std::string text = "request=smtpd_access_policy\nclient_address=192.0.2.7\n"
                           "client_name=unknown\ninstance=i1\nserver_address=192.0.2.25\n" + attrs;
  const PolicyRequest r = policy_parse({reinterpret_cast<const unsigned char*>(text.data()), text.size()});
  return policy_answer(r, settings, quiet);
}

const std::string kDunno = "action=DUNNO\n\n";

}  // namespace

TEST(PolicyDoor, MessagesInTurn) {
  struct Step {
    std::string attrs, want;
  };
  struct Case {
    const char* label;
    std::function<void(Settings&)> configure;
    std::vector<Step> steps;
    int walks;
    const char* walked_to = "";
  } cases[] = {
      {"a malformed sender refused at every recipient", nullptr,
       {{"protocol_state=RCPT\nsender=nobody\nrecipient=a@here.test\n",
         "action=550 5.1.7 Sender address does not conform to RFC-2821 syntax\n\n"},
        {"protocol_state=RCPT\nsender=nobody\nrecipient=b@here.test\n",
         "action=550 5.1.7 Sender address does not conform to RFC-2821 syntax\n\n"}},
       0},
      {"a client on the server's own address is trusted", nullptr,
       {{"protocol_state=RCPT\nsender=bob@sender.test\nclient_address=192.0.2.25\nrecipient=a@here.test\n", kDunno},
        {"protocol_state=DATA\nsender=bob@sender.test\n", kDunno}},
       0},
      {"the state ends at DATA: the next DATA checks afresh", nullptr,
       {{"protocol_state=RCPT\nsender=bob@sender.test\nsasl_username=alice\nrecipient=a@here.test\n", kDunno},
        {"protocol_state=DATA\nsender=bob@sender.test\n", kDunno},
        {"protocol_state=DATA\nsender=bob@sender.test\n",
         "action=550 5.1.8 Sender address verification failed, check your MX\n\n"}},
       1, "sender.test"},
      {"mailstore without policyrelay verifies no recipient",
       [](Settings& s) { s.mailstore = "x"; s.sav = 0; },
       {{"protocol_state=RCPT\nsender=bob@sender.test\nrecipient=a@here.test\n", kDunno},
        {"protocol_state=RCPT\nsender=bob@sender.test\nrecipient=bad\n",
         "action=550 5.1.3 Recipient address does not conform to RFC-2821 syntax\n\n"}},
       0},
      {"other states and requests pass", nullptr,
       {{"protocol_state=END-OF-MESSAGE\nsender=bob@sender.test\n", kDunno},
        {"protocol_state=DATA\nrequest=junk\nsender=bob@sender.test\n", kDunno}},
       0},
  };
  log_set_sink([](int, const std::string&) {});
  verify_walk_install(fake_walk);
  ASSERT_TRUE(cache_mutex_init());
  for (const auto& k : cases) {
    settings = Settings{};
    settings.sav = 1;
    settings.frompassttl = settings.fromfailttl = settings.tofailttl = 60;
    if (k.configure) k.configure(settings);
    ASSERT_TRUE(cache_create());
    policy_messages_clear();
    walks = 0;
    walked_to.clear();
    for (const Step& s : k.steps) EXPECT_EQ(ask(s.attrs), s.want) << k.label << ": " << s.attrs;
    EXPECT_EQ(walks, k.walks) << k.label;
    EXPECT_EQ(walked_to, k.walked_to) << k.label;
    cache_destroy();
  }
  cache_mutex_destroy();
  verify_walk_install(nullptr);
  log_set_sink(nullptr);
  settings = Settings{};
}

// A message that never reaches DATA leaves its state for ten minutes only.
TEST(PolicyDoor, StateOfAnAbandonedMessageExpires) {
  settings = Settings{};
  policy_messages_clear();
  ASSERT_EQ(ask("protocol_state=RCPT\nsender=nobody\nsasl_username=alice\nrecipient=a@here.test\n"), kDunno);
  clock_now += POLICY_MESSAGE_SECONDS + 1;
  settings.sav = 0;  // a fresh start answers from the sender's syntax alone
  EXPECT_EQ(ask("protocol_state=RCPT\nsender=nobody\nrecipient=b@here.test\n"),
            "action=550 5.1.7 Sender address does not conform to RFC-2821 syntax\n\n");
  settings = Settings{};
}
