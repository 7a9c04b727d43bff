// The daemon's life outside the filter callbacks: command line, settings, log,
// stale socket, account change, registration, detaching, cache, main loop and
// teardown, in that order.
#include "daemon/startup.h"

#include <grp.h>
#include <libmilter/mfapi.h>
#include <pwd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <syslog.h>
#include <sysexits.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "cache/cache.h"
#include "cache/shared_tier.h"
#include "control/server.h"
#include "daemon/startup_steps.h"
#include "filter/callbacks.h"
#include "metrics/metrics.h"
#include "settings/settings.h"
#include "util/constants.h"
#include "util/helpers.h"
#include "util/log.h"
#include "util/unix_socket.h"

namespace {

smfiDesc filter_descriptor = {
    .xxfi_name = const_cast<char*>("korvane"),
    .xxfi_version = SMFI_VERSION,
    .xxfi_flags = 0,
    .xxfi_connect = filter_connect,
    .xxfi_helo = nullptr,
    .xxfi_envfrom = filter_envfrom,
    .xxfi_envrcpt = filter_envrcpt,
    .xxfi_header = nullptr,
    .xxfi_eoh = filter_eoh,
    .xxfi_body = nullptr,
    .xxfi_eom = nullptr,
    .xxfi_abort = nullptr,
    .xxfi_close = filter_close,
    .xxfi_unknown = nullptr,
    .xxfi_data = nullptr,
    .xxfi_negotiate = filter_negotiate,
};

std::int64_t cache_entries(CacheEntryKind kind) {
  switch (kind) {
    case CacheEntryKind::sender: return cache_entry_count(CACHE_SENDER);
    case CacheEntryKind::recipient: return cache_entry_count(CACHE_RECIPIENT);
    case CacheEntryKind::sender_catch_all: return cache_entry_count(CACHE_SENDER_CATCHALL);
    case CacheEntryKind::recipient_catch_all: return cache_entry_count(CACHE_RECIPIENT_CATCHALL);
  }
  return 0;
}

bool has_prefix(const char* text, const char* prefix) {
  return std::strncmp(text, prefix, std::strlen(prefix)) == 0;
}

// The shared tier's part of the settings; the server text was checked when read.
SharedTierConfig shared_tier_config() {
  SharedTierConfig c;
  if (settings.redissentinel) {
    for (const RedisServer& s : parse_sentinels(settings.redissentinel->c_str()).value_or(
             std::vector<RedisServer>{}))
      c.sentinels.push_back({s.host, s.port});
    c.master_name = settings.redismaster.value_or("");
    c.sentinel_password = settings.redissentinelpassword;
  } else if (std::optional<RedisServer> server = parse_redis_server(settings.redis->c_str())) {
    c.unix_path = server->unix_path;
    c.host = server->host;
    c.port = server->port;
  }
  c.db = settings.redisdb;
  c.password = settings.redispassword;
  c.prefix = settings.redisprefix;
  c.timeout_ms = settings.redistimeout;
  return c;
}

// The file of a "unix:" or "local:" specification, or nullptr for any other kind.
const char* socket_file(const char* spec) {
  if (has_prefix(spec, "unix:")) return spec + 5;
  if (has_prefix(spec, "local:")) return spec + 6;
  return nullptr;
}

// Stale socket, account, registration and detaching: 0 when ready to serve,
// else the exit status of the failure, already reported. A service manager
// must be able to tell a daemon that never served from one that ended.
int prepare_to_serve(bool foreground) {
  // While the process may still be root, so that a socket left by an earlier
  // run as any account can go.
  if (int s = remove_stale_socket(settings.socket->c_str()); s != 0) return s;
  // The endpoint opens while the process may still be root, so that a port
  // below 1024 can be had; its threads would not survive detaching, so a
  // detaching daemon opens it just after, as the account it runs as.
  if (foreground) {
    if (int s = open_metrics(); s != 0) return s;
  }
  if (getuid() == 0) {
    if (int s = drop_privileges(settings.user->c_str()); s != 0) return s;
  }
  if (int s = register_filter(settings.socket->c_str()); s != 0) return s;
  if (!foreground) {
    if (daemon(0, 0) != 0) {
      std::fprintf(stderr, "daemonize failed: %s\n", std::strerror(errno));
      return EX_OSERR;
    }
    return open_metrics();
  }
  return 0;
}

// The main loop with the cache around it; its result is the exit status.
int serve() {
  if (!cache_mutex_init()) {
    std::fprintf(stderr, "pthread_mutex_init failed\n");
    return EX_OSERR;
  }
  umask(0177);
  std::signal(SIGPIPE, SIG_IGN);
  if (!cache_create()) log_msg(LOG_ERR, "[ERROR] cache engine init failed");
  if (settings.redis || settings.redissentinel) shared_tier_start(shared_tier_config());
  metrics_set_readers({cache_entries, shared_tier_up, shared_tier_errors, shared_tier_errors_by});
  // After the account change, so the socket is the daemon account's own.
  if (settings.control && !control_start(settings.control->c_str())) {
    metrics_stop();
    shared_tier_stop();
    cache_destroy();
    cache_mutex_destroy();
    return EX_UNAVAILABLE;
  }
  int status = smfi_main();
  if (status != 0) log_msg(LOG_ERR, "[ERROR] terminated due to a fatal error");
  // The milter library does not wait for its connection threads before the main
  // loop returns, and one may still be inside a check: nothing it reads is
  // freed until every callback has ended. A walk ends by its deadline; past
  // that (and the pause that may follow it) the process ends as it is.
  // Clamped so that the clock's arithmetic cannot overflow; that is years.
  constexpr std::int64_t longest = 100'000'000;
  std::int64_t walk = settings.calloutdeadline > 0 ? settings.calloutdeadline : 600;
  if (walk > longest) walk = longest;
  if (!filter_drain(std::chrono::seconds(walk + 5))) {
    log_msg(LOG_ERR, "[ERROR] checks still running at shutdown, ending without teardown");
    std::fflush(nullptr);
    _exit(status);
  }
  // Before the cache goes: a scrape or a control request may still be asking it.
  control_stop();
  metrics_stop();
  shared_tier_stop();
  cache_destroy();
  cache_mutex_destroy();
  return status;
}

}  // namespace

