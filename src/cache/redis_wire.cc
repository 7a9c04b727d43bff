// Deadline-bound I/O on non-blocking hiredis contexts: poll() for the time left,
// hiredis's own writer and reader for the protocol.
#include "cache/redis_wire.h"

#include <arpa/inet.h>
#include <hiredis/read.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>
#include <vector>

namespace {

// Waits until fd is ready for events or the deadline passes; false on the deadline.
bool wait_ready(int fd, short events, const RedisDeadline& d) {
  for (int round = 0; round < 1000; ++round) {  // EINTR alone repeats; bounded all the same
    const int ms = d.left_ms();
    if (ms <= 0) return false;
    pollfd p{fd, events, 0};
    const int n = poll(&p, 1, ms);
    if (n > 0) return true;
    if (n == 0) return false;
    if (errno != EINTR) return true;  // let the read or write say what is wrong
  }
  return false;
}

SharedFailure failed(SharedErrorReason kind, std::string text) { return {kind, std::move(text)}; }

SharedFailure context_failure(const redisContext* c) {
  if (c->err == REDIS_ERR_EOF) return failed(SharedErrorReason::connection, "connection closed by the server");
  if (c->err == REDIS_ERR_PROTOCOL)
    return failed(SharedErrorReason::garbage, std::string("garbage from the server: ") + c->errstr);
  return failed(SharedErrorReason::connection, c->errstr);
}

}  // namespace

int RedisDeadline::left_ms() const {
  const auto us = std::chrono::duration_cast<std::chrono::microseconds>(
                      until - std::chrono::steady_clock::now())
                      .count();
  return us <= 0 ? 0 : static_cast<int>((us + 999) / 1000);
}

bool redis_wire_is_address(const std::string& host) {
  unsigned char bytes[sizeof(in6_addr)];
  return inet_pton(AF_INET, host.c_str(), bytes) == 1 || inet_pton(AF_INET6, host.c_str(), bytes) == 1;
}

std::string redis_wire_resolve(const std::string& host) {
  if (redis_wire_is_address(host)) return host;
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  if (getaddrinfo(host.c_str(), nullptr, &hints, &found) != 0 || found == nullptr) return "";
  char text[INET6_ADDRSTRLEN] = "";
  const void* where = found->ai_family == AF_INET6
                          ? static_cast<const void*>(&reinterpret_cast<const sockaddr_in6*>(found->ai_addr)->sin6_addr)
                          : static_cast<const void*>(&reinterpret_cast<const sockaddr_in*>(found->ai_addr)->sin_addr);
  const bool ok = inet_ntop(found->ai_family, where, text, sizeof text) != nullptr;
  freeaddrinfo(found);
  return ok ? text : "";
}

redisContext* redis_wire_connect(const RedisTarget& target, const RedisDeadline& d,
                                 SharedFailure* why) {
  if (d.left_ms() <= 0) {
    *why = failed(SharedErrorReason::timeout, d.timed_out());
    return nullptr;
  }
  redisContext* c = target.unix_path.empty()
                        ? redisConnectNonBlock(target.host.c_str(), target.port)
                        : redisConnectUnixNonBlock(target.unix_path.c_str());
  if (c == nullptr) {
    *why = failed(SharedErrorReason::connection, "out of memory");
    return nullptr;
  }
  if (c->err != 0) {
    *why = failed(SharedErrorReason::connection, std::string("connect: ") + c->errstr);
    redisFree(c);
    return nullptr;
  }
  // A connect still under way shows as writable once it has ended, either way.
  if (!wait_ready(c->fd, POLLOUT, d)) {
    *why = failed(SharedErrorReason::timeout, d.timed_out());
    redisFree(c);
    return nullptr;
  }
  int err = 0;
  socklen_t len = sizeof err;
  if (getsockopt(c->fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0) err = errno;
  if (err != 0) {
    *why = failed(SharedErrorReason::connection, std::string("connect: ") + std::strerror(err));
    redisFree(c);
    return nullptr;
  }
  return c;
}

void redis_wire_append(redisContext* c, std::initializer_list<std::string_view> words) {
  std::vector<const char*> argv;
  std::vector<std::size_t> lens;
  for (std::string_view w : words) {
    argv.push_back(w.data());
    lens.push_back(w.size());
  }
  (void)redisAppendCommandArgv(c, static_cast<int>(argv.size()), argv.data(), lens.data());
}

RedisReply redis_wire_reply(redisContext* c, const RedisDeadline& d, SharedFailure* why) {
  int done = 0;
  for (;;) {
    if (redisBufferWrite(c, &done) != REDIS_OK) {
      *why = context_failure(c);
      return nullptr;
    }
    if (done != 0) break;
    if (!wait_ready(c->fd, POLLOUT, d)) {
      *why = failed(SharedErrorReason::timeout, d.timed_out());
      return nullptr;
    }
  }
  std::size_t fed = 0;
  for (;;) {
    void* raw = nullptr;
    if (redisGetReplyFromReader(c, &raw) != REDIS_OK) {
      *why = context_failure(c);
      return nullptr;
    }
    if (raw != nullptr) return RedisReply(static_cast<redisReply*>(raw));
    if (fed > REDIS_REPLY_LIMIT) {
      *why = failed(SharedErrorReason::garbage, "garbage from the server: a reply over " +
                                              std::to_string(REDIS_REPLY_LIMIT) + " bytes");
      return nullptr;
    }
    if (!wait_ready(c->fd, POLLIN, d)) {
      *why = failed(SharedErrorReason::timeout, d.timed_out());
      return nullptr;
    }
    const std::size_t before = c->reader->len;
    if (redisBufferRead(c) != REDIS_OK) {
      *why = context_failure(c);
      return nullptr;
    }
    fed += c->reader->len - before;
  }
}

bool redis_wire_ok(redisContext* c, const RedisDeadline& d, const char* what, SharedFailure* why) {
  RedisReply r = redis_wire_reply(c, d, why);
  if (!r) return false;
  if (r->type == REDIS_REPLY_STATUS && std::strcmp(r->str, "OK") == 0) return true;
  if (r->type == REDIS_REPLY_ERROR)
    *why = failed(SharedErrorReason::refused, std::string(what) + " refused: " + r->str);
  else
    *why = failed(SharedErrorReason::garbage, std::string("unexpected reply to ") + what);
  return false;
}
