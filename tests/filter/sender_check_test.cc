// End-of-headers sender verification through the seam: whitelists, the null
// sender, the switch, cached and fresh outcomes with their lines, pauses,
// replies and what is left in the cache.
#include <arpa/inet.h>
#include <syslog.h>

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "cache/mark_strikes.h"
#include "milter/fake_milter.h"
#include "util/constants.h"

namespace {

const std::string kFail = "550 5.1.8 Sender address verification failed, check your MX";
const std::string kTemp = "451 4.1.8 Temporary failure in sender address verification";

IpWhitelistEntry net(const char* addr, int prefix) {
  IpWhitelistEntry e;
  e.ipv6 = inet_pton(AF_INET6, addr, e.network6.data()) == 1;
  if (!e.ipv6) e.network = inet_addr(addr);
  e.prefix_len = static_cast<std::uint16_t>(prefix);
  return e;
}

struct EohCase {
  const char* label = "";
  std::function<void(Settings&)> configure{};
  const char* client_addr = "192.0.2.7";
  const char* client_name = "mail.client.test";
  const char* sender_raw = "<Bob@Sender.TEST>";
  int cached = 0;       // status put in the cache first; 0: none
  int probe = PROBE_PASS;
  bool no_cache = false;
  const char* queue_id = "4QX1";
  sfsistat want = SMFIS_ACCEPT;
  std::string reply{};
  std::string line{};     // "" : no line
  int level = LOG_INFO;
  std::vector<int> sleeps{};
  std::optional<ProbeCall> probed{};
  int stored = 0;       // live status afterwards
  bool catchall_before = false;  // sender.test remembered as catch-all first
  int catchall_after = 0;        // its status afterwards
  const char* probe_reply = "";  // the walk's deciding reply
  bool refusing_before = false;  // sender.test remembered as refusing probes first
  int refusing_after = 0;        // its status afterwards
};


const ProbeCall kWalk = {"sender domain", "bob@sender.test", "sender.test"};

void verify_on(Settings& s) {
  s.sav = 1;
  s.frompassttl = s.fromfailttl = s.fromtfailttl = 3600;
}

void refused_probes_on(Settings& s) {
  verify_on(s);
  s.refusals_mailbox = 1;
  s.refusedttl = 60;
}

}  // namespace

class SenderCheckTest : public FilterTest {};

