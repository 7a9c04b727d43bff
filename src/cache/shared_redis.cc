// The Redis store under the shared tier, through hiredis: a pool of at most
// POOL_SIZE blocking connections, each held by one thread at a time, so no two
// threads ever share a context. Every wait (for a free connection, the connect,
// each reply) is bounded by what is left of the check's budget. Replies are
// untrusted: a type other than the one asked for is a failure, never a guess.
#include "cache/shared_redis.h"

#include <hiredis/hiredis.h>
#include <sys/time.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <memory>
#include <mutex>
#include <string_view>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::size_t POOL_SIZE = 8;

SharedTierConfig redis_config;  // written before the milter threads start

struct Pooled {
  redisContext* c = nullptr;
  std::uint64_t generation = 0;
};

// The pool's own lock, held only to take or give back a connection, never
// across I/O.
std::mutex pool_mutex;
std::condition_variable pool_freed;
std::vector<Pooled> idle;
std::size_t busy = 0;
std::uint64_t generation = 0;  // moves on when the tier is lost: older connections go

struct FreeReply {
  void operator()(redisReply* r) const { freeReplyObject(r); }
};
using Reply = std::unique_ptr<redisReply, FreeReply>;

struct Budget {
  Clock::time_point until;
  long long budget_ms;
  explicit Budget(long long ms) : until(Clock::now() + std::chrono::milliseconds(ms)), budget_ms(ms) {}
  // What is left, at least a microsecond: a zero timeval means "wait for ever".
  bool left(timeval* tv) const {
    const auto us =
        std::chrono::duration_cast<std::chrono::microseconds>(until - Clock::now()).count();
    if (us <= 0) return false;
    tv->tv_sec = static_cast<time_t>(us / 1000000);
    tv->tv_usec = static_cast<suseconds_t>(us % 1000000);
    return true;
  }
  std::string timed_out() const {
    return "no answer within " + std::to_string(budget_ms) + " ms";
  }
};

// A connection, or c null when the pool had room for a new one; false when none
// came free within the budget.
bool take(const Budget& b, Pooled* out) {
  std::unique_lock<std::mutex> lock(pool_mutex);
  const bool ready = pool_freed.wait_until(
      lock, b.until, [] { return !idle.empty() || idle.size() + busy < POOL_SIZE; });
  if (!ready) return false;
  ++busy;
  if (!idle.empty()) {
    *out = idle.back();
    idle.pop_back();
  } else {
    *out = Pooled{nullptr, generation};
  }
  return true;
}

// A connection that failed, or is from before the tier was lost, is closed.
void give_back(Pooled p, bool healthy) {
  redisContext* drop = nullptr;
  {
    std::lock_guard<std::mutex> lock(pool_mutex);
    --busy;
    if (healthy && p.c != nullptr && p.generation == generation)
      idle.push_back(p);
    else
      drop = p.c;
  }
  pool_freed.notify_one();
  if (drop != nullptr) redisFree(drop);
}

void drop_idle(bool next_generation) {
  std::vector<Pooled> gone;
  {
    std::lock_guard<std::mutex> lock(pool_mutex);
    if (next_generation) ++generation;
    gone.swap(idle);
  }
  pool_freed.notify_all();
  for (Pooled& p : gone) redisFree(p.c);
}

std::string context_error(const redisContext* c, int saved_errno, const Budget& b) {
  if (c->err == REDIS_ERR_IO && (saved_errno == EAGAIN || saved_errno == EWOULDBLOCK))
    return b.timed_out();
  if (c->err == REDIS_ERR_EOF) return "connection closed by the server";
  if (c->err == REDIS_ERR_PROTOCOL) return std::string("garbage from the server: ") + c->errstr;
  return c->errstr;
}

// Sends the queued commands and reads the next reply, waiting at most what is
// left of the budget; null with *reason on a failure.
Reply next_reply(redisContext* c, const Budget& b, std::string* reason) {
  timeval tv{};
  if (!b.left(&tv)) {
    *reason = b.timed_out();
    return nullptr;
  }
  if (redisSetTimeout(c, tv) != REDIS_OK) {
    *reason = std::string("setting the timeout: ") + c->errstr;
    return nullptr;
  }
  void* raw = nullptr;
  errno = 0;
  if (redisGetReply(c, &raw) != REDIS_OK || raw == nullptr) {
    *reason = context_error(c, errno, b);
    return nullptr;
  }
  return Reply(static_cast<redisReply*>(raw));
}

bool expect_ok(const Reply& r, const char* what, std::string* reason) {
  if (r->type == REDIS_REPLY_STATUS && std::strcmp(r->str, "OK") == 0) return true;
  if (r->type == REDIS_REPLY_ERROR)
    *reason = std::string(what) + " refused: " + r->str;
  else
    *reason = std::string("unexpected reply to ") + what;
  return false;
}

void append(redisContext* c, std::initializer_list<std::string_view> words) {
  std::vector<const char*> argv;
  std::vector<std::size_t> lens;
  for (std::string_view w : words) {
    argv.push_back(w.data());
    lens.push_back(w.size());
  }
  (void)redisAppendCommandArgv(c, static_cast<int>(argv.size()), argv.data(), lens.data());
}

