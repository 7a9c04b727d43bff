// Refusals counted towards a mark: a domain is marked as refusing probes only
// at a second refusal, of another address, within the mark's lifetime, so that
// one odd reply never marks it. Kept in this host's
// memory with the reply that counted, for the control socket to show.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

// Counts a refusal of address under kind and key, with its reply. True when an
// earlier refusal of another address under them is still live (or they are
// marked already): the caller sets the mark, and this reply is kept as the one
// that set it. A lifetime of 0 or less counts nothing.
[[nodiscard]] bool mark_strike(int kind, std::string_view key, std::string_view address,
                               std::string_view reply, std::int64_t ttl);

struct MarkNote {
  bool marked = false;  // else one refusal waits for a second
  std::string reply;
  std::int64_t seconds_left = 0;
};
// What is counted under kind and key, if anything live.
[[nodiscard]] std::optional<MarkNote> mark_note(int kind, std::string_view key);
// Forgets what is counted under kind and key; true when something live was.
bool mark_strikes_forget(int kind, std::string_view key);
// Tests: forgets everything.
void mark_strikes_clear();
