// The policy door's server: an accepting thread, and a thread per connection
// that reads requests into a bounded buffer, asks the door, writes its answer
// and waits for the next request until the client leaves or idles out. What a
// client sends is untrusted: a request is bounded by POLICY_REQUEST_MAX.
#include "policy/server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <mutex>
#include <set>
#include <string>
#include <string_view>
#include <thread>

#include "filter/filter_seam.h"
#include "policy/door.h"
#include "policy/request.h"
#include "settings/settings.h"
#include "util/log.h"
#include "util/unix_socket.h"

namespace {

int listener = -1;
int wake_read = -1, wake_write = -1;
std::string socket_path;  // the unix socket's file; empty for inet
std::thread acceptor;

// The connections being served: their count, and their sockets, so that a
// stop can wake each one from its wait for the next request.
std::mutex clients_mutex;
std::condition_variable clients_gone;
std::set<int> client_fds;
bool stopping = false;

void close_fd(int& fd) {
  if (fd >= 0) (void)close(fd);
  fd = -1;
}

bool send_all(int fd, std::string_view data) {
  while (!data.empty()) {
    const ssize_t n = send(fd, data.data(), data.size(), MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

// Where the first request in buf ends: the offset of its empty line (a CR
// alone counts as empty), and in *next where the following request starts;
// npos while the empty line has not come.
std::size_t request_end(std::string_view buf, std::size_t* next) {
  std::size_t line = 0;
  while (line < buf.size()) {
    const std::size_t lf = buf.find('\n', line);
    if (lf == std::string_view::npos) break;
    const std::size_t len = lf - line;
    if (len == 0 || (len == 1 && buf[line] == '\r')) {
      *next = lf + 1;
      return line;
    }
    line = lf + 1;
  }
  return std::string_view::npos;
}

// Requests answered one after another on one connection, until it ends.
void serve_connection(int fd) {
  std::string buf;
  char chunk[4096];
  for (;;) {
    std::size_t next = 0;
    const std::size_t end = request_end(buf, &next);
    if (end != std::string_view::npos) {
      const auto* bytes = reinterpret_cast<const unsigned char*>(buf.data());
      const PolicyRequest r = policy_parse({bytes, end});
      if (r.error != nullptr) {
        log_msg(LOG_ERR, "[ERROR] policy request refused: %s", r.error);
        return;
      }
      const SettingsSnapshot held = settings_now();  // one request, one record
      if (!send_all(fd, policy_answer(r, *held, filter_seam()))) return;
      buf.erase(0, next);
      continue;
    }
    if (buf.size() > POLICY_REQUEST_MAX) {
      log_msg(LOG_ERR, "[ERROR] policy request refused: request too long");
      return;
    }
    pollfd p{fd, POLLIN, 0};
    const int ready = poll(&p, 1, POLICY_IDLE_SECONDS * 1000);
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) return;
    const ssize_t n = recv(fd, chunk, sizeof chunk, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    buf.append(chunk, static_cast<std::size_t>(n));
  }
}

void run_connection(int fd) {
  try {
    serve_connection(fd);
  } catch (const std::exception& e) {
    log_msg(LOG_ERR, "[ERROR] policy connection: %s", e.what());
  }
  const std::lock_guard lock(clients_mutex);
  client_fds.erase(fd);
  (void)close(fd);
  clients_gone.notify_all();
}

// The refusal of one connection too many, at most once a minute.
void refuse_client(int max_clients) {
  static std::time_t last = 0;
  const std::time_t now = std::time(nullptr);
  if (now - last < 60) return;
  last = now;
  log_msg(LOG_WARNING, "policy connection closed: %d clients already (policyclients)", max_clients);
}

void accept_clients(int max_clients) {
  for (;;) {
    pollfd fds[2] = {{wake_read, POLLIN, 0}, {listener, POLLIN, 0}};
    if (poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      log_msg(LOG_ERR, "[ERROR] policy socket: poll: %s", std::strerror(errno));
      return;
    }
    if (fds[0].revents != 0) return;
    if ((fds[1].revents & POLLIN) == 0) continue;
    const int fd = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) continue;
    const std::lock_guard lock(clients_mutex);
    if (stopping || client_fds.size() >= static_cast<std::size_t>(max_clients)) {
      (void)close(fd);
      if (!stopping) refuse_client(max_clients);
      continue;
    }
    try {
      std::thread(run_connection, fd).detach();
      client_fds.insert(fd);
    } catch (const std::exception& e) {
      log_msg(LOG_ERR, "[ERROR] policy connection thread: %s", e.what());
      (void)close(fd);
    }
  }
}

bool cannot_listen(const char* spec, const char* what) {
  std::fprintf(stderr, "korvane: cannot listen on %s: %s%s\n", spec, what, std::strerror(errno));
  close_fd(listener);
  return false;
}

}  // namespace

bool policy_listen(const char* spec, int socket_mode) {
  const std::string_view v(spec);
  sockaddr_storage addr{};
  socklen_t len = 0;
  if (v.starts_with("unix:")) {
    auto* un = reinterpret_cast<sockaddr_un*>(&addr);
    un->sun_family = AF_UNIX;
    socket_path = std::string(v.substr(5));
    if (socket_path.size() >= sizeof un->sun_path) {
      errno = ENAMETOOLONG;
      return cannot_listen(spec, "");
    }
    std::memcpy(un->sun_path, socket_path.data(), socket_path.size());
    len = sizeof(sockaddr_un);
    if (unix_socket_answers(socket_path.c_str())) {
      errno = EADDRINUSE;
      return cannot_listen(spec, "");
    }
    (void)unlink(socket_path.c_str());
  } else {
    // inet:ADDR:PORT, checked when the setting was read; "[v6]" for IPv6.
    const std::string_view hostport = v.substr(5);
    const std::size_t colon = hostport.rfind(':');
    std::string host(hostport.substr(0, colon));
    const int port = std::atoi(std::string(hostport.substr(colon + 1)).c_str());
    if (host.size() > 2 && host.front() == '[') {
      auto* in6 = reinterpret_cast<sockaddr_in6*>(&addr);
      in6->sin6_family = AF_INET6;
      in6->sin6_port = htons(static_cast<std::uint16_t>(port));
      (void)inet_pton(AF_INET6, host.substr(1, host.size() - 2).c_str(), &in6->sin6_addr);
      len = sizeof(sockaddr_in6);
    } else {
      auto* in4 = reinterpret_cast<sockaddr_in*>(&addr);
      in4->sin_family = AF_INET;
      in4->sin_port = htons(static_cast<std::uint16_t>(port));
      (void)inet_pton(AF_INET, host.c_str(), &in4->sin_addr);
      len = sizeof(sockaddr_in);
    }
  }
  listener = socket(addr.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (listener < 0) return cannot_listen(spec, "socket: ");
  const int on = 1;
  if (addr.ss_family != AF_UNIX)
    (void)setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  // Never wider than its owner before socketmode is applied.
  const mode_t mask = umask(0177);
  const int bound = bind(listener, reinterpret_cast<const sockaddr*>(&addr), len);
  umask(mask);
  if (bound != 0) return cannot_listen(spec, "");
  if (listen(listener, SOMAXCONN) != 0) return cannot_listen(spec, "listen: ");
  if (!socket_path.empty() && chmod(socket_path.c_str(), static_cast<mode_t>(socket_mode)) != 0)
    return cannot_listen(spec, "chmod: ");
  return true;
}

bool policy_start(int max_clients) {
  int pipe_fds[2];
  if (listener < 0 || pipe2(pipe_fds, O_CLOEXEC) != 0) {
    log_msg(LOG_ERR, "[ERROR] policy socket: pipe: %s", std::strerror(errno));
    return false;
  }
  wake_read = pipe_fds[0];
  wake_write = pipe_fds[1];
  {
    const std::lock_guard lock(clients_mutex);
    stopping = false;
  }
  const SignalsBlocked blocked;
  try {
    acceptor = std::thread(accept_clients, max_clients);
  } catch (const std::exception& e) {
    log_msg(LOG_ERR, "[ERROR] policy socket thread: %s", e.what());
    return false;
  }
  return true;
}

bool policy_stop(std::chrono::milliseconds limit) {
  if (acceptor.joinable()) {
    const char b = 0;
    if (write(wake_write, &b, 1) < 0) { /* awake already */ }
    acceptor.join();
  }
  close_fd(listener);
  close_fd(wake_read);
  close_fd(wake_write);
  if (!socket_path.empty()) (void)unlink(socket_path.c_str());
  socket_path.clear();
  std::unique_lock lock(clients_mutex);
  stopping = true;
  // A connection waiting for its next request sees its end at once; one
  // inside a decision answers it first, or finds its peer gone.
  for (int fd : client_fds) (void)shutdown(fd, SHUT_RDWR);
  return clients_gone.wait_for(lock, limit, [] { return client_fds.empty(); });
}
