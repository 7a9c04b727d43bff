// What an exchanger's reply tells a callout: a pass, a temporary reply, a
// refusal of the mailbox itself, or a refused probe (policy, reputation, a
// refused greeting), why it was refused, and the reply kept to show it. Pure
// functions of the reply text, which is untrusted: every read is bounded by
// its length.
#pragma once

#include <cstddef>
#include <string_view>

#include "util/bounded_text.h"

// Where in the dialogue a reply came: a refusal says something about the mailbox
// only at the RCPT of the mailbox itself.
enum class ProbeStage { greeting, helo, mail, recipient };
enum class ReplyVerdict { pass, temporary, mailbox_refusal, refused_probe };

// Why a probe was refused: at the greeting, at HELO, the null sender itself
// (its MAIL, or its RCPT refused for neither the mailbox nor the client), our
// client (a block list, a banned address, reputation, rate), a mailbox that
// exists but cannot take mail now (full, over quota, receiving too fast), or
// anything else.
enum class RefusalReason { none, greeting, helo, null_sender, client, mailbox_busy, other };

// The reason as counted and shown: "greeting", "helo", "null_sender",
// "client" or "other" (a busy mailbox among them); "" for none.
[[nodiscard]] const char* refusal_reason_word(RefusalReason reason);

struct ReplyReading {
  ReplyVerdict verdict = ReplyVerdict::temporary;
  RefusalReason reason = RefusalReason::none;  // set for refused_probe only
  bool by_text = false;  // the text overruled the codes
};

// 2xx: pass; anything but 5xx: temporary, whatever its text. A 5xx before
// RCPT is a refused probe. At RCPT the codes say a mailbox refusal for an
// enhanced code (after the code, or in the text as "#5.1.1" or "(5.1.1)") of
// 5.1.0, 5.1.1, 5.1.2, 5.1.3, 5.1.6, 5.1.10 or 5.2.1, or with none for 550,
// 551 or 553; the text overrules them when it names only the mailbox ("user
// unknown", "does not exist"...) or only the probe (our client, our sender, a
// policy); a full or busy mailbox is never refused.
[[nodiscard]] ReplyReading read_reply(ProbeStage stage, std::string_view reply);
[[nodiscard]] inline ReplyVerdict reply_verdict(ProbeStage stage, std::string_view reply) {
  return read_reply(stage, reply).verdict;
}

// The deciding reply of a probe: its lines joined with one space, cut at 200
// bytes; empty when no reply decided it (no connection, a timeout). It carries
// how it was read, so that a walk knows why its probe was refused.
inline constexpr std::size_t PROBE_REPLY_MAX = 200;
struct ProbeReplyText : BoundedText<PROBE_REPLY_MAX + 1> {
  RefusalReason reason = RefusalReason::none;
  bool by_text = false;
  void clear() {
    BoundedText::clear();
    reason = RefusalReason::none;
    by_text = false;
  }
};
void probe_reply_keep(ProbeReplyText& out, std::string_view reply);

// One probe's result (PROBE_*) with its deciding reply; for PROBE_REFUSED,
// reply.reason tells why.
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
