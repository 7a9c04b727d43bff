// A per-call resolver state, zero-filled before initialisation and closed on
// every path once initialised.
#pragma once

#include <resolv.h>

#include <cstring>

class ResolverState {
 public:
  ResolverState() {
    std::memset(&state_, 0, sizeof state_);
    ready_ = res_ninit(&state_) >= 0;
  }
  ~ResolverState() { close(); }
  ResolverState(const ResolverState&) = delete;
  ResolverState& operator=(const ResolverState&) = delete;

  [[nodiscard]] bool ready() const { return ready_; }
  res_state get() { return &state_; }
  void close() {
    if (ready_) res_nclose(&state_);
    ready_ = false;
  }

 private:
  struct __res_state state_;
  bool ready_ = false;
};
