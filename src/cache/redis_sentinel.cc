// The sentinels' view of the master: a lookup asks each sentinel in turn for
// get-master-addr-by-name until one names it, resolving a name here, never on
// a check's path; the watcher thread keeps one
// sentinel connection subscribed to +switch-master and runs the lookups asked
// for, each at most once a second. Only the master's address is shared, under
// a lock held for a copy; the thread is woken for a lookup or the stop by an eventfd.
#include "cache/redis_sentinel.h"

#include <hiredis/read.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <climits>
#include <cstring>
#include <mutex>
#include <sstream>
#include <thread>

namespace {

constexpr long long LOOKUP_EVERY_MS = 1000;

SharedTierConfig sentinel_config;  // written before the watcher starts, read-only after

std::mutex master_mutex;
std::optional<RedisTarget> master;  // under master_mutex
std::string trouble;                 // under master_mutex: why the last lookup found none
std::atomic<std::uint64_t> epoch{0};

std::atomic<bool> lookup_wanted{false};
std::atomic<bool> stopping{false};
std::atomic<int> wake_fd{-1};
std::thread watcher;

long long steady_ms() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// What one sentinel may take to answer: the tier's timeout, but no less than a
// loaded host needs (no check waits for it).
long long sentinel_timeout_ms() {
  return sentinel_config.timeout_ms < 250 ? 250 : sentinel_config.timeout_ms;
}

void set_master(const RedisTarget& t) {
  std::lock_guard<std::mutex> lock(master_mutex);
  if (master && *master == t) return;
  master = t;
  epoch.fetch_add(1, std::memory_order_release);
}

RedisTarget target_of(const SharedTierConfig::Sentinel& s) { return {"", s.host, s.port}; }

// A connection to sentinel i that has passed AUTH, or null with *why.
redisContext* connect_sentinel(std::size_t i, const RedisDeadline& d, SharedFailure* why) {
  redisContext* c = redis_wire_connect(target_of(sentinel_config.sentinels[i]), d, why);
  if (c == nullptr || !sentinel_config.sentinel_password) return c;
  redis_wire_append(c, {"AUTH", *sentinel_config.sentinel_password});
  if (redis_wire_ok(c, d, "AUTH", why)) return c;
  redisFree(c);
  return nullptr;
}

bool is_text(const redisReply* r) {
  return r != nullptr && (r->type == REDIS_REPLY_STRING || r->type == REDIS_REPLY_STATUS);
}

// The master as sentinel i names it, if it does; else *why says why not.
std::optional<RedisTarget> ask(std::size_t i, SharedFailure* why) {
  const RedisDeadline d(sentinel_timeout_ms());
  redisContext* c = connect_sentinel(i, d, why);
  if (c == nullptr) return std::nullopt;
  redis_wire_append(c, {"SENTINEL", "get-master-addr-by-name", sentinel_config.master_name});
  RedisReply r = redis_wire_reply(c, d, why);
  redisFree(c);
  if (r && r->type == REDIS_REPLY_ERROR) why->text = r->str;
  if (r && r->type == REDIS_REPLY_NIL) why->text = "no master " + sentinel_config.master_name;
  if (!r || r->type != REDIS_REPLY_ARRAY || r->elements != 2 || !is_text(r->element[0]) ||
      !is_text(r->element[1]))
    return std::nullopt;
  const std::string port(r->element[1]->str, r->element[1]->len);
  char* end = nullptr;
  const long n = std::strtol(port.c_str(), &end, 10);
  if (end == port.c_str() || *end != '\0' || n <= 0 || n > 65535) return std::nullopt;
  const std::string named(r->element[0]->str, r->element[0]->len);
  const std::string address = redis_wire_resolve(named);
  if (address.empty()) {
    why->text = "cannot resolve " + named;
    return std::nullopt;
  }
  return RedisTarget{"", address, static_cast<int>(n)};
}

void lookup() {
  SharedFailure why;
  for (std::size_t i = 0; i < sentinel_config.sentinels.size(); ++i) {
    why = {};
    if (std::optional<RedisTarget> t = ask(i, &why)) {
      set_master(*t);
      return;
    }
  }
  const SharedTierConfig::Sentinel& last = sentinel_config.sentinels.back();
  std::lock_guard<std::mutex> lock(master_mutex);
  trouble = last.host + ":" + std::to_string(last.port) + ": " + why.text;
}

// "<name> <old-ip> <old-port> <new-ip> <new-port>", the +switch-master message.
void switched(const std::string& text) {
  std::istringstream in(text);
  std::string name, old_ip, old_port, new_ip;
  int new_port = 0;
  if (!(in >> name >> old_ip >> old_port >> new_ip >> new_port)) return;
  if (name != sentinel_config.master_name || new_port <= 0 || new_port > 65535) return;
  const std::string address = redis_wire_resolve(new_ip);
  if (address.empty()) {
    lookup_wanted.store(true);
    return;
  }
  set_master({"", address, new_port});
}

// A subscribed connection to sentinel i, or null.
redisContext* subscribe(std::size_t i) {
  const RedisDeadline d(sentinel_timeout_ms());
  SharedFailure why;
  redisContext* c = connect_sentinel(i, d, &why);
  if (c == nullptr) return nullptr;
  redis_wire_append(c, {"SUBSCRIBE", "+switch-master"});
  RedisReply r = redis_wire_reply(c, d, &why);
  if (r && r->type == REDIS_REPLY_ARRAY) return c;
  redisFree(c);
  return nullptr;
}

// Reads what the subscription brought; false when the connection is to be dropped.
bool drain(redisContext* c) {
  const std::size_t before = c->reader->len;
  if (redisBufferRead(c) != REDIS_OK) return false;
  if (c->reader->len - before > REDIS_REPLY_LIMIT) return false;
  for (int n = 0; n < 1000; ++n) {
    void* raw = nullptr;
    if (redisGetReplyFromReader(c, &raw) != REDIS_OK) return false;
    if (raw == nullptr) return c->reader->len - c->reader->pos <= REDIS_REPLY_LIMIT;
    RedisReply r(static_cast<redisReply*>(raw));
    if (r->type == REDIS_REPLY_ARRAY && r->elements == 3 && is_text(r->element[0]) &&
        std::strcmp(r->element[0]->str, "message") == 0 && is_text(r->element[2]))
      switched(std::string(r->element[2]->str, r->element[2]->len));
  }
  return true;
}

void watch() {
  redisContext* sub = nullptr;
  std::size_t next = 0;
  long long last_subscribe = LLONG_MIN / 2;
  long long last_lookup = steady_ms();  // sentinel_start has just looked
  while (!stopping.load(std::memory_order_acquire)) {
    long long now = steady_ms();
    if (sub == nullptr && now - last_subscribe >= LOOKUP_EVERY_MS) {
      last_subscribe = now;
      sub = subscribe(next++ % sentinel_config.sentinels.size());
      // A switch while no one listened is found by a lookup.
      if (sub != nullptr) lookup_wanted.store(true);
    }
    now = steady_ms();
    if (lookup_wanted.load() && now - last_lookup >= LOOKUP_EVERY_MS) {
      lookup_wanted.store(false);
      last_lookup = now;
      lookup();
    }
    now = steady_ms();
    long long wait = LOOKUP_EVERY_MS;
    if (lookup_wanted.load()) wait = std::max(1LL, LOOKUP_EVERY_MS - (now - last_lookup));
    pollfd fds[2] = {{wake_fd, POLLIN, 0}, {sub != nullptr ? sub->fd : -1, POLLIN, 0}};
    if (poll(fds, 2, static_cast<int>(wait)) <= 0) continue;
    if ((fds[0].revents & POLLIN) != 0) {
      std::uint64_t n = 0;
      // The counter only wakes the poll; a failed read leaves it set, and the next poll returns at once.
      if (read(wake_fd, &n, sizeof n) < 0) { /* nothing to undo */ }
    }
    if (sub != nullptr && fds[1].revents != 0 && !drain(sub)) {
      redisFree(sub);
      sub = nullptr;
    }
  }
  if (sub != nullptr) redisFree(sub);
}

void wake() {
  const std::uint64_t one = 1;
  // A full counter already wakes the watcher: a failed write loses nothing.
  if (wake_fd >= 0 && write(wake_fd, &one, sizeof one) < 0) return;
}

}  // namespace

void sentinel_start(const SharedTierConfig& config) {
  sentinel_config = config;
  if (sentinel_config.sentinels.empty()) return;
  stopping.store(false);
  lookup();
  wake_fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (wake_fd < 0) return;  // no watcher: the master found now is kept
  // The milter library's signal thread alone takes the signals.
  sigset_t all, saved;
  sigfillset(&all);
  pthread_sigmask(SIG_SETMASK, &all, &saved);
  watcher = std::thread(watch);
  pthread_sigmask(SIG_SETMASK, &saved, nullptr);
}

void sentinel_stop() {
  stopping.store(true, std::memory_order_release);
  wake();
  if (watcher.joinable()) watcher.join();
  if (wake_fd >= 0) (void)close(wake_fd);
  wake_fd = -1;
}

std::optional<RedisTarget> sentinel_master() {
  std::lock_guard<std::mutex> lock(master_mutex);
  return master;
}

std::string sentinel_trouble() {
  std::lock_guard<std::mutex> lock(master_mutex);
  return trouble;
}

std::uint64_t sentinel_epoch() { return epoch.load(std::memory_order_acquire); }

void sentinel_relookup() {
  if (lookup_wanted.exchange(true)) return;
  wake();
}