TEST_F(SenderCheckTest, Table) {
  const std::string tail = ": from=<Bob@Sender.TEST>, to=<rcpt@here.test>, mail.client.test [192.0.2.7]";
  std::vector<EohCase> cases = {
      {.label = "client in a /24", .configure = [](Settings& s) {
         verify_on(s);
         s.whitelist_ip.push_front(net("192.0.2.0", 24));
       }, .client_addr = "192.0.2.200"},
      {.label = "client outside the /24", .configure = [](Settings& s) {
         verify_on(s);
         s.whitelist_ip.push_front(net("192.0.2.0", 24));
       }, .client_addr = "192.0.3.1", .probe = PROBE_FAIL, .want = SMFIS_REJECT, .reply = kFail,
       .line = "sender check failed: from=<Bob@Sender.TEST>, to=<rcpt@here.test>, mail.client.test [192.0.3.1], [00:00:02], id=4QX1",
       .level = LOG_NOTICE, .sleeps = {1}, .probed = kWalk, .stored = SENDER_FAIL},
      {.label = "host bits of the network ignored", .configure = [](Settings& s) {
         verify_on(s);
         s.whitelist_ip.push_front(net("192.0.2.99", 24));
       }},
      {.label = "/32 matches its own address only", .configure = [](Settings& s) {
         verify_on(s);
         s.whitelist_ip.push_front(net("192.0.2.8", 32));
         s.whitelist_ip.push_front(net("192.0.2.7", 32));
       }},
      {.label = "/32 of a neighbour", .configure = [](Settings& s) {
         verify_on(s);
         s.whitelist_ip.push_front(net("192.0.2.8", 32));
       }, .probe = PROBE_PASS, .line = "sender check succeeded" + tail + ", [00:00:02], id=4QX1",
       .probed = kWalk, .stored = SENDER_PASS},
      {.label = "prefix 0 takes an IPv6 client", .configure = [](Settings& s) {
         verify_on(s);
         s.whitelist_ip.push_front(net("10.0.0.0", 0));
       }, .client_addr = "2001:db8::1"},
      {.label = "prefix 0 takes an undefined client", .configure = [](Settings& s) {
         verify_on(s);
         s.whitelist_ip.push_front(net("10.0.0.0", 0));
       }, .client_addr = "undefined"},
      {.label = "IPv6 client matches all-ones network", .configure = [](Settings& s) {
         verify_on(s);
         s.whitelist_ip.push_front(net("255.255.0.0", 16));
       }, .client_addr = "2001:db8::1"},
      {.label = "IPv6 client in a /32", .configure = [](Settings& s) {
         verify_on(s);
         s.whitelist_ip.push_front(net("2001:db8::", 32));
       }, .client_addr = "2001:db8:ffff::7"},
      {.label = "IPv6 /127 takes its pair only", .configure = [](Settings& s) {
         verify_on(s);
         s.whitelist_ip.push_front(net("2001:db8::6", 127));
       }, .client_addr = "2001:db8::8", .probe = PROBE_FAIL, .want = SMFIS_REJECT, .reply = kFail,
       .line = "sender check failed: from=<Bob@Sender.TEST>, to=<rcpt@here.test>, mail.client.test [2001:db8::8], [00:00:02], id=4QX1",
       .level = LOG_NOTICE, .sleeps = {1}, .probed = kWalk, .stored = SENDER_FAIL},
      {.label = "IPv6 /127, the other of the pair", .configure = [](Settings& s) {
         verify_on(s);
         s.whitelist_ip.push_front(net("2001:db8::6", 127));
       }, .client_addr = "2001:db8::7"},
      {.label = "::1 entry", .configure = [](Settings& s) {
         verify_on(s);
         s.whitelist_ip.push_front(net("::1", 128));
       }, .client_addr = "::1"},
      {.label = "IPv4-mapped client against an IPv4 entry", .configure = [](Settings& s) {
         verify_on(s);
         s.whitelist_ip.push_front(net("192.0.2.0", 24));
       }, .client_addr = "::ffff:192.0.2.9"},
      {.label = "IPv6 entry takes no IPv4 client", .configure = [](Settings& s) {
         verify_on(s);
         s.whitelist_ip.push_front(net("::", 0));
       }, .client_addr = "192.0.2.7", .probe = PROBE_PASS,
       .line = "sender check succeeded" + tail + ", [00:00:02], id=4QX1", .probed = kWalk,
       .stored = SENDER_PASS},
      {.label = "logwhitelisted names the rule", .configure = [](Settings& s) {
         verify_on(s);
         s.logwhitelisted = 1;
         s.whitelist_ptr.push_front({"client.test"});
       }, .line = "sender check skipped (whitelistptr)" + tail + ", id=4QX1"},
      {.label = "name whitelist ignores case", .configure = [](Settings& s) {
         verify_on(s);
         s.whitelist_ptr.push_front({"CLIENT.test"});
       }, .client_name = "Mail.Client.TEST"},
      {.label = "cleared name matches nothing", .configure = [](Settings& s) {
         verify_on(s);
         s.whitelist_ptr.push_front({""});
       }, .client_name = "", .probe = PROBE_TEMPFAIL, .want = SMFIS_TEMPFAIL, .reply = kTemp,
       .line = "sender check tempfailed: from=<Bob@Sender.TEST>, to=<rcpt@here.test>,  [192.0.2.7], [00:00:02], id=4QX1",
       .level = LOG_NOTICE, .sleeps = {1}, .probed = kWalk, .stored = SENDER_TEMPFAIL},
      {.label = "capital sender, small pattern", .configure = [](Settings& s) {
         verify_on(s);
         s.whitelist_from.push_front({"@sender.test"});
       }},
      {.label = "null sender is not verified", .configure = verify_on, .sender_raw = "<>",
       .want = SMFIS_CONTINUE},
      {.label = "null sender skips the sender whitelist", .configure = [](Settings& s) {
         verify_on(s);
         s.whitelist_from.push_front({"sender.test"});
       }, .sender_raw = "<>", .want = SMFIS_CONTINUE},
      {.label = "null sender of a whitelisted client", .configure = [](Settings& s) {
         verify_on(s);
         s.whitelist_ip.push_front(net("192.0.2.7", 32));
       }, .sender_raw = "<>"},
      {.label = "quoted <> local part is verified", .configure = verify_on,
       .sender_raw = "<\"<>\"@Sender.TEST>", .probe = PROBE_FAIL, .want = SMFIS_REJECT, .reply = kFail,
       .line = "sender check failed: from=<\"<>\"@Sender.TEST>, to=<rcpt@here.test>, mail.client.test [192.0.2.7], [00:00:02], id=4QX1",
       .level = LOG_NOTICE, .sleeps = {1}, .probed = kWalk, .stored = SENDER_FAIL},
      {.label = "control bytes of a field are escaped", .configure = verify_on,
       .client_name = "mail\x1b[2J\x7f.client.test",
       .line = "sender check succeeded: from=<Bob@Sender.TEST>, to=<rcpt@here.test>, mail\\x1b[2J\\x7f.client.test [192.0.2.7], [00:00:02], id=4QX1",
       .probed = kWalk, .stored = SENDER_PASS},
      {.label = "sav off", .configure = [](Settings& s) { s.frompassttl = 3600; },
       .want = SMFIS_CONTINUE},
      {.label = "sav off, whitelisted sender", .configure = [](Settings& s) {
         s.whitelist_from.push_front({"bob@"});
       }},
      {.label = "cached pass continues", .configure = verify_on, .cached = SENDER_PASS,
       .want = SMFIS_CONTINUE, .line = "sender check succeeded (cached)" + tail + ", id=4QX1",
       .stored = SENDER_PASS},
      {.label = "cached failure", .configure = verify_on, .cached = SENDER_FAIL,
       .want = SMFIS_REJECT, .reply = kFail,
       .line = "sender check failed (cached)" + tail + ", id=4QX1", .sleeps = {1},
       .stored = SENDER_FAIL},
      {.label = "cached tempfail despite ignoretempfail", .configure = [](Settings& s) {
         verify_on(s);
         s.ignoretempfail = 1;
       }, .cached = SENDER_TEMPFAIL, .want = SMFIS_TEMPFAIL, .reply = kTemp,
       .line = "sender check tempfailed (cached)" + tail + ", id=4QX1", .sleeps = {1},
       .stored = SENDER_TEMPFAIL},
      {.label = "recipient status under the sender key is ignored", .configure = verify_on,
       .cached = RCPT_FAIL, .line = "sender check succeeded" + tail + ", [00:00:02], id=4QX1",
       .probed = kWalk, .stored = SENDER_PASS},
      {.label = "fresh pass accepts", .configure = verify_on,
       .line = "sender check succeeded" + tail + ", [00:00:02], id=4QX1", .probed = kWalk,
       .stored = SENDER_PASS},
      {.label = "fresh failure", .configure = verify_on, .probe = PROBE_FAIL, .want = SMFIS_REJECT,
       .reply = kFail, .line = "sender check failed" + tail + ", [00:00:02], id=4QX1",
       .level = LOG_NOTICE, .sleeps = {1}, .probed = kWalk, .stored = SENDER_FAIL},
      {.label = "null MX: refused, logged and cached as a failure", .configure = verify_on,
       .probe = PROBE_NULLMX, .want = SMFIS_REJECT,
       .reply = "550 5.7.27 Sender address has null MX",
       .line = "sender check failed" + tail + ", [00:00:02], id=4QX1", .level = LOG_NOTICE,
       .sleeps = {1}, .probed = kWalk, .stored = SENDER_FAIL},
      {.label = "fresh tempfail", .configure = verify_on, .probe = PROBE_TEMPFAIL,
       .want = SMFIS_TEMPFAIL, .reply = kTemp,
       .line = "sender check tempfailed" + tail + ", [00:00:02], id=4QX1", .level = LOG_NOTICE,
       .sleeps = {1}, .probed = kWalk, .stored = SENDER_TEMPFAIL},
      {.label = "fresh tempfail with ignoretempfail leaves no trace", .configure = [](Settings& s) {
         verify_on(s);
         s.ignoretempfail = 1;
       }, .probe = PROBE_TEMPFAIL, .want = SMFIS_CONTINUE, .probed = kWalk},
      {.label = "failure with TTL 0 is not stored", .configure = [](Settings& s) {
         verify_on(s);
         s.fromfailttl = 0;
       }, .probe = PROBE_FAIL, .want = SMFIS_REJECT, .reply = kFail,
       .line = "sender check failed" + tail + ", [00:00:02], id=4QX1", .level = LOG_NOTICE,
       .sleeps = {1}, .probed = kWalk},
      {.label = "no cache at all", .configure = verify_on, .cached = SENDER_FAIL, .no_cache = true,
       .line = "sender check succeeded" + tail + ", [00:00:02], id=4QX1", .probed = kWalk},
      {.label = "remembered catch-all domain: no callout", .configure = [](Settings& s) {
         verify_on(s);
         s.catchall = 1;
       }, .want = SMFIS_CONTINUE, .line = "sender check succeeded (catch-all)" + tail + ", id=4QX1",
       .catchall_before = true, .catchall_after = CATCHALL_DOMAIN},
      {.label = "catch-all found by the walk: a pass, the domain remembered", .configure = [](Settings& s) {
         verify_on(s);
         s.catchall = 1;
         s.catchallttl = 60;
       }, .probe = PROBE_CATCHALL, .line = "sender check succeeded" + tail + ", [00:00:02], id=4QX1",
       .probed = kWalk, .stored = SENDER_PASS, .catchall_after = CATCHALL_DOMAIN},
      {.label = "refused probe: a pass, nothing stored, the domain not marked for one",
       .configure = [](Settings& s) {
         refused_probes_on(s);
         s.logreplies = 1;
       }, .probe = PROBE_REFUSED, .want = SMFIS_CONTINUE,
       .line = "sender check skipped (probe refused)" + tail +
               ", [00:00:02], id=4QX1, reply=\"554 5.7.1 \\x5cn \\x1b blocked\"",
       .level = LOG_NOTICE, .probed = kWalk, .probe_reply = "554 5.7.1 \\n \x1b blocked"},
      {.label = "refused probe after another address's: the domain remembered",
       .configure = [](Settings& s) {
         refused_probes_on(s);
         (void)mark_strike(CACHE_SENDER_REFUSING, "sender.test", "al@sender.test", "554 no", 60);
       }, .probe = PROBE_REFUSED, .want = SMFIS_CONTINUE,
       .line = "sender check skipped (probe refused)" + tail + ", [00:00:02], id=4QX1",
       .level = LOG_NOTICE, .probed = kWalk, .refusing_after = REFUSING_DOMAIN},
      {.label = "domain refusing probes: no callout", .configure = refused_probes_on,
       .want = SMFIS_CONTINUE,
       .line = "sender check skipped (domain refuses probes)" + tail + ", id=4QX1",
       .refusing_before = true, .refusing_after = REFUSING_DOMAIN},
      {.label = "refusing mark unread under refusals any", .configure = verify_on,
       .line = "sender check succeeded" + tail + ", [00:00:02], id=4QX1", .probed = kWalk,
       .stored = SENDER_PASS, .refusing_before = true, .refusing_after = REFUSING_DOMAIN},
      {.label = "skipdomain: the listed domain is not probed", .configure = [](Settings& s) {
         verify_on(s);
         s.skip_domains.push_front({"sender.test"});
       }, .cached = SENDER_FAIL, .want = SMFIS_CONTINUE,
       .line = "sender check skipped (domain policy)" + tail + ", id=4QX1", .stored = SENDER_FAIL},
      {.label = "skipdomain: a dotted entry takes subdomains only", .configure = [](Settings& s) {
         verify_on(s);
         s.skip_domains.push_front({".sender.test"});
         s.skip_domains.push_front({"xsender.test"});
       }, .line = "sender check succeeded" + tail + ", [00:00:02], id=4QX1", .probed = kWalk,
       .stored = SENDER_PASS},
      {.label = "dry run: a fresh failure only logged, with its reply", .configure = [](Settings& s) {
         verify_on(s);
         s.dryrun = s.logreplies = 1;
       }, .probe = PROBE_FAIL, .want = SMFIS_CONTINUE,
       .line = "dry run: sender check failed" + tail + ", [00:00:02], id=4QX1, reply=\"550 5.1.1 no\"",
       .level = LOG_NOTICE, .probed = kWalk, .stored = SENDER_FAIL, .probe_reply = "550 5.1.1 no"},
      {.label = "dry run: a cached tempfail only logged", .configure = [](Settings& s) {
         verify_on(s);
         s.dryrun = 1;
       }, .cached = SENDER_TEMPFAIL, .want = SMFIS_CONTINUE,
       .line = "dry run: sender check tempfailed (cached)" + tail + ", id=4QX1",
       .stored = SENDER_TEMPFAIL},
      {.label = "missing queue id", .configure = verify_on, .queue_id = nullptr,
       .line = "sender check succeeded" + tail + ", [00:00:02], id=NOQUEUE", .probed = kWalk,
       .stored = SENDER_PASS},
  };
  for (const auto& k : cases) {
    SCOPED_TRACE(k.label);
    start_row(k.probe, k.configure);
    if (k.queue_id != nullptr) fake.macros["i"] = k.queue_id;
    ctx_.client_addr.assign(k.client_addr);
    ctx_.client_name.assign(k.client_name);
    ctx_.sender_raw.assign(k.sender_raw);
    ctx_.sender.assign("Bob@Sender.TEST");
    ctx_.recipient_raw.assign("<rcpt@here.test>");
    if (k.cached != 0)
      cache_put("bob@sender.test", k.cached >= RCPT_PASS ? CACHE_RECIPIENT : CACHE_SENDER, k.cached);
    if (k.catchall_before) cache_put("sender.test", CACHE_SENDER_CATCHALL, CATCHALL_DOMAIN);
    if (k.refusing_before) cache_put("sender.test", CACHE_SENDER_REFUSING, REFUSING_DOMAIN);
    fake.probe_reply = k.probe_reply;
    if (k.no_cache) cache_destroy();

    expect_answer(milter_eoh(fake_ctx()), k.want, k.reply, k.line, k.level, k.sleeps,
                  {"log", "sleep 1", "reply"});
    expect_probe(k.probed);
    if (cache_available()) {
      EXPECT_EQ(cache_get("bob@sender.test", CACHE_SENDER), k.stored);
      EXPECT_EQ(cache_get("sender.test", CACHE_SENDER_CATCHALL), k.catchall_after);
      EXPECT_EQ(cache_get("sender.test", CACHE_SENDER_REFUSING), k.refusing_after);
    }
    cache_destroy();
  }
}

TEST_F(SenderCheckTest, DomainAfterTheFirstAt) {
  settings.sav = 1;
  ctx_.sender_raw.assign("<a@b@c.test>");
  ctx_.sender.assign("a@B@c.test");
  EXPECT_EQ(milter_eoh(fake_ctx()), SMFIS_ACCEPT);
  ASSERT_EQ(fake.probes.size(), 1u);
  EXPECT_EQ(fake.probes[0].address, "a@b@c.test");
  EXPECT_EQ(fake.probes[0].target, "b@c.test");
}

TEST_F(SenderCheckTest, FirstPassAcceptsThenCachedPassContinues) {
  settings.sav = 1;
  settings.frompassttl = 600;
  ctx_.sender_raw.assign("<bob@sender.test>");
  ctx_.sender.assign("bob@sender.test");
  EXPECT_EQ(milter_eoh(fake_ctx()), SMFIS_ACCEPT);
  EXPECT_EQ(milter_eoh(fake_ctx()), SMFIS_CONTINUE);
  EXPECT_EQ(fake.probes.size(), 1u);
  ASSERT_EQ(fake.lines.size(), 2u);
  EXPECT_EQ(fake.lines[1].text.rfind("sender check succeeded (cached): ", 0), 0u);
}
