// The daemon as a process: -h, -t, the missing configuration file, -c given
// twice, the account change, stale socket removal, the exit status of each
// start-up failure, a failing main loop, the metrics endpoint's port; and the
// start-up steps that can be tried in-process.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <linux/capability.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <sysexits.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "daemon/startup_steps.h"

namespace {

constexpr uid_t NOBODY = 65534;
constexpr gid_t NOGROUP = 65534;
const std::string USAGE = "Usage: korvane -c <config file>\n";

// A directory of its own under /tmp, removed with its files.
class TempDir {
 public:
  TempDir() {
    char name[] = "/tmp/korvane-daemon-XXXXXX";
    EXPECT_NE(mkdtemp(name), nullptr);
    path_ = name;
  }
  ~TempDir() {
    std::string cmd = "rm -rf '" + path_ + "'";
    EXPECT_EQ(std::system(cmd.c_str()), 0);
  }
  std::string file(const std::string& name) const { return path_ + "/" + name; }
  std::string write(const std::string& name, const std::string& text) const {
    std::string p = file(name);
    std::FILE* f = std::fopen(p.c_str(), "w");
    EXPECT_NE(f, nullptr);
    std::fputs(text.c_str(), f);
    std::fclose(f);
    return p;
  }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

bool exists(const std::string& p) {
  struct stat st;
  return lstat(p.c_str(), &st) == 0;
}

// One run of the daemon binary with its standard output and error captured.
class Daemon {
 public:
  // in_child runs in the child just before exec (for mounts and account changes).
  explicit Daemon(const std::vector<std::string>& args, std::function<void()> in_child = {}) {
    int out[2], err[2];
    EXPECT_EQ(pipe(out), 0);
    EXPECT_EQ(pipe(err), 0);
    pid_ = fork();
    if (pid_ == 0) {
      dup2(out[1], 1);
      dup2(err[1], 2);
      close(out[0]);
      close(err[0]);
      if (in_child) in_child();
      std::vector<char*> argv;
      argv.push_back(const_cast<char*>(KORVANE_BINARY));
      for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
      argv.push_back(nullptr);
      execv(KORVANE_BINARY, argv.data());
      std::fprintf(stderr, "exec: %s\n", std::strerror(errno));
      _exit(127);
    }
    close(out[1]);
    close(err[1]);
    out_fd_ = out[0];
    err_fd_ = err[0];
  }
  ~Daemon() {
    if (pid_ > 0 && !reaped_) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    close(out_fd_);
    close(err_fd_);
  }

  void signal(int sig) { kill(pid_, sig); }
  pid_t pid() const { return pid_; }

