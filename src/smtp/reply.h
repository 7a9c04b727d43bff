// Assembly of one SMTP reply from the pieces a server sends, and the reading of
// its code. Pure functions of the bytes received (no socket, clock or log), so
// they can be fuzzed. The bytes are untrusted: every write stays in the buffer.
#pragma once

#include <cstddef>

// The reply buffer of one command: a piece is held here as NUL-terminated text.
inline constexpr std::size_t SMTP_REPLY_BUFFER = 8192;

// Follows the receives of one reply. A piece is read until it ends in a line
// feed or reaches 8100 characters; a last line whose fourth character is '-'
// announces another piece, which is written over the previous one from the
// start of the buffer. A NUL byte from the server ends the text there. The
// result is the code of the first line of the last piece.
class SmtpReplyAssembler {
 public:
  enum class State { reading, done, failed };

  // buffer holds SMTP_REPLY_BUFFER bytes, zero-filled, and outlives this object.
  // More than max_total_bytes received for the reply make it fail.
  SmtpReplyAssembler(char* buffer, std::size_t max_total_bytes);

  // Where the next receive writes, and its size: it may bring at most
  // window_size() - 1 bytes, leaving room for the terminating NUL.
  [[nodiscard]] char* window() const;
  [[nodiscard]] std::size_t window_size() const;

  // Records that n bytes were written at window(); n is below window_size().
  // A receive of no bytes means the server closed the connection.
  State commit(std::size_t n);
  // Copies at most window_size() - 1 of the bytes to window() and commits them.
  State feed(const char* bytes, std::size_t n);

  [[nodiscard]] State state() const { return state_; }
  // The reply code once done, -1 otherwise.
  [[nodiscard]] int code() const;
  // The current text (NUL-terminated inside the buffer).
  [[nodiscard]] const char* text() const { return buf_; }
  [[nodiscard]] std::size_t text_length() const { return len_; }

 private:
  char* buf_;
  std::size_t max_total_;
  std::size_t total_ = 0;
  std::size_t len_ = 0;
  bool new_piece_ = true;
  State state_ = State::reading;
};
