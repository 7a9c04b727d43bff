// The control socket's one thread: a poll loop over the listener, a wake-up pipe
// and up to four clients, each read into a bounded buffer and answered line by
// line. Nothing here blocks: a client that stops reading or writing only runs
// out its own time, and one that asks without reading the answers is read no
// more once OUTPUT_PENDING_MAX of them wait for it.
#include "control/server.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "control/answer.h"
#include "control/request.h"
#include "util/log.h"
#include "util/unix_socket.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::size_t OUTPUT_PENDING_MAX = 64 * 1024;

class Fd {
 public:
  explicit Fd(int fd = -1) : fd_(fd) {}
  ~Fd() { reset(); }
  Fd(Fd&& o) noexcept : fd_(o.fd_) { o.fd_ = -1; }
  Fd& operator=(Fd&& o) noexcept {
    if (this != &o) {
      reset(o.fd_);
      o.fd_ = -1;
    }
    return *this;
  }
  void reset(int fd = -1) {
    if (fd_ >= 0) (void)close(fd_);
    fd_ = fd;
  }
  [[nodiscard]] int get() const { return fd_; }

 private:
  int fd_;
};

struct Client {
  Fd fd;
  std::string in;       // bytes of the line being read, at most one over the limit
  bool discarding = false;  // the rest of an over-long line is dropped up to its end
  std::string out;      // the answers not yet written
  bool closing = false;  // the client has sent its last byte, or must go
  Clock::time_point deadline;
};

Fd listener;
Fd wake_read, wake_write;
std::thread server;
std::string socket_path;

void restart_clock(Client& c) { c.deadline = Clock::now() + std::chrono::milliseconds(CONTROL_IDLE_MS); }

void answer_line(Client& c, std::string_view line) {
  // Many requests in one read, none of their answers read: the client goes.
  if (c.out.size() >= OUTPUT_PENDING_MAX) {
    c.out.clear();
    c.closing = true;
    return;
  }
  const auto* bytes = reinterpret_cast<const unsigned char*>(line.data());
  c.out += control_answer(control_parse(std::span(bytes, line.size())));
  restart_clock(c);
}

// Takes what the client sent: every whole line is answered; a line grown past
// the limit is answered as too long once, and the rest of it is dropped.
void take_input(Client& c, const char* data, std::size_t n) {
  for (std::size_t i = 0; i < n; ++i) {
    const char b = data[i];
    if (c.closing) return;
    if (b == '\n') {
      if (!c.discarding) answer_line(c, c.in);
      c.in.clear();
      c.discarding = false;
    } else if (!c.discarding) {
      c.in += b;
      // The limit and the CR that may end the line.
      if (c.in.size() > CONTROL_LINE_MAX + 1) {
        answer_line(c, c.in);
        c.in.clear();
        c.discarding = true;
      }
    }
  }
}

// false when the client is done with.
bool on_readable(Client& c) {
  char buf[1024];
  const ssize_t n = recv(c.fd.get(), buf, sizeof buf, MSG_DONTWAIT);
  if (n < 0) return errno == EAGAIN || errno == EINTR;
  if (n == 0) {
    // A last line without its line feed is still a request.
    if (!c.in.empty() && !c.discarding) answer_line(c, c.in);
    c.in.clear();
    c.closing = true;
    return true;
  }
  take_input(c, buf, static_cast<std::size_t>(n));
  return true;
}

