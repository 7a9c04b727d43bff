// The walker pool: one queue under one private mutex, a condition for the
// walkers and one for the stop. A walk's own time starts when a walker takes it.
#include "verify/walkers.h"

#include <pthread.h>
#include <signal.h>
#include <syslog.h>

#include <condition_variable>
#include <deque>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

#include "metrics/metrics.h"
#include "util/log.h"

namespace {

struct Pool {
  std::mutex mu;
  std::condition_variable work;  // a walk queued, or the stop
  std::condition_variable idle;  // a walk ended
  std::deque<std::function<void()>> queue;
  std::vector<std::thread> threads;
  int running = 0;
  bool started = false;
  bool stopping = false;
};

// Never destroyed: a late connection thread may still hand in a walk at exit.
Pool& pool = *new Pool;

void walker() {
  std::unique_lock<std::mutex> lock(pool.mu);
  for (;;) {
    pool.work.wait(lock, [] { return pool.stopping || !pool.queue.empty(); });
    if (pool.queue.empty()) return;
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
    pool.idle.notify_all();
  }
}

}  // namespace

void walkers_start(int count) {
  std::lock_guard<std::mutex> lock(pool.mu);
  if (pool.started) return;
  // Walkers inherit a mask that blocks every signal: the milter library's own
  // thread is the one that takes SIGTERM, SIGINT and SIGHUP.
  sigset_t all, before;
  sigfillset(&all);
  pthread_sigmask(SIG_SETMASK, &all, &before);
  for (int i = 0; i < (count > 0 ? count : 1); ++i) {
    try {
      pool.threads.emplace_back(walker);
    } catch (const std::system_error& e) {
      log_msg(LOG_ERR, "[ERROR] walker thread: %s", e.what());
      break;
    }
  }
  pthread_sigmask(SIG_SETMASK, &before, nullptr);
  pool.started = !pool.threads.empty();
}

bool walkers_submit(std::function<void()> walk) {
  {
    std::unique_lock<std::mutex> lock(pool.mu);
    if (pool.stopping) return false;
    if (pool.started) {
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
  dropped.swap(pool.queue);
  metrics_walks(0, pool.running);
  pool.work.notify_all();
  const bool ended = pool.idle.wait_for(lock, limit, [] { return pool.running == 0; });
  std::vector<std::thread> threads;
  threads.swap(pool.threads);
  lock.unlock();
  dropped.clear();  // outside the lock: a dropped walk releases the checks it led
  if (!ended) {
    for (std::thread& t : threads) t.detach();
    return false;
  }
  for (std::thread& t : threads) t.join();
  return true;
}

void walkers_reset() {
  (void)walkers_stop(std::chrono::milliseconds(0));
  std::lock_guard<std::mutex> lock(pool.mu);
  pool.started = false;
  pool.stopping = false;
}
