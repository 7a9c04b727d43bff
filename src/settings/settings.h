// The settings record, its whitelist entry types, the defaults, the configuration
// file reader, and the snapshot every check takes: a record is filled on one
// thread, then published whole and only read, so a reload never shows half of itself.
#pragma once

#include <array>
#include <cstdint>
#include <cstdio>
#include <forward_list>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

struct IpWhitelistEntry {
  std::uint64_t network = 0;    // IPv4 address as inet_addr gives it (network order)
  std::uint16_t prefix_len = 0;  // 0..32 (IPv4) or 0..128 (IPv6) leading bits that must match
  bool ipv6 = false;             // an IPv6 entry: the address is in network6, not network
  std::array<unsigned char, 16> network6{};
};

struct PatternEntry {
  std::string pattern;
  bool operator==(const PatternEntry&) const = default;
};

struct Settings {
  std::optional<std::string> publicname;
  std::optional<std::string> safecallback;
  std::optional<std::string> mailstore;
  std::optional<std::string> user;
  std::optional<std::string> socket;
  std::optional<std::string> metrics;  // ADDRESS:PORT of the metrics endpoint; absent: off
  std::optional<std::string> pidfile;  // absolute path of the PID file; absent: none
  std::int32_t socketmode = 0;         // permission bits of a unix socket once it is made
  std::int32_t logwhitelisted = 0;     // nonzero: trusted and whitelisted passes are logged
  std::optional<std::string> control;  // the control socket's file (from "unix:PATH"); absent: off
  // The policy door: "unix:PATH" or "inet:ADDR:PORT"; absent: none. At most
  // policyclients connections; recipients verified through policyrelay only.
  std::optional<std::string> policy;
  std::int32_t policyclients = 0;
  std::optional<std::string> policyrelay;  // "[literal]" or a host name
  // The memory cache's file, loaded at start and saved every cachesave seconds
  // (0: only at a clean stop) and at a clean stop; absent: nothing on disk.
  std::optional<std::string> cachefile;
  std::int64_t cachesave = 0;
  // Each list holds its entries in the reverse order of the file's lines.
  std::forward_list<IpWhitelistEntry> whitelist_ip;
  std::forward_list<PatternEntry> whitelist_ptr;
  std::forward_list<PatternEntry> whitelist_from;
  std::forward_list<PatternEntry> whitelist_to;
  std::int32_t syslog_facility = 0;
  std::int32_t sav = 0;
  std::int32_t ignoretempfail = 0;
  std::int32_t blockignorants = 0;
  std::int64_t frompassttl = 0;
  std::int64_t fromtfailttl = 0;
  std::int64_t fromfailttl = 0;
  std::int64_t topassttl = 0;
  std::int64_t totfailttl = 0;
  std::int64_t tofailttl = 0;
  // Seconds one verification of one address may take in all; 0 (only in a
  // cleared record) means no bound beyond each wait's own.
  std::int64_t calloutdeadline = 0;
  // Catch-all test before each real RCPT TO, and how long a catch-all domain is remembered.
  std::int32_t catchall = 0;
  std::int64_t catchallttl = 0;
  // Exchanger memory and reach; 0 (off) unless the file sets them.
  std::int64_t deadmxttl = 0;          // seconds an unreachable exchanger address is skipped
  std::int64_t calloutrate_count = 0;  // callouts allowed per address and period; 0: no budget
  std::int64_t calloutrate_period = 0; // seconds of the budget's sliding window
  std::int32_t ipv6 = 0;
  std::int32_t nullmx = 0;             // nonzero: a sender whose domain has a null MX is refused
  // refusals mailbox: only the exchanger's refusal of the sender's own mailbox
  // fails a sender; every other refusal is a refused probe, and its domain is
  // remembered as refusing probes for refusedttl.
  std::int32_t refusals_mailbox = 0;
  std::int64_t refusedttl = 0;
  std::int32_t logreplies = 0;  // the deciding reply at the end of each fresh failure line
  std::int32_t dryrun = 0;      // verifications log and count their refusals, but refuse nothing
  // Walks run on at most callouts walker threads; a check waits at most maxwait
  // seconds for its verdict (0: until the walk ends); a cached pass older than
  // passrefresh seconds is verified again in the background (0: never).
  std::int32_t callouts = 0;
  std::int64_t maxwait = 0;
  std::int64_t passrefresh = 0;
  // Sender domains never verified ("example.com", or ".example.com" for its
  // subdomains), lower-cased, in the reverse order of the file's lines.
  std::forward_list<PatternEntry> skip_domains;
  // A sender's local part is keyed without what follows the first of these.
  std::string senderdelimiter;
  // Blocklist zones in which the callouts' own source addresses are looked up
  // (at most SELFLISTING_ZONES_MAX), and whether a listing pauses sender callouts.
  std::forward_list<PatternEntry> selflisting;
  std::int32_t selflistingpause = 0;
  // The site's shared verification cache; without redis, memory alone.
  std::optional<std::string> redis;
  std::int32_t redisdb = 0;
  std::optional<std::string> redispassword;
  std::string redisprefix;
  std::int32_t redistimeout = 0;  // milliseconds
  // Or the master that these sentinels name, instead of redis.
  std::optional<std::string> redissentinel;  // HOST:PORT[,HOST:PORT...]
  std::optional<std::string> redismaster;
  std::optional<std::string> redissentinelpassword;
  // The snapshot that owns this record, so that a walk can keep the record its
  // check started with after a reload; empty (or another record's, in a copy)
  // for a record no snapshot owns.
  std::weak_ptr<const Settings> owner;
};

