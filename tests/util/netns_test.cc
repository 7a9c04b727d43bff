// The unit tests' private namespace: loopback only, documentation ranges local.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cstdlib>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

TEST(PrivateNamespace, DocumentationRangesAreLocal) {
  if (std::getenv("KORVANE_NO_NETNS")) GTEST_SKIP() << "no private namespace";
  for (const char* a : {"192.0.2.7", "198.51.100.25", "203.0.113.9", "127.0.0.2"}) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_GE(fd, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(25);
    inet_pton(AF_INET, a, &sa.sin_addr);
    EXPECT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa), 0) << a;
    close(fd);
  }
}
