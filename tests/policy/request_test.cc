// The policy request reader: what it takes from a request and what it refuses.
#include <gtest/gtest.h>

#include <string>

#include "policy/request.h"

namespace {

PolicyRequest parse(const std::string& text) {
  return policy_parse({reinterpret_cast<const unsigned char*>(text.data()), text.size()});
}

}  // namespace

TEST(PolicyParse, Table) {
  const std::string postfix =
      "request=smtpd_access_policy\nprotocol_state=RCPT\nprotocol_name=ESMTP\n"
      "client_address=192.0.2.7\nclient_name=unknown\nsasl_username=\n"
      "sender=a@b.test\nrecipient=c@d.test\ninstance=1a2b.5f00.1\nqueue_id=\n";
  struct Case {
    const char* label;
    std::string text;
    const char* error;  // null: taken
    PolicyState state = PolicyState::other;
    std::string sender = "", recipient = "", instance = "";
    bool access_policy = true;
  } cases[] = {
      {"Postfix at RCPT", postfix, nullptr, PolicyState::rcpt, "a@b.test", "c@d.test", "1a2b.5f00.1"},
      {"last line without its line feed", "request=smtpd_access_policy\nprotocol_state=DATA",
       nullptr, PolicyState::data},
      {"CR line ends, a value with =", "request=smtpd_access_policy\r\nsender=a=b@c\r\n", nullptr,
       PolicyState::other, "a=b@c"},
      {"the last of a repeated attribute", "sender=x@y\nsender=z@w\n", nullptr,
       PolicyState::other, "z@w", "", "", false},
      {"other states", "request=smtpd_access_policy\nprotocol_state=END-OF-MESSAGE\n", nullptr},
      {"other requests", "request=junk\nprotocol_state=RCPT\n", nullptr, PolicyState::rcpt, "", "",
       "", false},
      {"nothing at all", "", nullptr, PolicyState::other, "", "", "", false},
      {"a line without =", "request=smtpd_access_policy\nGET / HTTP/1.0\n", "line without \"=\""},
      {"a name left out", "=x\n", "attribute without a name"},
      {"a NUL byte", std::string("sender=a\0b\n", 11), "NUL byte in request"},
      {"64 KB and one", "sender=" + std::string(POLICY_REQUEST_MAX - 6, 'a'), "request too long"},
  };
  for (const auto& k : cases) {
    const PolicyRequest r = parse(k.text);
    EXPECT_STREQ(r.error, k.error) << k.label;
    if (k.error != nullptr) continue;
    EXPECT_EQ(r.state, k.state) << k.label;
    EXPECT_EQ(r.access_policy, k.access_policy) << k.label;
    EXPECT_EQ(r.sender, k.sender) << k.label;
    EXPECT_EQ(r.recipient, k.recipient) << k.label;
    EXPECT_EQ(r.instance, k.instance) << k.label;
  }
  const PolicyRequest r = parse(postfix);
  EXPECT_EQ(r.client_address, "192.0.2.7");
  EXPECT_EQ(r.client_name, "unknown");
  EXPECT_TRUE(r.sasl_username.empty() && r.queue_id.empty());
}
