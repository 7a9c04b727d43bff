// The timed SMTP client transport. Waits use poll(), so any descriptor number
// works; an interrupted wait starts over with its full time, but no wait ever
// goes past the deadline of the verification it serves. Failures are -1
// and never logged here. Reply bytes go through SmtpReplyAssembler only.
#include "smtp/transport.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <new>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "smtp/reply.h"

namespace {

using Clock = std::chrono::steady_clock;

// Milliseconds left until deadline, at least 1 while any time is left, 0 after.
int ms_left(Clock::time_point deadline) {
  auto left = deadline - Clock::now();
  if (left <= Clock::duration::zero()) return 0;
  auto ms = std::chrono::ceil<std::chrono::milliseconds>(left).count();
  return ms > 0x7fffffff ? 0x7fffffff : static_cast<int>(ms);
}

// Waits until fd is ready for events, for timeout_ms but never past deadline.
// An error or hang-up on the socket counts as ready: the send, receive or
// SO_ERROR that follows reports it, as it would after select().
bool wait_ready(int fd, short events, int timeout_ms, Clock::time_point deadline) {
  for (;;) {
    int limit = timeout_ms;
    int left = ms_left(deadline);
    if (left == 0) return false;
    if (left < limit) limit = left;
    pollfd p{fd, events, 0};
    int r = poll(&p, 1, limit);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0 || (p.revents & POLLNVAL) != 0) return false;
    return (p.revents & (events | POLLERR | POLLHUP)) != 0;
  }
}

// One receive of at most size - 1 bytes, terminated with a NUL: the count, or -1.
long receive_once(int fd, char* buf, std::size_t size, int timeout_ms, Clock::time_point deadline) {
  if (size < 2) return -1;
  if (!wait_ready(fd, POLLIN, timeout_ms, deadline)) return -1;
  ssize_t n;
  do {
    n = recv(fd, buf, size - 1, MSG_NOSIGNAL);
  } while (n < 0 && errno == EINTR);
  if (n <= 0) return -1;
  buf[n] = '\0';
  return static_cast<long>(n);
}

bool set_nonblocking(int fd, bool on) {
  int flags = fcntl(fd, F_GETFL);
  if (flags < 0) return false;
  flags = on ? (flags | O_NONBLOCK) : (flags & ~O_NONBLOCK);
  return fcntl(fd, F_SETFL, flags) == 0;
}

}  // namespace

int smtp_connect(int fd, const sockaddr_in& addr, const SmtpTimeouts& t) {
  return smtp_connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr, t);
}

int smtp_connect(int fd, const sockaddr* addr, socklen_t len, const SmtpTimeouts& t) {
  if (!set_nonblocking(fd, true)) return -1;
  if (connect(fd, addr, len) != 0) {
    if (errno != EINPROGRESS) return -1;
    if (!wait_ready(fd, POLLOUT, t.connect_ms, t.deadline)) return -1;
    int err = 0;
    socklen_t len = sizeof err;
    if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0 || err != 0) return -1;
  }
  return set_nonblocking(fd, false) ? 0 : -1;
}

int smtp_command(int fd, const char* line, const SmtpTimeouts& t) {
  return smtp_command(fd, line, t, nullptr);
}

int smtp_command(int fd, const char* line, const SmtpTimeouts& t, ProbeReplyText* reply_text,
                 SmtpObserver* watch, SmtpReplyWhole* whole) {
  if (reply_text != nullptr) reply_text->clear();
  if (whole != nullptr) whole->clear();
  if (line != nullptr) {
    if (watch != nullptr) watch->sent(line);
    if (!wait_ready(fd, POLLOUT, t.send_ms, t.deadline)) return -1;
    std::size_t len = std::strlen(line);
    ssize_t n;
    do {
      n = send(fd, line, len, MSG_NOSIGNAL);
    } while (n < 0 && errno == EINTR);
    // A partial send is not continued: the line is lost either way.
    if (n < 0 || static_cast<std::size_t>(n) != len) return -1;
  }

  std::unique_ptr<char[]> buf(new (std::nothrow) char[SMTP_REPLY_BUFFER]());
  if (!buf) return -1;
  SmtpReplyAssembler assembler(buf.get(), t.reply_max_bytes);
  // Each receive has its own wait, and the whole reply has a bound of its own,
  // so a server dripping continuation lines cannot hold the thread for ever.
  auto deadline = std::min(Clock::now() + std::chrono::milliseconds(t.reply_total_ms), t.deadline);
  // Each round takes at least one byte, and the bytes of a reply are bounded.
  for (;;) {
    long n = receive_once(fd, assembler.window(), assembler.window_size(), t.receive_ms, deadline);
    if (n < 0) return -1;
    if (watch != nullptr) watch->received({assembler.window(), static_cast<std::size_t>(n)});
    switch (assembler.commit(static_cast<std::size_t>(n))) {
      case SmtpReplyAssembler::State::reading:
        continue;
      case SmtpReplyAssembler::State::done:
        if (reply_text != nullptr)
          probe_reply_keep(*reply_text, std::string_view(assembler.text(), assembler.text_length()));
        if (whole != nullptr) whole->assign(std::string_view(assembler.text(), assembler.text_length()));
        return assembler.code();
      case SmtpReplyAssembler::State::failed:
        return -1;
    }
  }
}

int smtp_read(int fd, char* buf, std::size_t size, const SmtpTimeouts& t) {
  return receive_once(fd, buf, size, t.receive_ms, t.deadline) < 0 ? -1 : 0;
}

void smtp_quit(int fd, const SmtpTimeouts& t, SmtpObserver* watch) {
  // Any reply to RSET, a refusal included, shows the server still listens.
  if (smtp_command(fd, "RSET\r\n", t, nullptr, watch) > 0)
    (void)smtp_command(fd, "QUIT\r\n", t, nullptr, watch);
}

void smtp_close(int fd) {
  if (fd < 0) return;
  (void)shutdown(fd, SHUT_RDWR);
  // On Linux the descriptor is released even when close() reports EINTR, so a
  // second close() could hit a descriptor another thread has just opened.
  (void)close(fd);
}
