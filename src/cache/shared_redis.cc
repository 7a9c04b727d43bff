// The Redis store under the shared tier, through hiredis: a pool of at most
// POOL_SIZE non-blocking connections, each held by one thread at a time, so no
// two threads ever share a context. Every wait (for a free connection, the
// connect, each reply) is bounded by what is left of the check's budget. Replies
// are untrusted: a type other than the one asked for is a failure, never a
// guess, and a value is read at most a byte past the longest of ours. With
// sentinels, connections go to the master they name, confirmed by ROLE. A host
// name is resolved at start and then once a minute on a thread of its own:
// hiredis would resolve it with a blocking lookup on the check's path.
#include "cache/shared_redis.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <string_view>
#include <thread>
#include <vector>

#include "cache/redis_sentinel.h"
#include "cache/redis_wire.h"
#include "cache/shared_codec.h"
#include "util/unix_socket.h"

namespace {

constexpr std::size_t POOL_SIZE = 8;

SharedTierConfig redis_config;  // written before the milter threads start

bool with_sentinels() { return !redis_config.sentinels.empty(); }

// The server's address as its name last resolved ("" while it resolves to none).
constexpr auto RESOLVE_EVERY = std::chrono::seconds(60);
std::mutex address_mutex;
std::condition_variable address_stop;
std::string server_address;  // under address_mutex
bool resolver_stopping = false;  // under address_mutex
std::thread resolver;

std::string current_address() {
  std::lock_guard<std::mutex> lock(address_mutex);
  return server_address;
}

void resolve_now() {
  std::string address = redis_wire_resolve(redis_config.host);
  std::lock_guard<std::mutex> lock(address_mutex);
  server_address = std::move(address);
}

void resolve_every_minute() {
  std::unique_lock<std::mutex> lock(address_mutex);
  while (!address_stop.wait_for(lock, RESOLVE_EVERY, [] { return resolver_stopping; })) {
    lock.unlock();
    resolve_now();
    lock.lock();
  }
}

// Only a name needs the thread; signals stay with the threads that take them.
void stop_resolver();

void start_resolver() {
  stop_resolver();
  if (with_sentinels() || !redis_config.unix_path.empty()) return;
  resolve_now();
  if (redis_wire_is_address(redis_config.host)) return;
  std::lock_guard<std::mutex> lock(address_mutex);
  resolver_stopping = false;
  const SignalsBlocked blocked;
  resolver = std::thread(resolve_every_minute);
}

void stop_resolver() {
  {
    std::lock_guard<std::mutex> lock(address_mutex);
    resolver_stopping = true;
  }
  address_stop.notify_all();
  if (resolver.joinable()) resolver.join();
}

struct Pooled {
  redisContext* c = nullptr;
  std::uint64_t generation = 0;
  std::uint64_t master_epoch = 0;  // the master it was made for
};

// The pool's own lock, held only to take or give back a connection, never
// across I/O.
std::mutex pool_mutex;
std::condition_variable pool_freed;
std::vector<Pooled> idle;
std::size_t busy = 0;
std::uint64_t generation = 0;  // moves on when the tier is lost: older connections go

// A connection for another master than the one in use is as stale as one
// from before a loss.
bool current(const Pooled& p) {
  return p.generation == generation && (!with_sentinels() || p.master_epoch == sentinel_epoch());
}

// A connection, or c null when the pool had room for a new one; false when none
// came free within the budget.
bool take(const RedisDeadline& d, Pooled* out) {
  std::vector<Pooled> stale;
  bool ready = false;
  {
    std::unique_lock<std::mutex> lock(pool_mutex);
    ready = pool_freed.wait_until(
        lock, d.until, [] { return !idle.empty() || idle.size() + busy < POOL_SIZE; });
    if (ready) {
      ++busy;
      while (!idle.empty() && !current(idle.back())) {
        stale.push_back(idle.back());
        idle.pop_back();
      }
      if (!idle.empty()) {
        *out = idle.back();
        idle.pop_back();
      } else {
        *out = Pooled{nullptr, generation, 0};
      }
    }
  }
  for (Pooled& p : stale) redisFree(p.c);
  return ready;
}

// A connection that failed, or is from before the tier was lost, is closed.
void give_back(Pooled p, bool healthy) {
  redisContext* drop = nullptr;
  {
    std::lock_guard<std::mutex> lock(pool_mutex);
    --busy;
    if (healthy && p.c != nullptr && current(p))
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

bool is_refusal(const redisReply* r, std::string_view code) {
  return r->type == REDIS_REPLY_ERROR && std::string_view(r->str, r->len).starts_with(code);
}

// ROLE's first word is "master" on a master: anything else is not written to.
bool confirm_master(redisContext* c, const RedisDeadline& d, const std::string& where,
                    SharedFailure* why) {
  redis_wire_append(c, {"ROLE"});
  RedisReply r = redis_wire_reply(c, d, why);
  if (!r) return false;
  if (r->type == REDIS_REPLY_ARRAY && r->elements > 0 && r->element[0]->type == REDIS_REPLY_STRING &&
      std::strcmp(r->element[0]->str, "master") == 0)
    return true;
  *why = {SharedErrorReason::connection, where + " is not a master"};
  sentinel_relookup();
  return false;
}

// A new connection that has passed AUTH, SELECT and (with sentinels) ROLE, or
// null with *why; p's master epoch says which master it is for.
redisContext* connect_server(const RedisDeadline& d, Pooled* p, SharedFailure* why) {
  RedisTarget target{redis_config.unix_path, redis_config.host, redis_config.port};
  if (with_sentinels()) {
    p->master_epoch = sentinel_epoch();
    std::optional<RedisTarget> m = sentinel_master();
    if (!m) {
      *why = {SharedErrorReason::connection, "no sentinel names master " +
                                                 redis_config.master_name + " (" +
                                                 sentinel_trouble() + ")"};
      sentinel_relookup();
      return nullptr;
    }
    target = *m;
  } else if (target.unix_path.empty()) {
    target.host = current_address();
    if (target.host.empty()) {
      *why = {SharedErrorReason::connection, "cannot resolve " + redis_config.host};
      return nullptr;
    }
  }
  redisContext* c = redis_wire_connect(target, d, why);
  if (c == nullptr) {
    if (with_sentinels()) sentinel_relookup();
    return nullptr;
  }
  const std::string db = std::to_string(redis_config.db);
  if (redis_config.password) redis_wire_append(c, {"AUTH", *redis_config.password});
  if (redis_config.db != 0) redis_wire_append(c, {"SELECT", db});
  bool ok = true;
  if (redis_config.password) {
    ok = redis_wire_ok(c, d, "AUTH", why);
    // A refused AUTH is the tier lost: nothing else will work either.
    if (!ok && why->reason == SharedErrorReason::refused) why->reason = SharedErrorReason::auth;
  }
  if (ok && redis_config.db != 0) {
    ok = redis_wire_ok(c, d, "SELECT", why);
    if (!ok && why->reason == SharedErrorReason::refused) why->reason = SharedErrorReason::connection;
  }
  if (ok && with_sentinels()) ok = confirm_master(c, d, target.text(), why);
  if (!ok) {
    redisFree(c);
    return nullptr;
  }
  return c;
}

// What one command's work gave: done, refused by the server (the connection
// is sound), or failed (the connection is not to be used again).
enum class Work { done, refused, failed };

// Runs work on a pooled connection, connecting first when the pool gave none.
template <typename Fn>
SharedResult with_connection(long long budget_ms, SharedFailure* why, Fn work) {
  const RedisDeadline d(budget_ms);
  Pooled p;
  if (!take(d, &p)) return SHARED_SKIPPED;
  const bool reused = p.c != nullptr;
  if (p.c == nullptr) p.c = connect_server(d, &p, why);
  Work w = p.c != nullptr ? work(p.c, d) : Work::failed;
  // A pooled connection the server has closed since (a restart, an idle
  // timeout, a failover) is not a lost tier: one new connection within the
  // same budget.
  if (w == Work::failed && reused && p.c->err != 0 && why->reason != SharedErrorReason::timeout) {
    if (with_sentinels()) sentinel_relookup();
    redisFree(p.c);
    p.c = connect_server(d, &p, why);
    w = p.c != nullptr ? work(p.c, d) : Work::failed;
  }
  give_back(p, w != Work::failed);
  return w == Work::done ? SHARED_DONE : w == Work::refused ? SHARED_REFUSED : SHARED_FAILED;
}

// An error reply: the server's own words, the server still there.
Work refused(const redisReply* r, SharedFailure* why) {
  *why = {SharedErrorReason::refused, std::string(r->str, r->len)};
  return Work::refused;
}

Work unexpected(const char* what, SharedFailure* why) {
  *why = {SharedErrorReason::garbage, std::string("unexpected reply to ") + what};
  return Work::failed;
}

SharedResult redis_fetch(const std::string& key, long long budget_ms, SharedFetch* out,
                         SharedFailure* why) {
  return with_connection(budget_ms, why, [&](redisContext* c, const RedisDeadline& d) {
    // One round trip: at most a byte more than our longest value (a longer
    // one is not ours and is not read), and the time it has left (-2: none).
    const std::string last = std::to_string(SHARED_VALUE_LIMIT);
    redis_wire_append(c, {"GETRANGE", key, "0", last});
    redis_wire_append(c, {"PTTL", key});
    RedisReply value = redis_wire_reply(c, d, why);
    if (!value) return Work::failed;
    RedisReply pttl = redis_wire_reply(c, d, why);
    if (!pttl) return Work::failed;
    if (pttl->type == REDIS_REPLY_ERROR) return refused(pttl.get(), why);
    if (pttl->type != REDIS_REPLY_INTEGER) return unexpected("PTTL", why);
    out->pttl_ms = pttl->integer;
    out->found = pttl->integer != -2;
    if (is_refusal(value.get(), "WRONGTYPE")) {
      out->value.clear();  // a key of another type under our prefix: not ours
    } else if (value->type == REDIS_REPLY_ERROR) {
      out->found = false;
      return refused(value.get(), why);
    } else if (value->type == REDIS_REPLY_STRING) {
      out->value.assign(value->str, value->len);
    } else {
      return unexpected("GETRANGE", why);
    }
    return Work::done;
  });
}

SharedResult redis_store(const std::string& key, std::string_view value, long long px,
                         long long budget_ms, SharedFailure* why) {
  return with_connection(budget_ms, why, [&](redisContext* c, const RedisDeadline& d) {
    const std::string ms = std::to_string(px);
    redis_wire_append(c, {"SET", key, value, "PX", ms});
    RedisReply r = redis_wire_reply(c, d, why);
    if (!r) return Work::failed;
    if (r->type == REDIS_REPLY_STATUS && std::strcmp(r->str, "OK") == 0) return Work::done;
    if (r->type != REDIS_REPLY_ERROR) return unexpected("SET", why);
    // A master demoted since: the sentinels know which one took over.
    if (is_refusal(r.get(), "READONLY") && with_sentinels()) sentinel_relookup();
    return refused(r.get(), why);
  });
}

SharedResult redis_erase(const std::string& key, long long budget_ms, SharedFailure* why) {
  return with_connection(budget_ms, why, [&](redisContext* c, const RedisDeadline& d) {
    redis_wire_append(c, {"DEL", key});
    RedisReply r = redis_wire_reply(c, d, why);
    if (!r) return Work::failed;
    if (r->type == REDIS_REPLY_INTEGER) return Work::done;
    if (r->type != REDIS_REPLY_ERROR) return unexpected("DEL", why);
    if (is_refusal(r.get(), "READONLY") && with_sentinels()) sentinel_relookup();
    return refused(r.get(), why);
  });
}

SharedResult redis_ping(long long budget_ms, SharedFailure* why) {
  return with_connection(budget_ms, why, [&](redisContext* c, const RedisDeadline& d) {
    redis_wire_append(c, {"PING"});
    RedisReply r = redis_wire_reply(c, d, why);
    if (!r) return Work::failed;
    if (r->type == REDIS_REPLY_STATUS && std::strcmp(r->str, "PONG") == 0) return Work::done;
    if (r->type == REDIS_REPLY_ERROR) {
      *why = {SharedErrorReason::refused, std::string("PING refused: ") + r->str};
      return Work::failed;
    }
    return unexpected("PING", why);
  });
}

void redis_forget() { drop_idle(true); }

std::uint64_t redis_master_epoch() { return with_sentinels() ? sentinel_epoch() : 0; }

std::string redis_master() {
  if (!with_sentinels()) return "";
  std::optional<RedisTarget> m = sentinel_master();
  return m ? m->text() : "";
}

const SharedStore redis_ops = {redis_fetch, redis_store, redis_ping, redis_forget,
                               redis_master_epoch, redis_master, redis_erase};

}  // namespace

void shared_redis_configure(const SharedTierConfig& config) {
  redis_config = config;
  start_resolver();
  sentinel_start(config);
}

void shared_redis_close() {
  stop_resolver();
  sentinel_stop();
  drop_idle(true);
}

const SharedStore& shared_redis_store() { return redis_ops; }