// A new connection that has passed AUTH and SELECT, or null with *reason.
redisContext* connect_server(const Budget& b, std::string* reason) {
  timeval tv{};
  if (!b.left(&tv)) {
    *reason = b.timed_out();
    return nullptr;
  }
  redisContext* c = redis_config.unix_path.empty()
                        ? redisConnectWithTimeout(redis_config.host.c_str(), redis_config.port, tv)
                        : redisConnectUnixWithTimeout(redis_config.unix_path.c_str(), tv);
  if (c == nullptr) {
    *reason = "out of memory";
    return nullptr;
  }
  if (c->err != 0) {
    *reason = std::string("connect: ") + c->errstr;
    redisFree(c);
    return nullptr;
  }
  const std::string db = std::to_string(redis_config.db);
  if (redis_config.password) append(c, {"AUTH", *redis_config.password});
  if (redis_config.db != 0) append(c, {"SELECT", db});
  bool ok = true;
  if (ok && redis_config.password) {
    Reply r = next_reply(c, b, reason);
    ok = r && expect_ok(r, "AUTH", reason);
  }
  if (ok && redis_config.db != 0) {
    Reply r = next_reply(c, b, reason);
    ok = r && expect_ok(r, "SELECT", reason);
  }
  if (!ok) {
    redisFree(c);
    return nullptr;
  }
  return c;
}

// Runs work on a pooled connection, connecting first when the pool gave none.
template <typename Work>
SharedResult with_connection(long long budget_ms, std::string* reason, Work work) {
  const Budget b(budget_ms);
  Pooled p;
  if (!take(b, &p)) return SHARED_SKIPPED;
  const bool reused = p.c != nullptr;
  if (p.c == nullptr) p.c = connect_server(b, reason);
  bool ok = p.c != nullptr && work(p.c, b);
  // A pooled connection the server has closed since (a restart, an idle
  // timeout) is not a lost tier: one new connection within the same budget.
  if (!ok && reused && p.c->err != 0 && *reason != b.timed_out()) {
    redisFree(p.c);
    p.c = connect_server(b, reason);
    ok = p.c != nullptr && work(p.c, b);
  }
  give_back(p, ok);
  return ok ? SHARED_DONE : SHARED_FAILED;
}

SharedResult redis_fetch(const std::string& key, long long budget_ms, SharedFetch* out,
                         std::string* reason) {
  return with_connection(budget_ms, reason, [&](redisContext* c, const Budget& b) {
    // One round trip: the value and the time it has left.
    append(c, {"GET", key});
    append(c, {"PTTL", key});
    Reply value = next_reply(c, b, reason);
    if (!value) return false;
    Reply pttl = next_reply(c, b, reason);
    if (!pttl) return false;
    if (value->type == REDIS_REPLY_STRING) {
      out->found = true;
      out->value.assign(value->str, value->len);
    } else if (value->type == REDIS_REPLY_ERROR && std::strncmp(value->str, "WRONGTYPE", 9) == 0) {
      // A key of another type under our prefix: a value that is not ours.
      out->found = true;
      out->value.clear();
    } else if (value->type == REDIS_REPLY_ERROR) {
      *reason = std::string("GET refused: ") + value->str;
      return false;
    } else if (value->type != REDIS_REPLY_NIL) {
      *reason = "unexpected reply to GET";
      return false;
    }
    if (pttl->type != REDIS_REPLY_INTEGER) {
      *reason = pttl->type == REDIS_REPLY_ERROR ? std::string("PTTL refused: ") + pttl->str
                                                : "unexpected reply to PTTL";
      return false;
    }
    out->pttl_ms = pttl->integer;
    return true;
  });
}

SharedResult redis_store(const std::string& key, std::string_view value, long long px,
                         long long budget_ms, std::string* reason) {
  return with_connection(budget_ms, reason, [&](redisContext* c, const Budget& b) {
    const std::string ms = std::to_string(px);
    append(c, {"SET", key, value, "PX", ms});
    Reply r = next_reply(c, b, reason);
    return r && expect_ok(r, "SET", reason);
  });
}

SharedResult redis_erase(const std::string& key, long long budget_ms, std::string* reason) {
  return with_connection(budget_ms, reason, [&](redisContext* c, const Budget& b) {
    append(c, {"DEL", key});
    Reply r = next_reply(c, b, reason);
    if (!r) return false;
    if (r->type == REDIS_REPLY_INTEGER) return true;
    *reason = r->type == REDIS_REPLY_ERROR ? std::string("DEL refused: ") + r->str
                                           : "unexpected reply to DEL";
    return false;
  });
}

SharedResult redis_ping(long long budget_ms, std::string* reason) {
  return with_connection(budget_ms, reason, [&](redisContext* c, const Budget& b) {
    append(c, {"PING"});
    Reply r = next_reply(c, b, reason);
    if (!r) return false;
    if (r->type == REDIS_REPLY_STATUS && std::strcmp(r->str, "PONG") == 0) return true;
    *reason = r->type == REDIS_REPLY_ERROR ? std::string("PING refused: ") + r->str
                                           : "unexpected reply to PING";
    return false;
  });
}

void redis_forget() { drop_idle(true); }

const SharedStore redis_ops = {redis_fetch, redis_store, redis_erase, redis_ping, redis_forget};

}  // namespace

void shared_redis_configure(const SharedTierConfig& config) { redis_config = config; }

void shared_redis_close() { drop_idle(true); }

const SharedStore& shared_redis_store() { return redis_ops; }
