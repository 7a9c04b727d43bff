// Envelope intake: the angle-address rules, the trusted-client bypass and the
// MAIL FROM outcomes.
#include <arpa/inet.h>
#include <netinet/in.h>

#include <optional>
#include <string>

#include "filter/address.h"
#include "filter/decisions.h"
#include "milter/fake_milter.h"

TEST(ExtractAddress, Table) {
  struct Case {
    const char* label;
    std::string raw;
    int want;
    const char* content;  // destination afterwards; null: untouched
  } cases[] = {
      {"plain angle address", "<a@b.example>", 1, "a@b.example"},
      {"no brackets", "a@b.example", 0, nullptr},
      {"no closing bracket", "<a@b.example", 0, nullptr},
      {"closing before opening", ">a@b<", 0, nullptr},
      {"one character inside", "<@>", 0, nullptr},
      {"empty inside", "<>", 0, nullptr},
      {"two characters without at", "<ab>", 0, "ab"},
      {"two characters with at", "<a@>", 1, "a@"},
      {"at with nothing before", "<@b>", 1, "@b"},
      {"space inside the mailbox", "<a b@c>", 1, "a b@c"},
      {"space at the front", "< a@b>", 0, " a@b"},
      {"space at the back", "<a@b >", 0, "a@b "},
      {"tab at the front", "<\ta@b>", 0, "\ta@b"},
      {"BEL at the back", "<a@b\a>", 0, "a@b\a"},
      {"byte 1 at the front passes", "<\x01" "a@b>", 1, "\x01" "a@b"},
      {"byte 14 at the back passes", "<a@b\x0e>", 1, "a@b\x0e"},
      {"first open, last close", "x<<a@b>>y", 1, "<a@b>"},
      {"parameters after the address", "<a@b> SIZE=10", 1, "a@b"},
      {"words before the address", "Name <a@b>", 1, "a@b"},
      {"two at signs", "<a@b@c>", 1, "a@b@c"},
      {"CR inside the mailbox", "<a\r@b>", 0, "a\r@b"},
      {"LF between two addresses", "<a@b>\nRCPT TO:<x@y>", 0, "a@b>\nRCPT TO:<x@y"},
      {"high bytes pass", "<\xc3\xa9@b>", 1, "\xc3\xa9@b"},
  };
  for (const auto& c : cases) {
    EnvelopeText dest;
    dest.assign("untouched");
    EXPECT_EQ(extract_address(dest, c.raw.c_str()), c.want) << c.label;
    EXPECT_STREQ(dest.c_str(), c.content != nullptr ? c.content : "untouched") << c.label;
  }
}

TEST(SenderKey, Table) {
  struct Case {
    const char* label;
    const char* sender;
    const char* delimiters;
    const char* want;
  } cases[] = {
      {"plain", "bob@example.com", "+", "bob@example.com"},
      {"sub-address", "bob+news@example.com", "+", "bob@example.com"},
      {"no delimiter set", "bob+news@example.com", "", "bob+news@example.com"},
      {"VERP", "list-bounces+alice=example.org@lists.example.net", "+",
       "list-bounces@lists.example.net"},
      {"first of several", "a-b+c@x.test", "+-", "a@x.test"},
      {"BATV", "prvs=1234abcdef=bob@example.com", "", "bob@example.com"},
      {"BATV as some providers write it", "msprvs1=19abc=bob@example.com", "", "bob@example.com"},
      {"BATV then a tag", "prvs=1234abcdef=bob+x@example.com", "+", "bob@example.com"},
      {"BATV without a local part", "prvs=1234abcdef=@example.com", "+",
       "prvs=1234abcdef=@example.com"},
      {"BATV without its tag's end", "prvs=1234@example.com", "", "prvs=1234@example.com"},
      {"local part would be empty", "+news@example.com", "+", "+news@example.com"},
      {"quoted local part", "\"a+b\"@example.com", "+", "\"a+b\"@example.com"},
      {"no at", "bob+x", "+", "bob+x"},
      {"delimiter in the domain", "bob@a+b.test", "+", "bob@a+b.test"},
  };
  for (const auto& c : cases) {
    EnvelopeText key;
    sender_key(c.sender, c.delimiters, key);
    EXPECT_STREQ(key.c_str(), c.want) << c.label;
  }
}

TEST(ExtractAddress, LongestPathFitsTheField) {
  // A 254-byte mailbox in brackets is a legal path and must not be cut.
  std::string mailbox = std::string(64, 'l') + "@" + std::string(189, 'd');
  EnvelopeText raw;
  raw.assign(("<" + mailbox + ">").c_str());
  EnvelopeText dest;
  EXPECT_EQ(extract_address(dest, raw.c_str()), 1);
  EXPECT_EQ(dest.view(), mailbox);
}

