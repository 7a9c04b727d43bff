// The callout dialogue: resolves and admits the target (IPv4, and IPv6 when the
// ipv6 setting is on), then runs greeting, HELO, MAIL FROM and RCPT TO with the
// safe-sender fall-backs and reconnects.
// Server replies are untrusted: they reach this file as reply codes and as
// texts bounded by ProbeReplyText, read only through read_reply.
#include "smtp/probe.h"

#include <arpa/inet.h>
#include <cstdio>
#include <cstring>
#include <memory>
#include <netdb.h>
#include <strings.h>
#include <sys/socket.h>
#include <syslog.h>

#include "metrics/metrics.h"
#include "smtp/socket.h"
#include "util/bounded_text.h"
#include "util/constants.h"
#include "util/helpers.h"
#include "util/log.h"
#include "util/random_text.h"

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

void target_ipv4(ProbeTarget& t, in_addr_t addr) {
  sockaddr_in sin{};
  sin.sin_family = AF_INET;
  sin.sin_addr.s_addr = addr;
  std::memcpy(&t.addr, &sin, sizeof sin);
  t.len = sizeof sin;
  unsigned char b[4];
  std::memcpy(b, &addr, sizeof b);
  std::snprintf(t.text, sizeof t.text, "%u.%u.%u.%u", b[0], b[1], b[2], b[3]);
}

void target_ipv6(ProbeTarget& t, const in6_addr& addr) {
  sockaddr_in6 sin6{};
  sin6.sin6_family = AF_INET6;
  sin6.sin6_addr = addr;
  std::memcpy(&t.addr, &sin6, sizeof sin6);
  t.len = sizeof sin6;
  if (inet_ntop(AF_INET6, &addr, t.text, sizeof t.text) == nullptr) t.text[0] = '\0';
}

void set_port(ProbeTarget& t, std::uint16_t port) {
  if (t.addr.ss_family == AF_INET6) {
    reinterpret_cast<sockaddr_in6*>(&t.addr)->sin6_port = htons(port);
  } else {
    reinterpret_cast<sockaddr_in*>(&t.addr)->sin_port = htons(port);
  }
}

bool same_ipv6(const ProbeTarget& t, const in6_addr& addr) {
  if (t.addr.ss_family != AF_INET6) return false;
  sockaddr_in6 sin6;
  std::memcpy(&sin6, &t.addr, sizeof sin6);
  return std::memcmp(&sin6.sin6_addr, &addr, sizeof addr) == 0;
}

using AddrInfoList = std::unique_ptr<addrinfo, AddrInfoFree>;

// The stream addresses of one family that getaddrinfo gives for a name; empty
// when it fails.
AddrInfoList lookup_family(const char* host, int family, int flags) {
  addrinfo hints{};
  hints.ai_flags = flags;
  hints.ai_family = family;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_protocol = IPPROTO_TCP;
  addrinfo* found = nullptr;
  int rc = getaddrinfo(host, nullptr, &hints, &found);
  AddrInfoList owner(found);
  if (rc != 0) owner.reset();
  return owner;
}

// The first IPv4 address of a name, as getaddrinfo orders them.
bool resolve_ipv4(const char* host, ProbeTarget& out) {
  AddrInfoList found = lookup_family(host, AF_INET, 0);
  if (!found || found->ai_family != AF_INET || found->ai_addr == nullptr ||
      found->ai_addrlen < sizeof(sockaddr_in)) {
    return false;
  }
  sockaddr_in sin;
  std::memcpy(&sin, found->ai_addr, sizeof sin);
  target_ipv4(out, sin.sin_addr.s_addr);
  return true;
}

// The IPv6 addresses of a name after whatever out holds, without repeats. A
// host without IPv6 reach of its own gets none (AI_ADDRCONFIG).
void resolve_ipv6(const char* host, ProbeTargets& out) {
  AddrInfoList found = lookup_family(host, AF_INET6, AI_ADDRCONFIG);
  for (const addrinfo* a = found.get(); a != nullptr && out.count < PROBE_TARGETS_MAX;
       a = a->ai_next) {
    if (a->ai_family != AF_INET6 || a->ai_addr == nullptr || a->ai_addrlen < sizeof(sockaddr_in6))
      continue;
    sockaddr_in6 sin6;
    std::memcpy(&sin6, a->ai_addr, sizeof sin6);
    bool seen = false;
    for (int i = 0; i < out.count; ++i) seen = seen || same_ipv6(out.at[i], sin6.sin6_addr);
    if (!seen) target_ipv6(out.at[out.count++], sin6.sin6_addr);
  }
}

