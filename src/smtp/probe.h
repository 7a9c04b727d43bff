// The callout dialogue: asks one mail server whether it would accept mail for
// one mailbox, giving PROBE_PASS, PROBE_FAIL or PROBE_TEMPFAIL (and, with
// catchall on, PROBE_CATCHALL when a random mailbox is accepted too; with
// refused_probes, PROBE_REFUSED when the server refused the probe rather than
// the mailbox), and on request the reply that decided it. Logs only the
// "MX check at %s [%s]" line; every socket it opens is closed before it returns.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "smtp/probe_reply.h"
#include "smtp/transport.h"

// Everything a dialogue needs, built by its caller once per check: the dialogue
// reads no configuration of its own.
struct ProbeOptions {
  SmtpTimeouts timeouts;
  std::uint16_t port = 25;  // tests use a port of their own
  std::string publicname;   // the HELO argument
  std::string safecallback; // the sender tried when the null sender is refused
  std::optional<std::string> mailstore;  // passed without contact
  bool blockignorants = false;  // a refused null sender fails the probe
  bool catchall = false;        // a random mailbox is asked first
  bool ipv6 = false;            // IPv6 addresses and literals are tried too
  SmtpObserver* observer = nullptr;  // sees every line of the dialogue when set
  // Only a refusal of the mailbox itself fails: every other permanent refusal
  // is PROBE_REFUSED, and a deferred RCPT ends the dialogue without the
  // safe-sender retry.
  bool refused_probes = false;
  // Told each result a dialogue reaches, with its deciding reply, as soon as
  // that reply has arrived: before the polite end (RSET, QUIT, the close).
  std::function<void(int result, const ProbeReplyText& reply)> decided;
  // Told the local address of each connection made, as inet_ntop writes it.
  void (*connected_from)(const char* address) = nullptr;
};

// The deadline of a verification starting now, seconds ahead; none for 0 (a
// cleared record).
[[nodiscard]] SmtpDeadline callout_deadline(std::int64_t seconds);
[[nodiscard]] bool deadline_passed(SmtpDeadline deadline);

// host: a name or an IPv4 literal (one trailing dot allowed); with ipv6 on also
// an "IPv6:" literal. A mailbox holding CR or LF, or one longer than 512 bytes,
// is never sent: PROBE_TEMPFAIL; so is a target of 127.0.0.1 or 0.0.0.0/8,
// which is logged but never contacted, and every dialogue that reaches its
// deadline (opt.timeouts.deadline). Each address of the host is tried in turn
// until one answers definitely.
[[nodiscard]] int probe_address_with(const char* address, const char* host, const ProbeOptions& opt,
                                     ProbeReplyText* reply = nullptr);

// One address of a target host, with its text as logged and as compared with
// mailstore (dotted quad for IPv4, inet_ntop's form for IPv6).
struct ProbeTarget {
  sockaddr_storage addr{};
  socklen_t len = 0;
  char text[INET6_ADDRSTRLEN] = {};
};

// A name's first IPv4 address, then (with ipv6) up to seven IPv6 addresses.
inline constexpr int PROBE_TARGETS_MAX = 8;
struct ProbeTargets {
  ProbeTarget at[PROBE_TARGETS_MAX];
  int count = 0;
};

// The addresses a probe of host tries, in order; 0 when the host does not
// resolve (nothing is logged then). The port is left 0.
[[nodiscard]] int probe_resolve(const char* host, bool ipv6, ProbeTargets& out);

// Resolves host and hands each target to probe until one decides (probe_fold);
// PROBE_TEMPFAIL when the host does not resolve. *reply (if given) gets the
// deciding reply of the result.
using ProbeTargetFunction = std::function<int(const ProbeTarget& target, ProbeReplyText* reply)>;
[[nodiscard]] int probe_each_target(const char* host, bool ipv6, const ProbeTargetFunction& probe,
                                    ProbeReplyText* reply = nullptr);

// What a probe does with a target: refuses it (255.255.255.255, 127.0.0.1, and
// with IPv6 ::1, :: and the IPv4-mapped forms of refused IPv4 addresses),
// passes it without contact (it is the mailstore, if any), or contacts it.
enum class ProbeAdmission { refused, mailstore, contact };
[[nodiscard]] ProbeAdmission probe_admit(const ProbeTarget& target,
                                         const std::optional<std::string>& mailstore);

// Logs "MX check at <host> [<addr>]", admits the target and runs the dialogue.
// unreachable (if given) tells that the first connection could not be made
// (refused, unreachable or timed out before the deadline); reply (if given) gets
// the reply that decided the result, empty when none did.
[[nodiscard]] int probe_target(const char* address, const char* host, const ProbeTarget& target,
                               const ProbeOptions& opt, bool* unreachable = nullptr,
                               ProbeReplyText* reply = nullptr);
