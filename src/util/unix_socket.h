// Helpers for the daemon's own unix sockets and the threads that serve them.
#pragma once

#include <csignal>
#include <pthread.h>

// True when something accepts connections on the unix socket at path. The
// connect does not wait: a listener either takes it at once or has a full
// queue (EAGAIN), and both mean a daemon is there; a file nobody listens on
// gives ECONNREFUSED.
[[nodiscard]] bool unix_socket_answers(const char* path);

// For its scope every signal is blocked in the calling thread, so that threads
// started meanwhile leave SIGTERM, SIGINT and SIGHUP to the milter library's
// signal thread.
class SignalsBlocked {
 public:
  SignalsBlocked() {
    sigset_t all;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &saved_);
  }
  ~SignalsBlocked() { pthread_sigmask(SIG_SETMASK, &saved_, nullptr); }
  SignalsBlocked(const SignalsBlocked&) = delete;
  SignalsBlocked& operator=(const SignalsBlocked&) = delete;

 private:
  sigset_t saved_;
};