// An "IPv6:" address literal (the tag in any case), as in "[IPv6:2001:db8::1]".
bool resolve_ipv6_literal(const char* host, ProbeTarget& out) {
  constexpr std::size_t TAG = sizeof("IPv6:") - 1;
  if (strncasecmp(host, "IPv6:", TAG) != 0) return false;
  in6_addr addr;
  if (inet_pton(AF_INET6, host + TAG, &addr) != 1) return false;
  target_ipv6(out, addr);
  return true;
}

// Targets never contacted: the error value of inet_addr, 127.0.0.1, and all of
// 0.0.0.0/8, since Linux takes a connection to 0.0.0.0 to the local host (the
// MTA itself, or whatever listens here on port 25).
bool ipv4_refused(in_addr_t addr) {
  return addr == INADDR_NONE || addr == htonl(INADDR_LOOPBACK) || (ntohl(addr) >> 24) == 0;
}

bool ipv6_refused(const in6_addr& a) {
  if (IN6_IS_ADDR_LOOPBACK(&a) || IN6_IS_ADDR_UNSPECIFIED(&a)) return true;
  if (!IN6_IS_ADDR_V4MAPPED(&a)) return false;
  in_addr_t v4;
  std::memcpy(&v4, a.s6_addr + 12, sizeof v4);
  return ipv4_refused(v4);
}

// IPv4 compares as text, byte for byte; IPv6 by value, as its text has many forms.
bool is_mailstore(const ProbeTarget& t, const std::optional<std::string>& mailstore) {
  if (!mailstore) return false;
  if (t.addr.ss_family != AF_INET6) return *mailstore == t.text;
  in6_addr store;
  return inet_pton(AF_INET6, mailstore->c_str(), &store) == 1 && same_ipv6(t, store);
}

// What a step does with one class of reply.
struct Next {
  enum Kind { go, polite, abrupt, reconnect, ignorant } kind;
  // go, reconnect, ignorant: the step to go to; polite: the result.
  int value;
};

enum Line { GREETING, HELO, NULL_SENDER, RECIPIENT, RSET, SAFE_SENDER, RANDOM_RECIPIENT, LINE_COUNT };

constexpr ProbeStage stage_of(Line line) {
  switch (line) {
    case GREETING: return ProbeStage::greeting;
    case HELO: return ProbeStage::helo;
    case RECIPIENT: case RANDOM_RECIPIENT: return ProbeStage::recipient;
    default: return ProbeStage::mail;
  }
}

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
    // The catch-all test, taken once in place of the first way into step 4: an
    // exchanger that accepts a random mailbox tells nothing by accepting the
    // real one; a refused or deferred random mailbox leads to the real question.
    {RANDOM_RECIPIENT, abrupt(), go(4), polite(PROBE_CATCHALL), go(4)},
};
constexpr int STEP_COUNT = sizeof STEPS / sizeof STEPS[0];
constexpr int FIRST_RECIPIENT_STEP = 4;
constexpr int RANDOM_RECIPIENT_STEP = 10;

// Marks a connection that is up, as opposed to a probe result.
constexpr int CONNECTED = 2;

class Dialogue {
 public:
  Dialogue(const ProbeTarget& target, const ProbeOptions& opt, const char* const (&lines)[LINE_COUNT])
      : target_(target), opt_(opt), lines_(lines), ask_random_(lines[RANDOM_RECIPIENT] != nullptr) {}

  // True after run() when its first connection could not be made.
  [[nodiscard]] bool unreachable() const { return unreachable_; }
  // After run(): the reply that decided its result, empty when none did.
  [[nodiscard]] const ProbeReplyText& reply() const { return reply_; }

