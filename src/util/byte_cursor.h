// A bounded reader over a byte span, the only way packet parsers touch outside
// bytes. A read past the end sets a sticky failure flag; after that every read
// returns 0 and moves nothing, so a parser can chain reads and check once.
#pragma once

#include <cstddef>
#include <cstdint>

class ByteCursor {
 public:
  ByteCursor(const unsigned char* data, std::size_t len) : data_(data), len_(data ? len : 0) {}

  [[nodiscard]] std::size_t remaining() const { return failed_ ? 0 : len_ - offset_; }
  [[nodiscard]] std::size_t offset() const { return offset_; }
  [[nodiscard]] bool failed() const { return failed_; }
  [[nodiscard]] bool at_end() const { return remaining() == 0; }

  // The span itself, for readers (such as DNS name expansion) that take a
  // start, an end and a position of their own.
  [[nodiscard]] const unsigned char* begin() const { return data_; }
  [[nodiscard]] const unsigned char* end() const { return data_ + len_; }
  [[nodiscard]] const unsigned char* here() const { return data_ + offset_; }

  std::uint8_t u8() {
    if (!take(1)) return 0;
    return data_[offset_++];
  }

  // Big-endian, as on the wire.
  std::uint16_t u16() {
    if (!take(2)) return 0;
    std::uint16_t v = static_cast<std::uint16_t>((data_[offset_] << 8) | data_[offset_ + 1]);
    offset_ += 2;
    return v;
  }

  std::uint32_t u32() {
    const std::uint32_t hi = u16();
    return (hi << 16) | u16();
  }

  std::uint64_t u64() {
    const std::uint64_t hi = u32();
    return (hi << 32) | u32();
  }

  void skip(std::size_t n) {
    if (take(n)) offset_ += n;
  }

  void fail() { failed_ = true; }

 private:
  // Written as len - offset < n so that no sum can wrap around.
  bool take(std::size_t n) {
    if (failed_ || len_ - offset_ < n) {
      failed_ = true;
      return false;
    }
    return true;
  }

  const unsigned char* data_;
  std::size_t len_;
  std::size_t offset_ = 0;
  bool failed_ = false;
};
