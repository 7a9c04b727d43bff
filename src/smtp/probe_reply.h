// What an exchanger's reply tells a callout: a pass, a temporary reply, a
// refusal of the mailbox itself, or a refused probe (policy, reputation, a
// refused greeting), and the reply kept to show why. Pure functions of the
// reply text, which is untrusted: every read is bounded by its length.
#pragma once

#include <cstddef>
#include <string_view>

#include "util/bounded_text.h"

// Where in the dialogue a reply came: a refusal says something about the mailbox
// only at the RCPT of the mailbox itself.
enum class ProbeStage { greeting, helo, mail, recipient };
enum class ReplyVerdict { pass, temporary, mailbox_refusal, refused_probe };

// 2xx: pass; 5xx: a mailbox refusal only at the recipient stage with an enhanced
// code of 5.1.0, 5.1.1, 5.1.2, 5.1.3, 5.1.6, 5.1.10 or 5.2.1, or with none and a
// code of 550, 551 or 553, else a refused probe; anything else is temporary.
[[nodiscard]] ReplyVerdict reply_verdict(ProbeStage stage, std::string_view reply);

// The deciding reply of a probe: its lines joined with one space, cut at 200
// bytes; empty when no reply decided it (no connection, a timeout).
inline constexpr std::size_t PROBE_REPLY_MAX = 200;
using ProbeReplyText = BoundedText<PROBE_REPLY_MAX + 1>;
void probe_reply_keep(ProbeReplyText& out, std::string_view reply);

// One probe's result (PROBE_*) with its deciding reply.
struct ProbeOutcome {
  int result = -1;  // PROBE_TEMPFAIL
  ProbeReplyText reply;
};

// Folds the next probe of one walk (an address of an exchanger, or an exchanger)
// into the walk's outcome so far, and tells whether the walk is decided. A pass,
// a failure or a catch-all decides; a temporary reply outweighs a refused probe
// (not every exchanger that answered refused), which outweighs a probe that
// drew no reply at all.
[[nodiscard]] bool probe_fold(ProbeOutcome& walk, const ProbeOutcome& next);