TEST(TrustedClient, Table) {
  struct Case {
    const char* label;
    const char* if_addr;
    const char* auth;
    const char* verify;
    std::optional<TrustRule> want;  // the rule counted, none: not trusted
    const char* client = "192.0.2.7";
  } cases[] = {
      {"nothing given", nullptr, nullptr, nullptr, std::nullopt},
      {"interface address equals client", "192.0.2.7", nullptr, nullptr, TrustRule::interface},
      {"interface address differs", "192.0.2.8", nullptr, nullptr, std::nullopt},
      {"interface address is a prefix", "192.0.2.", nullptr, nullptr, std::nullopt},
      {"IPv6 tag on an IPv4 address", "IPv6:192.0.2.7", nullptr, nullptr, std::nullopt},
      {"IPv6 in full against the short form", "IPv6:2001:db8:0:0:0:0:0:25", nullptr, nullptr, TrustRule::interface,
       "2001:db8::25"},
      {"other IPv6 address", "IPv6:2001:db8::26", nullptr, nullptr, std::nullopt, "2001:db8::25"},
      {"auth identity", nullptr, "alice", nullptr, TrustRule::auth},
      {"empty auth identity", nullptr, "", nullptr, TrustRule::auth},
      {"certificate OK", nullptr, nullptr, "OK", TrustRule::certificate},
      {"interface wins over auth and certificate", "192.0.2.7", "alice", "OK", TrustRule::interface},
      {"certificate ok lower case", nullptr, nullptr, "ok", std::nullopt},
      {"certificate OK with trailing space", nullptr, nullptr, "OK ", std::nullopt},
      {"certificate FAIL", nullptr, nullptr, "FAIL", std::nullopt},
  };
  ConnectionContext c{};
  for (const auto& k : cases) {
    c.client_addr.assign(k.client);
    EXPECT_EQ(trusted_by(c, {k.if_addr, k.auth, k.verify}), k.want) << k.label;
  }
}

TEST_F(FilterTest, EnvfromTable) {
  const std::string syntax = "550 5.1.7 Sender address does not conform to RFC-2821 syntax";
  struct Case {
    const char* label;
    std::map<std::string, std::string> macros;
    const char* arg;  // null: no argument
    sfsistat want;
    std::string reply;
    const char* sender_raw;
    const char* sender;
    int failed_after;  // failed_recipients starts at 3
  } cases[] = {
      {"well-formed sender", {}, "<Alice@Example.test>", SMFIS_CONTINUE, "", "<Alice@Example.test>",
       "Alice@Example.test", 0},
      {"null sender", {}, "<>", SMFIS_CONTINUE, "", "<>", "old@prev.test", 0},
      {"null sender inside other text", {}, "x<>y", SMFIS_REJECT, syntax, "x<>y", "old@prev.test", 3},
      {"null sender with a parameter", {}, "<> SIZE=10", SMFIS_CONTINUE, "", "<> SIZE=10",
       "old@prev.test", 0},
      {"quoted <> local part is an address", {}, "<\"<>\"@spam.example>", SMFIS_CONTINUE, "",
       "<\"<>\"@spam.example>", "\"<>\"@spam.example", 0},
      {"bare address refused", {}, "alice@example.test", SMFIS_REJECT, syntax, "alice@example.test",
       "old@prev.test", 3},
      {"no at sign refused", {}, "<alice>", SMFIS_REJECT, syntax, "<alice>", "alice", 3},
      {"line break refused", {}, "<a@b>\r\nRSET", SMFIS_REJECT, syntax, "<a@b>\r\nRSET",
       "old@prev.test", 3},
      {"line break after a null sender refused", {}, "<>\n", SMFIS_REJECT, syntax, "<>\n",
       "old@prev.test", 3},
      {"absent argument keeps the earlier one", {}, nullptr, SMFIS_CONTINUE, "", "<old@prev.test>",
       "old@prev.test", 0},
      {"trusted by interface address", {{"{if_addr}", "192.0.2.7"}}, "bad", SMFIS_ACCEPT, "",
       "<old@prev.test>", "old@prev.test", 3},
      {"trusted by empty auth identity", {{"{auth_authen}", ""}}, "bad", SMFIS_ACCEPT, "",
       "<old@prev.test>", "old@prev.test", 3},
      {"trusted by certificate", {{"{verify}", "OK"}}, "bad", SMFIS_ACCEPT, "", "<old@prev.test>",
       "old@prev.test", 3},
      {"certificate not verified", {{"{verify}", "NO"}}, "bad", SMFIS_REJECT, syntax, "bad",
       "old@prev.test", 3},
  };
  for (const auto& k : cases) {
    ctx_ = ConnectionContext{};
    ctx_.client_addr.assign("192.0.2.7");
    ctx_.sender_raw.assign("<old@prev.test>");
    ctx_.sender.assign("old@prev.test");
    ctx_.failed_recipients = 3;
    fake.macros = k.macros;
    fake.replies.clear();
    std::string arg = k.arg != nullptr ? k.arg : "";
    char* argv[] = {k.arg != nullptr ? arg.data() : nullptr, nullptr};
    EXPECT_EQ(milter_envfrom(fake_ctx(), argv), k.want) << k.label;
    EXPECT_EQ(only_reply(), k.reply) << k.label;
    EXPECT_STREQ(ctx_.sender_raw.c_str(), k.sender_raw) << k.label;
    EXPECT_STREQ(ctx_.sender.c_str(), k.sender) << k.label;
    EXPECT_EQ(ctx_.failed_recipients, k.failed_after) << k.label;
  }
  EXPECT_TRUE(fake.lines.empty());
  EXPECT_TRUE(fake.sleeps.empty());
}

TEST(ExtractAddress, ContentLongerThanTheFieldIsRefused) {
  const std::string raw = "<" + std::string(600, 'a') + "@b>";
  EnvelopeText dest;
  EXPECT_EQ(extract_address(dest, raw.c_str()), 0);
  EXPECT_EQ(dest.size(), EnvelopeText::capacity() - 1);
}

