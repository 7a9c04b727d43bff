// A fixed-capacity, always-terminated text field: the one place where over-long
// outside input is cut silently at the field's bound.
#pragma once

#include <cstddef>
#include <cstring>
#include <string_view>

// Copies at most size - 1 bytes of src and always terminates dst (size > 0).
void copy_bounded(char* dst, const char* src, std::size_t size);

template <std::size_t N>
struct BoundedText {
  static_assert(N > 0);
  char buf[N] = {};

  static constexpr std::size_t capacity() { return N; }
  void assign(const char* src) { copy_bounded(buf, src ? src : "", N); }
  void assign(std::string_view src) {
    std::size_t n = src.size() < N - 1 ? src.size() : N - 1;
    // An empty view may have no data at all, and memcpy takes no null source.
    if (n > 0) std::memcpy(buf, src.data(), n);
    buf[n] = '\0';
  }
  void clear() { buf[0] = '\0'; }
  const char* c_str() const { return buf; }
  char* data() { return buf; }
  std::size_t size() const { return std::strlen(buf); }
  bool empty() const { return buf[0] == '\0'; }
  std::string_view view() const { return std::string_view(buf, size()); }
};
