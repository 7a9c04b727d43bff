// The control socket's thread against real clients: answers while other clients
// sit idle, the fifth client at once refused, forget reaching the cache, a
// client that never reads its answers read no more, and a clean stop (run
// under ThreadSanitizer in CI).
#include "control/server.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <fcntl.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "cache/cache.h"
#include "cache/mark_strikes.h"
#include "util/constants.h"

namespace {

int connect_to(const std::string& path) {
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  path.copy(addr.sun_path, sizeof addr.sun_path - 1);
  const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
  timeval five{5, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &five, sizeof five);
  EXPECT_EQ(connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr), 0);
  return fd;
}

// Sends the text and reads up to a "." line or an error line (or the close).
std::string ask(int fd, const std::string& text) {
  // The server may already have closed a refused client: no SIGPIPE for the test.
  if (!text.empty()) {
    EXPECT_EQ(send(fd, text.data(), text.size(), MSG_NOSIGNAL), static_cast<ssize_t>(text.size()));
  }
  std::string got;
  char buf[512];
  while (got.find("\n.\n") == std::string::npos && got.rfind(".\n", 0) != 0 &&
         got.find("error: ") == std::string::npos) {
    const ssize_t n = recv(fd, buf, sizeof buf, 0);
    if (n <= 0) break;
    got.append(buf, static_cast<std::size_t>(n));
  }
  return got;
}

TEST(ControlServer, ServesBesideIdleClientsRefusesTheFifthAndStops) {
  char dir[] = "/tmp/korvane-control.XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  const std::string path = std::string(dir) + "/control.sock";
  ASSERT_TRUE(cache_mutex_init());
  ASSERT_TRUE(cache_create());
  cache_set_clock([] { return std::time_t{1000}; });
  cache_remember("a@x", 600, CACHE_SENDER, SENDER_FAIL);
  ASSERT_TRUE(control_start(path.c_str()));
  struct stat st{};
  ASSERT_EQ(stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);

  std::vector<int> idle;
  for (int i = 0; i < CONTROL_CLIENTS - 1; ++i) idle.push_back(connect_to(path));
  const int busy_one = connect_to(path);
  EXPECT_EQ(ask(busy_one, "show a@x\n"), "sender fail 600 memory\n.\n");
  const int fifth = connect_to(path);
  EXPECT_EQ(ask(fifth, ""), "error: too many control clients\n");
  EXPECT_EQ(ask(busy_one, "forget A@X\nshow a@x\nforget-domain x\n"),
            "sender fail 600 memory\n.\nnot cached\n.\nno marks\n.\n");
  EXPECT_EQ(cache_recall_again("a@x", CACHE_SENDER), 0);
  // One refused probe waits for a second address's; the second marks the domain.
  EXPECT_FALSE(mark_strike(CACHE_SENDER_REFUSING, "y", "a@y", "554 5.7.1 \"no\"", 600));
  EXPECT_EQ(ask(busy_one, "show b@y\n"), "sender-refusing pending 600 memory reply=\"554 5.7.1 \\x22no\\x22\"\n.\n");
  EXPECT_TRUE(mark_strike(CACHE_SENDER_REFUSING, "y", "b@y", "554 blocked", 600));
  cache_remember("y", 600, CACHE_SENDER_REFUSING, REFUSING_DOMAIN);
  EXPECT_EQ(ask(busy_one, "show b@y\nforget-domain y\nshow b@y\n"),
            "sender-refusing refusing 600 memory reply=\"554 blocked\"\n.\n"
            "sender-refusing refusing 600 memory\n.\nnot cached\n.\n");

  // Unread answers past the bound stop the reading: the asker's socket fills.
  close(idle.back());
  idle.pop_back();
  usleep(100 * 1000);
  const int flood = connect_to(path);
  ASSERT_EQ(fcntl(flood, F_SETFL, O_NONBLOCK), 0);
  std::size_t sent = 0;
  std::string requests;
  for (int i = 0; i < 682; ++i) requests += "stats\n";
  // Until the socket stays full for a fifth of a second, or 1 MB went; the
  // bound and the socket's buffers hold some 200 KB.
  for (int still = 0, round = 0; still < 10 && round < 5000 && sent < (1u << 20); ++round) {
    const ssize_t n = send(flood, requests.data(), requests.size(), MSG_NOSIGNAL);
    still = n > 0 ? 0 : still + 1;
    if (n > 0) sent += static_cast<std::size_t>(n);
    else usleep(20 * 1000);
  }
  EXPECT_LT(sent, 512u << 10) << "the server read on without bound";
  EXPECT_EQ(ask(busy_one, "show a@x\n"), "not cached\n.\n");
  close(flood);

  control_stop();
  EXPECT_NE(access(path.c_str(), F_OK), 0);
  for (int fd : idle) close(fd);
  close(busy_one);
  close(fifth);
  cache_destroy();
  cache_mutex_destroy();
  cache_set_clock(nullptr);
  rmdir(dir);
}

}  // namespace
