// Checks in flight: concurrent checks of one kind and key share a single walk.
// The first check of a key leads and does the walk; checks that arrive while it
// runs wait on a condition for the outcome it publishes, for a bounded time.
// The table and its lock are private and held only for bookkeeping, never while
// a caller walks, so no lock is ever held across DNS or SMTP work.
#pragma once

#include <memory>
#include <string>

// What a waiter gets when the leader published nothing within its wait.
inline constexpr int INFLIGHT_TIMED_OUT = -1;

class InflightCheck {
 public:
  // Leads the check of (kind, key), or waits up to wait_seconds for the one
  // already running. When a leader ends without an outcome, a waiter takes
  // over the lead. Should the bookkeeping itself fail (no memory), the check
  // leads on its own rather than being refused.
  InflightCheck(int kind, const char* key, long long wait_seconds);
  // A leader that published nothing releases its waiters without an outcome.
  ~InflightCheck();
  InflightCheck(const InflightCheck&) = delete;
  InflightCheck& operator=(const InflightCheck&) = delete;

  // True when this check must walk itself.
  [[nodiscard]] bool leads() const { return leads_; }
  // For a waiter: the leader's status (> 0) or INFLIGHT_TIMED_OUT; 0 for a leader.
  [[nodiscard]] int outcome() const { return outcome_; }
  // Leader only: hands status (> 0, a cache status) to every waiter and ends
  // the flight, so that a later check of the key starts a new one. Once only.
  void publish(int status);

  struct Flight;

 private:
  std::shared_ptr<Flight> flight_;  // set while this check leads a shared flight
  std::string name_;
  bool leads_ = false;
  int outcome_ = 0;
};

// Tests: the number of flights now in the table.
[[nodiscard]] std::size_t inflight_count();
