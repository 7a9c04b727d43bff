// The classification of one reply by the stage it answers, the keeping of a
// deciding reply, and the folding of probe outcomes along a walk.
#include "smtp/probe_reply.h"

#include "util/constants.h"

namespace {

bool is_digit(char c) { return c >= '0' && c <= '9'; }

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

// The enhanced status code after the three-digit code, as in "550 5.1.1 ...".
// A code of another class than the reply's is no code at all.
Enhanced enhanced_code(std::string_view s, int reply_class) {
  Enhanced e;
  if (s.size() < 5 || (s[3] != ' ' && s[3] != '-')) return e;
  std::size_t pos = 4;
  while (pos < s.size() && s[pos] == ' ') ++pos;
  const int cls = read_number(s, pos, 1);
  if (cls != reply_class || pos >= s.size() || s[pos++] != '.') return e;
  const int subject = read_number(s, pos, 3);
  if (subject < 0 || pos >= s.size() || s[pos++] != '.') return e;
  const int detail = read_number(s, pos, 3);
  if (detail < 0 || (pos < s.size() && s[pos] != ' ')) return e;
  return {cls, subject, detail};
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

// A decided walk outranks everything; what drew no reply, nothing.
int rank(const ProbeOutcome& o) {
  if (o.result == PROBE_REFUSED) return 1;
  if (o.result >= 0) return 3;
  return o.reply.empty() ? 0 : 2;
}

}  // namespace

ReplyVerdict reply_verdict(ProbeStage stage, std::string_view reply) {
  const int code = leading_code(reply);
  if (code >= 200 && code <= 299) return ReplyVerdict::pass;
  if (code < 500 || code > 599) return ReplyVerdict::temporary;
  if (stage != ProbeStage::recipient) return ReplyVerdict::refused_probe;
  const Enhanced e = enhanced_code(reply, 5);
  const bool mailbox = e.cls == 5 ? mailbox_enhanced(e) : code == 550 || code == 551 || code == 553;
  return mailbox ? ReplyVerdict::mailbox_refusal : ReplyVerdict::refused_probe;
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
