// The daemon's life outside the filter callbacks: command line, settings, log,
// stale socket, account change, registration, detaching, cache, main loop and
// teardown, in that order.
#include "daemon/startup.h"

#include <grp.h>
#include <libmilter/mfapi.h>
#include <pwd.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "cache/cache.h"
#include "daemon/startup_steps.h"
#include "filter/callbacks.h"
#include "settings/settings.h"
#include "util/helpers.h"
#include "util/log.h"

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

bool has_prefix(const char* text, const char* prefix) {
  return std::strncmp(text, prefix, std::strlen(prefix)) == 0;
}

// The main loop with the cache around it; its result is the exit status.
int serve() {
  if (!cache_mutex_init()) {
    std::fprintf(stderr, "pthread_mutex_init failed\n");
    return 0;
  }
  umask(0177);
  std::signal(SIGPIPE, SIG_IGN);
  if (!cache_create()) log_msg(LOG_ERR, "[ERROR] cache engine init failed");
  int status = smfi_main();
  if (status != 0) log_msg(LOG_ERR, "[ERROR] terminated due to a fatal error");
  // The milter library does not wait for its connection threads before the main
  // loop returns: one may still be storing an outcome, so the table goes under
  // the lock, and a late lookup or store then finds no table at all.
  cache_lock();
  if (cache_table != nullptr) cache_destroy();
  cache_unlock();
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

void remove_stale_socket(const char* spec) {
  if (has_prefix(spec, "unix:"))
    (void)unlink(spec + 5);
  else if (has_prefix(spec, "local:"))
    (void)unlink(spec + 6);
}

bool drop_privileges(const char* user) {
  errno = 0;
  struct passwd* pw = getpwnam(user);
  if (pw == nullptr) {
    // A missing account leaves errno at 0, whose text would read "Success".
    std::fprintf(stderr, "%s: %s\n", user, errno != 0 ? std::strerror(errno) : "no such account");
    return false;
  }
  gid_t gid = pw->pw_gid;
  (void)setgroups(1, &gid);
  if (setgid(pw->pw_gid) != 0) {
    std::fprintf(stderr, "setgid: %s\n", std::strerror(errno));
    return false;
  }
  if (setuid(pw->pw_uid) != 0) {
    std::fprintf(stderr, "setuid: %s\n", std::strerror(errno));
    return false;
  }
  return true;
}

bool register_filter(const char* spec) {
  if (smfi_setconn(const_cast<char*>(spec)) != MI_SUCCESS) {
    std::fprintf(stderr, "smfi_setconn failed: %s\n", spec);
    return false;
  }
  if (smfi_register(filter_descriptor) != MI_SUCCESS) {
    std::fprintf(stderr, "smfi_register failed\n");
    return false;
  }
  return true;
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
  if (opened && ignored == 0) settings_print(stdout, settings);
  settings_release();
  return opened && ignored == 0 ? 0 : 1;
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
    return 0;
  }
  tzset();
  log_open(settings.syslog_facility, cl.foreground);
  // While the process may still be root, so that a socket left by an earlier
  // run as any account can go.
  remove_stale_socket(settings.socket->c_str());
  // Every failure before the main loop ends the process with status 0.
  int status = 0;
  bool ready = (getuid() != 0 || drop_privileges(settings.user->c_str())) &&
               register_filter(settings.socket->c_str());
  if (ready && !cl.foreground && daemon(0, 0) != 0) {
    std::fprintf(stderr, "daemonize failed: %s\n", std::strerror(errno));
    ready = false;
  }
  if (ready) status = serve();
  settings_release();
  log_close();
  return status;
}
