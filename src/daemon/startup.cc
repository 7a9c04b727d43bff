// The daemon's life outside the filter callbacks: command line, settings, log,
// stale socket, socket directory, account change, registration, socket,
// detaching, PID file, cache, main loop, stop and teardown, in that order.
#include "daemon/startup.h"

#include <fcntl.h>
#include <grp.h>
#include <pthread.h>
#include <libmilter/mfapi.h>
#include <pwd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <syslog.h>
#include <sysexits.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>

#include "cache/cache.h"
#include "cache/cache_persist.h"
#include "cache/shared_tier.h"
#include "control/answer.h"
#include "control/server.h"
#include "daemon/reload.h"
#include "daemon/startup_steps.h"
#include "filter/address.h"
#include "filter/context.h"
#include "milter/callbacks.h"
#include "policy/server.h"
#include "metrics/metrics.h"
#include "settings/settings.h"
#include "util/constants.h"
#include "util/helpers.h"
#include "util/log.h"
#include "util/unix_socket.h"
#include "dns/exchanger_memory.h"
#include "verify/self_listing.h"
#include "verify/walkers.h"

namespace {

smfiDesc filter_descriptor = {
    .xxfi_name = const_cast<char*>("korvane"),
    .xxfi_version = SMFI_VERSION,
    .xxfi_flags = 0,
    .xxfi_connect = milter_connect,
    .xxfi_helo = nullptr,
    .xxfi_envfrom = milter_envfrom,
    .xxfi_envrcpt = milter_envrcpt,
    .xxfi_header = nullptr,
    .xxfi_eoh = milter_eoh,
    .xxfi_body = nullptr,
    .xxfi_eom = nullptr,
    .xxfi_abort = nullptr,
    .xxfi_close = milter_close,
    .xxfi_unknown = nullptr,
    .xxfi_data = nullptr,
    .xxfi_negotiate = milter_negotiate,
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

// The exchanger memory's marks as the control socket lists them.
std::string list_refusing_exchangers() {
  std::string out;
  for (const RefusingExchanger& e : exchanger_refusing_list())
    out += "exchanger " + e.addr + " refusing " + std::to_string(e.seconds_left) + "\n";
  return out;
}

// The cache key of a sender, by the settings in force when it is asked.
std::string sender_key_now(const std::string& address) {
  EnvelopeText key;
  sender_key(address, settings_now()->senderdelimiter, key);
  return std::string(key.view());
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

// The write end of the pipe a detached daemon reports its start on; -1 in the
// foreground or once reported.
int start_report_fd = -1;

// Forks; the parent waits for the child's report (one byte: 0 once serving,
// else the exit status of its failure) and ends with it, so that whoever
// started the daemon learns whether it serves. The child keeps standard error
// until then, for the reason of a failure.
int detach() {
  int report[2];
  if (pipe2(report, O_CLOEXEC) != 0) {
    std::fprintf(stderr, "korvane: pipe: %s\n", std::strerror(errno));
    return EX_OSERR;
  }
  const pid_t child = fork();
  if (child < 0) {
    std::fprintf(stderr, "korvane: fork: %s\n", std::strerror(errno));
    return EX_OSERR;
  }
  if (child > 0) {
    (void)close(report[1]);
    unsigned char status = 0;
    ssize_t n;
    do n = read(report[0], &status, 1); while (n < 0 && errno == EINTR);
    if (n != 1) {
      std::fprintf(stderr, "korvane: the daemon ended before it served\n");
      _exit(EX_SOFTWARE);
    }
    _exit(status);
  }
  (void)close(report[0]);
  start_report_fd = report[1];
  (void)setsid();
  if (chdir("/") != 0) { /* "/" is always there; nothing else to go to */ }
  return 0;
}

// Tells the waiting parent (if any) the outcome of the start; once serving,
// the standard streams go to /dev/null as a daemon's do.
void report_start(int status) {
  if (start_report_fd < 0) return;
  const auto byte = static_cast<unsigned char>(status);
  if (write(start_report_fd, &byte, 1) != 1) { /* the parent is gone: nobody to tell */ }
  (void)close(start_report_fd);
  start_report_fd = -1;
  if (status != 0) return;
  const int null = open("/dev/null", O_RDWR | O_CLOEXEC);
  if (null < 0) return;
  for (int fd = 0; fd <= 2; ++fd) (void)dup2(null, fd);
  if (null > 2) (void)close(null);
}

bool pidfile_written = false;

void remove_pidfile() {
  if (pidfile_written && settings.pidfile) (void)unlink(settings.pidfile->c_str());
  pidfile_written = false;
}

// Stale socket, socket directory, account, registration, socket, detaching
// and PID file: 0 when ready to serve, else the exit status of the failure,
// already reported. A service manager must be able to tell a daemon that
// never served from one that ended.
int prepare_to_serve(bool foreground) {
  // While the process may still be root, so that a socket left by an earlier
  // run as any account can go, and a missing directory can be made for it.
  if (int s = remove_stale_socket(settings.socket->c_str()); s != 0) return s;
  if (settings.pidfile) {
    if (int s = check_pidfile(settings.pidfile->c_str()); s != 0) return s;
  }
  if (int s = make_socket_directory(settings.socket->c_str(), settings.user->c_str(),
                                    settings.socketmode);
      s != 0)
    return s;
  if (settings.policy) {
    if (int s = remove_stale_socket(settings.policy->c_str()); s != 0) return s;
    if (int s = make_socket_directory(settings.policy->c_str(), settings.user->c_str(),
                                      settings.socketmode);
        s != 0)
      return s;
  }
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
  if (int s = open_milter_socket(settings.socket->c_str(), settings.socketmode); s != 0) return s;
  if (settings.policy && !policy_listen(settings.policy->c_str(), settings.socketmode))
    return EX_CANTCREAT;
  if (!foreground) {
    if (int s = detach(); s != 0) return s;
    if (int s = open_metrics(); s != 0) return s;
  }
  if (settings.pidfile) {
    if (int s = write_pidfile(settings.pidfile->c_str()); s != 0) return s;
    pidfile_written = true;
  }
  return 0;
}

// The file read at start, read again at each reload.
const char* config_path = DEFAULT_CONFIG_FILE;

std::string reload_from_control() { return settings_reload(config_path); }

// --- the main loop in a thread of its own, and a prompt stop ---
//
// The milter library's listener holds its lock through a poll of up to five
// seconds, and its stop waits for that lock: an idle daemon took that long to
// notice SIGTERM. The main thread takes the stop signals instead (a signal to
// the process goes first to its main thread when that one waits for it), asks
// the library to stop, and breaks the listener's poll with a signal of no
// effect until the loop has ended.

std::atomic<bool> loop_ended{false};
pthread_t main_thread;
int loop_status = 0;

constexpr int WAKE_SIGNAL = SIGUSR1;   // breaks the listener's poll
constexpr int ENDED_SIGNAL = SIGUSR2;  // the loop has ended by itself

void no_effect(int) {}

void* run_loop(void*) {
  loop_status = smfi_main();
  loop_ended.store(true);
  (void)pthread_kill(main_thread, ENDED_SIGNAL);
  return nullptr;
}

void* ask_stop(void*) {
  (void)smfi_stop();
  return nullptr;
}

// Runs the library's loop until it ends by itself or a stop signal comes; its result.
int run_until_stopped(const sigset_t& stops) {
  struct sigaction wake{};
  wake.sa_handler = no_effect;  // no SA_RESTART: the poll returns EINTR
  sigemptyset(&wake.sa_mask);
  (void)sigaction(WAKE_SIGNAL, &wake, nullptr);
  main_thread = pthread_self();
  pthread_t loop;
  if (pthread_create(&loop, nullptr, run_loop, nullptr) != 0) {
    log_msg(LOG_ERR, "[ERROR] cannot start the main loop: %s", std::strerror(errno));
    return EX_OSERR;
  }
  int sig = 0;
  while (!loop_ended.load()) {
    if (sigwait(&stops, &sig) != 0) continue;
    if (sig == SIGHUP) {
      (void)settings_reload(config_path);
      continue;
    }
    if (sig != ENDED_SIGNAL) break;
  }
  log_msg(LOG_NOTICE, "korvane stopping");
  if (!loop_ended.load()) {
    pthread_t stopper;
    const bool asked = pthread_create(&stopper, nullptr, ask_stop, nullptr) == 0;
    if (!asked) (void)smfi_stop();  // the slow way: the loop notices within its poll
    // Bounded: the library notices within its own poll in any case.
    for (int i = 0; i < 400 && !loop_ended.load(); ++i) {
      (void)pthread_kill(loop, WAKE_SIGNAL);
      struct timespec pause = {0, 20'000'000};
      (void)nanosleep(&pause, nullptr);
    }
    if (asked) (void)pthread_join(stopper, nullptr);
  }
  (void)pthread_join(loop, nullptr);
  return loop_status;
}

// The main loop with the cache around it; its result is the exit status.
int serve() {
  // Before any thread starts, so that every one inherits the mask and only the
  // main thread waits for them.
  sigset_t stops;
  sigemptyset(&stops);
  for (int sig : {SIGTERM, SIGINT, SIGHUP, ENDED_SIGNAL}) sigaddset(&stops, sig);
  (void)pthread_sigmask(SIG_BLOCK, &stops, nullptr);
  if (!cache_mutex_init()) {
    std::fprintf(stderr, "pthread_mutex_init failed\n");
    return EX_OSERR;
  }
  if (!cache_create()) log_msg(LOG_ERR, "[ERROR] cache engine init failed");
  // As the daemon's account, before the first check can ask the cache.
  if (settings.cachefile) cache_file_load(settings.cachefile->c_str());
  if (settings.redis || settings.redissentinel) shared_tier_start(shared_tier_config());
  metrics_set_readers({cache_entries, shared_tier_up, shared_tier_errors, shared_tier_errors_by,
                       exchanger_refusing_count});
  control_set_exchanger_hooks({list_refusing_exchangers, exchanger_forget_refusing});
  control_set_sender_key(sender_key_now);
  // After the account change, so the socket is the daemon account's own.
  control_set_reload(reload_from_control);
  if (settings.control && !control_start(settings.control->c_str())) {
    metrics_stop();
    shared_tier_stop();
    cache_destroy();
    cache_mutex_destroy();
    // A PID file left behind would name a process that never served.
    remove_pidfile();
    return EX_UNAVAILABLE;
  }
  if (settings.policy && !policy_start(settings.policyclients)) {
    control_stop();
    metrics_stop();
    shared_tier_stop();
    cache_destroy();
    cache_mutex_destroy();
    return EX_UNAVAILABLE;
  }
  // Walking a recipient's own domain would reach this very host.
  if (settings.policy && settings.mailstore && !settings.policyrelay)
    log_msg(LOG_NOTICE, "policy door verifies no recipient: policyrelay not set");
  // The zones are in place before the first walk can note a source address.
  self_listing_start();
  walkers_start(settings.callouts);
  if (settings.cachefile) cache_saver_start(settings.cachefile->c_str(), settings.cachesave);
  log_msg(LOG_NOTICE, "korvane %s starting (socket %s)", KORVANE_VERSION, settings.socket->c_str());
  report_start(0);
  int status = run_until_stopped(stops);
  if (status != 0) log_msg(LOG_ERR, "[ERROR] terminated due to a fatal error");
  // The milter library does not wait for its connection threads before the main
  // loop returns, and one may still be inside a check: nothing it reads is
  // freed until every callback has ended, nor until every walker has. A stop
  // ends within STOP_LIMIT whatever is in flight (a service manager's patience
  // is shorter than a walk): queued walks are dropped and walks no check waits
  // for are abandoned at once, storing nothing; checks still waiting have what
  // is left. Past that, or with abandoned walks still on their sockets, the
  // process ends as it is and the kernel closes every callout's socket.
  constexpr auto STOP_LIMIT = std::chrono::milliseconds(4000);
  const auto bound = std::chrono::steady_clock::now() + STOP_LIMIT;
  const auto left = [&bound] {
    return std::max(std::chrono::milliseconds(0),
                    std::chrono::duration_cast<std::chrono::milliseconds>(bound - std::chrono::steady_clock::now()));
  };
  cache_saver_stop();
  (void)walkers_stop(std::chrono::milliseconds(0));
  const bool drained = milter_drain(left()) && policy_stop(left());
  // A moment for walks about to end, so that the teardown below can run.
  const bool ended = drained && walkers_stop(std::min(left(), std::chrono::milliseconds(1000)));
  // What the last walks stored goes into the file too; a stop that cannot wait
  // for them still keeps what is known.
  if (settings.cachefile) (void)cache_file_save(settings.cachefile->c_str());
  if (!ended) {
    if (!drained) log_msg(LOG_ERR, "[ERROR] checks still running at shutdown, ending without teardown");
    control_stop();
    remove_pidfile();
    std::fflush(nullptr);
    _exit(status);
  }
  self_listing_stop();
  // Before the cache goes: a scrape or a control request may still be asking it.
  control_stop();
  metrics_stop();
  shared_tier_stop();
  settings_publish(nullptr);
  cache_destroy();
  cache_mutex_destroy();
  remove_pidfile();
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

// The directory part of path ("/" for a file at the top), empty without a slash.
static std::string directory_of(const char* path) {
  const char* slash = std::strrchr(path, '/');
  if (slash == nullptr) return {};
  if (slash == path) return "/";
  return std::string(path, static_cast<std::size_t>(slash - path));
}

int make_socket_directory(const char* spec, const char* user, int socket_mode) {
  const char* path = socket_file(spec);
  if (path == nullptr) return 0;
  const std::string dir = directory_of(path);
  struct stat st{};
  if (dir.empty() || stat(dir.c_str(), &st) == 0) return 0;
  // Whoever may connect to the socket must be able to pass through.
  const mode_t mode = 0700 | ((socket_mode & 0060) != 0 ? 0050 : 0) | ((socket_mode & 0006) != 0 ? 0005 : 0);
  if (mkdir(dir.c_str(), mode) != 0 && errno != EEXIST) {
    std::fprintf(stderr, "korvane: cannot make %s: %s\n", dir.c_str(), std::strerror(errno));
    return EX_CANTCREAT;
  }
  (void)chmod(dir.c_str(), mode);  // not narrowed by the umask
  if (getuid() != 0) return 0;
  errno = 0;
  const struct passwd* pw = getpwnam(user);
  if (pw == nullptr) return 0;  // the account change reports it
  if (chown(dir.c_str(), pw->pw_uid, pw->pw_gid) != 0) {
    std::fprintf(stderr, "korvane: cannot hand %s to %s: %s\n", dir.c_str(), user, std::strerror(errno));
    return EX_CANTCREAT;
  }
  return 0;
}

int open_milter_socket(const char* spec, int socket_mode) {
  errno = 0;
  if (smfi_opensocket(false) != MI_SUCCESS) {
    const int e = errno;
    std::fprintf(stderr, "korvane: cannot listen on %s: %s\n", spec,
                 e != 0 ? std::strerror(e) : "refused by the milter library");
    return EX_CANTCREAT;
  }
  const char* path = socket_file(spec);
  if (path != nullptr && chmod(path, static_cast<mode_t>(socket_mode)) != 0) {
    std::fprintf(stderr, "korvane: cannot set the mode of %s: %s\n", path, std::strerror(errno));
    return EX_CANTCREAT;
  }
  return 0;
}

// The process named in a PID file runs this program: /proc tells by its name.
static bool korvane_runs_as(pid_t pid) {
  if (pid <= 0 || pid == getpid()) return false;
  if (kill(pid, 0) != 0 && errno != EPERM) return false;
  char path[64];
  std::snprintf(path, sizeof path, "/proc/%d/comm", static_cast<int>(pid));
  std::FILE* f = std::fopen(path, "r");
  if (f == nullptr) return false;
  char name[32] = {};
  const bool read = std::fgets(name, sizeof name, f) != nullptr;
  std::fclose(f);
  return read && std::strcmp(name, "korvane\n") == 0;
}

int check_pidfile(const char* path) {
  std::FILE* f = std::fopen(path, "r");
  if (f == nullptr) return 0;
  long pid = 0;
  const bool read = std::fscanf(f, "%ld", &pid) == 1;
  std::fclose(f);
  if (read && pid > 0 && pid < INT32_MAX && korvane_runs_as(static_cast<pid_t>(pid))) {
    std::fprintf(stderr, "korvane: another instance (pid %ld) holds %s\n", pid, path);
    return EX_UNAVAILABLE;
  }
  (void)unlink(path);  // stale: its process is gone
  return 0;
}

int write_pidfile(const char* path) {
  const int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0644);
  if (fd < 0) {
    std::fprintf(stderr, "korvane: cannot write %s: %s\n", path, std::strerror(errno));
    return EX_CANTCREAT;
  }
  (void)fchmod(fd, 0644);  // readable by all, whatever the umask
  char text[32];
  const int len = std::snprintf(text, sizeof text, "%d\n", static_cast<int>(getpid()));
  const bool ok = write(fd, text, static_cast<std::size_t>(len)) == len;
  const int e = errno;
  (void)close(fd);
  if (!ok) {
    std::fprintf(stderr, "korvane: cannot write %s: %s\n", path, std::strerror(e));
    (void)unlink(path);
    return EX_CANTCREAT;
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
  const SettingsRead read = settings_read(config_file);
  for (const std::string& problem : read.problems) std::fprintf(stderr, "%s\n", problem.c_str());
  const bool good = read.opened && read.problems.empty();
  if (good) settings_print(stdout, *read.settings);
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
  config_path = cl.config_file;

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
  std::signal(SIGPIPE, SIG_IGN);
  // The socket is never wider than its owner before socketmode is applied.
  umask(0177);
  int status = prepare_to_serve(cl.foreground);
  if (status == 0) status = serve();
  report_start(status);  // a failure before serving, to the parent that waits
  settings_release();
  log_close();
  return status;
}
