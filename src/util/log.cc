// Logging through syslog, with a test sink and a foreground copy to stderr
// (none when stderr is the journal, which has the syslog line already).
// Every line is written with its control bytes and backslashes escaped, so that
// no field taken from a client, a peer or DNS can start a line of its own, hide
// one, or pass off its own text as an escape.
#include "util/log.h"

#include <sys/stat.h>
#include <sys/uio.h>
#include <syslog.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {
LogSink test_sink;
bool stderr_copy = false;

constexpr std::size_t LINE_SIZE = 2048;  // longer lines are cut, as vsnprintf would
constexpr std::size_t NOT_ONLY_STRINGS = static_cast<std::size_t>(-1);

// Every line the daemon writes, one per verified message among them, uses "%s"
// conversions only: those are copied piece by piece at a fraction of vsnprintf's
// cost. The result is vsnprintf's, cut included; a format with any other
// conversion gives NOT_ONLY_STRINGS and is left to vsnprintf.
std::size_t format_strings(char* out, const char* fmt, va_list ap) {
  std::size_t n = 0;
  auto put = [&](const char* s, std::size_t len) {
    const std::size_t room = LINE_SIZE - 1 - n;
    const std::size_t take = len < room ? len : room;
    std::memcpy(out + n, s, take);
    n += take;
  };
  for (const char* p = fmt; *p != '\0';) {
    const char* pct = std::strchr(p, '%');
    if (pct == nullptr) {
      put(p, std::strlen(p));
      break;
    }
    put(p, static_cast<std::size_t>(pct - p));
    if (pct[1] == 's') {
      const char* s = va_arg(ap, const char*);
      if (s == nullptr) s = "(null)";  // what glibc prints
      put(s, std::strlen(s));
    } else if (pct[1] == '%') {
      put("%", 1);
    } else {
      return NOT_ONLY_STRINGS;
    }
    p = pct + 2;
  }
  out[n] = '\0';
  return n;
}

// Copies text into out (size bytes, always terminated) with each byte below
// 0x20, 0x7F and the backslash written as "\xHH"; a line cut at the bound never
// ends in half an escape.
std::size_t escape_controls(const char* text, char* out, std::size_t size) {
  static const char hex[] = "0123456789abcdef";
  std::size_t n = 0;
  for (const char* p = text; *p != '\0'; ++p) {
    const auto b = static_cast<unsigned char>(*p);
    const bool control = b < 0x20 || b == 0x7F || b == '\\';
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
  return n;
}

// Standard error is the journal's stream (systemd names it in JOURNAL_STREAM as
// "device:inode"): the journal has each line from syslog already.
bool stderr_is_journal() {
  const char* stream = std::getenv("JOURNAL_STREAM");
  struct stat st{};
  if (stream == nullptr || fstat(STDERR_FILENO, &st) != 0) return false;
  unsigned long long dev = 0, ino = 0;
  if (std::sscanf(stream, "%llu:%llu", &dev, &ino) != 2) return false;
  return dev == static_cast<unsigned long long>(st.st_dev) &&
         ino == static_cast<unsigned long long>(st.st_ino);
}

}  // namespace

void log_open(int facility, bool copy_to_stderr) {
  stderr_copy = copy_to_stderr && !stderr_is_journal();
  openlog("korvane", LOG_PID | LOG_NDELAY, facility);
}

void log_close() { closelog(); }

void log_set_sink(LogSink sink) { test_sink = std::move(sink); }

void log_msg(int priority, const char* fmt, ...) {
  char formatted[LINE_SIZE];
  va_list ap, again;
  va_start(ap, fmt);
  va_copy(again, ap);
  if (format_strings(formatted, fmt, ap) == NOT_ONLY_STRINGS)
    std::vsnprintf(formatted, sizeof formatted, fmt, again);
  va_end(again);
  va_end(ap);
  char line[LINE_SIZE];
  const std::size_t len = escape_controls(formatted, line, sizeof line);
  if (test_sink) {
    test_sink(priority, line);
    return;
  }
  syslog(priority, "%s", line);
  if (stderr_copy) {
    // One write for the whole line, with no second formatting pass.
    static const char prefix[] = "korvane: ";
    iovec parts[] = {{const_cast<char*>(prefix), sizeof prefix - 1}, {line, len},
                     {const_cast<char*>("\n"), 1}};
    // A copy on stderr that cannot be written is not worth a line of its own.
    if (writev(STDERR_FILENO, parts, 3) < 0) return;
  }
}
