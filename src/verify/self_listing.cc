// The table of source addresses under one private mutex, held only to note a
// use or to take and record a round's lookups, never across a DNS query.
#include "verify/self_listing.h"

#include <syslog.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "dns/listing.h"
#include "metrics/metrics.h"
#include "settings/settings.h"
#include "util/log.h"

namespace {

constexpr std::int64_t LOOKUP_EVERY = 3600;

struct Source {
  std::string address;
  std::int64_t last_used = 0;
  std::int64_t due = 0;
  std::vector<bool> listed;  // by zone
};

std::mutex table_mutex;
std::vector<Source> table;
std::vector<std::string> zones;  // set before the thread starts, then only read
std::atomic<bool> any_listed{false};
std::atomic<SelfListingLookup> current_lookup{nullptr};
std::atomic<SelfListingClock> current_clock{nullptr};

std::mutex thread_mutex;
std::condition_variable wake;
bool stopping = false;
std::thread looker;

// The zones as the settings name them, in the order written (the list holds
// them newest first).
std::vector<std::string> configured_zones() {
  std::vector<std::string> out;
  for (const PatternEntry& z : settings.selflisting) out.insert(out.begin(), z.pattern);
  return out;
}

std::int64_t now_seconds() {
  if (SelfListingClock clock = current_clock.load(std::memory_order_acquire)) return clock();
  return std::chrono::duration_cast<std::chrono::seconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// The gauges and the pause follow the table; called under the lock.
void publish() {
  bool any = false;
  for (std::size_t z = 0; z < zones.size(); ++z) {
    bool in_zone = false;
    for (const Source& s : table) in_zone = in_zone || (z < s.listed.size() && s.listed[z]);
    metrics_set_self_listed(zones[z].c_str(), in_zone);
    any = any || in_zone;
  }
  any_listed.store(any, std::memory_order_release);
}

struct Lookup {
  std::string address;
  std::size_t zone;
  int result = -1;
  ListingText why;
};

void run_due(std::int64_t now) {
  std::vector<Lookup> round;
  {
    std::lock_guard<std::mutex> lock(table_mutex);
    // An address unused for a whole period is no longer this host's concern.
    std::erase_if(table, [now](const Source& s) { return s.due <= now && s.last_used + LOOKUP_EVERY < now; });
    for (Source& s : table) {
      if (s.due > now) continue;
      s.due = now + LOOKUP_EVERY;
      for (std::size_t z = 0; z < zones.size(); ++z) round.push_back({s.address, z, -1, {}});
    }
    publish();
  }
  if (round.empty()) return;
  SelfListingLookup lookup = current_lookup.load(std::memory_order_acquire);
  for (Lookup& l : round) {
    l.result = lookup != nullptr ? lookup(l.address.c_str(), zones[l.zone].c_str(), l.why)
                                 : listing_lookup(l.address.c_str(), zones[l.zone].c_str(), l.why);
    if (l.result < 0) {
      metrics_count_self_listing_failure();
    } else if (l.result > 0) {
      log_msg(LOG_ERR, "[ERROR] this host's address %s is listed at %s (%s)", l.address.c_str(),
              zones[l.zone].c_str(), l.why.c_str());
    }
  }
  std::lock_guard<std::mutex> lock(table_mutex);
  for (const Lookup& l : round) {
    if (l.result < 0) continue;
    for (Source& s : table)
      if (s.address == l.address && l.zone < s.listed.size()) s.listed[l.zone] = l.result > 0;
  }
  publish();
}

void look_until_stopped() {
  std::unique_lock<std::mutex> lock(thread_mutex);
  while (!stopping) {
    lock.unlock();
    run_due(now_seconds());
    lock.lock();
    wake.wait_for(lock, std::chrono::seconds(1), [] { return stopping; });
  }
}

}  // namespace

void self_listing_note(const char* address) {
  if (zones.empty() || address == nullptr || address[0] == '\0') return;
  const std::int64_t now = now_seconds();
  try {
    std::lock_guard<std::mutex> lock(table_mutex);
    for (Source& s : table) {
      if (s.address != address) continue;
      s.last_used = now;
      return;
    }
    if (table.size() >= SELF_LISTING_ADDRESSES_MAX) return;
    table.push_back({address, now, now, std::vector<bool>(zones.size(), false)});
  } catch (const std::exception&) {
    // Not noted: the next probe from the address tries again.
  }
}

bool self_listing_listed() { return any_listed.load(std::memory_order_acquire); }

void self_listing_start() {
  zones = configured_zones();
  if (zones.empty()) return;
  {
    std::lock_guard<std::mutex> lock(table_mutex);
    publish();
  }
  std::lock_guard<std::mutex> lock(thread_mutex);
  stopping = false;
  try {
    looker = std::thread(look_until_stopped);
  } catch (const std::system_error& e) {
    log_msg(LOG_ERR, "[ERROR] selflisting: %s", e.what());
  }
}

void self_listing_stop() {
  {
    std::lock_guard<std::mutex> lock(thread_mutex);
    stopping = true;
  }
  wake.notify_all();
  if (looker.joinable()) looker.join();
}

void self_listing_install(SelfListingLookup lookup, SelfListingClock clock) {
  current_lookup.store(lookup, std::memory_order_release);
  current_clock.store(clock, std::memory_order_release);
}

void self_listing_run_due() { run_due(now_seconds()); }

void self_listing_clear() {
  std::lock_guard<std::mutex> lock(table_mutex);
  table.clear();
  zones = configured_zones();
  any_listed.store(false, std::memory_order_release);
}
