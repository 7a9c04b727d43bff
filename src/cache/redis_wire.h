// Talking to a Redis server (or a sentinel) within a deadline: non-blocking
// hiredis contexts whose every wait is a poll() for the time left, so that a
// reply still incomplete at the deadline is a timeout however it trickles in,
// and a reply larger than any the tier asks for is garbage, not memory spent.
#pragma once

#include <hiredis/hiredis.h>

#include <chrono>
#include <cstddef>
#include <initializer_list>
#include <memory>
#include <string>
#include <string_view>

#include "cache/shared_tier.h"

// The most one reply may bring: the tier's replies are a few dozen bytes, a
// ROLE with a long list of replicas some kilobytes.
inline constexpr std::size_t REDIS_REPLY_LIMIT = 64 * 1024;

struct RedisDeadline {
  std::chrono::steady_clock::time_point until;
  long long budget_ms;
  explicit RedisDeadline(long long ms)
      : until(std::chrono::steady_clock::now() + std::chrono::milliseconds(ms)), budget_ms(ms) {}
  // Milliseconds left, rounded up; 0 once the deadline has passed.
  [[nodiscard]] int left_ms() const;
  [[nodiscard]] std::string timed_out() const {
    return "no answer within " + std::to_string(budget_ms) + " ms";
  }
};

// Where a server listens: a unix socket when unix_path is set, else host and port.
struct RedisTarget {
  std::string unix_path;
  std::string host;
  int port = 0;
  [[nodiscard]] std::string text() const {
    return unix_path.empty() ? host + ":" + std::to_string(port) : "unix:" + unix_path;
  }
  bool operator==(const RedisTarget&) const = default;
};

struct FreeReply {
  void operator()(redisReply* r) const { freeReplyObject(r); }
};
using RedisReply = std::unique_ptr<redisReply, FreeReply>;

// A host name's first address as text through the system's resolver, which may
// block: never on a check's path. A literal address comes back as it is; ""
// when the name has none.
[[nodiscard]] std::string redis_wire_resolve(const std::string& host);
// A literal IPv4 or IPv6 address, which hiredis connects to without a lookup.
[[nodiscard]] bool redis_wire_is_address(const std::string& host);

// A connected non-blocking context, or null with *why.
[[nodiscard]] redisContext* redis_wire_connect(const RedisTarget& target, const RedisDeadline& d,
                                               SharedFailure* why);
// Queues one command; its words are sent by the next redis_wire_reply.
void redis_wire_append(redisContext* c, std::initializer_list<std::string_view> words);
// Sends what is queued and reads the next reply by the deadline; null with *why.
[[nodiscard]] RedisReply redis_wire_reply(redisContext* c, const RedisDeadline& d,
                                          SharedFailure* why);
// The next command's reply: true for +OK, else false with *why (refused or
// garbage, naming what).
[[nodiscard]] bool redis_wire_ok(redisContext* c, const RedisDeadline& d, const char* what,
                                 SharedFailure* why);
