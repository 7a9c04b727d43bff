// The transport against a scripted server: reply assembly over real receives,
// the timeouts and bounds, refused and reset connections, the polite end.
#include "smtp/transport.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>
#include <fcntl.h>

#include <chrono>
#include <string>

#include "smtp/socket.h"
#include "smtp/script_server.h"

using namespace testsrv;
using Clock = std::chrono::steady_clock;

namespace {

SmtpTimeouts fast() {
  SmtpTimeouts t;
  t.connect_ms = 1000;
  t.send_ms = 1000;
  t.receive_ms = 400;
  t.reply_total_ms = 5000;
  return t;
}

sockaddr_in loopback(std::uint16_t port, const char* ip = "127.0.0.1") {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  inet_pton(AF_INET, ip, &a.sin_addr);
  return a;
}

// A connected client socket, or an invalid one.
SmtpSocket dial(std::uint16_t port, const SmtpTimeouts& t = fast()) {
  SmtpSocket s(socket(AF_INET, SOCK_STREAM, 0));
  if (!s.valid() || smtp_connect(s.get(), loopback(port), t) != 0) s.reset();
  return s;
}

long elapsed_ms(Clock::time_point since) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - since).count();
}

std::string repeat_line(const std::string& line, std::size_t bytes) {
  std::string out;
  while (out.size() < bytes) out += line;
  return out;
}

}  // namespace

struct ReplyCase {
  const char* label;
  Script script;  // the server's side, before the follow-up exchange
  int expected;
  bool follow_up;  // the reply was read exactly: a next command gets its own reply
};

TEST(SmtpTransport, ReadsRepliesOverRealReceives) {
  const std::string long_piece = "421" + std::string(8097, 'x');  // 8100, no LF
  const std::string almost = "250" + std::string(8096, 'y');      // 8099, no LF
  const std::string long_cont = "250-" + std::string(8096, 'z');  // 8100, no LF
  const ReplyCase cases[] = {
      {"one piece", {Send("250 ok\r\n")}, 250, true},
      {"three pieces, each over the last",
       {Send("220-a\r\n"), Sleep(40), Send("220-b\r\n"), Sleep(40), Send("220 c\r\n")}, 220, true},
      {"two lines in one receive", {Send("250-a\r\n250 b\r\n")}, 250, true},
      {"continuation piece then final line later",
       {Send("220-a\r\n220-b\r\n"), Sleep(40), Send("220 c\r\n")}, 220, true},
      {"final line split across receives", {Send("250-a\r\n25"), Sleep(40), Send("0 b\r\n")}, 250, true},
      {"code of the first line of the last piece",
       {Send("250"), Sleep(40), Send("-a\r\n"), Sleep(40), Send("451 b\r\n")}, 451, true},
      {"line without LF reaching 8100 ends the piece", {Send(long_piece)}, 421, true},
      {"8099 characters still read on", {Send(almost), Sleep(60), Send("\r\n")}, 250, true},
      {"long continuation line without LF goes on",
       {Send(long_cont), Sleep(40), Send("550 end\r\n")}, 550, true},
      {"too short", {Send("25\r\n")}, -1, true},
      {"letters instead of a code", {Send("abc hello\r\n")}, 0, true},
      {"NUL ends the text, later bytes append after it",
       {Send(std::string("2\0junk\r\n", 8)), Sleep(40), Send("50 ok\r\n")}, 250, true},
      {"NUL before the line end leaves the reply unfinished", {Send(std::string("250 ok\0\r\n", 9))}, -1,
       false},
      {"server closes before replying", {Close()}, -1, false},
      {"server closes mid-reply", {Send("250-a\r\n"), Close()}, -1, false},
      {"no byte before the timeout", {Sleep(900)}, -1, false},
      {"just under 64 KiB of continuation lines",
       {Send(repeat_line("250-" + std::string(60, 'k') + "\r\n", 60 * 1024)), Send("250 end\r\n")}, 250, true},
      {"past 64 KiB in total",
       {Send(repeat_line("250-" + std::string(60, 'k') + "\r\n", 70 * 1024)), Send("250 end\r\n")}, -1, false},
  };
  for (const ReplyCase& c : cases) {
    SCOPED_TRACE(c.label);
    Script script = c.script;
    script.push_back(ReadLine());
    script.push_back(Send("299 next\r\n"));
    ScriptServer server("127.0.0.1", {script});
    ASSERT_TRUE(server.ok());
    SmtpSocket s = dial(server.port());
    ASSERT_TRUE(s.valid());
    EXPECT_EQ(smtp_command(s.get(), nullptr, fast()), c.expected);
    if (c.follow_up) {
      EXPECT_EQ(smtp_command(s.get(), "NOOP\r\n", fast()), 299);
    }
  }
}

