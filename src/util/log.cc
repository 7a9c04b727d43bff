// Logging through syslog, with a test sink and a foreground copy to stderr.
#include "util/log.h"

#include <cstdarg>
#include <cstdio>
#include <syslog.h>

namespace {
LogSink test_sink;
bool stderr_copy = false;
}  // namespace

void log_open(int facility, bool copy_to_stderr) {
  stderr_copy = copy_to_stderr;
  openlog("korvane", LOG_PID | LOG_NDELAY, facility);
}

void log_close() { closelog(); }

void log_set_sink(LogSink sink) { test_sink = std::move(sink); }

void log_msg(int priority, const char* fmt, ...) {
  char line[2048];
  va_list ap;
  va_start(ap, fmt);
  std::vsnprintf(line, sizeof line, fmt, ap);
  va_end(ap);
  if (test_sink) {
    test_sink(priority, line);
    return;
  }
  syslog(priority, "%s", line);
  if (stderr_copy) std::fprintf(stderr, "korvane: %s\n", line);
}
