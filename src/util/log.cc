// Logging through syslog, with a test sink and a foreground copy to stderr.
// Every line is written with its control bytes escaped, so that no field taken
// from a client, a peer or DNS can start a line of its own or hide one.
#include "util/log.h"

#include <cstdarg>
#include <cstdio>
#include <syslog.h>

namespace {
LogSink test_sink;
bool stderr_copy = false;

constexpr std::size_t LINE_SIZE = 2048;

// Copies text into out (size bytes, always terminated) with each byte below
// 0x20 and 0x7F written as "\xHH"; a line cut at the bound never ends in half
// an escape.
void escape_controls(const char* text, char* out, std::size_t size) {
  static const char hex[] = "0123456789abcdef";
  std::size_t n = 0;
  for (const char* p = text; *p != '\0'; ++p) {
    const auto b = static_cast<unsigned char>(*p);
    const bool control = b < 0x20 || b == 0x7F;
    if (n + (control ? 4 : 1) >= size) break;
    if (!control) {
      out[n++] = *p;
      continue;
    }
    out[n++] = '\\';
    out[n++] = 'x';
    out[n++] = hex[b >> 4];
    out[n++] = hex[b & 0xF];
  }
  out[n] = '\0';
}
}  // namespace

void log_open(int facility, bool copy_to_stderr) {
  stderr_copy = copy_to_stderr;
  openlog("korvane", LOG_PID | LOG_NDELAY, facility);
}

void log_close() { closelog(); }

void log_set_sink(LogSink sink) { test_sink = std::move(sink); }

void log_msg(int priority, const char* fmt, ...) {
  char formatted[LINE_SIZE];
  va_list ap;
  va_start(ap, fmt);
  std::vsnprintf(formatted, sizeof formatted, fmt, ap);
  va_end(ap);
  char line[LINE_SIZE];
  escape_controls(formatted, line, sizeof line);
  if (test_sink) {
    test_sink(priority, line);
    return;
  }
  syslog(priority, "%s", line);
  if (stderr_copy) std::fprintf(stderr, "korvane: %s\n", line);
}