TEST(SmtpTransport, SendsTheLineAndReadsItsReply) {
  ScriptServer server("127.0.0.1", {replies({"220 hi", "250 there"})});
  ASSERT_TRUE(server.ok());
  {
    SmtpSocket s = dial(server.port());
    ASSERT_TRUE(s.valid());
    EXPECT_EQ(smtp_command(s.get(), nullptr, fast()), 220);
    EXPECT_EQ(smtp_command(s.get(), "HELO me\r\n", fast()), 250);
  }
  EXPECT_EQ(server.transcript(), "HELO me");
}

TEST(SmtpTransport, WholeReplyHasATimeBound) {
  Script drip;
  for (int i = 0; i < 40; ++i) {
    drip.push_back(Send("250-more\r\n"));
    drip.push_back(Sleep(30));
  }
  ScriptServer server("127.0.0.1", {drip});
  ASSERT_TRUE(server.ok());
  SmtpSocket s = dial(server.port());
  ASSERT_TRUE(s.valid());
  SmtpTimeouts t = fast();
  t.reply_total_ms = 300;
  auto start = Clock::now();
  EXPECT_EQ(smtp_command(s.get(), nullptr, t), -1);
  long ms = elapsed_ms(start);
  EXPECT_GE(ms, 250);
  EXPECT_LT(ms, 900);
}

TEST(SmtpTransport, TimeoutIsPerReceive) {
  ScriptServer server("127.0.0.1", {{Sleep(150), Send("250-a\r\n"), Sleep(150), Send("250 b\r\n")}});
  ASSERT_TRUE(server.ok());
  SmtpSocket s = dial(server.port());
  ASSERT_TRUE(s.valid());
  SmtpTimeouts t = fast();
  t.receive_ms = 250;  // each wait fits, their sum does not
  EXPECT_EQ(smtp_command(s.get(), nullptr, t), 250);
}

TEST(SmtpTransport, SendToResetConnectionFails) {
  ScriptServer server("127.0.0.1", {{Reset()}});
  ASSERT_TRUE(server.ok());
  SmtpSocket s = dial(server.port());
  ASSERT_TRUE(s.valid());
  server.wait_idle();
  usleep(50 * 1000);
  SmtpTimeouts t = fast();
  t.receive_ms = 3000;
  auto start = Clock::now();
  EXPECT_EQ(smtp_command(s.get(), "RSET\r\n", t), -1);
  EXPECT_LT(elapsed_ms(start), 1000);
}

