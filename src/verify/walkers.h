// The walker pool: the threads that walk exchangers, apart from the MTA's
// connection threads, so that no connection waits longer than it chooses to.
// Walks beyond the pool's size queue in arrival order.
#pragma once

#include <chrono>
#include <functional>

// Lets the pool grow to count walker threads (at least one), made as walks
// come. Until then, and while no walker could be made, a walk runs on the
// thread that hands it in.
void walkers_start(int count);
// Hands a walk to the pool: false once the pool is stopping (the walk is dropped).
[[nodiscard]] bool walkers_submit(std::function<void()> walk);
// Drops the queued walks, waits up to limit for the running ones, and joins the
// threads: true when every walk ended in time. A pool never started is stopped at once.
[[nodiscard]] bool walkers_stop(std::chrono::milliseconds limit);
// Tests: back to a pool never started.
void walkers_reset();