  // Waits (bounded) until path is a socket.
  bool wait_for_socket(const std::string& path, int seconds = 10) {
    for (int i = 0; i < seconds * 20; ++i) {
      struct stat st;
      if (stat(path.c_str(), &st) == 0 && S_ISSOCK(st.st_mode)) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
  }

  // Collects the output until the process ends; past the time limit it is
  // killed and the exit code reads -1.
  int finish(int seconds = 10) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    bool out_open = true, err_open = true;
    while ((out_open || err_open) && std::chrono::steady_clock::now() < deadline) {
      pollfd fds[2] = {{out_fd_, POLLIN, 0}, {err_fd_, POLLIN, 0}};
      if (poll(fds, 2, 100) <= 0) continue;
      out_open = drain(fds[0], out_);
      err_open = drain(fds[1], err_);
      if (!out_open) fds[0].fd = -1;
    }
    for (int i = 0; i < 20; ++i) {
      int status = 0;
      if (waitpid(pid_, &status, WNOHANG) == pid_) {
        reaped_ = true;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
    reaped_ = true;
    return -1;
  }
  const std::string& out() const { return out_; }
  const std::string& err() const { return err_; }

 private:
  static bool drain(const pollfd& p, std::string& into) {
    if (p.fd < 0) return false;
    if (!(p.revents & (POLLIN | POLLHUP | POLLERR))) return true;
    char buf[4096];
    ssize_t n = read(p.fd, buf, sizeof buf);
    if (n <= 0) return false;
    into.append(buf, static_cast<std::size_t>(n));
    return true;
  }

  pid_t pid_ = -1;
  int out_fd_ = -1, err_fd_ = -1;
  bool reaped_ = false;
  std::string out_, err_;
};

bool running_as_root() { return getuid() == 0; }

// A unix socket bound at path: its descriptor, listening; or -1, with only its
// file left behind.
int unix_socket_at(const std::string& path, bool listening) {
  int fd = socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un a{};
  a.sun_family = AF_UNIX;
  std::snprintf(a.sun_path, sizeof a.sun_path, "%s", path.c_str());
  EXPECT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0) << path;
  if (listening && listen(fd, 4) == 0) return fd;
  close(fd);
  return -1;
}

// Whether an account of no rights may run the binary: a build tree under /root
// or in a private temporary directory lets nobody through.
bool others_may_run(std::string path) {
  for (; !path.empty(); path.erase(path.rfind('/'))) {
    struct stat st;
    if (stat(path.c_str(), &st) != 0 || (st.st_mode & S_IXOTH) == 0) return false;
  }
  return true;
}

void become_nobody() {
  if (setgroups(0, nullptr) != 0 || setgid(NOGROUP) != 0 || setuid(NOBODY) != 0) {
    std::fprintf(stderr, "cannot become nobody\n");
    _exit(126);
  }
}

struct HelpCase {
  const char* label;
  std::vector<std::string> args;  // "CONF" stands for the test's configuration file
};

TEST(DaemonProcess, HelpPrintsUsageAndTouchesNothing) {
  TempDir dir;
  std::string stale = dir.write("stale.sock", "");
  std::string conf = dir.write("k.conf", "socket unix:" + stale + "\nuser root\n");
  const HelpCase cases[] = {
      {"alone", {"-h"}},
      {"before -c", {"-h", "-c", "CONF"}},
      {"after -c", {"-c", "CONF", "-h"}},
      {"before -t", {"-h", "-t", "-c", "CONF"}},
      {"with -f", {"-f", "-c", "CONF", "-h"}},
      {"missing config named", {"-c", "/nonexistent/k.conf", "-h"}},
  };
  for (const HelpCase& c : cases) {
    std::vector<std::string> args = c.args;
    for (std::string& a : args)
      if (a == "CONF") a = conf;
    Daemon d(args);
    EXPECT_EQ(d.finish(), 0) << c.label;
    EXPECT_EQ(d.err(), USAGE) << c.label;
    EXPECT_EQ(d.out(), "") << c.label;
    EXPECT_TRUE(exists(stale)) << c.label;
  }
}

struct CheckCase {
  const char* label;
  std::vector<std::string> args;  // GOOD, BAD: the test's files; MISSING: none
  int exit_code;
  std::string out_has;  // "" means standard output must be empty
  std::string err;      // exact, or with a leading '~' a part of it
};

TEST(DaemonProcess, CheckModeListsSettingsOrIgnoredLines) {
  TempDir dir;
  std::string good = dir.write("good.conf",
                               "publicname mx.example.test\nwhitelistip 192.0.2.0/24\n"
                               "whitelistip 198.51.100.7\n# note\n\nsocket inet:8891@127.0.0.1\n");
  std::string bad = dir.write("bad.conf", "publicname mx\nbogus 1\nsav maybe\nuser\n"
                                          "whitelistip 10.0.0.0/65536\n");
  std::string missing = dir.file("missing.conf");
  const std::string warning = "Warning: korvane configuration file load failed\n";
  const std::vector<CheckCase> cases = {
      {"good file", {"-t", "-c", "GOOD"}, 0,
       "publicname mx.example.test\n", ""},
      {"whitelists in test order", {"-t", "-c", "GOOD"}, 0,
       "whitelistip 198.51.100.7/32\nwhitelistip 192.0.2.0/24\n", ""},
      {"ignored lines", {"-t", "-c", "BAD"}, 1, "",
       bad + ":2: unknown key \"bogus\"\n" + bad + ":3: sav takes only the value off\n" + bad +
           ":4: key \"user\" without a value\n" + bad +
           ":5: whitelistip prefix is not a number from 0 to 32\n"},
      {"missing file", {"-t", "-c", "MISSING"}, 1, "", warning},
      {"second -c wins", {"-t", "-c", "MISSING", "-c", "GOOD"}, 0,
       "socket inet:8891@127.0.0.1\n", ""},
      {"second -c wins the other way", {"-t", "-c", "GOOD", "-c", "MISSING"}, 1, "", warning},
      {"unknown option is only diagnosed", {"-x", "-t", "-c", "GOOD"}, 0,
       "publicname mx.example.test\n", "~invalid option"},
      {"parsing stops at a non-option", {"-t", "-c", "GOOD", "stray", "-c", "MISSING"}, 0,
       "publicname mx.example.test\n", ""},
  };
  for (const CheckCase& c : cases) {
    std::vector<std::string> args = c.args;
    for (std::string& a : args) {
      if (a == "GOOD") a = good;
      if (a == "BAD") a = bad;
      if (a == "MISSING") a = missing;
    }
    Daemon d(args);
    EXPECT_EQ(d.finish(), c.exit_code) << c.label;
    if (c.out_has.empty())
      EXPECT_EQ(d.out(), "") << c.label;
    else
      EXPECT_NE(d.out().find(c.out_has), std::string::npos) << c.label << ":\n" << d.out();
    if (!c.err.empty() && c.err[0] == '~')
      EXPECT_NE(d.err().find(c.err.substr(1)), std::string::npos) << c.label << ": " << d.err();
    else
      EXPECT_EQ(d.err(), c.err) << c.label;
  }
}

struct ServeCase {
  const char* label;
  const char* scheme;  // "unix:" or "local:"
  const char* user;
  uid_t owner;         // expected owner of the socket the library creates
  bool stale_file;     // a leftover file sits where the socket goes
  const char* extra = "";  // further configuration lines
  unsigned mode = 0600;    // the socket's mode: the 0177 mask, or socketmode
  bool journal = false;    // standard error is named the journal's stream
};

TEST(DaemonProcess, ServesUntilSigtermAfterRemovingStaleSocket) {
  if (!running_as_root()) GTEST_SKIP() << "needs root";
  const ServeCase cases[] = {
      {"unix socket, stays root", "unix:", "root", 0, true},
      {"local socket, drops to nobody", "local:", "nobody", NOBODY, true},
      {"socketmode for the MTA's group", "unix:", "nobody", NOBODY, false, "socketmode 0660\n", 0660},
      {"stderr is the journal: no second copy", "unix:", "root", 0, false, "", 0600, true},
  };
  for (const ServeCase& c : cases) {
    SCOPED_TRACE(c.label);
    TempDir dir;
    chmod(dir.path().c_str(), 0777);  // so an unprivileged account can bind there
    std::string sock = dir.file("k.sock");
    if (c.stale_file) dir.write("k.sock", "left over");
    std::string conf = dir.write(
        "k.conf", std::string("socket ") + c.scheme + sock + "\nuser " + c.user + "\n" + c.extra);
    Daemon d({"-f", "-c", conf}, [&] {
      struct stat err{};
      if (!c.journal || fstat(2, &err) != 0) return;
      const std::string stream = std::to_string(err.st_dev) + ":" + std::to_string(err.st_ino);
      setenv("JOURNAL_STREAM", stream.c_str(), 1);
    });
    ASSERT_TRUE(d.wait_for_socket(sock)) << d.err();
    struct stat st;
    ASSERT_EQ(stat(sock.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, c.mode);
    EXPECT_EQ(st.st_uid, c.owner);
    d.signal(SIGTERM);
    EXPECT_EQ(d.finish(), 0) << d.err();
    EXPECT_EQ(d.err().find("Warning"), std::string::npos) << d.err();
    // The start line is copied to stderr, unless the journal has it from syslog.
    EXPECT_EQ(d.err().find("korvane: korvane ") != std::string::npos, !c.journal) << d.err();
  }
}

struct FailureCase {
  const char* label;
  const char* user;
  int dropped_capability;  // taken from the child before it runs, or -1
  bool serving;            // a daemon already listens on the socket
  int exit_code;
  std::string err;  // "SOCK" stands for the socket's path
};

// A service manager restarts a daemon that could not start only when its exit
// status says so; the message on standard error stays as it was.
TEST(DaemonProcess, StartupFailuresEndWithNonZeroStatus) {
  if (!running_as_root()) GTEST_SKIP() << "needs root";
  const FailureCase cases[] = {
      {"missing account", "no-such-account-kv", -1, false, EX_NOUSER,
       "no-such-account-kv: no such account\n"},
      {"group change refused", "nobody", CAP_SETGID, false, EX_NOPERM,
       "setgid: Operation not permitted\n"},
      {"user change refused", "nobody", CAP_SETUID, false, EX_NOPERM,
       "setuid: Operation not permitted\n"},
      {"another daemon serves on the socket", "root", -1, true, EX_UNAVAILABLE,
       "korvane: another instance is serving on SOCK\n"},
      {"socket directory not writable by the account", "nobody", -1, false, EX_CANTCREAT,
       "korvane: cannot listen on unix:SOCK: Permission denied\n"},
  };
  for (const FailureCase& c : cases) {
    SCOPED_TRACE(c.label);
    TempDir dir;
    std::string sock = dir.file("k.sock");
    std::string conf = dir.write("k.conf", "socket unix:" + sock + "\nuser " + c.user + "\n");
    const int first = c.serving ? unix_socket_at(sock, true) : (dir.write("k.sock", "old"), -1);
    Daemon d({"-c", conf}, [&] {  // no -f: it must fail before detaching
      if (c.dropped_capability >= 0) (void)prctl(PR_CAPBSET_DROP, c.dropped_capability, 0, 0, 0);
    });
    EXPECT_EQ(d.finish(), c.exit_code);
    std::string want = c.err;
    if (auto at = want.find("SOCK"); at != std::string::npos) want.replace(at, 4, sock);
    EXPECT_EQ(d.err(), want);
    // Removed while still root, before the account change; a serving one stays.
    EXPECT_EQ(exists(sock), c.serving);
    if (first >= 0) close(first);
  }
}

// A TCP socket on 127.0.0.1:port, bound (and listening) or connected; -1 on failure.
int tcp_socket(int port, bool bind_it) {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<std::uint16_t>(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  const auto* sa = reinterpret_cast<const sockaddr*>(&a);
  if (bind_it ? bind(fd, sa, sizeof a) != 0 || listen(fd, 1) != 0 : connect(fd, sa, sizeof a) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

// The endpoint opens while still root (port 99 as nobody), and a port already
// taken stops the start before the milter socket exists.
TEST(DaemonProcess, MetricsPortBeforeTheAccountChange) {
  if (!running_as_root()) GTEST_SKIP() << "needs root";
  TempDir dir;
  chmod(dir.path().c_str(), 0777);
  const std::string sock = dir.file("k.sock");
  const std::string base = "socket unix:" + sock + "\nuser nobody\nmetrics 127.0.0.1:";
  {
    Daemon d({"-f", "-c", dir.write("a.conf", base + "99\n")});
    ASSERT_TRUE(d.wait_for_socket(sock)) << d.err();
    const int fd = tcp_socket(99, false);
    ASSERT_GE(fd, 0);
    const char get[] = "GET /metrics HTTP/1.0\r\n\r\n";
    ASSERT_EQ(send(fd, get, sizeof get - 1, 0), static_cast<ssize_t>(sizeof get - 1));
    std::string reply;
    char buf[4096];
    for (ssize_t n; (n = recv(fd, buf, sizeof buf, 0)) > 0 && reply.size() < 1000000;) reply.append(buf, n);
    close(fd);
    EXPECT_EQ(reply.rfind("HTTP/1.1 200", 0), 0u) << reply.substr(0, 200);
    EXPECT_NE(reply.find("\nkorvane_build_info{version=\""), std::string::npos);
    d.signal(SIGTERM);
    EXPECT_EQ(d.finish(), 0) << "stderr: " << d.err();
  }
  const int taken = tcp_socket(9458, true);
  ASSERT_GE(taken, 0);
  Daemon d({"-f", "-c", dir.write("b.conf", base + "9458\n")});
  EXPECT_EQ(d.finish(), EX_UNAVAILABLE) << d.err();
  close(taken);
  EXPECT_NE(d.err().find("[ERROR] metrics endpoint 127.0.0.1:9458"), std::string::npos) << d.err();
  EXPECT_FALSE(exists(sock));
}

// The socket is opened before serving: a specification the library cannot
// listen on ends the start, not the main loop.
TEST(DaemonProcess, UnusableSocketEndsTheStart) {
  if (!running_as_root()) GTEST_SKIP() << "needs root";
  TempDir dir;
  std::string conf = dir.write("k.conf", "socket bogus:nowhere\nuser root\n");
  Daemon d({"-f", "-c", conf});
  EXPECT_EQ(d.finish(), EX_CANTCREAT);
  EXPECT_EQ(d.err(), "korvane: cannot listen on bogus:nowhere: refused by the milter library\n");
}

// A control socket that cannot be made ends the start, and takes the PID file
// just written with it.
TEST(DaemonProcess, ControlSocketFailureRemovesThePidFile) {
  if (!running_as_root()) GTEST_SKIP() << "needs root";
  TempDir dir;
  Daemon d({"-f", "-c", dir.write("k.conf", "socket unix:" + dir.file("k.sock") + "\nuser root\npidfile " +
                                                dir.file("k.pid") + "\ncontrol unix:" + dir.file("no/c") + "\n")});
  EXPECT_EQ(d.finish(), EX_UNAVAILABLE) << d.err();
  EXPECT_FALSE(exists(dir.file("k.pid")));
}

// Without a file the defaults hold, the default socket included; the child gets
// a private mount namespace with an empty, writable run directory, and starts
// unprivileged so the default account is never looked up.
TEST(DaemonProcess, MissingConfigStartsWithDefaults) {
  if (!running_as_root()) GTEST_SKIP() << "needs root";
  const std::string run_dir = KORVANE_RUN_DIR;
  const std::string parent = run_dir.substr(0, run_dir.rfind('/'));
  if (parent.empty() || !exists(parent)) GTEST_SKIP() << "no parent for " << run_dir;
  if (!others_may_run(KORVANE_BINARY)) GTEST_SKIP() << "nobody may not run " << KORVANE_BINARY;
  Daemon d({"-f", "-c", "/nonexistent/korvane.conf"}, [&] {
    if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) ||
        mount("tmpfs", parent.c_str(), "tmpfs", 0, "mode=0755") != 0 ||
        mkdir(run_dir.c_str(), 0755) != 0 || chown(run_dir.c_str(), NOBODY, NOGROUP) != 0) {
      std::fprintf(stderr, "cannot make the run directory: %s\n", std::strerror(errno));
      _exit(125);
    }
    become_nobody();
  });
  // The child's view of the file system, seen through /proc.
  std::string sock = "/proc/" + std::to_string(d.pid()) + "/root" + run_dir + "/korvane.sock";
  ASSERT_TRUE(d.wait_for_socket(sock)) << d.err();
  struct stat st;
  ASSERT_EQ(stat(sock.c_str(), &st), 0);
  EXPECT_EQ(st.st_uid, NOBODY);
  d.signal(SIGTERM);
  EXPECT_EQ(d.finish(), 0);
  EXPECT_EQ(d.err().rfind("Warning: korvane configuration file load failed\n", 0), 0u) << d.err();
}

TEST(StartupSteps, RefusedConnectionSpecification) {
  testing::internal::CaptureStderr();
  EXPECT_EQ(register_filter(""), EX_CONFIG);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "smfi_setconn failed: \n");
}

enum class Left { file, listener, dead_socket };

struct RemoveCase {
  const char* label;
  std::string prefix;
  Left left;
  bool removed;
};

TEST(StartupSteps, StaleSocketRemoval) {
  const RemoveCase cases[] = {
      {"unix", "unix:", Left::file, true},
      {"local", "local:", Left::file, true},
      {"scheme compared with case", "UNIX:", Left::file, false},
      {"internet socket", "inet:", Left::file, false},
      {"no scheme", "", Left::file, false},
      {"unix, nobody listens", "unix:", Left::dead_socket, true},
      {"unix, a daemon listens", "unix:", Left::listener, false},
      {"local, a daemon listens", "local:", Left::listener, false},
  };
  for (const RemoveCase& c : cases) {
    TempDir dir;
    std::string f = dir.file("s");
    const int fd = c.left == Left::file ? (dir.write("s", "x"), -1)
                                        : unix_socket_at(f, c.left == Left::listener);
    testing::internal::CaptureStderr();
    const int status = remove_stale_socket((c.prefix + f).c_str());
    (void)testing::internal::GetCapturedStderr();
    EXPECT_EQ(exists(f), !c.removed) << c.label;
    EXPECT_EQ(status, fd >= 0 ? EX_UNAVAILABLE : 0) << c.label;
    if (fd >= 0) close(fd);
  }
  EXPECT_EQ(remove_stale_socket("unix:/nonexistent/korvane-test.sock"), 0);  // no error, no crash
}

}  // namespace
