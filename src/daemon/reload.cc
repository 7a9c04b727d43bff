// The reload: a new settings record read whole, checked as -t checks it, the
// keys bound at start-up carried over from the record it replaces, then
// published in one swap. Checks and walks in progress keep the record they took.
#include "daemon/reload.h"

#include <syslog.h>

#include <mutex>

#include "settings/settings.h"
#include "util/log.h"

namespace {

// Carries a key's value over from the serving record; true when the file had
// changed it.
template <auto Member>
bool keep(Settings& next, const Settings& serving) {
  if (next.*Member == serving.*Member) return false;
  next.*Member = serving.*Member;
  return true;
}

struct BoundKey {
  const char* name;
  bool (*keep)(Settings&, const Settings&);
};
// What start-up has already acted on: the sockets, the account, the files, the
// log's facility, the walker pool, the listing look-ups' zones and the shared
// tier's connection.
constexpr BoundKey BOUND_AT_START[] = {
    {"socket", keep<&Settings::socket>},
    {"socketmode", keep<&Settings::socketmode>},
    {"policy", keep<&Settings::policy>},
    {"policyclients", keep<&Settings::policyclients>},
    {"user", keep<&Settings::user>},
    {"pidfile", keep<&Settings::pidfile>},
    {"metrics", keep<&Settings::metrics>},
    {"control", keep<&Settings::control>},
    {"cachefile", keep<&Settings::cachefile>},
    {"cachesave", keep<&Settings::cachesave>},
    {"syslog", keep<&Settings::syslog_facility>},
    {"callouts", keep<&Settings::callouts>},
    {"selflisting", keep<&Settings::selflisting>},
    {"redis", keep<&Settings::redis>},
    {"redisdb", keep<&Settings::redisdb>},
    {"redispassword", keep<&Settings::redispassword>},
    {"redisprefix", keep<&Settings::redisprefix>},
    {"redistimeout", keep<&Settings::redistimeout>},
    {"redissentinel", keep<&Settings::redissentinel>},
    {"redismaster", keep<&Settings::redismaster>},
    {"redissentinelpassword", keep<&Settings::redissentinelpassword>},
};

// SIGHUP on the main thread and a control request may ask at once.
std::mutex reload_lock;

}  // namespace

std::string settings_reload(const char* path) {
  const std::lock_guard<std::mutex> one_at_a_time(reload_lock);
  SettingsRead read = settings_read(path);
  const std::string problem = !read.opened           ? read.open_error
                              : !read.problems.empty() ? read.problems.front()
                                                      : "";
  if (!problem.empty()) {
    log_msg(LOG_ERR, "[ERROR] configuration not reloaded: %s", problem.c_str());
    return problem;
  }
  const SettingsSnapshot serving = settings_now();
  std::string kept;
  for (const BoundKey& k : BOUND_AT_START)
    if (k.keep(*read.settings, *serving)) kept += (kept.empty() ? "" : ", ") + std::string(k.name);
  if (!kept.empty()) log_msg(LOG_WARNING, "needs a restart: %s", kept.c_str());
  settings_publish(std::move(read.settings));
  log_msg(LOG_NOTICE, "configuration reloaded");
  return "";
}
