// RCPT TO verification through the seam: syntax, the mailer and host choice of
// the probe, cached and fresh outcomes in their order of pause, line and reply,
// the growing tarpit and the recipient whitelist.
#include <syslog.h>

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "milter/fake_milter.h"
#include "util/constants.h"

namespace {

const std::string kSyntax = "550 5.1.3 Recipient address does not conform to RFC-2821 syntax";
const std::string kFail = "550 5.1.1 Sorry, no mailbox here by that name or mailbox is over quota";
const std::string kTemp = "451 4.2.1 Mailbox is not available now, try again later";
const std::string kTail =
    ": from=<bob@sender.test>, to=<Rcpt@Dest.TEST>, mail.client.test [192.0.2.7]";

void store_on(Settings& s) {
  s.mailstore = "192.0.2.25";
  s.topassttl = s.tofailttl = s.totfailttl = 3600;
}

struct RcptCase {
  const char* label = "";
  std::function<void(Settings&)> configure = store_on;
  const char* arg = "<Rcpt@Dest.TEST>";
  std::map<std::string, std::string> macros = {{"{rcpt_mailer}", "smtp"},
                                               {"{rcpt_host}", "dest.test"},
                                               {"{rcpt_addr}", "rcpt@dest.test"},
                                               {"i", "4QX1"}};
  int failed_before = 0;
  int cached = 0;
  int probe = PROBE_PASS;
  sfsistat want = SMFIS_CONTINUE;
  std::string reply{};
  std::string line{};
  int level = LOG_INFO;
  std::vector<int> sleeps{};
  std::optional<ProbeCall> probed{};
  int stored = 0;
  int failed_after = 0;
  bool catchall_before = false;  // dest.test remembered as catch-all first
  int catchall_after = 0;
};

std::map<std::string, std::string> with(std::map<std::string, std::string> base,
                                        const std::string& name, const char* value) {
  if (value == nullptr)
    base.erase(name);
  else
    base[name] = value;
  return base;
}

const std::map<std::string, std::string> kSmtp = RcptCase{.label = ""}.macros;
const std::string kPassLine = "recipient check succeeded" + kTail + ", [00:00:02], id=4QX1";
const ProbeCall kWalk = {"domain", "rcpt@dest.test", "dest.test"};

}  // namespace

class RecipientCheckTest : public FilterTest {};

