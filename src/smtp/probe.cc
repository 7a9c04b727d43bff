// The callout dialogue: resolves and admits the target, then runs greeting,
// HELO, MAIL FROM and RCPT TO with the safe-sender fall-backs and reconnects.
// Server replies are untrusted and reach this file only as reply codes.
#include "smtp/probe.h"

#include <arpa/inet.h>
#include <cstdio>
#include <cstring>
#include <memory>
#include <netdb.h>
#include <sys/socket.h>
#include <syslog.h>

#include "metrics/metrics.h"
#include "settings/settings.h"
#include "smtp/socket.h"
#include "util/bounded_text.h"
#include "util/constants.h"
#include "util/helpers.h"
#include "util/log.h"

namespace {

// The longest mailbox a caller hands in; the command buffer holds the longest
// line formed from it, so no line ever goes out without its CR LF.
constexpr std::size_t ADDRESS_MAX = 512;
constexpr std::size_t COMMAND_BUFFER = sizeof("RCPT TO:<") - 1 + ADDRESS_MAX + sizeof(">\r\n");

enum class ReplyClass { none, permanent, success, other };

ReplyClass classify(int code) {
  if (code <= 0) return ReplyClass::none;
  if (code >= 500 && code <= 599) return ReplyClass::permanent;
  if (code >= 200 && code <= 299) return ReplyClass::success;
  return ReplyClass::other;
}

struct AddrInfoFree {
  void operator()(addrinfo* a) const { freeaddrinfo(a); }
};

// The target's IPv4 address in network order; false when a name does not resolve.
bool resolve_target(const char* host, in_addr_t& out) {
  if (ipv4_literal_match(host)) {
    BoundedText<32> literal;
    literal.assign(host);
    std::size_t n = literal.size();
    if (n > 0 && literal.buf[n - 1] == '.') literal.buf[n - 1] = '\0';
    out = inet_addr(literal.c_str());
    return true;
  }
  addrinfo hints{};
  hints.ai_flags = 0;
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_protocol = IPPROTO_TCP;
  addrinfo* found = nullptr;
  int rc = getaddrinfo(host, nullptr, &hints, &found);
  std::unique_ptr<addrinfo, AddrInfoFree> owner(found);
  if (rc != 0 || found == nullptr || found->ai_family != AF_INET || found->ai_addr == nullptr ||
      found->ai_addrlen < sizeof(sockaddr_in)) {
    return false;
  }
  sockaddr_in sin;
  std::memcpy(&sin, found->ai_addr, sizeof sin);
  out = sin.sin_addr.s_addr;
  return true;
}

// Targets never contacted: the error value of inet_addr, 127.0.0.1, and all of
// 0.0.0.0/8, since Linux takes a connection to 0.0.0.0 to the local host (the
// MTA itself, or whatever listens here on port 25).
bool refused_target(in_addr_t addr) {
  return addr == INADDR_NONE || addr == htonl(INADDR_LOOPBACK) || (ntohl(addr) >> 24) == 0;
}

// What a step does with one class of reply.
struct Next {
  enum Kind { go, polite, abrupt, reconnect, ignorant } kind;
  // go, reconnect, ignorant: the step to go to; polite: the result.
  int value;
};

enum Line { GREETING, HELO, NULL_SENDER, RECIPIENT, RSET, SAFE_SENDER, LINE_COUNT };

struct StepRow {
  Line line;
  Next none, permanent, success, other;
};

constexpr Next go(int step) { return {Next::go, step}; }
constexpr Next polite(int result) { return {Next::polite, result}; }
constexpr Next abrupt() { return {Next::abrupt, 0}; }
constexpr Next reconnect(int step) { return {Next::reconnect, step}; }
// A permanent refusal is final with blockignorants set, else leads to step.
constexpr Next ignorant(int step) { return {Next::ignorant, step}; }

// Row i is step i + 1. Step 6 leads back to step 4, so a recipient refused
// after the safe sender resets and announces the safe sender a second time.
constexpr StepRow STEPS[] = {
    {GREETING, abrupt(), polite(PROBE_FAIL), go(2), polite(PROBE_TEMPFAIL)},
    {HELO, abrupt(), polite(PROBE_FAIL), go(3), polite(PROBE_TEMPFAIL)},
    {NULL_SENDER, abrupt(), ignorant(5), go(4), go(5)},
    {RECIPIENT, abrupt(), ignorant(7), polite(PROBE_PASS), go(7)},
    {RSET, reconnect(6), polite(PROBE_FAIL), go(6), polite(PROBE_TEMPFAIL)},
    {SAFE_SENDER, abrupt(), polite(PROBE_FAIL), go(4), polite(PROBE_TEMPFAIL)},
    {RSET, reconnect(8), polite(PROBE_FAIL), go(8), polite(PROBE_TEMPFAIL)},
    {SAFE_SENDER, abrupt(), polite(PROBE_FAIL), go(9), polite(PROBE_TEMPFAIL)},
    {RECIPIENT, abrupt(), polite(PROBE_FAIL), polite(PROBE_PASS), polite(PROBE_TEMPFAIL)},
};
constexpr int STEP_COUNT = sizeof STEPS / sizeof STEPS[0];

// Marks a connection that is up, as opposed to a probe result.
constexpr int CONNECTED = 2;

class Dialogue {
 public:
  Dialogue(const sockaddr_in& target, const ProbeOptions& opt, const char* const (&lines)[LINE_COUNT])
      : target_(target), opt_(opt), lines_(lines) {}

