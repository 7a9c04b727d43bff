// The reload: a clean file swapped in whole with the start-up keys kept, and a
// refused or missing one changing nothing, while a snapshot taken before stays as it was.
#include "daemon/reload.h"

#include <gtest/gtest.h>
#include <syslog.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "settings/settings.h"
#include "util/log.h"

namespace {

struct ReloadCase {
  const char* label;
  const char* text;  // nullptr: no file at all
  const char* problem;  // what the reload answers after the path, "" when it applies
  std::vector<std::string> logged;
  const char* socket_after;
  bool whitelisted_after;
};

TEST(Reload, AllOrNothing) {
  char path[] = "/tmp/korvane-reload-XXXXXX";
  const int fd = mkstemp(path);
  ASSERT_GE(fd, 0);
  close(fd);
  const std::string p = path;
  const ReloadCase cases[] = {
      {"clean, with a new socket", "socket unix:/elsewhere.sock\nwhitelistfrom vip@\n", "",
       {"needs a restart: socket", "configuration reloaded"}, "unix:/first.sock", true},
      {"an ignored line", "whitelistfrom x@\nsav maybe\n", ":2: sav takes only the value off",
       {"[ERROR] configuration not reloaded: " + p + ":2: sav takes only the value off"},
       "unix:/first.sock", true},
      {"both redis and redissentinel", "redis 127.0.0.1\nredissentinel 127.0.0.1\nredismaster m\n",
       ": redis and redissentinel exclude each other", {}, "unix:/first.sock", true},
      {"no file", nullptr, "cannot open", {}, "unix:/first.sock", true},
      {"clean, the socket as it was", "socket unix:/first.sock\n", "", {"configuration reloaded"},
       "unix:/first.sock", false},
  };
  settings_clear();
  settings_defaults();
  settings.socket = "unix:/first.sock";
  std::vector<std::string> lines;
  log_set_sink([&](int, const std::string& line) { lines.push_back(line); });
  for (const ReloadCase& c : cases) {
    SCOPED_TRACE(c.label);
    lines.clear();
    if (c.text != nullptr) {
      std::FILE* f = std::fopen(path, "w");
      std::fputs(c.text, f);
      std::fclose(f);
    } else {
      unlink(path);
    }
    const SettingsSnapshot before = settings_now();
    const std::string before_socket = *before->socket;
    const std::string problem = settings_reload(path);
    EXPECT_NE(problem.find(c.problem), std::string::npos) << problem;
    EXPECT_EQ(problem.empty(), *c.problem == '\0');
    if (!c.logged.empty()) {
      EXPECT_EQ(lines, c.logged);
    }
    EXPECT_EQ(*before->socket, before_socket);  // what a check took is never changed
    EXPECT_EQ(settings_now()->socket, c.socket_after);
    EXPECT_EQ(!settings_now()->whitelist_from.empty(), c.whitelisted_after);
  }
  log_set_sink({});
  settings_publish(nullptr);
  settings_release();
  unlink(path);
}

}  // namespace
