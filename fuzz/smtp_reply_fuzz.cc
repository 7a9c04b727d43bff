// Fuzzes the SMTP reply assembly over arbitrary receive boundaries, the reply
// code reading against the C library's "%3d" conversion, the keeping of a
// deciding reply, and the reading of the whole reply by stage.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <vector>

#include "smtp/probe_reply.h"
#include "smtp/reply.h"
#include "smtp/transport.h"

// Input: a sequence of [2-byte length][bytes] receives; each is cut to what the
// next receive may bring, as the socket would.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::vector<char> buf(SMTP_REPLY_BUFFER, '\0');
  SmtpReplyAssembler reply(buf.data(), 64 * 1024);
  std::size_t pos = 0;
  for (int round = 0; round < 4096 && pos + 2 <= size; ++round) {
    std::size_t want = static_cast<std::size_t>(data[pos]) << 8 | data[pos + 1];
    pos += 2;
    std::size_t n = want < size - pos ? want : size - pos;
    reply.feed(reinterpret_cast<const char*>(data + pos), n);
    pos += n;
    if (reply.text_length() >= SMTP_REPLY_BUFFER - 1) std::abort();
    if (reply.state() != SmtpReplyAssembler::State::reading) break;
    if (reply.window_size() < 2 || reply.window() < buf.data() ||
        reply.window() + reply.window_size() > buf.data() + buf.size()) {
      std::abort();
    }
  }
  int code = reply.code();
  if (reply.state() == SmtpReplyAssembler::State::done && code != smtp_reply_code(buf.data())) std::abort();
  ProbeReplyText kept;
  probe_reply_keep(kept, std::string_view(reply.text(), reply.text_length()));
  if (kept.size() > PROBE_REPLY_MAX) std::abort();
  // Only a 5xx can refuse, only at the recipient stage can it be the mailbox's
  // or can its text overrule its codes, and only a refused probe has a reason.
  // The whole reply is read, as the dialogue reads it.
  const std::string_view whole(reply.text(), reply.text_length());
  const ReplyReading r = read_reply(ProbeStage::recipient, whole);
  if (r.verdict != ReplyVerdict::temporary && r.verdict != ReplyVerdict::pass && whole[0] != '5') std::abort();
  if ((r.verdict == ReplyVerdict::refused_probe) != (r.reason != RefusalReason::none)) std::abort();
  const ReplyReading g = read_reply(ProbeStage::greeting, whole);
  if (g.verdict == ReplyVerdict::mailbox_refusal || g.by_text) std::abort();
  if (read_reply(ProbeStage::recipient, kept.view()).verdict == ReplyVerdict::pass && kept.c_str()[0] != '2')
    std::abort();

  // The code of the whole input as one text, against sscanf.
  std::vector<char> text(data, data + size);
  text.push_back('\0');
  int mine = smtp_reply_code(text.data());
  if (std::strlen(text.data()) < 4) {
    if (mine != -1) std::abort();
  } else {
    int n = 0;
    int theirs = std::sscanf(text.data(), "%3d", &n) == 1 ? n : 0;
    if (mine != theirs) std::abort();
  }
  return 0;
}
