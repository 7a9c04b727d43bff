// The exchanger memory beside the walk: exchanger addresses whose connect failed
// lately, and each address's recent callouts for the callout budget. One table
// of at most EXCHANGER_MEMORY_MAX addresses (the least recently used dropped),
// shared by all threads behind a lock of its own. What it cannot answer (no
// memory left) it answers as "not known here": not unreachable, within budget.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

inline constexpr std::size_t EXCHANGER_MEMORY_MAX = 4096;

// new_entries, when given, is how many addresses the caller may still add to
// the table: an address it may not add is "not known here" (no mark kept, the
// callout granted uncounted), and each one added takes one from it. So a walk
// over a hostile domain's many addresses cannot push out what the table knows
// of everyone else's exchangers.

// True while addr (address text) is remembered as unreachable.
[[nodiscard]] bool exchanger_unreachable(const char* addr);
// Remembers addr as unreachable for ttl seconds from now; ttl <= 0 does nothing.
void exchanger_mark_unreachable(const char* addr, std::int64_t ttl, int* new_entries = nullptr);
// Takes one callout from addr's budget of limit per period seconds (a sliding
// window): true and counted when fewer than limit were taken within the last
// period seconds (any span of that length, to the clock's nanosecond), else
// false and nothing counted. limit <= 0: always true.
[[nodiscard]] bool exchanger_take_callout(const char* addr, std::int64_t limit, std::int64_t period,
                                          int* new_entries = nullptr);

// Refusals for a reason about this host (a block list, a banned address, a
// rate): an address refused two different mailboxes within ttl seconds is
// marked as refusing probes for ttl seconds from the second. mailbox_key
// tells the mailboxes apart. True when this refusal set the mark.
[[nodiscard]] bool exchanger_note_refusal(const char* addr, std::uint64_t mailbox_key,
                                          std::int64_t ttl, int* new_entries = nullptr);
// Marks addr as refusing for ttl seconds (a mark the site's other hosts made).
void exchanger_mark_refusing(const char* addr, std::int64_t ttl, int* new_entries = nullptr);
[[nodiscard]] bool exchanger_refusing(const char* addr);
// Clears addr's mark and its first refusal; true when it was marked.
bool exchanger_forget_refusing(const char* addr);
// The marked addresses with their whole seconds left, and their count.
struct RefusingExchanger {
  std::string addr;
  std::int64_t seconds_left;
};
[[nodiscard]] std::vector<RefusingExchanger> exchanger_refusing_list();
[[nodiscard]] std::int64_t exchanger_refusing_count();

// Tests only: nanoseconds of a monotonic clock (nullptr: the steady clock), and
// forgetting everything; neither while other threads use the memory.
using ExchangerClock = std::int64_t (*)();
void exchanger_memory_set_clock(ExchangerClock clock);
void exchanger_memory_clear();
[[nodiscard]] std::size_t exchanger_memory_size();
