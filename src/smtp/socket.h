// Owner of one callout socket: whatever path a dialogue takes, the socket it
// holds is shut down and closed exactly once.
#pragma once

#include "smtp/transport.h"

class SmtpSocket {
 public:
  SmtpSocket() = default;
  explicit SmtpSocket(int fd) : fd_(fd) {}
  ~SmtpSocket() { reset(); }
  SmtpSocket(const SmtpSocket&) = delete;
  SmtpSocket& operator=(const SmtpSocket&) = delete;
  SmtpSocket(SmtpSocket&& other) noexcept : fd_(other.release()) {}
  SmtpSocket& operator=(SmtpSocket&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }

  [[nodiscard]] int get() const { return fd_; }
  [[nodiscard]] bool valid() const { return fd_ >= 0; }
  // Closes the socket held, if any, and takes fd.
  void reset(int fd = -1) {
    if (fd_ >= 0) smtp_close(fd_);
    fd_ = fd;
  }
  [[nodiscard]] int release() {
    int fd = fd_;
    fd_ = -1;
    return fd;
  }

 private:
  int fd_ = -1;
};
