// The policy door's listener and connections. Each connection has a thread of
// its own, as libmilter gives each milter connection one: a decision may wait
// for a walk or pause, and must hold up only the smtpd that asked.
#pragma once

#include <chrono>

// Postfix closes an idle policy connection after this long itself
// (smtpd_policy_service_max_idle); one idle longer here is closed too.
inline constexpr int POLICY_IDLE_SECONDS = 300;

// Binds and listens on "unix:PATH" (made under a mask of 0177, then given
// socket_mode) or "inet:ADDR:PORT". False with "korvane: cannot listen on
// SPEC: REASON" on standard error. Before detaching, as the daemon's account.
[[nodiscard]] bool policy_listen(const char* spec, int socket_mode);

// Serves the socket from a thread of its own: at most max_clients connections,
// one more closed at once (logged at most once a minute); a bad request closes
// its connection with one "[ERROR]" line. False, with the reason logged, when
// the thread cannot start.
[[nodiscard]] bool policy_start(int max_clients);

// Stops accepting and closes the socket (and its file); wakes every
// connection, which ends after the request it is answering, and waits up to
// limit for them. True when none is left. Idempotent.
[[nodiscard]] bool policy_stop(std::chrono::milliseconds limit);
