// The classification of one reply by the stage it answers and by what its text
// names, the keeping of a deciding reply, and the folding of probe outcomes
// along a walk.
#include "smtp/probe_reply.h"

#include "util/constants.h"

namespace {

bool is_digit(char c) { return c >= '0' && c <= '9'; }
bool is_alnum(char c) { return is_digit(c) || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
char lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

// Digits at pos (at most max of them) as a number; -1 when there are none.
int read_number(std::string_view s, std::size_t& pos, int max) {
  int value = -1;
  for (int n = 0; n < max && pos < s.size() && is_digit(s[pos]); ++n, ++pos)
    value = (value < 0 ? 0 : value * 10) + (s[pos] - '0');
  return value;
}

struct Enhanced {
  int cls = -1, subject = -1, detail = -1;
};

// "C.S.D" at pos, of the reply's class; what may follow it is checked by the caller.
Enhanced enhanced_at(std::string_view s, std::size_t& pos, int reply_class) {
  const int cls = read_number(s, pos, 1);
  if (cls != reply_class || pos >= s.size() || s[pos++] != '.') return {};
  const int subject = read_number(s, pos, 3);
  if (subject < 0 || pos >= s.size() || s[pos++] != '.') return {};
  const int detail = read_number(s, pos, 3);
  if (detail < 0) return {};
  return {cls, subject, detail};
}

// The enhanced status code after the three-digit code, as in "550 5.1.1 ...",
// else one written in the text as "#5.1.1" or "(5.1.1)" (qmail, some gateways).
// A code of another class than the reply's is no code at all.
Enhanced enhanced_code(std::string_view s, int reply_class) {
  if (s.size() < 5 || (s[3] != ' ' && s[3] != '-')) return {};
  std::size_t pos = 4;
  while (pos < s.size() && s[pos] == ' ') ++pos;
  Enhanced e = enhanced_at(s, pos, reply_class);
  if (e.cls >= 0 && (pos >= s.size() || s[pos] == ' ')) return e;
  for (std::size_t at = 4; at + 1 < s.size(); ++at) {
    if (s[at] != '#' && s[at] != '(') continue;
    pos = at + 1;
    e = enhanced_at(s, pos, reply_class);
    if (e.cls >= 0 && (pos >= s.size() || (!is_digit(s[pos]) && s[pos] != '.'))) return e;
  }
  return {};
}

bool mailbox_enhanced(const Enhanced& e) {
  if (e.subject == 2) return e.detail == 1;
  if (e.subject != 1) return false;
  switch (e.detail) {
    case 0: case 1: case 2: case 3: case 6: case 10: return true;
    default: return false;
  }
}

// The code as three digits at the start of the reply; -1 otherwise.
int leading_code(std::string_view s) {
  if (s.size() < 3 || !is_digit(s[0]) || !is_digit(s[1]) || !is_digit(s[2])) return -1;
  return (s[0] - '0') * 100 + (s[1] - '0') * 10 + (s[2] - '0');
}

// What a phrase of a reply's text names. The phrases are those that the large
// providers, the common MTAs and the security gateways write; the table test
// holds the replies they come from.
enum Names : unsigned { MAILBOX = 1, CLIENT = 2, SENDER = 4, BUSY = 8 };
struct Phrase {
  std::string_view text;  // lower case
  Names names;
  bool word = false;  // only as a whole word
};
constexpr Phrase PHRASES[] = {
    // The recipient or its mailbox is unknown or closed.
    {"user unknown", MAILBOX}, {"unknown user", MAILBOX}, {"user is unknown", MAILBOX},
    {"no such user", MAILBOX}, {"no such recipient", MAILBOX}, {"no such mailbox", MAILBOX},
    {"no such address", MAILBOX}, {"mailbox unavailable", MAILBOX}, {"mailbox not found", MAILBOX},
    {"user not found", MAILBOX}, {"user not known", MAILBOX}, {"not exist", MAILBOX},
    {"doesn't exist", MAILBOX}, {"recipient address rejected", MAILBOX},
    {"address rejected", MAILBOX}, {"invalid recipient", MAILBOX}, {"invalid mailbox", MAILBOX},
    {"not a valid mailbox", MAILBOX}, {"recipientnotfound", MAILBOX}, {"recipnotfound", MAILBOX},
    {"recipient not found", MAILBOX}, {"recipient rejected", MAILBOX}, {"no mailbox", MAILBOX},
    {"unknown recipient", MAILBOX}, {"recipient unknown", MAILBOX}, {"addressee unknown", MAILBOX},
    {"address unknown", MAILBOX}, {"unknown local part", MAILBOX}, {"illegal alias", MAILBOX},
    {"unrouteable address", MAILBOX}, {"user doesn't have", MAILBOX}, {"not our customer", MAILBOX},
    {"mailbox is disabled", MAILBOX}, {"mailbox disabled", MAILBOX}, {"account is disabled", MAILBOX},
    {"account has been disabled", MAILBOX}, {"inactive", MAILBOX, true},
    {"bad destination mailbox", MAILBOX}, {"not listed in", MAILBOX},
    // Our client: its address, name, reputation or rate.
    {"client", CLIENT, true}, {"blocked", CLIENT}, {"block list", CLIENT}, {"blocklist", CLIENT},
    {"black list", CLIENT}, {"blacklist", CLIENT}, {"listed", CLIENT, true}, {"banned", CLIENT},
    {"reputation", CLIENT}, {"too many", CLIENT}, {"rate", CLIENT, true},
    {"administrative prohibition", CLIENT}, {"dnsbl", CLIENT}, {"rbl", CLIENT, true},
    {"spam", CLIENT}, {"polic", CLIENT}, {"ip", CLIENT, true}, {"reverse dns", CLIENT},
    {"ptr", CLIENT, true}, {"helo", CLIENT}, {"ehlo", CLIENT}, {"connection", CLIENT},
    {"throttl", CLIENT}, {"flood", CLIENT}, {"spoof", CLIENT}, {"unauthenticated", CLIENT},
    // Our sender: the null sender or the safe sender, not the mailbox asked.
    {"sender address", SENDER}, {"sender domain", SENDER}, {"sender verif", SENDER},
    {"domain of sender", SENDER}, {"null sender", SENDER},
    // A mailbox that exists but cannot take mail now.
    {"full", BUSY, true}, {"quota", BUSY}, {"storage", BUSY}, {"mailbox size", BUSY},
    {"receiving mail", BUSY}, {"receiving email", BUSY}, {"received too much", BUSY},
    {"has too many messages", BUSY},
};

// Whether the lower-cased text holds phrase (as a whole word if asked; the
// text's ends bound a word only where the reply itself begins or ends): each
// search is bounded by the text's length times the phrase's.
bool holds(std::string_view text, const Phrase& p, bool reply_begins, bool reply_ends) {
  for (std::size_t at = text.find(p.text); at != std::string_view::npos; at = text.find(p.text, at + 1)) {
    const std::size_t end = at + p.text.size();
    const bool starts = at == 0 ? reply_begins : !is_alnum(text[at - 1]);
    const bool ends = end == text.size() ? reply_ends : !is_alnum(text[end]);
    if (!p.word || (starts && ends)) return true;
  }
  return false;
}

unsigned names_of(std::string_view reply) {
  // Read lower-cased in pieces that overlap by more than the longest phrase, so
  // that no phrase is missed at a seam and no buffer grows with the reply.
  constexpr std::size_t PIECE = 1024, OVERLAP = 64;
  char lowered[PIECE];
  unsigned names = 0;
  for (std::size_t from = 0; from < reply.size(); from += PIECE - OVERLAP) {
    const std::size_t n = reply.size() - from < PIECE ? reply.size() - from : PIECE;
    for (std::size_t i = 0; i < n; ++i) lowered[i] = lower(reply[from + i]);
    const std::string_view piece(lowered, n);
    for (const Phrase& p : PHRASES)
      if ((names & p.names) == 0 && holds(piece, p, from == 0, from + n == reply.size())) names |= p.names;
    if (from + n == reply.size()) break;
  }
  // A phrase about our sender ("Sender address rejected: User unknown") is not
  // about the mailbox asked.
  if ((names & SENDER) != 0) names &= ~static_cast<unsigned>(MAILBOX);
  return names;
}

// A decided walk outranks everything; what drew no reply, nothing.
int rank(const ProbeOutcome& o) {
  if (o.result == PROBE_REFUSED) return 1;
  if (o.result >= 0) return 3;
  return o.reply.empty() ? 0 : 2;
}

ReplyReading refused(RefusalReason reason, bool by_text) {
  return {ReplyVerdict::refused_probe, reason, by_text};
}

}  // namespace

const char* refusal_reason_word(RefusalReason reason) {
  switch (reason) {
    case RefusalReason::none: return "";
    case RefusalReason::greeting: return "greeting";
    case RefusalReason::helo: return "helo";
    case RefusalReason::null_sender: return "null_sender";
    case RefusalReason::client: return "client";
    case RefusalReason::mailbox_busy: case RefusalReason::other: break;
  }
  return "other";
}

ReplyReading read_reply(ProbeStage stage, std::string_view reply) {
  const int code = leading_code(reply);
  if (code >= 200 && code <= 299) return {ReplyVerdict::pass};
  if (code < 500 || code > 599) return {ReplyVerdict::temporary};
  const unsigned names = names_of(reply);
  const bool client = (names & CLIENT) != 0;
  if (stage != ProbeStage::recipient) {
    if (client) return refused(RefusalReason::client, false);
    return refused(stage == ProbeStage::greeting ? RefusalReason::greeting
                   : stage == ProbeStage::helo   ? RefusalReason::helo
                                                 : RefusalReason::null_sender,
                   false);
  }
  const Enhanced e = enhanced_code(reply, 5);
  const bool codes_mailbox = e.cls == 5 ? mailbox_enhanced(e) : code == 550 || code == 551 || code == 553;
  if ((names & BUSY) != 0 || (e.subject == 2 && e.detail == 2))
    return refused(RefusalReason::mailbox_busy, codes_mailbox);
  const bool mailbox_text = (names & MAILBOX) != 0;
  const bool probe_text = (names & (CLIENT | SENDER)) != 0;
  const bool mailbox = mailbox_text != probe_text ? mailbox_text : codes_mailbox;
  if (mailbox) return {ReplyVerdict::mailbox_refusal, RefusalReason::none, !codes_mailbox};
  return refused(client ? RefusalReason::client : RefusalReason::other, codes_mailbox);
}

void probe_reply_keep(ProbeReplyText& out, std::string_view reply) {
  std::size_t n = 0;
  char* buf = out.data();
  auto put = [&](char c) {
    if (n < PROBE_REPLY_MAX) buf[n++] = c;
  };
  while (!reply.empty()) {
    const std::size_t lf = reply.find('\n');
    std::string_view line = reply.substr(0, lf);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (n > 0) put(' ');
    for (char c : line) put(c);
    reply = lf == std::string_view::npos ? std::string_view() : reply.substr(lf + 1);
  }
  buf[n] = '\0';
}

bool probe_fold(ProbeOutcome& walk, const ProbeOutcome& next) {
  if (rank(next) >= rank(walk)) walk = next;
  return rank(walk) == 3;
}
