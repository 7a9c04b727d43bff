// Checks in flight: a table of running checks by kind and key under one private
// mutex; each flight has its own condition, which its waiters wait on until the
// leader publishes or their deadline passes. A failed lock is fatal (die), as
// for the cache; an allocation failure only costs the sharing.
#include "cache/inflight.h"

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <new>
#include <system_error>
#include <unordered_map>

#include "cache/cache.h"
#include "metrics/metrics.h"

struct InflightCheck::Flight {
  std::condition_variable done_cv;
  bool done = false;
  int status = 0;  // 0: the leader ended without an outcome
};

namespace {

using FlightTable = std::unordered_map<std::string, std::shared_ptr<InflightCheck::Flight>>;

std::mutex table_mutex;
// Never destroyed: connection threads may still finish checks while the process exits.
FlightTable& flights = *new FlightTable;

// A wait is cut here so that the deadline cannot overflow the clock's range.
constexpr long long WAIT_LIMIT_SECONDS = 86400LL * 365;

std::string flight_name(int kind, const char* key) {
  std::string name = std::to_string(kind);
  name += ':';
  name += key;
  return name;
}

}  // namespace

InflightCheck::InflightCheck(int kind, const char* key, long long wait_seconds) {
  using Clock = std::chrono::steady_clock;
  const auto deadline = Clock::now() + std::chrono::seconds(
      wait_seconds <= 0 ? 0 : wait_seconds < WAIT_LIMIT_SECONDS ? wait_seconds : WAIT_LIMIT_SECONDS);
  if (key == nullptr) {
    leads_ = true;
    return;
  }
  try {
    name_ = flight_name(kind, key);
    std::unique_lock<std::mutex> lock(table_mutex);
    // Each round either leads, or waits for one leader to end; a leader that
    // ends without an outcome sends its waiters round again, one of them to lead.
    for (;;) {
      auto it = flights.find(name_);
      if (it == flights.end()) {
        auto mine = std::make_shared<Flight>();
        flights.emplace(name_, mine);
        flight_ = std::move(mine);
        leads_ = true;
        return;
      }
      std::shared_ptr<Flight> theirs = it->second;
      bool ended = false;
      {
        const MetricsWaiting waiting;
        ended = theirs->done_cv.wait_until(lock, deadline, [&] { return theirs->done; });
      }
      if (!ended) {
        outcome_ = INFLIGHT_TIMED_OUT;
        return;
      }
      if (theirs->status > 0) {
        outcome_ = theirs->status;
        return;
      }
      if (Clock::now() >= deadline) {
        outcome_ = INFLIGHT_TIMED_OUT;
        return;
      }
    }
  } catch (const std::bad_alloc&) {
    // Not entered in the table (or entered and owned by flight_, published below).
    leads_ = true;
  } catch (const std::system_error&) {
    die("inflight lock");
  }
}

InflightCheck::~InflightCheck() { publish(0); }

void InflightCheck::publish(int status) {
  if (!flight_) return;
  std::shared_ptr<Flight> flight = std::move(flight_);
  try {
    std::lock_guard<std::mutex> lock(table_mutex);
    flight->status = status > 0 ? status : 0;
    flight->done = true;
    flights.erase(name_);
  } catch (const std::system_error&) {
    die("inflight lock");
  }
  // The waiters hold the flight too, so its condition outlives the table entry.
  flight->done_cv.notify_all();
}

std::size_t inflight_count() {
  std::lock_guard<std::mutex> lock(table_mutex);
  return flights.size();
}
