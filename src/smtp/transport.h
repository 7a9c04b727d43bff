// Timed SMTP client transport: connect, send a command and read its whole reply
// as a three-digit code (and, on request, its text), polite end and close. Replies are untrusted input and
// are bounded in bytes and time; every failure is -1, never logged.
#pragma once

#include <chrono>
#include <cstddef>
#include <netinet/in.h>
#include <string_view>
#include <sys/socket.h>

#include "smtp/probe_reply.h"
#include "smtp/reply.h"

// The end of one whole verification: no wait of the transport goes past it.
using SmtpDeadline = std::chrono::steady_clock::time_point;
// A whole reply, every line of it, as the assembler holds it.
using SmtpReplyWhole = BoundedText<SMTP_REPLY_BUFFER>;
inline constexpr SmtpDeadline NO_DEADLINE = SmtpDeadline::max();

// Waits of the transport. The daemon uses the defaults; tests shorten them.
struct SmtpTimeouts {
  int connect_ms = 60 * 1000;
  int send_ms = 60 * 1000;
  int receive_ms = 120 * 1000;
  // Bounds on one whole reply, so a slow drip of continuation lines cannot hold
  // a thread for ever.
  int reply_total_ms = 5 * 60 * 1000;
  std::size_t reply_max_bytes = 64 * 1024;
  // Each wait above is cut short when it would end after this.
  SmtpDeadline deadline = NO_DEADLINE;
};

// Watches a dialogue for a caller that shows it (the command-line probe). The
// daemon sets none, and then a dialogue pays one test of a null pointer a line.
class SmtpObserver {
 public:
  // A whole command line as sent, CR LF included.
  virtual void sent(std::string_view line) = 0;
  // One receive's bytes, as untrusted as they come: a piece may end inside a line.
  virtual void received(std::string_view bytes) = 0;
  // What the probe itself tells: the exchanger tried, a skip, a failed connect.
  virtual void note(std::string_view text) = 0;

 protected:
  ~SmtpObserver() = default;
};

[[nodiscard]] int smtp_connect(int fd, const sockaddr_in& addr, const SmtpTimeouts& t = {});
// The same for an address of either family (IPv4 or IPv6) of length len.
[[nodiscard]] int smtp_connect(int fd, const sockaddr* addr, socklen_t len, const SmtpTimeouts& t = {});
// line is a complete command ending in CR LF, or nullptr to read only (greeting).
[[nodiscard]] int smtp_command(int fd, const char* line, const SmtpTimeouts& t = {});
// The same, keeping the reply's text in *reply (emptied when none was read), and
// showing each line sent and each piece received to watch; *whole (when given)
// gets every line of the reply as received, for reading beyond what is kept.
[[nodiscard]] int smtp_command(int fd, const char* line, const SmtpTimeouts& t,
                               ProbeReplyText* reply, SmtpObserver* watch = nullptr,
                               SmtpReplyWhole* whole = nullptr);
// One receive of at most size - 1 bytes, then a NUL: 0, or -1 (also when closed).
[[nodiscard]] int smtp_read(int fd, char* buf, std::size_t size, const SmtpTimeouts& t = {});
// -1 for a text shorter than 4 characters, 0 when "%3d" reads no number.
[[nodiscard]] int smtp_reply_code(const char* text);
// RSET, then QUIT only when the RSET drew a reply; does not close.
void smtp_quit(int fd, const SmtpTimeouts& t = {}, SmtpObserver* watch = nullptr);
void smtp_close(int fd);
