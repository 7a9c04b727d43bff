// The walker pool: one queue under one private mutex, a condition for the
// walkers and one for the stop. Walkers are made as walks come, up to the
// pool's size, and leave after a while without work; they are detached and
// counted, so that the stop waits for the count. A walk's own time starts when
// a walker takes it.
#include "verify/walkers.h"

#include <pthread.h>
#include <signal.h>
#include <syslog.h>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <system_error>
#include <thread>

#include "metrics/metrics.h"
#include "util/log.h"

namespace {

struct Pool {
  std::mutex mu;
  std::condition_variable work;  // a walk queued, or the stop
  std::condition_variable quiet;  // a walk ended
  std::deque<std::function<void()>> queue;
  int alive = 0;     // walkers made and not yet gone
  int running = 0;
  int idle = 0;      // walkers waiting for a walk
  int size = 0;      // the most walkers there may be
  bool started = false;
  bool stopping = false;
};

// Read by walks without the pool's lock.
std::atomic<bool> stop_begun{false};

// Never destroyed: a late connection thread may still hand in a walk at exit.
Pool& pool = *new Pool;

// A walker with nothing to do for this long leaves; a busy hour keeps its walkers.
constexpr auto WALKER_IDLE = std::chrono::seconds(5);

void walker() {
  std::unique_lock<std::mutex> lock(pool.mu);
  for (;;) {
    ++pool.idle;
    const bool work = pool.work.wait_for(lock, WALKER_IDLE, [] { return pool.stopping || !pool.queue.empty(); });
    --pool.idle;
    if (!work || pool.queue.empty()) break;
    std::function<void()> walk = std::move(pool.queue.front());
    pool.queue.pop_front();
    ++pool.running;
    metrics_walks(static_cast<int>(pool.queue.size()), pool.running);
    lock.unlock();
    walk();
    walk = nullptr;  // what the walk holds goes before the walker says it is free
    lock.lock();
    --pool.running;
    metrics_walks(static_cast<int>(pool.queue.size()), pool.running);
    pool.quiet.notify_all();
  }
  --pool.alive;
  pool.quiet.notify_all();
}

// One more walker, when the walks queued would leave none free and the pool may
// grow; under the lock. It inherits a mask that blocks every signal: they are
// the daemon's main thread's.
void grow() {
  if (static_cast<int>(pool.queue.size()) < pool.idle || pool.alive >= pool.size) return;
  sigset_t all, before;
  sigfillset(&all);
  pthread_sigmask(SIG_SETMASK, &all, &before);
  try {
    std::thread(walker).detach();
    ++pool.alive;
  } catch (const std::system_error& e) {
    log_msg(LOG_ERR, "[ERROR] walker thread: %s", e.what());
  }
  pthread_sigmask(SIG_SETMASK, &before, nullptr);
}

}  // namespace

void walkers_start(int count) {
  std::lock_guard<std::mutex> lock(pool.mu);
  pool.size = count > 0 ? count : 1;
  pool.started = true;
}

bool walkers_submit(std::function<void()> walk, WalkPlace place) {
  {
    std::unique_lock<std::mutex> lock(pool.mu);
    const auto queued = static_cast<long long>(pool.queue.size());
    // A background walk needs an idle walker beyond the walks queued, or room for a new one.
    const bool full = place == WalkPlace::background
                          ? pool.started && queued >= pool.idle && pool.alive >= pool.size
                          : pool.started && queued >= static_cast<long long>(pool.size) * WALKS_QUEUED_PER_WALKER;
    if (pool.stopping || full) {
      lock.unlock();
      metrics_count_walk_dropped();
      return false;  // the walk goes here, outside the lock
    }
    if (pool.started) grow();
    // Without a walker (none could be made) the walk runs here, as before start-up.
    if (pool.started && pool.alive > 0) {
      pool.queue.push_back(std::move(walk));
      metrics_walks(static_cast<int>(pool.queue.size()), pool.running);
      pool.work.notify_one();
      return true;
    }
  }
  walk();
  return true;
}

bool walkers_stop(std::chrono::milliseconds limit) {
  std::deque<std::function<void()>> dropped;
  std::unique_lock<std::mutex> lock(pool.mu);
  pool.stopping = true;
  stop_begun.store(true);
  dropped.swap(pool.queue);
  for (std::size_t i = 0; i < dropped.size(); ++i) metrics_count_walk_dropped();
  metrics_walks(0, pool.running);
  pool.work.notify_all();
  const bool ended = pool.quiet.wait_for(lock, limit, [] { return pool.alive == 0; });
  lock.unlock();
  dropped.clear();  // outside the lock: a dropped walk releases the checks it led
  return ended;
}

void walkers_reset() {
  (void)walkers_stop(std::chrono::milliseconds(0));
  std::lock_guard<std::mutex> lock(pool.mu);
  pool.started = false;
  pool.stopping = false;
  stop_begun.store(false);
  pool.size = 0;
}

bool walkers_stopping() { return stop_begun.load(); }