// The start-up record: read from the file before serving, and what checks use
// until the first reload.
extern Settings settings;

inline constexpr int SELFLISTING_ZONES_MAX = 8;

// What a check reads: the published record, or the start-up record before any
// reload. A check takes it once at its start and keeps it to its end.
using SettingsSnapshot = std::shared_ptr<const Settings>;
[[nodiscard]] SettingsSnapshot settings_now();
// Swaps the record whole for every check that starts afterwards; nullptr goes
// back to the start-up record.
void settings_publish(SettingsSnapshot next);
// The snapshot that owns s, for work that outlives the check; a record no
// snapshot owns (the start-up record, a test's own) lives as long as the
// process, and is only referred to. nullptr: settings_now().
[[nodiscard]] SettingsSnapshot settings_hold(const Settings* s);

#ifndef KORVANE_CONFIG_FILE
#define KORVANE_CONFIG_FILE "/usr/local/etc/korvane.conf"
#endif
// Set at build time: the plain install reads <sysconfdir>/korvane.conf, the
// Debian package /etc/korvane/korvane.conf.
inline constexpr const char* DEFAULT_CONFIG_FILE = KORVANE_CONFIG_FILE;

// Every field absent, empty or 0.
void settings_clear();
// The built-in defaults, into the start-up record or into s.
void settings_defaults();
void settings_defaults(Settings& s);
// Applies the lines of the file at path; a file that cannot be opened leaves the
// defaults and writes the warning to standard error.
void load_config(const char* path);
// Lifetime text ("90", "10m", "2d", "1.5h") to seconds; may shorten buf by one.
// Results are held within +-LIFETIME_LIMIT.
[[nodiscard]] std::int64_t parse_ttl(char* buf);
// Facility code of a "syslog" value, or -1 when the name is not known.
[[nodiscard]] int facility_from_name(const char* name);
// Where the shared cache's server is: a unix socket path, or a host (name or
// IP literal) and port.
struct RedisServer {
  std::string unix_path;
  std::string host;
  int port = 0;
};
inline constexpr int REDIS_DEFAULT_PORT = 6379;
// "unix:/abs/path", "host", "host:port", "[v6]:port", or a bare IPv6 literal
// (two or more colons, no brackets: no port). Nullopt for anything else.
[[nodiscard]] std::optional<RedisServer> parse_redis_server(const char* text);
inline constexpr int SENTINEL_DEFAULT_PORT = 26379;
// "host[:port],host[:port]...", at most 16, no unix sockets. Nullopt for anything else.
[[nodiscard]] std::optional<std::vector<RedisServer>> parse_sentinels(const char* text);
// What makes the settings as a whole unusable (redis beside redissentinel, a
// sentinel without its master's name), or "" when nothing does: -t fails on it
// and the daemon does not start.
[[nodiscard]] std::string settings_conflict(const Settings& s);
// Frees every text and list entry.
void settings_release();

// Lifetimes saturate here rather than at the 64-bit limit, so that the cache's
// "now + lifetime" can never overflow; it is still far beyond any real use.
inline constexpr std::int64_t LIFETIME_LIMIT = INT64_MAX / 2;

// What became of one line (or one piece of an over-long line) of the file.
enum class LineStatus { applied, blank, ignored };
struct LineOutcome {
  LineStatus status = LineStatus::blank;
  std::string reason;  // why an ignored line was ignored
};

// The two leading words of a line as the file format takes them: each at most
// 127 bytes, a longer word is cut and its rest becomes the next word.
struct ConfigWords {
  char key[128] = {};
  char value[128] = {};
  int count = 0;  // 0, 1 or 2 words found
};
[[nodiscard]] ConfigWords config_split_line(const char* line);

// Applies one line (at most 254 bytes, terminated) to s; the buffer may be changed.
LineOutcome config_apply_line(Settings& s, char* line);

// Reads the file into the global record, telling report (if set) what became of
// each line, numbered from 1; a piece of an over-long line carries the number of
// the line it came from. False (and the warning written) when it cannot be opened.
using ConfigLineReport = std::function<void(int line_no, const LineOutcome& outcome)>;
bool load_config_report(const char* path, const ConfigLineReport& report);
bool load_config_report(Settings& s, const char* path, const ConfigLineReport& report);

// The file read over the defaults as korvane -t reads it. problems holds what
// -t reports, in order: "PATH:N: reason" for each ignored line, then
// "PATH: conflict"; opened is false (and problems empty) for a file that could
// not be opened, whose reason is then in open_error.
struct SettingsRead {
  std::shared_ptr<Settings> settings;
  bool opened = false;
  std::string open_error;
  std::vector<std::string> problems;
};
[[nodiscard]] SettingsRead settings_read(const char* path);

// A "metrics" value: an IPv4 address or a bracketed IPv6 address, a colon and a
// port 1..65535, all numeric, so the endpoint listens on that one address only.
[[nodiscard]] bool metrics_address_valid(const char* value);

// Name of a facility code of the "syslog" table, or nullptr.
[[nodiscard]] const char* facility_name(int code);
// Writes every setting as "key value" lines, the whitelists in the order they are
// tested.
void settings_print(std::FILE* out, const Settings& s);