  int run() {
    int r = open();
    unreachable_ = connect_failed_;
    if (r != CONNECTED) return r;
    int step = 1;
    // The steps form no cycle; the bound only guards against a faulty table.
    for (int round = 0; round < 2 * STEP_COUNT; ++round) {
      const StepRow& row = STEPS[step - 1];
      const ReplyClass cls = classify(smtp_command(sock_.get(), lines_[row.line], opt_.timeouts, &reply_,
                                                    opt_.observer, &whole_));
      Next next = refine(row, cls, pick(row, cls));
      switch (next.kind) {
        case Next::go:
          step = next.value;
          if (step == FIRST_RECIPIENT_STEP && ask_random_) {
            ask_random_ = false;
            step = RANDOM_RECIPIENT_STEP;
          }
          break;
        case Next::polite:
          return end_politely(next.value);
        case Next::abrupt:
          return end_abruptly();
        case Next::ignorant:
          if (opt_.blockignorants) return end_politely(PROBE_FAIL);
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
  static Next pick(const StepRow& row, ReplyClass cls) {
    switch (cls) {
      case ReplyClass::none: return row.none;
      case ReplyClass::permanent: return row.permanent;
      case ReplyClass::success: return row.success;
      case ReplyClass::other: break;
    }
    return row.other;
  }

  // With refused_probes, a refusal that would fail the mailbox does so only when
  // it is the mailbox's own; a deferred RCPT is final, as a retry with the safe
  // sender would only open a second greylisting triplet. So is a first RCPT
  // the mailbox itself refused: asking it again with the safe sender would count
  // a second unknown mailbox against this host where providers ban probers for
  // them. A first RCPT refused for our client or a busy mailbox is no refusal
  // of the null sender, so blockignorants leaves it to the safe-sender retry.
  Next refine(const StepRow& row, ReplyClass cls, Next next) {
    if (!opt_.refused_probes) return next;
    if (cls == ReplyClass::success && row.line == SAFE_SENDER) safe_sender_ = true;
    if (cls == ReplyClass::other && row.line == RECIPIENT) return polite(PROBE_TEMPFAIL);
    if (cls != ReplyClass::permanent || row.line == RANDOM_RECIPIENT) return next;
    const ReplyReading r = read(row.line);
    if (next.kind == Next::polite && next.value == PROBE_FAIL)
      return polite(r.verdict == ReplyVerdict::mailbox_refusal ? PROBE_FAIL : PROBE_REFUSED);
    if (next.kind != Next::ignorant) return next;
    if (row.line == RECIPIENT && r.verdict == ReplyVerdict::mailbox_refusal) return polite(PROBE_FAIL);
    hold(r);
    if (r.reason == RefusalReason::client || r.reason == RefusalReason::mailbox_busy) return go(next.value);
    return next;
  }

  // Reads the reply just received at line, and marks it with why it refused.
  ReplyReading read(Line line) {
    ReplyReading r = read_reply(stage_of(line), whole_.view());
    if (r.verdict == ReplyVerdict::refused_probe) {
      if ((line == SAFE_SENDER || line == RSET) && r.reason == RefusalReason::null_sender)
        r.reason = RefusalReason::other;
      else if (line == RECIPIENT && !safe_sender_ && r.reason == RefusalReason::other)
        r.reason = RefusalReason::null_sender;
    }
    reply_.reason = r.reason;
    reply_.by_text = r.by_text;
    return r;
  }

  // Keeps a refusal about our client, the one a human would blame should the
  // retry end refused for a vaguer reason.
  void hold(const ReplyReading& r) {
    if (r.reason == RefusalReason::client && held_.empty()) held_ = reply_;
  }

  // The result is known with the reply just read: it is told before the goodbye.
  int end_politely(int result) {
    if (result == PROBE_REFUSED && !held_.empty() && reply_.reason != RefusalReason::client) reply_ = held_;
    if (opt_.decided) opt_.decided(result, reply_);
    smtp_quit(sock_.get(), opt_.timeouts, opt_.observer);
    sock_.reset();
    return result;
  }

  int end_abruptly() {
    sock_.reset();
    reply_.clear();
    return PROBE_TEMPFAIL;
  }

  // A new socket to the target: CONNECTED, or the probe's result.
  int open() {
    // No connection is begun once the verification's time is up.
    if (deadline_passed(opt_.timeouts.deadline)) return PROBE_TEMPFAIL;
    int fd = socket(target_.addr.ss_family, SOCK_STREAM, 0);
    if (fd < 0) return PROBE_TEMPFAIL;
    sock_.reset(fd);
    int on = 1;
    if (setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on) != 0) return end_abruptly();
    if (smtp_connect(fd, reinterpret_cast<const sockaddr*>(&target_.addr), target_.len,
                     opt_.timeouts) != 0) {
      // A connect cut short by the deadline says nothing about the exchanger.
      connect_failed_ = !deadline_passed(opt_.timeouts.deadline);
      if (opt_.observer != nullptr) opt_.observer->note("no connection");
      return end_abruptly();
    }
    if (opt_.connected_from != nullptr) tell_local_address(fd);
    return CONNECTED;
  }

  void tell_local_address(int fd) {
    sockaddr_storage local{};
    socklen_t len = sizeof local;
    char text[INET6_ADDRSTRLEN] = {};
    if (getsockname(fd, reinterpret_cast<sockaddr*>(&local), &len) != 0) return;
    const void* bytes = local.ss_family == AF_INET6
                            ? static_cast<const void*>(&reinterpret_cast<sockaddr_in6*>(&local)->sin6_addr)
                            : static_cast<const void*>(&reinterpret_cast<sockaddr_in*>(&local)->sin_addr);
    if (inet_ntop(local.ss_family, bytes, text, sizeof text) != nullptr) opt_.connected_from(text);
  }

  // The server dropped the connection after a refusal: a fresh one, with its
  // greeting and HELO judged as the RSET reply would have been.
  int reopen() {
    sock_.reset();
    int r = open();
    if (r != CONNECTED) return r;
    for (Line line : {GREETING, HELO}) {
      switch (classify(smtp_command(sock_.get(), lines_[line], opt_.timeouts, &reply_, opt_.observer,
                                    &whole_))) {
        case ReplyClass::none: return end_abruptly();
        case ReplyClass::permanent:
          if (!opt_.refused_probes) return end_politely(PROBE_FAIL);
          (void)read(line);
          return end_politely(PROBE_REFUSED);
        case ReplyClass::other: return end_politely(PROBE_TEMPFAIL);
        case ReplyClass::success: break;
      }
    }
    return CONNECTED;
  }

  const ProbeTarget& target_;
  const ProbeOptions& opt_;
  const char* const (&lines_)[LINE_COUNT];
  bool ask_random_;
  SmtpSocket sock_;
  bool connect_failed_ = false;
  bool unreachable_ = false;
  ProbeReplyText reply_;
  SmtpReplyWhole whole_;        // the last reply, every line of it, as read_reply reads it
  bool safe_sender_ = false;    // the safe sender has been accepted
  ProbeReplyText held_;         // see hold()
};

// Formats one whole command line; false when it would not fit.
bool format_line(char (&out)[COMMAND_BUFFER], const char* fmt, const char* value) {
  int n = std::snprintf(out, sizeof out, fmt, value);
  return n >= 0 && static_cast<std::size_t>(n) < sizeof out;
}

// With catchall on: "RCPT TO:<random@domain>" for the domain after the last "@"
// of address, or null when there is no domain or no random source (the test is
// then left out rather than made guessable).
const char* random_recipient_line(const char* address, bool catchall, char (&out)[COMMAND_BUFFER]) {
  if (!catchall) return nullptr;
  const char* at = std::strrchr(address, '@');
  if (at == nullptr || at[1] == '\0') return nullptr;
  char local[RANDOM_LOCAL_PART_LENGTH + 1];
  if (!random_local_part(local, sizeof local)) return nullptr;
  const int n = std::snprintf(out, sizeof out, "RCPT TO:<%s%s>\r\n", local, at);
  return n >= 0 && static_cast<std::size_t>(n) < sizeof out ? out : nullptr;
}

}  // namespace

SmtpDeadline callout_deadline(std::int64_t s) {
  // Beyond a century the clock's count could overflow; that is no bound anyway.
  constexpr std::int64_t longest = 100LL * 365 * 86400;
  if (s <= 0 || s > longest) return NO_DEADLINE;
  return std::chrono::steady_clock::now() + std::chrono::seconds(s);
}

bool deadline_passed(SmtpDeadline deadline) {
  return deadline != NO_DEADLINE && std::chrono::steady_clock::now() >= deadline;
}

int probe_resolve(const char* host, bool ipv6, ProbeTargets& out) {
  out.count = 0;
  if (host == nullptr) return 0;
  if (ipv4_literal_match(host)) {
    BoundedText<32> literal;
    literal.assign(host);
    std::size_t n = literal.size();
    if (n > 0 && literal.buf[n - 1] == '.') literal.buf[n - 1] = '\0';
    target_ipv4(out.at[out.count++], inet_addr(literal.c_str()));
    return out.count;
  }
  if (ipv6 && resolve_ipv6_literal(host, out.at[0])) return out.count = 1;
  if (resolve_ipv4(host, out.at[0])) out.count = 1;
  if (ipv6) resolve_ipv6(host, out);
  return out.count;
}

ProbeAdmission probe_admit(const ProbeTarget& t, const std::optional<std::string>& mailstore) {
  if (t.addr.ss_family == AF_INET6) {
    sockaddr_in6 sin6;
    std::memcpy(&sin6, &t.addr, sizeof sin6);
    if (ipv6_refused(sin6.sin6_addr)) return ProbeAdmission::refused;
  } else {
    sockaddr_in sin;
    std::memcpy(&sin, &t.addr, sizeof sin);
    if (ipv4_refused(sin.sin_addr.s_addr)) return ProbeAdmission::refused;
  }
  return is_mailstore(t, mailstore) ? ProbeAdmission::mailstore : ProbeAdmission::contact;
}

int probe_address_with(const char* address, const char* host, const ProbeOptions& opt,
                       ProbeReplyText* reply) {
  return probe_each_target(
      host, opt.ipv6,
      [&](const ProbeTarget& t, ProbeReplyText* one) {
        return probe_target(address, host, t, opt, nullptr, one);
      },
      reply);
}

int probe_each_target(const char* host, bool ipv6, const ProbeTargetFunction& probe,
                      ProbeReplyText* reply) {
  ProbeTargets targets;
  const int count = probe_resolve(host, ipv6, targets);
  ProbeOutcome host_outcome;
  for (int i = 0; i < count; ++i) {
    ProbeOutcome one;
    one.result = probe(targets.at[i], &one.reply);
    if (probe_fold(host_outcome, one)) break;
  }
  if (reply != nullptr) *reply = host_outcome.reply;
  return host_outcome.result;
}

int probe_target(const char* address, const char* host, const ProbeTarget& target,
                 const ProbeOptions& opt, bool* unreachable, ProbeReplyText* reply) {
  if (unreachable != nullptr) *unreachable = false;
  if (reply != nullptr) reply->clear();
  if (address == nullptr || host == nullptr) return PROBE_TEMPFAIL;
  log_msg(LOG_INFO, "MX check at %s [%s]", host, target.text);
  const ProbeAdmission admission = probe_admit(target, opt.mailstore);
  if (opt.observer != nullptr) {
    char note[600];
    std::snprintf(note, sizeof note, "MX check at %s [%s]%s", host, target.text,
                  admission == ProbeAdmission::refused     ? " not contacted (refused address)"
                  : admission == ProbeAdmission::mailstore ? " passed without contact (mailstore)"
                                                           : "");
    opt.observer->note(note);
  }
  switch (admission) {
    case ProbeAdmission::refused: return PROBE_TEMPFAIL;
    case ProbeAdmission::mailstore: return PROBE_PASS;
    case ProbeAdmission::contact: break;
  }

  // A line break in the mailbox would smuggle commands of its own into the
  // dialogue, and a line that does not fit would go out without its end.
  if (std::strpbrk(address, "\r\n") != nullptr) return PROBE_TEMPFAIL;
  char helo[COMMAND_BUFFER], safe_sender[COMMAND_BUFFER], recipient[COMMAND_BUFFER];
  if (!format_line(helo, "HELO %s\r\n", opt.publicname.c_str()) ||
      !format_line(safe_sender, "MAIL FROM:<%s>\r\n", opt.safecallback.c_str()) ||
      !format_line(recipient, "RCPT TO:<%s>\r\n", address)) {
    return PROBE_TEMPFAIL;
  }
  char random_recipient[COMMAND_BUFFER];
  const char* const lines[LINE_COUNT] = {nullptr, helo, "MAIL FROM:<>\r\n", recipient, "RSET\r\n",
                                         safe_sender, random_recipient_line(address, opt.catchall, random_recipient)};

  ProbeTarget with_port = target;
  set_port(with_port, opt.port);
  Dialogue dialogue(with_port, opt, lines);
  int result = metrics_count_dialogue(dialogue.run());
  if (unreachable != nullptr) *unreachable = dialogue.unreachable();
  if (reply != nullptr) *reply = dialogue.reply();
  return result;
}
