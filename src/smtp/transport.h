// Timed SMTP client transport: connect, send a command and read its whole reply
// as a three-digit code (and, on request, its text), polite end and close. Replies are untrusted input and
// are bounded in bytes and time; every failure is -1, never logged.
#pragma once

#include <chrono>
#include <cstddef>
#include <netinet/in.h>
#include <sys/socket.h>

#include "smtp/probe_reply.h"

// The end of one whole verification: no wait of the transport goes past it.
using SmtpDeadline = std::chrono::steady_clock::time_point;
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

[[nodiscard]] int smtp_connect(int fd, const sockaddr_in& addr, const SmtpTimeouts& t = {});
// The same for an address of either family (IPv4 or IPv6) of length len.
[[nodiscard]] int smtp_connect(int fd, const sockaddr* addr, socklen_t len, const SmtpTimeouts& t = {});
// line is a complete command ending in CR LF, or nullptr to read only (greeting).
[[nodiscard]] int smtp_command(int fd, const char* line, const SmtpTimeouts& t = {});
// The same, keeping the reply's text in *reply (emptied when none was read).
[[nodiscard]] int smtp_command(int fd, const char* line, const SmtpTimeouts& t,
                               ProbeReplyText* reply);
// One receive of at most size - 1 bytes, then a NUL: 0, or -1 (also when closed).
[[nodiscard]] int smtp_read(int fd, char* buf, std::size_t size, const SmtpTimeouts& t = {});
// -1 for a text shorter than 4 characters, 0 when "%3d" reads no number.
[[nodiscard]] int smtp_reply_code(const char* text);
// RSET, then QUIT only when the RSET drew a reply; does not close.
void smtp_quit(int fd, const SmtpTimeouts& t = {});
void smtp_close(int fd);