  int run() {
    int r = open();
    if (r != CONNECTED) return r;
    int step = 1;
    // The steps form no cycle; the bound only guards against a faulty table.
    for (int round = 0; round < 2 * STEP_COUNT; ++round) {
      const StepRow& row = STEPS[step - 1];
      Next next = pick(row, smtp_command(sock_.get(), lines_[row.line], opt_.timeouts));
      switch (next.kind) {
        case Next::go:
          step = next.value;
          break;
        case Next::polite:
          return end_politely(next.value);
        case Next::abrupt:
          return end_abruptly();
        case Next::ignorant:
          if (settings.blockignorants != 0) return end_politely(PROBE_FAIL);
          step = next.value;
          break;
        case Next::reconnect:
          r = reopen();
          if (r != CONNECTED) return r;
          step = next.value;
          break;
      }
    }
    return end_abruptly();
  }

 private:
  static Next pick(const StepRow& row, int code) {
    switch (classify(code)) {
      case ReplyClass::none: return row.none;
      case ReplyClass::permanent: return row.permanent;
      case ReplyClass::success: return row.success;
      case ReplyClass::other: break;
    }
    return row.other;
  }

  int end_politely(int result) {
    smtp_quit(sock_.get(), opt_.timeouts);
    sock_.reset();
    return result;
  }

  int end_abruptly() {
    sock_.reset();
    return PROBE_TEMPFAIL;
  }

  // A new socket to the target: CONNECTED, or the probe's result.
  int open() {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) return PROBE_TEMPFAIL;
    sock_.reset(fd);
    int on = 1;
    if (setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on) != 0) return end_abruptly();
    if (smtp_connect(fd, target_, opt_.timeouts) != 0) return end_abruptly();
    return CONNECTED;
  }

  // The server dropped the connection after a refusal: a fresh one, with its
  // greeting and HELO judged as the RSET reply would have been.
  int reopen() {
    sock_.reset();
    int r = open();
    if (r != CONNECTED) return r;
    for (Line line : {GREETING, HELO}) {
      switch (classify(smtp_command(sock_.get(), lines_[line], opt_.timeouts))) {
        case ReplyClass::none: return end_abruptly();
        case ReplyClass::permanent: return end_politely(PROBE_FAIL);
        case ReplyClass::other: return end_politely(PROBE_TEMPFAIL);
        case ReplyClass::success: break;
      }
    }
    return CONNECTED;
  }

  const sockaddr_in& target_;
  const ProbeOptions& opt_;
  const char* const (&lines_)[LINE_COUNT];
  SmtpSocket sock_;
};

// Formats one whole command line; false when it would not fit.
bool format_line(char (&out)[COMMAND_BUFFER], const char* fmt, const char* value) {
  int n = std::snprintf(out, sizeof out, fmt, value);
  return n >= 0 && static_cast<std::size_t>(n) < sizeof out;
}

}  // namespace

int probe_address(const char* address, const char* host) {
  return probe_address_with(address, host, ProbeOptions{});
}

int probe_address_with(const char* address, const char* host, const ProbeOptions& opt) {
  if (address == nullptr || host == nullptr) return PROBE_TEMPFAIL;

  in_addr_t addr;
  if (!resolve_target(host, addr)) return PROBE_TEMPFAIL;

  unsigned char b[4];
  std::memcpy(b, &addr, sizeof b);
  char dotted[128];
  std::snprintf(dotted, sizeof dotted, "%u.%u.%u.%u", b[0], b[1], b[2], b[3]);
  log_msg(LOG_INFO, "MX check at %s [%s]", host, dotted);

  if (refused_target(addr)) return PROBE_TEMPFAIL;
  if (settings.mailstore && *settings.mailstore == dotted) return PROBE_PASS;

  // A line break in the mailbox would smuggle commands of its own into the
  // dialogue, and a line that does not fit would go out without its end.
  if (std::strpbrk(address, "\r\n") != nullptr) return PROBE_TEMPFAIL;
  const char* publicname = settings.publicname ? settings.publicname->c_str() : "";
  const char* safecallback = settings.safecallback ? settings.safecallback->c_str() : "";
  char helo[COMMAND_BUFFER], safe_sender[COMMAND_BUFFER], recipient[COMMAND_BUFFER];
  if (!format_line(helo, "HELO %s\r\n", publicname) ||
      !format_line(safe_sender, "MAIL FROM:<%s>\r\n", safecallback) ||
      !format_line(recipient, "RCPT TO:<%s>\r\n", address)) {
    return PROBE_TEMPFAIL;
  }
  const char* const lines[LINE_COUNT] = {nullptr, helo, "MAIL FROM:<>\r\n", recipient, "RSET\r\n",
                                         safe_sender};

  sockaddr_in target{};
  target.sin_family = AF_INET;
  target.sin_port = htons(opt.port);
  target.sin_addr.s_addr = addr;
  Dialogue dialogue(target, opt, lines);
  return metrics_count_dialogue(dialogue.run());
}
