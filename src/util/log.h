// The daemon's one way to log: syslog in production, optionally copied to
// standard error (foreground mode), and capturable by tests.
#pragma once

#include <functional>
#include <string>

void log_open(int facility, bool copy_to_stderr);
void log_close();

// printf-style; priority is a syslog level (LOG_ERR, LOG_NOTICE, LOG_INFO...).
// The line is cut at 2047 bytes; bytes below 0x20, 0x7F and "\\" come out as "\xHH".
void log_msg(int priority, const char* fmt, ...) __attribute__((format(printf, 2, 3)));

// Tests install a sink that receives every formatted line instead of syslog;
// an empty function restores syslog.
using LogSink = std::function<void(int priority, const std::string& line)>;
void log_set_sink(LogSink sink);