TEST_F(RecipientCheckTest, Table) {
  std::vector<RcptCase> cases = {
      {.label = "no mailstore: no check, no tarpit", .configure = nullptr, .failed_before = 2,
       .failed_after = 2},
      {.label = "no mailstore: whitelisted accepts", .configure = [](Settings& s) {
         s.whitelist_to.push_front({"rcpt@"});
       }, .want = SMFIS_ACCEPT},
      {.label = "syntax refusal", .arg = "Rcpt@Dest.TEST", .failed_before = 2, .want = SMFIS_REJECT,
       .reply = kSyntax, .failed_after = 2},
      {.label = "line break refused", .arg = "<Rcpt@Dest.TEST>\r\nQUIT", .want = SMFIS_REJECT,
       .reply = kSyntax},
      {.label = "mailer absent counts as verified", .macros = with(kSmtp, "{rcpt_mailer}", nullptr),
       .line = kPassLine, .stored = RCPT_PASS},
      {.label = "mailer local: whitelist only", .macros = with(kSmtp, "{rcpt_mailer}", "local")},
      {.label = "mailer LoCaL after the tarpit", .macros = with(kSmtp, "{rcpt_mailer}", "LoCaL"),
       .failed_before = 1, .sleeps = {5}, .failed_after = 1},
      {.label = "local and whitelisted", .configure = [](Settings& s) {
         store_on(s);
         s.whitelist_to.push_front({"dest.test"});
       }, .macros = with(kSmtp, "{rcpt_mailer}", "local"), .want = SMFIS_ACCEPT},
      {.label = "mailer smtp walks the host", .line = kPassLine, .probed = kWalk,
       .stored = RCPT_PASS},
      {.label = "mailer ESMTP probes too", .macros = with(kSmtp, "{rcpt_mailer}", "ESMTP"),
       .line = kPassLine, .probed = kWalk, .stored = RCPT_PASS},
      {.label = "mailer relay is not probed", .macros = with(kSmtp, "{rcpt_mailer}", "relay"),
       .line = kPassLine, .stored = RCPT_PASS},
      {.label = "host absent", .macros = with(kSmtp, "{rcpt_host}", nullptr), .line = kPassLine,
       .stored = RCPT_PASS},
      {.label = "address absent", .macros = with(kSmtp, "{rcpt_addr}", nullptr), .line = kPassLine,
       .stored = RCPT_PASS},
      {.label = "bracketed host is probed directly",
       .macros = with(kSmtp, "{rcpt_host}", "[192.0.2.7]:25"), .line = kPassLine,
       .probed = ProbeCall{"address", "rcpt@dest.test", "192.0.2.7"}, .stored = RCPT_PASS},
      {.label = "unclosed bracket takes the rest",
       .macros = with(kSmtp, "{rcpt_host}", "relay[192.0.2.9"), .line = kPassLine,
       .probed = ProbeCall{"address", "rcpt@dest.test", "192.0.2.9"}, .stored = RCPT_PASS},
      {.label = "probes rcpt_addr as given",
       .macros = with(kSmtp, "{rcpt_addr}", "Other@Dest.TEST"), .line = kPassLine,
       .probed = ProbeCall{"domain", "Other@Dest.TEST", "dest.test"}, .stored = RCPT_PASS},
      {.label = "fresh failure", .failed_before = 1, .probe = PROBE_FAIL, .want = SMFIS_REJECT,
       .reply = kFail, .line = "recipient check failed" + kTail + ", [00:00:02], id=4QX1",
       .level = LOG_NOTICE, .sleeps = {5, 1}, .probed = kWalk, .stored = RCPT_FAIL,
       .failed_after = 2},
      {.label = "fresh tempfail does not count", .failed_before = 2, .probe = PROBE_TEMPFAIL,
       .want = SMFIS_TEMPFAIL, .reply = kTemp,
       .line = "recipient check tempfailed" + kTail + ", [00:00:02], id=4QX1", .level = LOG_NOTICE,
       .sleeps = {10, 1}, .probed = kWalk, .stored = RCPT_TEMPFAIL, .failed_after = 2},
      {.label = "failure with TTL 0 not stored", .configure = [](Settings& s) {
         store_on(s);
         s.tofailttl = 0;
       }, .probe = PROBE_FAIL, .want = SMFIS_REJECT, .reply = kFail,
       .line = "recipient check failed" + kTail + ", [00:00:02], id=4QX1", .level = LOG_NOTICE,
       .sleeps = {1}, .probed = kWalk, .failed_after = 1},
      {.label = "whitelisted but failing is refused", .configure = [](Settings& s) {
         store_on(s);
         s.whitelist_to.push_front({"rcpt@dest.test"});
       }, .probe = PROBE_FAIL, .want = SMFIS_REJECT, .reply = kFail,
       .line = "recipient check failed" + kTail + ", [00:00:02], id=4QX1", .level = LOG_NOTICE,
       .sleeps = {1}, .probed = kWalk, .stored = RCPT_FAIL, .failed_after = 1},
      {.label = "whitelisted and passing accepts", .configure = [](Settings& s) {
         store_on(s);
         s.whitelist_to.push_front({"rcpt@dest.test"});
       }, .want = SMFIS_ACCEPT, .line = kPassLine, .probed = kWalk, .stored = RCPT_PASS},
      {.label = "cached pass", .cached = RCPT_PASS,
       .line = "recipient check succeeded (cached)" + kTail + ", id=4QX1", .stored = RCPT_PASS},
      {.label = "cached pass, whitelisted", .configure = [](Settings& s) {
         store_on(s);
         s.whitelist_to.push_front({"rcpt"});
       }, .cached = RCPT_PASS, .want = SMFIS_ACCEPT,
       .line = "recipient check succeeded (cached)" + kTail + ", id=4QX1", .stored = RCPT_PASS},
      {.label = "cached tempfail", .failed_before = 1, .cached = RCPT_TEMPFAIL,
       .want = SMFIS_TEMPFAIL, .reply = kTemp,
       .line = "recipient check tempfailed (cached)" + kTail + ", id=4QX1", .sleeps = {5, 1},
       .stored = RCPT_TEMPFAIL, .failed_after = 1},
      {.label = "cached failure counts", .failed_before = 2, .cached = RCPT_FAIL,
       .want = SMFIS_REJECT, .reply = kFail,
       .line = "recipient check failed (cached)" + kTail + ", id=4QX1", .sleeps = {10, 1},
       .stored = RCPT_FAIL, .failed_after = 3},
      {.label = "sender status under the key is ignored", .cached = SENDER_FAIL, .line = kPassLine,
       .probed = kWalk, .stored = RCPT_PASS},
      {.label = "remembered catch-all domain: no probe, after the tarpit", .configure = [](Settings& s) {
         store_on(s);
         s.catchall = 1;
       }, .failed_before = 1, .line = "recipient check succeeded (catch-all)" + kTail + ", id=4QX1",
       .sleeps = {5}, .failed_after = 1, .catchall_before = true, .catchall_after = CATCHALL_DOMAIN},
      {.label = "catch-all found at the relay host", .configure = [](Settings& s) {
         store_on(s);
         s.catchall = 1;
         s.catchallttl = 60;
       }, .probe = PROBE_CATCHALL, .line = kPassLine, .probed = kWalk, .stored = RCPT_PASS,
       .catchall_after = CATCHALL_DOMAIN},
      {.label = "missing queue id", .macros = with(kSmtp, "i", nullptr),
       .line = "recipient check succeeded" + kTail + ", [00:00:02], id=NOQUEUE", .probed = kWalk,
       .stored = RCPT_PASS},
  };
  for (const auto& k : cases) {
    SCOPED_TRACE(k.label);
    start_row(k.probe, k.configure);
    fake.macros = k.macros;
    ctx_.sender_raw.assign("<bob@sender.test>");
    ctx_.failed_recipients = k.failed_before;
    if (k.cached != 0)
      cache_put("rcpt@dest.test", k.cached >= RCPT_PASS ? CACHE_RECIPIENT : CACHE_SENDER, k.cached);
    if (k.catchall_before) cache_put("dest.test", CACHE_RECIPIENT_CATCHALL, CATCHALL_DOMAIN);

    std::string arg = k.arg;
    char* argv[] = {arg.data(), nullptr};
    expect_answer(milter_envrcpt(fake_ctx(), argv), k.want, k.reply, k.line, k.level, k.sleeps,
                  {"sleep 1", "log", "reply"});
    expect_probe(k.probed);
    EXPECT_EQ(cache_get("rcpt@dest.test", CACHE_RECIPIENT), k.stored);
    EXPECT_EQ(ctx_.failed_recipients, k.failed_after);
    EXPECT_EQ(cache_get("dest.test", CACHE_RECIPIENT_CATCHALL), k.catchall_after);
    EXPECT_STREQ(ctx_.recipient_raw.c_str(), k.reply == kSyntax ? "" : k.arg);
    cache_destroy();
  }
}

