// The settings record: clearing, defaults, release, reading the configuration
// file piece by piece, and the listing of the effective settings.
#include "settings/settings.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <memory>
#include <mutex>

#ifndef KORVANE_RUN_DIR
#define KORVANE_RUN_DIR "/run/korvane"
#endif

Settings settings;

namespace {

// A piece is at most 254 bytes: a longer line is taken in several pieces, each
// of which counts as a line of its own.
constexpr std::size_t PIECE_BUFFER = 256;
constexpr std::size_t PIECE_LIMIT = 255;

struct FileCloser {
  void operator()(std::FILE* f) const { std::fclose(f); }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

// Reads bytes into buf up to and including a line feed, or until limit - 1 bytes
// are taken; terminates buf. Returns the count; 0 at end of file or on a read
// error, which ends the reading the same way.
std::size_t read_piece(std::FILE* f, char* buf, std::size_t limit) {
  std::size_t n = 0;
  while (n + 1 < limit) {
    int c = std::getc(f);
    if (c == EOF) break;
    buf[n++] = static_cast<char>(c);
    if (c == '\n') break;
  }
  buf[n] = '\0';
  return n;
}

void print_text(std::FILE* out, const char* key, const std::optional<std::string>& v) {
  if (v)
    std::fprintf(out, "%s %s\n", key, v->c_str());
  else
    std::fprintf(out, "# %s (not set)\n", key);
}

void print_patterns(std::FILE* out, const char* key, const std::forward_list<PatternEntry>& list) {
  for (const PatternEntry& e : list) std::fprintf(out, "%s %s\n", key, e.pattern.c_str());
}

}  // namespace

void settings_clear() { settings = Settings{}; }

void settings_defaults() { settings_defaults(settings); }

void settings_defaults(Settings& s) {
  s.publicname = "localhost";
  s.safecallback = "postmaster@localhost";
  s.mailstore.reset();
  s.user = "korvs";
  s.socket = "unix:" KORVANE_RUN_DIR "/korvane.sock";
  s.socketmode = 0600;
  s.policy.reset();
  s.policyclients = 512;
  s.policyrelay.reset();
  s.pidfile.reset();
  s.logwhitelisted = 0;
  s.syslog_facility = 16;
  s.sav = 1;
  s.ignoretempfail = 0;
  s.blockignorants = 0;
  s.frompassttl = 86400;
  s.fromtfailttl = 300;
  s.fromfailttl = 3600;
  s.topassttl = 3600;
  s.totfailttl = 300;
  s.tofailttl = 3600;
  s.calloutdeadline = 600;
  s.catchall = 0;
  s.catchallttl = 86400;
  s.refusedttl = 3 * 3600;
  s.callouts = 64;
  s.maxwait = 25;
  s.passrefresh = 0;
  s.cachefile.reset();
  s.cachesave = 300;
  s.redis.reset();
  s.redisdb = 0;
  s.redispassword.reset();
  s.redisprefix = "korvane:";
  s.redistimeout = 100;
  s.redissentinel.reset();
  s.redismaster.reset();
  s.redissentinelpassword.reset();
}

void settings_release() {
  settings.publicname.reset();
  settings.safecallback.reset();
  settings.mailstore.reset();
  settings.user.reset();
  settings.socket.reset();
  settings.redis.reset();
  settings.redispassword.reset();
  settings.redisprefix.clear();
  settings.redissentinel.reset();
  settings.redismaster.reset();
  settings.redissentinelpassword.reset();
  settings.metrics.reset();
  settings.pidfile.reset();
  settings.control.reset();
  settings.policy.reset();
  settings.policyrelay.reset();
  settings.cachefile.reset();
  settings.whitelist_ip.clear();
  settings.whitelist_ptr.clear();
  settings.whitelist_from.clear();
  settings.whitelist_to.clear();
  settings.skip_domains.clear();
  settings.senderdelimiter.clear();
  settings.selflisting.clear();
}

bool load_config_report(const char* path, const ConfigLineReport& report) {
  return load_config_report(settings, path, report);
}

bool load_config_report(Settings& s, const char* path, const ConfigLineReport& report) {
  File f(std::fopen(path, "r"));
  if (!f) {
    const int e = errno;  // the reason, for a caller that logs it
    std::fprintf(stderr, "Warning: korvane configuration file load failed\n");
    errno = e;
    return false;
  }
  char buf[PIECE_BUFFER];
  int line_no = 1;
  for (;;) {
    std::size_t n = read_piece(f.get(), buf, PIECE_LIMIT);
    if (n == 0) break;
    int piece_line = line_no;
    if (buf[n - 1] == '\n') ++line_no;
    LineOutcome outcome = config_apply_line(s, buf);
    if (report) report(piece_line, outcome);
  }
  return true;
}

void load_config(const char* path) { (void)load_config_report(path, nullptr); }

SettingsRead settings_read(const char* path) {
  SettingsRead r;
  r.settings = std::make_shared<Settings>();
  r.settings->owner = r.settings;
  settings_defaults(*r.settings);
  errno = 0;
  r.opened = load_config_report(*r.settings, path, [&](int line_no, const LineOutcome& o) {
    if (o.status == LineStatus::ignored)
      r.problems.push_back(std::string(path) + ":" + std::to_string(line_no) + ": " + o.reason);
  });
  if (!r.opened) {
    r.open_error = std::string("cannot open ") + path + ": " + std::strerror(errno != 0 ? errno : ENOENT);
    return r;
  }
  if (const std::string conflict = settings_conflict(*r.settings); !conflict.empty())
    r.problems.push_back(std::string(path) + ": " + conflict);
  return r;
}

namespace {
// The published record, swapped whole so that no check can see half of a
// reload. Its own lock is held only to copy or swap the pointer: the race
// detector cannot see through the standard library's atomic shared_ptr.
std::mutex published_lock;
SettingsSnapshot published;
}  // namespace

SettingsSnapshot settings_now() {
  {
    std::lock_guard<std::mutex> hold(published_lock);
    if (published) return published;
  }
  return settings_hold(&settings);
}

// The old record goes when its last check or walk lets go of it, not here,
// and never while the lock is held.
void settings_publish(SettingsSnapshot next) {
  std::lock_guard<std::mutex> hold(published_lock);
  published.swap(next);
}

SettingsSnapshot settings_hold(const Settings* s) {
  if (s == nullptr) return settings_now();
  if (SettingsSnapshot owner = s->owner.lock(); owner.get() == s) return owner;
  return SettingsSnapshot(SettingsSnapshot{}, s);
}

void settings_print(std::FILE* out, const Settings& s) {
  print_text(out, "publicname", s.publicname);
  print_text(out, "safecallback", s.safecallback);
  print_text(out, "mailstore", s.mailstore);
  print_text(out, "user", s.user);
  print_text(out, "socket", s.socket);
  std::fprintf(out, "socketmode %04o\n", static_cast<unsigned>(s.socketmode));
  print_text(out, "pidfile", s.pidfile);
  print_text(out, "metrics", s.metrics);
  if (s.control) std::fprintf(out, "control unix:%s\n", s.control->c_str());
  std::fprintf(out, "policy %s\n", s.policy ? s.policy->c_str() : "none");
  std::fprintf(out, "policyclients %d\n", static_cast<int>(s.policyclients));
  print_text(out, "policyrelay", s.policyrelay);
  print_text(out, "cachefile", s.cachefile);
  if (const char* name = facility_name(s.syslog_facility))
    std::fprintf(out, "syslog %s\n", name);
  else
    std::fprintf(out, "# syslog facility code %d\n", s.syslog_facility);
  std::fprintf(out, "sav %s\n", s.sav ? "on" : "off");
  std::fprintf(out, "ignoretempfail %s\n", s.ignoretempfail ? "on" : "off");
  std::fprintf(out, "blockignorants %s\n", s.blockignorants ? "on" : "off");
  std::fprintf(out, "catchall %s\n", s.catchall ? "on" : "off");
  std::fprintf(out, "logwhitelisted %s\n", s.logwhitelisted ? "on" : "off");
  const std::pair<const char*, std::int64_t> lifetimes[] = {
      {"frompassttl", s.frompassttl}, {"fromtfailttl", s.fromtfailttl},
      {"fromfailttl", s.fromfailttl}, {"topassttl", s.topassttl},
      {"totfailttl", s.totfailttl},   {"tofailttl", s.tofailttl},
      {"calloutdeadline", s.calloutdeadline},
      {"catchallttl", s.catchallttl},
      {"deadmxttl", s.deadmxttl},
      {"refusedttl", s.refusedttl},
      {"maxwait", s.maxwait},
      {"passrefresh", s.passrefresh},
      {"cachesave", s.cachesave},
  };
  for (const auto& [key, value] : lifetimes)
    std::fprintf(out, "%s %lld\n", key, static_cast<long long>(value));
  if (s.calloutrate_count > 0)
    std::fprintf(out, "calloutrate %lld/%lld\n", static_cast<long long>(s.calloutrate_count),
                 static_cast<long long>(s.calloutrate_period));
  else
    std::fprintf(out, "# calloutrate (not set)\n");
  std::fprintf(out, "callouts %d\n", static_cast<int>(s.callouts));
  std::fprintf(out, "ipv6 %s\n", s.ipv6 ? "on" : "off");
  std::fprintf(out, s.nullmx ? "nullmx reject\n" : "# nullmx (not set)\n");
  std::fprintf(out, "refusals %s\n", s.refusals_mailbox ? "mailbox" : "any");
  std::fprintf(out, "logreplies %s\n", s.logreplies ? "on" : "off");
  std::fprintf(out, "dryrun %s\n", s.dryrun ? "on" : "off");
  print_patterns(out, "skipdomain", s.skip_domains);
  if (!s.senderdelimiter.empty())
    std::fprintf(out, "senderdelimiter %s\n", s.senderdelimiter.c_str());
  else
    std::fprintf(out, "# senderdelimiter (not set)\n");
  print_patterns(out, "selflisting", s.selflisting);
  std::fprintf(out, "selflistingpause %s\n", s.selflistingpause ? "on" : "off");
  print_text(out, "redis", s.redis);
  std::fprintf(out, "redisdb %d\n", static_cast<int>(s.redisdb));
  // The password itself never leaves the file.
  if (s.redispassword)
    std::fprintf(out, "redispassword (set)\n");
  else
    std::fprintf(out, "# redispassword (not set)\n");
  std::fprintf(out, "redisprefix %s\n", s.redisprefix.c_str());
  std::fprintf(out, "redistimeout %d\n", static_cast<int>(s.redistimeout));
  print_text(out, "redissentinel", s.redissentinel);
  print_text(out, "redismaster", s.redismaster);
  std::fprintf(out, s.redissentinelpassword ? "redissentinelpassword (set)\n"
                                            : "# redissentinelpassword (not set)\n");
  std::fprintf(out, "# whitelists, in the order they are tested\n");
  for (const IpWhitelistEntry& e : s.whitelist_ip) {
    in_addr a{};
    a.s_addr = static_cast<in_addr_t>(e.network);
    char text[INET6_ADDRSTRLEN] = {};
    if (e.ipv6)
      inet_ntop(AF_INET6, e.network6.data(), text, sizeof text);
    else
      inet_ntop(AF_INET, &a, text, sizeof text);
    std::fprintf(out, "whitelistip %s/%u\n", text, static_cast<unsigned>(e.prefix_len));
  }
  print_patterns(out, "whitelistptr", s.whitelist_ptr);
  print_patterns(out, "whitelistfrom", s.whitelist_from);
  print_patterns(out, "whitelistto", s.whitelist_to);
}
