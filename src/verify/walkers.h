// The walker pool: the threads that walk exchangers, apart from the MTA's
// connection threads, so that no connection waits longer than it chooses to.
// Walks beyond the pool's size queue in arrival order, up to 16 for each walker.
#pragma once

#include <chrono>
#include <functional>

// Lets the pool grow to count walker threads (at least one), made as walks
// come. Until then, and while no walker could be made, a walk runs on the
// thread that hands it in.
void walkers_start(int count);
// A check's walk may wait in the queue; a background one only runs at once, so
// that it never holds a place a check could use.
enum class WalkPlace { check, background };
inline constexpr int WALKS_QUEUED_PER_WALKER = 16;
// Hands a walk to the pool: false when it is dropped unrun, for the pool is
// stopping, its queue is full, or no walker is free for a background walk.
[[nodiscard]] bool walkers_submit(std::function<void()> walk, WalkPlace place = WalkPlace::check);
// True once a stop has begun: what a walk still finds out then, nobody may need.
[[nodiscard]] bool walkers_stopping();
// Drops the queued walks, waits up to limit for the running ones, and joins the
// threads: true when every walk ended in time. A pool never started is stopped at once.
[[nodiscard]] bool walkers_stop(std::chrono::milliseconds limit);
// Tests: back to a pool never started.
void walkers_reset();