CommandLine parse_command_line(int argc, char** argv) {
  CommandLine cl;
  cl.config_file = DEFAULT_CONFIG_FILE;
  int opt;
  while ((opt = getopt(argc, argv, "+hc:ft")) != -1) {
    switch (opt) {
      case 'h': cl.help = true; return cl;
      case 'c': cl.config_file = optarg; break;
      case 'f': cl.foreground = true; break;
      case 't': cl.check = true; break;
      default: break;  // getopt has written its diagnostic; start-up goes on
    }
  }
  return cl;
}

int remove_stale_socket(const char* spec) {
  const char* path = socket_file(spec);
  if (path == nullptr) return 0;
  // Removing the file of a serving daemon would leave it running unreachable
  // while the MTA's mail went to this one.
  if (unix_socket_answers(path)) {
    std::fprintf(stderr, "korvane: another instance is serving on %s\n", path);
    return EX_UNAVAILABLE;
  }
  (void)unlink(path);
  return 0;
}

int drop_privileges(const char* user) {
  errno = 0;
  struct passwd* pw = getpwnam(user);
  if (pw == nullptr) {
    // A missing account leaves errno at 0, whose text would read "Success".
    std::fprintf(stderr, "%s: %s\n", user, errno != 0 ? std::strerror(errno) : "no such account");
    return EX_NOUSER;
  }
  gid_t gid = pw->pw_gid;
  (void)setgroups(1, &gid);
  if (setgid(pw->pw_gid) != 0) {
    std::fprintf(stderr, "setgid: %s\n", std::strerror(errno));
    return EX_NOPERM;
  }
  if (setuid(pw->pw_uid) != 0) {
    std::fprintf(stderr, "setuid: %s\n", std::strerror(errno));
    return EX_NOPERM;
  }
  return 0;
}

int register_filter(const char* spec) {
  if (smfi_setconn(const_cast<char*>(spec)) != MI_SUCCESS) {
    std::fprintf(stderr, "smfi_setconn failed: %s\n", spec);
    return EX_CONFIG;
  }
  if (smfi_register(filter_descriptor) != MI_SUCCESS) {
    std::fprintf(stderr, "smfi_register failed\n");
    return EX_SOFTWARE;
  }
  return 0;
}

// Cleared record, compiled pattern, defaults: what the file is read over.
static bool prepare_settings() {
  settings_clear();
  if (!ipv4_literal_pattern_compile()) {
    // Without the pattern no address could be whitelisted or probed by literal.
    std::fprintf(stderr, "regcomp failed\n");
    return false;
  }
  settings_defaults();
  return true;
}

bool build_settings(const char* config_file) {
  if (!prepare_settings()) return false;
  load_config(config_file);
  return true;
}

int check_config(const char* config_file) {
  if (!prepare_settings()) return 1;
  int ignored = 0;
  bool opened = load_config_report(config_file, [&](int line_no, const LineOutcome& o) {
    if (o.status != LineStatus::ignored) return;
    ++ignored;
    std::fprintf(stderr, "%s:%d: %s\n", config_file, line_no, o.reason.c_str());
  });
  const std::string conflict = opened ? settings_conflict(settings) : "";
  if (!conflict.empty()) std::fprintf(stderr, "%s: %s\n", config_file, conflict.c_str());
  const bool good = opened && ignored == 0 && conflict.empty();
  if (good) settings_print(stdout, settings);
  settings_release();
  return good ? 0 : 1;
}

const char* password_exposed(const char* config_file) {
  struct stat st{};
  const char* key = settings.redispassword           ? "redispassword"
                    : settings.redissentinelpassword ? "redissentinelpassword"
                                                     : nullptr;
  if (key == nullptr || stat(config_file, &st) != 0) return nullptr;
  return (st.st_mode & (S_IRGRP | S_IROTH)) != 0 ? key : nullptr;
}

int open_metrics() {
  if (!settings.metrics || metrics_start(settings.metrics->c_str())) return 0;
  return EX_UNAVAILABLE;
}

int korvane_run(int argc, char** argv) {
  CommandLine cl = parse_command_line(argc, argv);
  if (cl.help) {
    std::fprintf(stderr, "Usage: korvane -c <config file>\n");
    return 0;
  }
  if (cl.check) return check_config(cl.config_file);

  if (!build_settings(cl.config_file)) {
    settings_release();
    return EX_SOFTWARE;
  }
  if (const std::string conflict = settings_conflict(settings); !conflict.empty()) {
    std::fprintf(stderr, "korvane: %s: %s\n", cl.config_file, conflict.c_str());
    settings_release();
    return EX_CONFIG;
  }
  tzset();
  log_open(settings.syslog_facility, cl.foreground);
  if (const char* key = password_exposed(cl.config_file))
    log_msg(LOG_WARNING, "warning: %s holds %s and is readable by other accounts", cl.config_file,
            key);
  int status = prepare_to_serve(cl.foreground);
  if (status == 0) status = serve();
  settings_release();
  log_close();
  return status;
}
