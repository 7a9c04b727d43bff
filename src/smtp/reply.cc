// The SMTP reply assembly and the reading of a reply code ("%3d" semantics),
// both bounded by the text they are given.
#include "smtp/reply.h"

#include <cstring>
#include <string_view>

#include "smtp/transport.h"

namespace {

// A piece shorter than this that does not end in a line feed is read on.
constexpr std::size_t PIECE_COMPLETE = 8100;

bool is_c_space(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

bool is_digit(char c) { return c >= '0' && c <= '9'; }

}  // namespace

SmtpReplyAssembler::SmtpReplyAssembler(char* buffer, std::size_t max_total_bytes)
    : buf_(buffer), max_total_(max_total_bytes) {
  buf_[0] = '\0';
}

char* SmtpReplyAssembler::window() const { return new_piece_ ? buf_ : buf_ + len_; }

std::size_t SmtpReplyAssembler::window_size() const {
  // An appending receive keeps the text within 8190 characters.
  return new_piece_ ? SMTP_REPLY_BUFFER : SMTP_REPLY_BUFFER - 1 - len_;
}

SmtpReplyAssembler::State SmtpReplyAssembler::commit(std::size_t n) {
  if (state_ != State::reading) return state_;
  if (n == 0 || n >= window_size()) return state_ = State::failed;
  total_ += n;
  if (total_ > max_total_) return state_ = State::failed;

  char* dst = window();
  dst[n] = '\0';
  len_ = (new_piece_ ? 0 : len_) + strnlen(dst, n);
  new_piece_ = false;

  bool ends_in_lf = len_ > 0 && buf_[len_ - 1] == '\n';
  if (!ends_in_lf && len_ < PIECE_COMPLETE) return state_;

  if (ends_in_lf) buf_[--len_] = '\0';
  std::string_view piece(buf_, len_);
  std::size_t lf = piece.rfind('\n');
  std::string_view last = lf == std::string_view::npos ? piece : piece.substr(lf + 1);
  if (last.size() >= 4 && last[3] == '-') {
    new_piece_ = true;
    return state_;
  }
  return state_ = State::done;
}

SmtpReplyAssembler::State SmtpReplyAssembler::feed(const char* bytes, std::size_t n) {
  if (state_ != State::reading) return state_;
  std::size_t room = window_size() - 1;
  if (n > room) n = room;
  std::memcpy(window(), bytes, n);
  return commit(n);
}

int SmtpReplyAssembler::code() const {
  return state_ == State::done ? smtp_reply_code(buf_) : -1;
}

int smtp_reply_code(const char* text) {
  if (text == nullptr) return -1;
  std::string_view s(text, std::strlen(text));
  if (s.size() < 4) return -1;

  std::size_t pos = 0;
  while (pos < s.size() && is_c_space(s[pos])) ++pos;
  // The field width of three counts the sign as well as the digits.
  int width = 3;
  bool negative = false;
  if (pos < s.size() && (s[pos] == '+' || s[pos] == '-')) {
    negative = s[pos] == '-';
    ++pos;
    --width;
  }
  int value = 0;
  int digits = 0;
  while (width > 0 && pos < s.size() && is_digit(s[pos])) {
    value = value * 10 + (s[pos] - '0');
    ++pos;
    --width;
    ++digits;
  }
  if (digits == 0) return 0;
  return negative ? -value : value;
}