TEST(SmtpTransport, ConnectRefusedAndTimedOut) {
  std::uint16_t port;
  {
    ScriptServer gone("127.0.0.1", {});
    ASSERT_TRUE(gone.ok());
    port = gone.port();
  }
  SmtpSocket refused(socket(AF_INET, SOCK_STREAM, 0));
  EXPECT_EQ(smtp_connect(refused.get(), loopback(port), fast()), -1);

  // A listener that never accepts, with a full queue, drops further SYNs.
  int l = socket(AF_INET, SOCK_STREAM, 0);
  ASSERT_GE(l, 0);
  sockaddr_in a = loopback(0);
  socklen_t len = sizeof a;
  ASSERT_EQ(bind(l, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  ASSERT_EQ(listen(l, 0), 0);
  ASSERT_EQ(getsockname(l, reinterpret_cast<sockaddr*>(&a), &len), 0);
  SmtpTimeouts t = fast();
  t.connect_ms = 200;
  int results = 0;
  SmtpSocket held[3];
  for (auto& h : held) {
    h.reset(socket(AF_INET, SOCK_STREAM, 0));
    results += smtp_connect(h.get(), a, t) == 0 ? 1 : 0;
  }
  EXPECT_LT(results, 3);
  // A connected socket is back in blocking mode.
  EXPECT_EQ(fcntl(held[0].get(), F_GETFL) & O_NONBLOCK, 0);
  close(l);
}

struct QuitCase {
  const char* label;
  std::vector<std::string> replies;  // greeting, then one per line read
  const char* transcript;
};

TEST(SmtpTransport, PoliteEnd) {
  const QuitCase cases[] = {
      {"RSET answered", {"220 hi", "250 reset", "221 bye"}, "RSET|QUIT"},
      {"RSET refused, QUIT still sent", {"220 hi", "500 what", "221 bye"}, "RSET|QUIT"},
      {"server gone, no QUIT", {"220 hi", "DROP"}, "RSET"},
      {"RSET not answered, no QUIT", {"220 hi", "SILENT"}, "RSET"},
  };
  for (const QuitCase& c : cases) {
    SCOPED_TRACE(c.label);
    ScriptServer server("127.0.0.1", {replies(c.replies)});
    ASSERT_TRUE(server.ok());
    {
      SmtpSocket s = dial(server.port());
      ASSERT_TRUE(s.valid());
      ASSERT_EQ(smtp_command(s.get(), nullptr, fast()), 220);
      smtp_quit(s.get(), fast());
    }
    EXPECT_EQ(server.transcript(), c.transcript);
  }
}

TEST(SmtpTransport, DescriptorAbove1024) {
  rlimit rl{};
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &rl), 0);
  if (rl.rlim_max != RLIM_INFINITY && rl.rlim_max < 2048) GTEST_SKIP() << "hard descriptor limit too low";
  rlimit raised = rl;
  if (raised.rlim_cur == RLIM_INFINITY || raised.rlim_cur < 2048) raised.rlim_cur = 2048;
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &raised), 0);

  ScriptServer server("127.0.0.1", {replies({"220 hi", "250 high"})});
  ASSERT_TRUE(server.ok());
  int low = socket(AF_INET, SOCK_STREAM, 0);
  ASSERT_GE(low, 0);
  int high = 1500;
  while (high < 2000 && fcntl(high, F_GETFD) != -1) ++high;
  ASSERT_EQ(dup2(low, high), high);
  close(low);
  {
    SmtpSocket s(high);
    ASSERT_EQ(smtp_connect(s.get(), loopback(server.port()), fast()), 0);
    EXPECT_EQ(smtp_command(s.get(), nullptr, fast()), 220);
    EXPECT_EQ(smtp_command(s.get(), "HELO high\r\n", fast()), 250);
  }
  EXPECT_EQ(fcntl(high, F_GETFD), -1);  // closed by its owner
  EXPECT_EQ(server.transcript(), "HELO high");
  setrlimit(RLIMIT_NOFILE, &rl);
}

TEST(SmtpTransport, ReadTakesOneReceiveWithinItsSize) {
  ScriptServer server("127.0.0.1", {{Send("abcdef"), Sleep(100), Close()}});
  ASSERT_TRUE(server.ok());
  SmtpSocket s = dial(server.port());
  ASSERT_TRUE(s.valid());
  usleep(30 * 1000);
  char buf[8] = "zzzzzzz";
  EXPECT_EQ(smtp_read(s.get(), buf, 1, fast()), -1);  // no room for a byte and its NUL
  EXPECT_EQ(smtp_read(s.get(), buf, 4, fast()), 0);
  EXPECT_STREQ(buf, "abc");
  EXPECT_EQ(smtp_read(s.get(), buf, sizeof buf, fast()), 0);
  EXPECT_STREQ(buf, "def");
  EXPECT_EQ(smtp_read(s.get(), buf, sizeof buf, fast()), -1);  // closed
}
