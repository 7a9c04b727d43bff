// The control socket: a unix socket where the postmaster's korvanectl asks what
// the daemon has cached and makes it forget. Served by one thread of its own,
// never by the milter's, so no control client can hold up mail.
#pragma once

// Opens the socket at path (mode 0600, owned by the calling account) and starts
// serving: at most CONTROL_CLIENTS at once, each closed after CONTROL_IDLE_MS
// without a whole request. False, with the reason logged, when it cannot listen.
// Call after the cache exists and the account has been changed.
inline constexpr int CONTROL_CLIENTS = 4;
inline constexpr int CONTROL_IDLE_MS = 5000;
[[nodiscard]] bool control_start(const char* path);
// Ends the thread, closes every client and removes the socket file.
void control_stop();