TEST_F(RecipientCheckTest, TarpitGrowsAndNextMessageResetsIt) {
  settings.mailstore = "192.0.2.25";
  settings.tofailttl = 0;  // every recipient is probed afresh
  fake.macros = kSmtp;
  fake.probe_result = PROBE_FAIL;
  ctx_.client_addr.assign("192.0.2.7");
  ctx_.sender_raw.assign("<bob@sender.test>");
  const char* rcpts[] = {"<a@dest.test>", "<b@dest.test>", "<c@dest.test>", "<d@dest.test>"};
  for (const char* r : rcpts) {
    std::string arg = r;
    char* argv[] = {arg.data(), nullptr};
    EXPECT_EQ(milter_envrcpt(fake_ctx(), argv), SMFIS_REJECT) << r;
  }
  EXPECT_EQ(fake.sleeps, (std::vector<int>{1, 5, 1, 10, 1, 15, 1}));
  EXPECT_EQ(ctx_.failed_recipients, 4);

  std::string from = "<bob@sender.test>";
  char* fargv[] = {from.data(), nullptr};
  fake.macros.clear();
  EXPECT_EQ(milter_envfrom(fake_ctx(), fargv), SMFIS_CONTINUE);
  EXPECT_EQ(ctx_.failed_recipients, 0);
  fake.macros = kSmtp;
  fake.sleeps.clear();
  std::string arg = "<e@dest.test>";
  char* argv[] = {arg.data(), nullptr};
  EXPECT_EQ(milter_envrcpt(fake_ctx(), argv), SMFIS_REJECT);
  EXPECT_EQ(fake.sleeps, (std::vector<int>{1}));
}

TEST_F(RecipientCheckTest, LetterCaseSharesOneEntry) {
  settings.mailstore = "192.0.2.25";
  settings.topassttl = 600;
  fake.macros = kSmtp;
  ctx_.client_addr.assign("192.0.2.7");
  for (const char* r : {"<Rcpt@Dest.TEST>", "<rcpt@dest.test>"}) {
    std::string arg = r;
    char* argv[] = {arg.data(), nullptr};
    EXPECT_EQ(milter_envrcpt(fake_ctx(), argv), SMFIS_CONTINUE) << r;
  }
  EXPECT_EQ(fake.probes.size(), 1u);
  ASSERT_EQ(fake.lines.size(), 2u);
  EXPECT_NE(fake.lines[0].text.find("to=<Rcpt@Dest.TEST>"), std::string::npos);
  EXPECT_NE(fake.lines[1].text.find("(cached): from=, to=<rcpt@dest.test>"), std::string::npos);
}

TEST_F(RecipientCheckTest, EndOfHeadersShowsTheLastRecipient) {
  settings.sav = 1;
  ctx_.client_addr.assign("192.0.2.7");
  ctx_.sender_raw.assign("<bob@sender.test>");
  ctx_.sender.assign("bob@sender.test");
  for (const char* r : {"<one@dest.test>", "<two@dest.test>"}) {
    std::string arg = r;
    char* argv[] = {arg.data(), nullptr};
    EXPECT_EQ(milter_envrcpt(fake_ctx(), argv), SMFIS_CONTINUE) << r;
  }
  // A refused recipient is not the recorded one: its line break stays out of the log.
  std::string refused = "<x@y>\nFAKE LOG LINE: x";
  char* rargv[] = {refused.data(), nullptr};
  EXPECT_EQ(milter_envrcpt(fake_ctx(), rargv), SMFIS_REJECT);
  EXPECT_EQ(milter_eoh(fake_ctx()), SMFIS_ACCEPT);
  ASSERT_EQ(fake.lines.size(), 1u);
  EXPECT_NE(fake.lines[0].text.find("to=<two@dest.test>"), std::string::npos);
}
