// Reading the configuration again while serving (SIGHUP, korvanectl reload):
// all or nothing, and never what only a restart can change.
#pragma once

#include <string>

// Reads path as korvane -t would. A clean file becomes the settings of every
// check that starts afterwards, with the keys that cannot change while serving
// kept as they were (named in one log line); one with a problem changes
// nothing. Logs the outcome; "" on success, else the first problem.
// Safe to call from any thread, one reload at a time.
[[nodiscard]] std::string settings_reload(const char* path);
