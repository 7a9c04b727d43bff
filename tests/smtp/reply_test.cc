// The pure reply assembly and code reading: pieces, the 8100/8099 rule, NUL
// bytes, continuation lines, the byte bound and "%3d" code semantics.
#include "smtp/reply.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "smtp/probe_reply.h"
#include "smtp/transport.h"
#include "util/constants.h"

namespace {

struct Fed {
  SmtpReplyAssembler::State state;
  int code;
  int receives;  // receives taken
};

// Feeds the receives in order until the reply is no longer being read.
Fed assemble(const std::vector<std::string>& receives, std::size_t max_bytes = 64 * 1024) {
  std::vector<char> buf(SMTP_REPLY_BUFFER, '\0');
  SmtpReplyAssembler a(buf.data(), max_bytes);
  int taken = 0;
  for (const std::string& r : receives) {
    if (a.state() != SmtpReplyAssembler::State::reading) break;
    a.feed(r.data(), r.size());
    ++taken;
  }
  return {a.state(), a.code(), taken};
}

constexpr auto reading = SmtpReplyAssembler::State::reading;
constexpr auto done = SmtpReplyAssembler::State::done;
constexpr auto failed = SmtpReplyAssembler::State::failed;

}  // namespace

TEST(SmtpReply, Assembly) {
  struct Case {
    const char* label;
    std::vector<std::string> receives;
    SmtpReplyAssembler::State state;
    int code;
    int receives_taken;
  };
  const std::string x8097(8097, 'x');
  const Case cases[] = {
      {"one line", {"250 ok\r\n"}, done, 250, 1},
      {"bare LF", {"250 ok\n"}, done, 250, 1},
      {"continuation in one receive", {"250-a\r\n250 b\r\n"}, done, 250, 1},
      {"three pieces", {"220-a\r\n", "220-b\r\n", "220 c\r\n", "extra"}, done, 220, 3},
      {"last piece decides", {"250-a\r\n", "451 b\r\n"}, done, 451, 2},
      {"split inside a line", {"25", "0 ok\r\n"}, done, 250, 2},
      {"hyphen arrives in a later receive", {"250", "-a\r\n", "550 no\r\n"}, done, 550, 3},
      {"no LF yet", {"250 ok"}, reading, -1, 1},
      {"8100 without LF completes", {"421" + x8097}, done, 421, 1},
      {"8099 reads on", {"421" + std::string(8096, 'x'), "\r\n"}, done, 421, 2},
      {"8100 over two receives", {"421" + std::string(5000, 'x'), std::string(3097, 'x')}, done, 421, 2},
      {"long continuation line goes on", {"250-" + std::string(8096, 'x'), "550 end\r\n"}, done, 550, 2},
      {"too short", {"25\r\n"}, done, -1, 1},
      {"lone CR LF", {"\r\n"}, done, -1, 1},
      {"short last line ends reply", {"250-a\r\n25\r\n"}, done, 250, 1},
      {"letters", {"abc hello\r\n"}, done, 0, 1},
      {"NUL ends the text", {std::string("250 ok\0\r\n", 9)}, reading, -1, 1},
      {"bytes after NUL are dropped, next receive appends",
       {std::string("2\0junk\r\n", 8), "50 ok\r\n"}, done, 250, 2},
      {"empty text reads on", {std::string("\0", 1), "220 hi\r\n"}, done, 220, 2},
      {"only the last LF is removed", {"250 a\r\n\n"}, done, 250, 1},
      {"closed connection", {""}, failed, -1, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    Fed f = assemble(c.receives);
    EXPECT_EQ(f.state, c.state);
    EXPECT_EQ(f.code, c.code);
    EXPECT_EQ(f.receives, c.receives_taken);
  }
}

TEST(SmtpReply, WindowsStayInsideTheBuffer) {
  std::vector<char> buf(SMTP_REPLY_BUFFER, '\0');
  SmtpReplyAssembler a(buf.data(), 1 << 20);
  EXPECT_EQ(a.window(), buf.data());
  EXPECT_EQ(a.window_size(), SMTP_REPLY_BUFFER);  // a new piece: up to 8191 bytes
  a.feed("220 ", 4);
  EXPECT_EQ(a.window(), buf.data() + 4);
  EXPECT_EQ(a.window_size(), 8191u - 4);  // appending keeps the text within 8190
  std::string big(9000, 'q');
  EXPECT_EQ(a.feed(big.data(), big.size()), done);  // cut to the window, 8190 characters
  EXPECT_EQ(a.text_length(), 8190u);
  EXPECT_EQ(a.code(), 220);
}

TEST(SmtpReply, ByteBoundCountsEveryPiece) {
  std::vector<std::string> pieces(10, "250-0123456789\r\n");  // 16 bytes each
  pieces.push_back("250 end\r\n");
  EXPECT_EQ(assemble(pieces, 16 * 10 + 9).code, 250);
  Fed f = assemble(pieces, 16 * 10 + 8);
  EXPECT_EQ(f.state, failed);
  EXPECT_EQ(f.code, -1);
}

TEST(SmtpReply, CodeHasScanfSemantics) {
  struct Case {
    const char* text;
    int code;
  };
  const Case cases[] = {
      {"", -1},          {"250", -1},       {"250 ", 250},     {"2501", 250},   {"abcd", 0},
      {"  250 x", 250},  {"\t\r\n 421x", 421}, {"+250", 25},   {"-250", -25},   {"+-25", 0},
      {"- 25", 0},       {"0250", 25},      {"9 ab", 9},       {"   +", 0},      {"    ", 0},
      {"1x2y", 1},       {"000 z", 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(smtp_reply_code(c.text), c.code);
    if (std::string(c.text).size() >= 4) {
      int n = 0;
      int expect = std::sscanf(c.text, "%3d", &n) == 1 ? n : 0;
      EXPECT_EQ(smtp_reply_code(c.text), expect) << "differs from sscanf";
    }
  }
  EXPECT_EQ(smtp_reply_code(nullptr), -1);
}

TEST(SmtpReply, VerdictByStage) {
  constexpr auto G = ProbeStage::greeting, H = ProbeStage::helo, M = ProbeStage::mail,
                 R = ProbeStage::recipient;
  constexpr auto pass = ReplyVerdict::pass, temp = ReplyVerdict::temporary,
                 mailbox = ReplyVerdict::mailbox_refusal, refused = ReplyVerdict::refused_probe;
  const struct {
    ProbeStage stage;
    const char* reply;
    ReplyVerdict want;
  } cases[] = {
      {R, "250 2.1.5 ok", pass},         {G, "220 mx ready", pass},
      {R, "450 4.2.0 greylisted", temp}, {G, "421 busy", temp},
      {R, "what?", temp},                {R, "", temp},
      {R, "55", temp},                   {R, "199 odd", temp},
      {G, "554 5.7.1 no", refused},      {H, "550 5.1.1 no", refused},
      {M, "550 5.1.1 no", refused},      {R, "550 5.1.1 <u>: unknown", mailbox},
      {R, "550-5.1.1 unknown", mailbox}, {R, "550 5.1.0", mailbox},
      {R, "553 5.1.2 bad", mailbox},     {R, "550 5.1.3 x", mailbox},
      {R, "551 5.1.6 moved", mailbox},   {R, "550 5.1.10 null MX", mailbox},
      {R, "550 5.2.1 disabled", mailbox}, {R, "550 5.7.1 blocked using x", refused},
      {R, "554 5.7.1 blocked", refused}, {R, "550 5.3.0 x", refused},
      {R, "550 5.4.1 x", refused},       {R, "550 5.5.1 x", refused},
      {R, "552 5.2.2 full", refused},    {R, "552 5.2.3 too big", refused},
      {R, "550 5.1.100 x", refused},     {R, "550 5.1.8 x", refused},
      {R, "550 no such user", mailbox},  {R, "551 not local", mailbox},
      {R, "553 bad name", mailbox},      {R, "554 no", refused},
      {R, "552 no", refused},            {R, "550 4.1.1 wrong class", mailbox},
      {R, "550 5.1.1x", mailbox},        {R, "554 5.1.1 mailbox", mailbox},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.reply);
    EXPECT_EQ(reply_verdict(c.stage, c.reply), c.want);
  }
}

TEST(SmtpReply, KeptReplyAndWalkFold) {
  ProbeReplyText kept;
  probe_reply_keep(kept, "550-5.7.1 blocked\r\n550 5.7.1 using x\r");
  EXPECT_STREQ(kept.c_str(), "550-5.7.1 blocked 550 5.7.1 using x");
  probe_reply_keep(kept, std::string(300, 'x'));
  EXPECT_EQ(kept.size(), PROBE_REPLY_MAX);

  auto at = [](int result, const char* reply) {
    ProbeOutcome o;
    o.result = result;
    o.reply.assign(reply);
    return o;
  };
  const struct {
    const char* label;
    std::vector<ProbeOutcome> probes;
    int want;
    const char* reply;
  } cases[] = {
      {"refused, then unreachable", {at(PROBE_REFUSED, "554 no"), at(PROBE_TEMPFAIL, "")},
       PROBE_REFUSED, "554 no"},
      {"refused, then deferred", {at(PROBE_REFUSED, "554 no"), at(PROBE_TEMPFAIL, "450 later")},
       PROBE_TEMPFAIL, "450 later"},
      {"deferred, then refused", {at(PROBE_TEMPFAIL, "421 busy"), at(PROBE_REFUSED, "554 no")},
       PROBE_TEMPFAIL, "421 busy"},
      {"refused, then failed", {at(PROBE_REFUSED, "554 no"), at(PROBE_FAIL, "550 5.1.1 no")},
       PROBE_FAIL, "550 5.1.1 no"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    ProbeOutcome walk;
    for (const ProbeOutcome& p : c.probes)
      if (probe_fold(walk, p)) break;
    EXPECT_EQ(walk.result, c.want);
    EXPECT_STREQ(walk.reply.c_str(), c.reply);
  }
}

// Replies that real exchangers send, as published by their operators, postmaster
// pages and bounce references (addresses and hosts replaced by documentation
// ones), each with the verdict a human would give it.
TEST(SmtpReply, RealReplies) {
  constexpr auto G = ProbeStage::greeting, H = ProbeStage::helo, M = ProbeStage::mail,
                 R = ProbeStage::recipient;
  enum Want { OK, TEMP, MAILBOX, CLIENT, BUSY, REFUSED };
  const struct {
    ProbeStage stage;
    const char* reply;
    Want want;
  } rows[] = {
      // Gmail and Google Workspace
      {R, "550-5.1.1 The email account that you tried to reach does not exist. Please try\r\n"
          "550-5.1.1 double-checking the recipient's email address for typos or\r\n"
          "550-5.1.1 unnecessary spaces. Learn more at\r\n"
          "550 5.1.1  https://support.google.com/mail/?p=NoSuchUser a1si123 - gsmtp", MAILBOX},
      {R, "550-5.2.1 The email account that you tried to reach is disabled. Learn more at\r\n"
          "550 5.2.1  https://support.google.com/mail/?p=DisabledUser a1si123 - gsmtp", MAILBOX},
      {R, "552-5.2.2 The email account that you tried to reach is over quota. Please direct\r\n"
          "552-5.2.2 the recipient to\r\n"
          "552 5.2.2  https://support.google.com/mail/?p=OverQuotaPerm a1si123 - gsmtp", BUSY},
      {R, "450-4.2.1 The user you are trying to contact is receiving mail too quickly. Please resend\r\n"
          "450 4.2.1 your message at a later time. a1si123 - gsmtp", TEMP},
      {R, "452-4.2.2 The recipient's inbox is out of storage space. a1si123 - gsmtp", TEMP},
      {G, "421-4.7.0 [192.0.2.1] Our system has detected an unusual rate of\r\n"
          "421-4.7.0 unsolicited mail originating from your IP address. a1si123 - gsmtp", TEMP},
      {H, "421-4.7.0 Try again later, closing connection. (EHLO) a1si123 - gsmtp", TEMP},
      {R, "550-5.7.1 [192.0.2.1] The IP you're using to send mail is not authorized to\r\n"
          "550-5.7.1 send email directly to our servers. Please use the SMTP relay at your\r\n"
          "550-5.7.1 service provider instead. Learn more at\r\n"
          "550 5.7.1  https://support.google.com/mail/?p=NotAuthorizedError a1si123 - gsmtp", CLIENT},
      {R, "550-5.7.25 [192.0.2.1] The IP address sending this message does not have a\r\n"
          "550-5.7.25 PTR record setup, or the corresponding forward DNS entry does not\r\n"
          "550 5.7.25 point to the sending IP. a1si123 - gsmtp", CLIENT},
      {R, "550 5.7.1 This message violates example.com email policy. - gcdp <sessionid> - gsmtp", CLIENT},
      // Microsoft 365 (Exchange Online Protection)
      {R, "550 5.4.1 Recipient address rejected: Access denied. AS(201806281) "
          "[BN1NAM02FT022.eop-nam02.prod.protection.outlook.com]", MAILBOX},
      {R, "550 5.1.10 RESOLVER.ADR.RecipientNotFound; Recipient not found by SMTP address lookup", MAILBOX},
      {R, "550 5.7.606 Access denied, banned sending IP [192.0.2.1]. To request removal from this "
          "list please visit https://sender.office.com/ and follow the directions. AS(1430)", CLIENT},
      {R, "550 5.7.1 Service unavailable, Client host [192.0.2.1] blocked using Spamhaus. To request "
          "removal from this list see https://www.spamhaus.org/query/ip/192.0.2.1 AS(1442)", CLIENT},
      {G, "451 4.7.500 Server busy. Please try again later from [192.0.2.1]. (S77714) "
          "[DM3NAM03FT043.eop-NAM03.prod.protection.outlook.com]", TEMP},
      {R, "550 5.7.64 TenantAttribution; Relay Access Denied "
          "[SN1NAM02FT012.eop-nam02.prod.protection.outlook.com]", REFUSED},
      {R, "550 5.7.708 Service unavailable. Access denied, traffic not accepted from this IP. AS(7230)",
       CLIENT},
      {R, "550 5.7.501 Service unavailable. Spam abuse detected from IP range.", CLIENT},
      {R, "550 5.7.511 Access denied, banned sender[192.0.2.1]. To request removal from this list "
          "please forward this message to delist@microsoft.com.", CLIENT},
      {R, "452 4.5.3 Too many recipients", TEMP},
      // Outlook.com and Hotmail
      {M, "550 5.7.1 Unfortunately, messages from [192.0.2.1] weren't sent. Please contact your "
          "Internet service provider since part of their network is on our block list (S3150). You can "
          "also refer your provider to http://mail.live.com/mail/troubleshooting.aspx#errors. "
          "[DB3EUR04FT007.eop-eur04.prod.protection.outlook.com]", CLIENT},
      {G, "550 SC-001 (BAY004-MC4F49) Unfortunately, messages from 192.0.2.1 weren't sent. Please "
          "contact your Internet service provider since part of their network is on our block list.",
       CLIENT},
      {R, "550 5.5.0 Requested action not taken: mailbox unavailable", MAILBOX},
      {R, "550 Requested action not taken: mailbox unavailable (-1973447238:2668:-2147467259)", MAILBOX},
      {G, "421 RP-001 (BAY004-MC1F63) Unfortunately, some messages from 192.0.2.1 weren't sent. "
          "Please try again. We have limits for how many messages can be sent per hour and per day.", TEMP},
      // Exchange Server on premises
      {R, "550 5.1.10 RESOLVER.ADR.RecipientNotFound; Recipient user@example.com not found by SMTP "
          "address lookup", MAILBOX},
      {R, "550 5.1.1 RESOLVER.ADR.RecipNotFound; not found", MAILBOX},
      {R, "550 5.1.1 User unknown", MAILBOX},
      {R, "550 5.7.1 Unable to relay", REFUSED},
      {R, "530 5.7.1 Client was not authenticated", CLIENT},
      {M, "550 5.7.1 Client does not have permissions to send as this sender", CLIENT},
      {R, "452 4.3.1 Insufficient system resources", TEMP},
      // Yahoo Mail
      {R, "554 delivery error: dd This user doesn't have a yahoo.com account (user@yahoo.com) [0] - "
          "mta1234.mail.ne1.yahoo.com", MAILBOX},
      {R, "554 delivery error: dd Sorry your message to user@yahoo.com cannot be delivered. This "
          "mailbox is disabled (554.30).", MAILBOX},
      {R, "554 delivery error: dd Sorry, your message to user@yahoo.com cannot be delivered. This "
          "account is over quota.", BUSY},
      {G, "553 5.7.1 [BL21] Connections will not be accepted from 192.0.2.1, because the ip is in "
          "Spamhaus's list; see http://postmaster.yahoo.com/550-bl23.html", CLIENT},
      {G, "421 4.7.0 [TSS04] Messages from 192.0.2.1 temporarily deferred due to unexpected volume or "
          "user complaints - 4.16.55.1; see https://postmaster.yahooinc.com/error-codes", TEMP},
      {G, "553 VS99-IP1 deferred", REFUSED},
      {G, "553 5.7.2 [TSS09] All messages from 192.0.2.1 will be permanently deferred; Retrying will "
          "NOT succeed. See https://postmaster.yahooinc.com/error-codes", REFUSED},
      {R, "451 VS1-IP Excessive unknown recipients - possible Open Relay (#4.1.8)", TEMP},
      // AOL
      {R, "550 MAILBOX NOT FOUND", MAILBOX},
      {R, "550 #5.1.0 Address rejected.", MAILBOX},
      // iCloud
      {R, "550 5.1.1 <user@icloud.com>: user does not exist", MAILBOX},
      {R, "550 5.1.1 unknown or illegal alias: user@icloud.com", MAILBOX},
      {R, "550 5.7.1 [CS01] Message rejected due to local policy. Please visit "
          "https://support.apple.com/en-us/HT204137", CLIENT},
      {R, "550 5.7.0 Blocked - see https://support.proofpoint.com/dnsbl-lookup.cgi?ip=192.0.2.1", CLIENT},
      {R, "421 4.7.1 Messages to user@icloud.com deferred due to excessive volume. Try again later - "
          "https://support.apple.com/en-us/HT204137", TEMP},
      {R, "451 4.7.1 Service unavailable - try again later", TEMP},
      {R, "550 5.7.1 Relay not permitted for user.", REFUSED},
      // GMX and Web.de (United Internet), IONOS
      {G, "554-gmx.net (mxgmx104) Nemesis ESMTP Service not available\r\n554-No SMTP service\r\n"
          "554-IP address is block listed.\r\n"
          "554 For explanation visit https://postmaster.gmx.net/en/case?c=r0201&i=ip&v=198.51.100.42", CLIENT},
      {R, "550 <user@gmx.net>: Requested action not taken: mailbox unavailable", MAILBOX},
      {M, "550 <user@example.org>: Reject due to SPF policy. The originating IP of the message is not "
          "permitted by the domain owner", CLIENT},
      {R, "550 5.1.1 <user@gmx.de>... User is unknown", MAILBOX},
      {R, "550 5.2.1 <user@gmx.de>... User is inactive", MAILBOX},
      {R, "550 Unknown local part user in <user@web.de>", MAILBOX},
      {R, "550 Benutzer hat das Speichervolumen ueberschritten. / User has exhausted allowed storage "
          "space.", BUSY},
      {R, "550 Benutzer hat zuviele Mails auf dem Server. / User has too many messages on the server.", BUSY},
      {R, "550 Unknown User", MAILBOX},
      {R, "550 Quota Exceeded", BUSY},
      // Mail.ru
      {R, "550 Message was not accepted -- invalid mailbox.  Local mailbox user@mail.ru is "
          "unavailable: user not found", MAILBOX},
      {R, "550 Message was not accepted -- invalid mailbox.  Local mailbox user@mail.ru is "
          "unavailable: account is disabled", MAILBOX},
      {R, "550 spam message rejected. Please visit https://help.mail.ru/notspam-support/id", CLIENT},
      // Yandex
      {R, "550 5.7.1 No such user!", MAILBOX},
      {R, "554 5.7.1 [2] Message rejected under suspicion of SPAM; https://ya.cc/1IrBc", CLIENT},
      {R, "550 5.7.1 Policy rejection on the target address", CLIENT},
      {R, "451 4.7.1 Sorry, the service is currently unavailable. Please come back later.", TEMP},
      // Zoho Mail
      {R, "550 5.1.1 <user@zoho.com> User unknown", MAILBOX},
      {R, "552 5.1.1 <user@zoho.com> Mailbox delivery failure policy error", CLIENT},
      {R, "452 <user@zoho.com> Mailbox delivery restricted by policy error", TEMP},
      {R, "541 5.4.1 Mail rejected by destination domain", REFUSED},
      {R, "452 4.3.1 Temporary System Error", TEMP},
      // Fastmail
      {R, "550 5.1.1 <user@fastmail.com>: Recipient address rejected: User unknown in virtual mailbox "
          "table", MAILBOX},
      {R, "550 5.1.1 Sorry, user address unknown", MAILBOX},
      {R, "554 5.7.1 <mail.example.net[192.0.2.1]>: Client host rejected: Address locked or "
          "deactivated; see http://mail.messagingengine.com/docs/locked.html", CLIENT},
      // ISP mail: T-Online, Comcast, AT&T, Verizon, Cox, Rackspace, QQ, NetEase
      {R, "550 5.1.1 user unknown", MAILBOX},
      {R, "552 5.2.2 Over STORAGE quota", BUSY},
      {R, "550 5.1.1 <user@comcast.net> Not our Customer", MAILBOX},
      {G, "554 resimta-ch2-18v.sys.comcast.net comcast 192.0.2.1 found on one or more DNSBLs, see "
          "http://postmaster.comcast.net/smtp-error-codes.php#BL000000", CLIENT},
      {R, "550 5.2.1 <USER@PRODIGY.NET>... Addressee unknown, relay=[192.0.2.1]", MAILBOX},
      {G, "550 5.7.1 Connections not accepted from servers without a valid sender domain.flph829 Fix "
          "reverse DNS for 192.0.2.1", CLIENT},
      {R, "550 5.1.1 unknown or illegal alias: user@verizon.net", MAILBOX},
      {R, "550 5.1.1 <user@cox.net> recipient rejected", MAILBOX},
      {G, "421 Too many concurrent connections from this client (G2)", TEMP},
      {R, "450 4.2.1 <user@example.com>: Mailbox received too much email in a short period of time (G30)",
       TEMP},
      {R, "451 4.7.1 Received too many messages from a new or untrusted IP (G28)", TEMP},
      {R, "550 Mailbox not found. http://service.mail.qq.com/cgi-bin/help?subtype=1&&id=20022&&no=1000728",
       MAILBOX},
      {R, "550 User not found: user@163.com", MAILBOX},
      // Postfix: local, virtual and relay recipients, restrictions, DNSBL, postscreen
      {R, "550 5.1.1 <user@example.com>: Recipient address rejected: User unknown in local recipient "
          "table", MAILBOX},
      {R, "550 5.1.1 <user@example.com>: Recipient address rejected: User unknown in virtual alias "
          "table", MAILBOX},
      {R, "550 5.1.1 <user@example.com>: Recipient address rejected: User unknown in relay recipient "
          "table", MAILBOX},
      {R, "554 5.7.1 <user@example.com>: Relay access denied", REFUSED},
      {R, "450 4.1.2 <user@example.com>: Recipient address rejected: Domain not found", TEMP},
      {R, "504 5.5.2 <postmaster@localhost>: Sender address rejected: need fully-qualified address",
       REFUSED},
      {R, "450 4.1.8 <postmaster@example.net>: Sender address rejected: Domain not found", TEMP},
      {R, "550 5.1.0 <postmaster@example.net>: Sender address rejected: User unknown in local "
          "recipient table", REFUSED},
      {R, "553 5.7.1 <postmaster@example.net>: Sender address rejected: not logged in", REFUSED},
      {R, "550 5.7.25 Client host rejected: cannot find your reverse hostname, [192.0.2.1]", CLIENT},
      {R, "554 5.7.1 Service unavailable; Client host [192.0.2.1] blocked using zen.spamhaus.org; "
          "https://www.spamhaus.org/query/ip/192.0.2.1", CLIENT},
      {R, "504 5.5.2 <localhost>: Helo command rejected: need fully-qualified hostname", CLIENT},
      {H, "504 5.5.2 <localhost>: Helo command rejected: need fully-qualified hostname", CLIENT},
      {R, "554 5.7.1 <unknown[192.0.2.1]>: Client host rejected: Access denied", CLIENT},
      {R, "550 5.7.1 <user@example.com>: Recipient address rejected: Access denied", MAILBOX},
      {R, "452 4.5.3 Error: too many recipients", TEMP},
      {R, "550 5.7.1 Service unavailable; client [192.0.2.1] blocked using zen.spamhaus.org", CLIENT},
      {G, "421 4.7.0 mx.example.com Error: too many connections from 192.0.2.1", TEMP},
      {R, "450 4.3.2 Service currently unavailable", TEMP},
      // Exim
      {R, "550 Unrouteable address", MAILBOX},
      {R, "550 Administrative prohibition", CLIENT},
      {R, "550 rejected because 192.0.2.1 is in a black list at zen.spamhaus.org", CLIENT},
      {R, "550-Verification failed for <postmaster@example.net>\r\n550-Called:   192.0.2.2\r\n"
          "550-Sent:     RCPT TO:<postmaster@example.net>\r\n"
          "550-Response: 550 5.1.1 <postmaster@example.net>: Recipient address rejected: User unknown\r\n"
          "550 Sender verify failed", REFUSED},
      {R, "451 Temporary local problem - please try later", TEMP},
      // Sendmail and milter-greylist
      {R, "550 5.1.1 <user@example.com>... User unknown", MAILBOX},
      {R, "550 5.7.1 <user@example.com>... Relaying denied. IP name lookup failed [192.0.2.1]", CLIENT},
      {R, "553 5.1.8 <postmaster@example.net>... Domain of sender address postmaster@example.net does "
          "not exist", REFUSED},
      {R, "552 5.2.2 <user@example.com>... Mailbox full", BUSY},
      {R, "550 5.7.1 Rejected: 192.0.2.1 listed at zen.spamhaus.org", CLIENT},
      {R, "550 5.7.1 <user@example.com>... Access denied", REFUSED},
      {R, "451 4.7.1 Greylisting in action, please come back later", TEMP},
      // qmail, chkuser, vpopmail
      {R, "511 sorry, no mailbox here by that name (#5.1.1 - chkuser)", MAILBOX},
      {R, "553 sorry, that domain isn't in my list of allowed rcpthosts (#5.7.1 - chkuser)", REFUSED},
      {R, "553 sorry, that domain isn't in my list of allowed rcpthosts (#5.7.1)", REFUSED},
      {R, "550 sorry, no mailbox here by that name. (#5.7.17)", MAILBOX},
      {R, "554 Sorry, no mailbox here by that name. (#5.1.1)", MAILBOX},
      {M, "553 sorry, your envelope sender is in my badmailfrom list (#5.7.1)", REFUSED},
      // OpenSMTPD
      {R, "550 Invalid recipient", MAILBOX},
      {R, "550 5.7.1 Delivery not authorized, message refused", REFUSED},
      // Zimbra (its MTA is Postfix), IceWarp, Stalwart, MXroute
      {R, "550 5.1.1 <user@example.com>: Recipient address rejected: User unknown in virtual mailbox "
          "table", MAILBOX},
      {R, "550 5.1.1 Unknown user; rejecting", MAILBOX},
      {R, "550 This account is not authorized to receive email.", MAILBOX},
      {R, "550 Unauthenticated mail not allowed from this range", CLIENT},
      // Mimecast
      {R, "550 Invalid Recipient - https://community.mimecast.com/docs/DOC-1369#550 [AbCdEf.uk1]", MAILBOX},
      {R, "550 Envelope blocked - User Entry - https://community.mimecast.com/docs/DOC-1369#550", CLIENT},
      {R, "550 Rejected by header based Anti-Spoofing policy: user@example.com - "
          "https://community.mimecast.com/docs/DOC-1369#550", CLIENT},
      {R, "554 Email rejected due to security policies - https://community.mimecast.com/docs/DOC-1369#554",
       CLIENT},
      {R, "451 Internal resource temporarily unavailable - https://community.mimecast.com/docs/DOC-1369#451",
       TEMP},
      // Proofpoint
      {R, "554 5.7.0 Blocked - see https://ipcheck.proofpoint.com/?ip=192.0.2.1", CLIENT},
      // Barracuda
      {R, "550 cuda_nsu 5.1.1 <user@example.com> Recipient address rejected: User unknown", MAILBOX},
      {R, "550 No such user (user@example.com)", MAILBOX},
      {R, "550 Blocked", CLIENT},
      {R, "550 rejecting spoofed message", CLIENT},
      {G, "554 Service unavailable; Client host [192.0.2.1] blocked using Barracuda Reputation; "
          "http://bbl.barracudacentral.com/q.cgi?ip=192.0.2.1", CLIENT},
      {R, "550 permanent failure for one or more recipients (user@example.com:blocked)", CLIENT},
      // Cisco Secure Email (IronPort)
      {G, "554 Your access to this mail system has been rejected due to the sending MTA's poor "
          "reputation. If you believe that this failure is in error, please contact the intended "
          "recipient via alternate means.", CLIENT},
      {R, "550 #5.1.0 Address rejected user@example.com", MAILBOX},
      {R, "452 Too many recipients received this hour", TEMP},
      // Sophos Email, Symantec Messaging Gateway
      {R, "554 5.7.28 Mail flood detected", CLIENT},
      {R, "554 5.1.2 Recipient address rejected: User unknown", MAILBOX},
      // Trend Micro (Hosted Email Security, Email Reputation Services)
      {R, "554 5.7.1 <user@example.com>: Recipient address rejected: Access denied.", MAILBOX},
      {R, "550 Service unavailable; Client host [192.0.2.1] blocked using Trend Micro RBL+. Please see "
          "http://www.mail-abuse.com/cgi-bin/lookup?ip_address=192.0.2.1", CLIENT},
      {R, "550 Mail from 192.0.2.1 refused by rbl-plus.mail-abuse.org. Please refer to "
          "http://mail-abuse.org/rbl+ for an explanation", CLIENT},
      // Greylisting: postgrey, OpenBSD spamd, rspamd
      {R, "450 4.2.0 <user@example.com>: Recipient address rejected: Greylisted, see "
          "http://postgrey.schweikert.ch/help/example.com.html", TEMP},
      {G, "451 Temporary failure, please try again later.", TEMP},
      {R, "451 4.7.1 Try again later", TEMP},
      // Accepted, for the record
      {R, "250 2.1.5 Ok", OK},
      {R, "250 2.1.5 <user@example.com>... Recipient ok", OK},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.reply);
    const std::string_view text = row.reply;
    const ReplyReading r = read_reply(row.stage, text);
    switch (row.want) {
      case OK: EXPECT_EQ(r.verdict, ReplyVerdict::pass); break;
      case TEMP: EXPECT_EQ(r.verdict, ReplyVerdict::temporary); break;
      case MAILBOX: EXPECT_EQ(r.verdict, ReplyVerdict::mailbox_refusal); break;
      case CLIENT: EXPECT_EQ(r.reason, RefusalReason::client); break;
      case BUSY: EXPECT_EQ(r.reason, RefusalReason::mailbox_busy); break;
      case REFUSED:
        EXPECT_EQ(r.verdict, ReplyVerdict::refused_probe);
        EXPECT_NE(r.reason, RefusalReason::client);
        EXPECT_NE(r.reason, RefusalReason::mailbox_busy);
        break;
    }
    // The fuzz target's invariants, on the reply and every prefix of it.
    for (std::size_t n = 0; n <= text.size(); ++n) {
      const ReplyReading p = read_reply(row.stage, text.substr(0, n));
      EXPECT_EQ(p.verdict == ReplyVerdict::refused_probe, p.reason != RefusalReason::none);
      if (row.stage != R) {
        EXPECT_NE(p.verdict, ReplyVerdict::mailbox_refusal);
      }
      if (p.verdict != ReplyVerdict::temporary && p.verdict != ReplyVerdict::pass) {
        EXPECT_EQ(text[0], '5');
      }
    }
  }
}

// A long reply is read in pieces: a phrase across a seam is found, a word cut
// by one is no word ("ip" of "ipv6").
TEST(SmtpReply, LongRepliesAcrossPieces) {
  EXPECT_EQ(reply_verdict(ProbeStage::recipient, "554 " + std::string(1014, 'y') + " user unknown"),
            ReplyVerdict::mailbox_refusal);
  EXPECT_EQ(reply_verdict(ProbeStage::recipient, "550 5.1.1 " + std::string(1011, 'y') + " ipv6 z"),
            ReplyVerdict::mailbox_refusal);
}