bool on_writable(Client& c) {
  const ssize_t n = send(c.fd.get(), c.out.data(), c.out.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
  if (n < 0) return errno == EAGAIN || errno == EINTR;
  c.out.erase(0, static_cast<std::size_t>(n));
  return true;
}

void accept_client(std::vector<Client>& clients) {
  Fd fd(accept4(listener.get(), nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK));
  if (fd.get() < 0) return;
  if (clients.size() >= static_cast<std::size_t>(CONTROL_CLIENTS)) {
    // Told at once rather than left in the queue: the answer fits any socket buffer.
    static constexpr char busy[] = "error: too many control clients\n";
    (void)send(fd.get(), busy, sizeof busy - 1, MSG_DONTWAIT | MSG_NOSIGNAL);
    return;
  }
  Client c;
  c.fd = std::move(fd);
  restart_clock(c);
  clients.push_back(std::move(c));
}

int poll_timeout(const std::vector<Client>& clients) {
  if (clients.empty()) return -1;
  Clock::time_point first = clients.front().deadline;
  for (const Client& c : clients) first = std::min(first, c.deadline);
  const auto ms = std::chrono::ceil<std::chrono::milliseconds>(first - Clock::now()).count();
  return ms < 0 ? 0 : static_cast<int>(ms);
}

void serve() {
  std::vector<Client> clients;
  std::vector<pollfd> fds;
  for (;;) {
    fds.assign({{wake_read.get(), POLLIN, 0}, {listener.get(), POLLIN, 0}});
    for (const Client& c : clients) {
      // Not read while its answers pile up: its requests wait in its socket.
      const bool reading = !c.closing && c.out.size() < OUTPUT_PENDING_MAX;
      const short events = static_cast<short>((reading ? POLLIN : 0) | (c.out.empty() ? 0 : POLLOUT));
      fds.push_back({c.fd.get(), events, 0});
    }
    if (poll(fds.data(), fds.size(), poll_timeout(clients)) < 0 && errno != EINTR) {
      log_msg(LOG_ERR, "[ERROR] control socket: poll: %s", std::strerror(errno));
      return;
    }
    if (fds[0].revents != 0) return;
    const Clock::time_point now = Clock::now();
    std::vector<Client> kept;
    for (std::size_t i = 0; i < clients.size(); ++i) {
      Client& c = clients[i];
      const short ev = fds[i + 2].revents;
      bool alive = (ev & POLLNVAL) == 0;
      if (alive && (ev & (POLLIN | POLLHUP | POLLERR)) != 0 && !c.closing &&
          c.out.size() < OUTPUT_PENDING_MAX)
        alive = on_readable(c);
      if (alive && !c.out.empty() && (ev & (POLLOUT | POLLERR)) != 0) alive = on_writable(c);
      if (alive && c.closing && c.out.empty()) alive = false;
      if (alive && now >= c.deadline) alive = false;
      if (alive) kept.push_back(std::move(c));
    }
    clients = std::move(kept);
    if ((fds[1].revents & POLLIN) != 0) accept_client(clients);
  }
}

bool fail(const char* what) {
  log_msg(LOG_ERR, "[ERROR] control socket %s: %s: %s", socket_path.c_str(), what,
          std::strerror(errno));
  listener.reset();
  return false;
}

}  // namespace

bool control_start(const char* path) {
  socket_path = path;
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  if (socket_path.size() >= sizeof addr.sun_path) {
    errno = ENAMETOOLONG;
    return fail("path");
  }
  std::memcpy(addr.sun_path, path, socket_path.size());
  // The file of an earlier run goes, unless a daemon still answers there.
  if (unix_socket_answers(path)) {
    errno = EADDRINUSE;
    return fail("bind");
  }
  (void)unlink(path);
  listener.reset(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  if (listener.get() < 0) return fail("socket");
  // Made with mode 0600 from the start, not narrowed after: no other account
  // gets a moment to connect.
  const mode_t mask = umask(0177);
  const int bound = bind(listener.get(), reinterpret_cast<const sockaddr*>(&addr), sizeof addr);
  umask(mask);
  if (bound != 0) return fail("bind");
  if (listen(listener.get(), CONTROL_CLIENTS) != 0) return fail("listen");
  int pipe_fds[2];
  if (pipe2(pipe_fds, O_CLOEXEC) != 0) return fail("pipe");
  wake_read.reset(pipe_fds[0]);
  wake_write.reset(pipe_fds[1]);
  const SignalsBlocked blocked;
  server = std::thread(serve);
  return true;
}

void control_stop() {
  if (!server.joinable()) return;
  const char b = 0;
  // A pipe with room for a byte cannot refuse it; were it full, the server is awake already.
  if (write(wake_write.get(), &b, 1) < 0) { /* awake already */ }
  server.join();
  listener.reset();
  wake_read.reset();
  wake_write.reset();
  (void)unlink(socket_path.c_str());
}
