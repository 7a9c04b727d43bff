// One configuration line to its effect on a Settings record: the word split, the
// keys, the whitelist address rule, lifetimes and facility names.
// Input is untrusted file text; every read goes through a cursor bounded by the
// line's terminator, and numbers saturate instead of overflowing.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <strings.h>

#include <algorithm>
#include <climits>
#include <iterator>
#include <cstdlib>
#include <cstring>
#include <new>
#include <optional>
#include <string>
#include <string_view>

#include "settings/settings.h"
#include "util/helpers.h"

namespace {

// The bytes isspace() takes as white space in the C locale.
bool is_space(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

struct Cursor {
  std::string_view text;
  std::size_t pos = 0;

  bool at_end() const { return pos >= text.size(); }
  char peek() const { return at_end() ? '\0' : text[pos]; }
  void skip_space() {
    while (!at_end() && is_space(text[pos])) ++pos;
  }
  // Copies up to limit non-space bytes into out (terminated); false if none.
  bool word(char* out, std::size_t limit) {
    std::size_t n = 0;
    while (!at_end() && !is_space(text[pos]) && n < limit) out[n++] = text[pos++];
    out[n] = '\0';
    return n > 0;
  }
};

// A decimal number read as atol reads it (white space, sign, digits, stop at
// anything else; no digits gives 0), held within [-limit, limit]. out_of_range
// tells that the written number lay beyond the limit.
std::int64_t read_decimal(std::string_view text, std::int64_t limit, bool* out_of_range) {
  Cursor c{text};
  c.skip_space();
  bool negative = false;
  if (c.peek() == '+' || c.peek() == '-') {
    negative = c.peek() == '-';
    ++c.pos;
  }
  std::int64_t magnitude = 0;
  bool over = false;
  while (!c.at_end() && c.peek() >= '0' && c.peek() <= '9') {
    int digit = c.peek() - '0';
    if (!over && magnitude > (limit - digit) / 10) over = true;
    if (!over) magnitude = magnitude * 10 + digit;
    ++c.pos;
  }
  if (out_of_range) *out_of_range = over;
  if (over) magnitude = limit;
  return negative ? -magnitude : magnitude;
}

std::int64_t saturating_product(std::int64_t n, std::int64_t multiplier) {
  if (n > LIFETIME_LIMIT / multiplier) return LIFETIME_LIMIT;
  if (n < -LIFETIME_LIMIT / multiplier) return -LIFETIME_LIMIT;
  return n * multiplier;
}

// The prefix after "/": one or more decimal digits worth 0 to most, or nothing.
// Anything else is refused rather than read loosely: a wrapped or missing
// number could come out as 0 and whitelist every client.
std::optional<std::uint16_t> read_prefix(std::string_view text, unsigned most) {
  if (text.empty()) return std::nullopt;
  unsigned value = 0;
  for (char ch : text) {
    if (ch < '0' || ch > '9') return std::nullopt;
    value = value * 10 + static_cast<unsigned>(ch - '0');
    if (value > most) return std::nullopt;
  }
  return static_cast<std::uint16_t>(value);
}

LineOutcome applied() { return {LineStatus::applied, {}}; }
LineOutcome ignored(std::string reason) { return {LineStatus::ignored, std::move(reason)}; }

// An address with a colon is IPv6: inet_pton's spelling, a prefix of 0 to 128.
LineOutcome apply_whitelist_ip6(Settings& s, char* value, const char* prefix_text) {
  std::uint16_t prefix = 128;
  if (prefix_text != nullptr) {
    const std::optional<std::uint16_t> read = read_prefix(prefix_text, 128);
    if (!read) return ignored("whitelistip prefix is not a number from 0 to 128");
    prefix = *read;
  }
  IpWhitelistEntry e;
  if (inet_pton(AF_INET6, value, e.network6.data()) != 1)
    return ignored("whitelistip value is not an IPv6 address");
  e.ipv6 = true;
  e.prefix_len = prefix;
  s.whitelist_ip.push_front(e);
  return applied();
}

LineOutcome apply_whitelist_ip(Settings& s, char* value) {
  char* slash = std::strchr(value, '/');
  if (slash != nullptr) *slash = '\0';
  if (std::strchr(value, ':') != nullptr)
    return apply_whitelist_ip6(s, value, slash != nullptr ? slash + 1 : nullptr);
  std::uint16_t prefix = 32;
  if (slash != nullptr) {
    const std::optional<std::uint16_t> read = read_prefix(slash + 1, 32);
    if (!read) return ignored("whitelistip prefix is not a number from 0 to 32");
    prefix = *read;
  }
  if (value[0] == '\0') return ignored("whitelistip without an address");
  if (!ipv4_literal_match(value)) return ignored("whitelistip value is not a dotted-quad address");
  in_addr_t addr = inet_addr(value);
  // 255.255.255.255 shares the error value and is dropped with the non-addresses.
  if (addr == INADDR_NONE) return ignored("whitelistip value is not a usable IPv4 address");
  IpWhitelistEntry e;
  e.network = static_cast<std::uint64_t>(addr);
  e.prefix_len = prefix;
  s.whitelist_ip.push_front(e);
  return applied();
}

template <std::forward_list<PatternEntry> Settings::*List, bool Lower>
LineOutcome add_pattern(Settings& s, char* value) {
  if (Lower) lowercase_in_place(value);
  (s.*List).push_front(PatternEntry{value});
  return applied();
}

template <std::optional<std::string> Settings::*Field>
LineOutcome set_text(Settings& s, char* value) {
  s.*Field = std::string(value);
  return applied();
}

template <std::int64_t Settings::*Field>
LineOutcome set_lifetime(Settings& s, char* value) {
  s.*Field = parse_ttl(value);
  return applied();
}

// A walk must be allowed some time: 0 or less would refuse every address at once.
LineOutcome set_deadline(Settings& s, char* value) {
  const std::int64_t seconds = parse_ttl(value);
  if (seconds < 1) return ignored("calloutdeadline must be at least one second");
  s.calloutdeadline = seconds;
  return applied();
}

LineOutcome set_metrics(Settings& s, char* value) {
  if (!metrics_address_valid(value))
    return ignored("metrics takes a numeric ADDRESS:PORT, e.g. 127.0.0.1:9457");
  s.metrics = std::string(value);
  return applied();
}

// Octal permission bits, at most 0777: "0660" or "660".
LineOutcome set_socketmode(Settings& s, char* value) {
  if (value[0] == '\0' || value[std::strspn(value, "01234567")] != '\0' || std::strlen(value) > 4)
    return ignored("socketmode takes octal permission bits from 0000 to 0777");
  const long mode = std::strtol(value, nullptr, 8);
  if (mode > 0777) return ignored("socketmode takes octal permission bits from 0000 to 0777");
  s.socketmode = static_cast<std::int32_t>(mode);
  return applied();
}

// Absolute, so that a daemon that changed its directory still finds it to remove.
LineOutcome set_pidfile(Settings& s, char* value) {
  if (value[0] != '/') return ignored("pidfile takes an absolute path");
  s.pidfile = std::string(value);
  return applied();
}

// Absolute, for the same reason as pidfile: the daemon works from "/".
LineOutcome set_cachefile(Settings& s, char* value) {
  if (value[0] != '/') return ignored("cachefile takes an absolute path");
  s.cachefile = std::string(value);
  return applied();
}

// Only a unix socket: the control changes what the daemon remembers, so it is
// reached by file permissions, never over the network.
LineOutcome set_control(Settings& s, char* value) {
  constexpr std::string_view unix_prefix = "unix:";
  const std::string_view v(value);
  // sun_path holds 108 bytes with its NUL.
  if (v.substr(0, unix_prefix.size()) != unix_prefix || v.size() == unix_prefix.size() ||
      v[unix_prefix.size()] != '/' || v.size() - unix_prefix.size() > 107)
    return ignored("control takes unix:PATH with an absolute path of at most 107 bytes");
  s.control = std::string(v.substr(unix_prefix.size()));
  return applied();
}

// A unix socket by its absolute path, or a numeric address and port as metrics takes them.
LineOutcome set_policy(Settings& s, char* value) {
  const std::string_view v(value);
  if (v == "none") {
    s.policy.reset();
    return applied();
  }
  const bool unix_path = v.starts_with("unix:/") && v.size() - 5 <= 107;
  if (!unix_path && !(v.starts_with("inet:") && metrics_address_valid(value + 5)))
    return ignored("policy takes unix:PATH (absolute), inet:ADDRESS:PORT (numeric) or none");
  s.policy = std::string(v);
  return applied();
}

// A bare IP address is asked directly, as the bracketed literal is.
LineOutcome set_policyrelay(Settings& s, char* value) {
  unsigned char buf[sizeof(struct in6_addr)];
  const bool literal = inet_pton(AF_INET, value, buf) == 1 || inet_pton(AF_INET6, value, buf) == 1;
  std::string relay = literal ? "[" : "";
  relay.append(value);
  if (literal) relay.push_back(']');
  s.policyrelay = std::move(relay);
  return applied();
}

LineOutcome set_sav(Settings& s, char* value) {
  if (strcasecmp(value, "off") != 0) return ignored("sav takes only the value off");
  s.sav = 0;
  return applied();
}

template <std::int32_t Settings::*Field>
LineOutcome set_on_flag(Settings& s, char* value) {
  if (strcasecmp(value, "on") != 0) return ignored("this key takes only the value on");
  s.*Field = 1;
  return applied();
}

LineOutcome set_nullmx(Settings& s, char* value) {
  if (strcasecmp(value, "reject") != 0) return ignored("nullmx takes only the value reject");
  s.nullmx = 1;
  return applied();
}

LineOutcome set_refusals(Settings& s, char* value) {
  if (strcasecmp(value, "any") == 0) {
    s.refusals_mailbox = 0;
  } else if (strcasecmp(value, "mailbox") == 0) {
    s.refusals_mailbox = 1;
  } else {
    return ignored("refusals takes any or mailbox");
  }
  return applied();
}

// "example.com" or ".example.com"; a lone dot, or an "@", names no domain.
LineOutcome add_skip_domain(Settings& s, char* value) {
  if (std::strcmp(value, ".") == 0 || std::strchr(value, '@') != nullptr)
    return ignored("skipdomain takes a domain, or a domain after a dot for its subdomains");
  return add_pattern<&Settings::skip_domains, true>(s, value);
}

// Bytes that may follow a local part's base; never "@", which ends it, nor a
// quote, which would cut a quoted local part.
LineOutcome set_senderdelimiter(Settings& s, char* value) {
  if (std::strpbrk(value, "@\"") != nullptr)
    return ignored("senderdelimiter takes the characters that start a tag, such as +");
  s.senderdelimiter = value;
  return applied();
}

// A zone is a domain name: letters, digits, "-" and inner dots only.
LineOutcome add_selflisting(Settings& s, char* value) {
  const std::string_view v(value);
  const bool name = !v.empty() && v.front() != '.' && v.back() != '.' && v.find("..") == v.npos &&
                    v.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789-.") ==
                        v.npos;
  if (!name) return ignored("selflisting takes a DNS zone, such as ips.backscatterer.org");
  if (std::distance(s.selflisting.begin(), s.selflisting.end()) >= SELFLISTING_ZONES_MAX)
    return ignored("selflisting takes at most 8 zones");
  return add_pattern<&Settings::selflisting, true>(s, value);
}

// "N/period": a count of at least 1 and a period in the lifetime syntax of at
// least one second; anything else leaves the budget as it was.
LineOutcome set_calloutrate(Settings& s, char* value) {
  char* slash = std::strchr(value, '/');
  if (slash == nullptr) return ignored("calloutrate takes a count, \"/\" and a period");
  *slash = '\0';
  bool over = false;
  std::int64_t count = read_decimal(std::string_view(value), INT32_MAX, &over);
  std::int64_t period = parse_ttl(slash + 1);
  if (over || count < 1 || value[std::strspn(value, "0123456789")] != '\0')
    return ignored("calloutrate count is not a number from 1 to 2147483647");
  if (period < 1) return ignored("calloutrate period is not a lifetime of a second or more");
  s.calloutrate_count = count;
  s.calloutrate_period = period;
  return applied();
}

LineOutcome set_facility(Settings& s, char* value) {
  int code = facility_from_name(value);
  if (code < 0) return ignored(std::string("unknown syslog facility \"") + value + "\"");
  s.syslog_facility = code;
  return applied();
}

// Digits only, at most max; anything else (sign, suffix, nothing) is refused.
bool read_bounded(const char* value, std::int64_t max, std::int64_t* out) {
  if (value[0] == '\0') return false;
  std::int64_t n = 0;
  for (const char* p = value; *p != '\0'; ++p) {
    if (*p < '0' || *p > '9') return false;
    n = n * 10 + (*p - '0');
    if (n > max) return false;
  }
  *out = n;
  return true;
}

LineOutcome set_redis(Settings& s, char* value) {
  if (!parse_redis_server(value))
    return ignored("redis takes unix:/path, host, host:port or [IPv6]:port");
  s.redis = std::string(value);
  return applied();
}

LineOutcome set_redissentinel(Settings& s, char* value) {
  if (!parse_sentinels(value))
    return ignored("redissentinel takes host:port[,host:port...], at most 16");
  s.redissentinel = std::string(value);
  return applied();
}

LineOutcome set_bounded(std::int32_t* field, const char* key, std::int64_t min, std::int64_t max,
                        const char* value) {
  std::int64_t n = 0;
  if (!read_bounded(value, max, &n) || n < min)
    return ignored(std::string(key) + " takes a number from " + std::to_string(min) + " to " +
                   std::to_string(max));
  *field = static_cast<std::int32_t>(n);
  return applied();
}

LineOutcome set_redisdb(Settings& s, char* value) {
  return set_bounded(&s.redisdb, "redisdb", 0, INT_MAX, value);
}

LineOutcome set_redistimeout(Settings& s, char* value) {
  return set_bounded(&s.redistimeout, "redistimeout", 1, 60000, value);
}

LineOutcome set_callouts(Settings& s, char* value) {
  return set_bounded(&s.callouts, "callouts", 1, 4096, value);
}

LineOutcome set_policyclients(Settings& s, char* value) {
  return set_bounded(&s.policyclients, "policyclients", 1, 65536, value);
}

LineOutcome set_redisprefix(Settings& s, char* value) {
  s.redisprefix = value;
  return applied();
}

struct KeyRule {
  const char* key;
  LineOutcome (*apply)(Settings&, char*);
};

// Matched without regard to case, in this order.
constexpr KeyRule key_rules[] = {
    {"whitelistip", apply_whitelist_ip},
    {"whitelistptr", add_pattern<&Settings::whitelist_ptr, false>},
    {"whitelistfrom", add_pattern<&Settings::whitelist_from, true>},
    {"whitelistto", add_pattern<&Settings::whitelist_to, true>},
    {"publicname", set_text<&Settings::publicname>},
    {"safecallback", set_text<&Settings::safecallback>},
    {"sav", set_sav},
    {"ignoretempfail", set_on_flag<&Settings::ignoretempfail>},
    {"blockignorants", set_on_flag<&Settings::blockignorants>},
    {"mailstore", set_text<&Settings::mailstore>},
    {"frompassttl", set_lifetime<&Settings::frompassttl>},
    {"fromtfailttl", set_lifetime<&Settings::fromtfailttl>},
    {"fromfailttl", set_lifetime<&Settings::fromfailttl>},
    {"topassttl", set_lifetime<&Settings::topassttl>},
    {"totfailttl", set_lifetime<&Settings::totfailttl>},
    {"tofailttl", set_lifetime<&Settings::tofailttl>},
    {"calloutdeadline", set_deadline},
    {"catchall", set_on_flag<&Settings::catchall>},
    {"catchallttl", set_lifetime<&Settings::catchallttl>},
    {"user", set_text<&Settings::user>},
    {"socket", set_text<&Settings::socket>},
    {"socketmode", set_socketmode},
    {"pidfile", set_pidfile},
    {"logwhitelisted", set_on_flag<&Settings::logwhitelisted>},
    {"metrics", set_metrics},
    {"control", set_control},
    {"policy", set_policy},
    {"policyclients", set_policyclients},
    {"policyrelay", set_policyrelay},
    {"cachefile", set_cachefile},
    {"cachesave", set_lifetime<&Settings::cachesave>},
    {"syslog", set_facility},
    {"deadmxttl", set_lifetime<&Settings::deadmxttl>},
    {"calloutrate", set_calloutrate},
    {"ipv6", set_on_flag<&Settings::ipv6>},
    {"nullmx", set_nullmx},
    {"refusals", set_refusals},
    {"refusedttl", set_lifetime<&Settings::refusedttl>},
    {"logreplies", set_on_flag<&Settings::logreplies>},
    {"dryrun", set_on_flag<&Settings::dryrun>},
    {"skipdomain", add_skip_domain},
    {"senderdelimiter", set_senderdelimiter},
    {"selflisting", add_selflisting},
    {"selflistingpause", set_on_flag<&Settings::selflistingpause>},
    {"callouts", set_callouts},
    {"maxwait", set_lifetime<&Settings::maxwait>},
    {"passrefresh", set_lifetime<&Settings::passrefresh>},
    {"redis", set_redis},
    {"redisdb", set_redisdb},
    {"redispassword", set_text<&Settings::redispassword>},
    {"redisprefix", set_redisprefix},
    {"redistimeout", set_redistimeout},
    {"redissentinel", set_redissentinel},
    {"redismaster", set_text<&Settings::redismaster>},
    {"redissentinelpassword", set_text<&Settings::redissentinelpassword>},
};

struct Facility {
  const char* name;
  int code;
};
constexpr Facility facilities[] = {
    {"daemon", 24}, {"mail", 16},    {"local0", 128}, {"local1", 136}, {"local2", 144},
    {"local3", 152}, {"local4", 160}, {"local5", 168}, {"local6", 176}, {"local7", 184},
};

}  // namespace

ConfigWords config_split_line(const char* line) {
  ConfigWords w;
  Cursor c{std::string_view(line)};
  c.skip_space();
  if (!c.word(w.key, sizeof w.key - 1)) return w;
  w.count = 1;
  // No space is required here: the rest of an over-long key becomes the value.
  c.skip_space();
  if (c.word(w.value, sizeof w.value - 1)) w.count = 2;
  return w;
}

std::int64_t parse_ttl(char* buf) {
  std::size_t len = std::strlen(buf);
  if (len == 0) return 0;
  std::int64_t multiplier = 1;
  switch (buf[len - 1]) {
    case 'd': case 'D': multiplier = 86400; break;
    case 'h': case 'H': multiplier = 3600; break;
    case 'm': case 'M': multiplier = 60; break;
    default: break;
  }
  if (multiplier != 1) buf[--len] = '\0';
  return saturating_product(read_decimal(std::string_view(buf, len), LIFETIME_LIMIT, nullptr),
                            multiplier);
}

int facility_from_name(const char* name) {
  for (const Facility& f : facilities) {
    if (strcasecmp(name, f.name) == 0) return f.code;
  }
  return -1;
}

const char* facility_name(int code) {
  for (const Facility& f : facilities) {
    if (f.code == code) return f.name;
  }
  return nullptr;
}

std::optional<RedisServer> parse_redis_server(const char* text) {
  std::string_view t(text);
  RedisServer r;
  if (t.starts_with("unix:")) {
    r.unix_path = t.substr(5);
    if (r.unix_path.empty() || r.unix_path[0] != '/') return std::nullopt;
    return r;
  }
  std::string_view host = t, port;
  if (t.starts_with("[")) {
    std::size_t close = t.find(']');
    if (close == std::string_view::npos) return std::nullopt;
    host = t.substr(1, close - 1);
    std::string_view rest = t.substr(close + 1);
    if (!rest.empty()) {
      if (rest[0] != ':') return std::nullopt;
      port = rest.substr(1);
      if (port.empty()) return std::nullopt;
    }
  } else if (std::size_t colon = t.find(':'); colon != std::string_view::npos &&
                                              t.find(':', colon + 1) == std::string_view::npos) {
    host = t.substr(0, colon);
    port = t.substr(colon + 1);
    if (port.empty()) return std::nullopt;
  }
  if (host.empty() || host.find_first_of("[]/") != std::string_view::npos) return std::nullopt;
  r.host = host;
  r.port = REDIS_DEFAULT_PORT;
  if (!port.empty()) {
    std::int64_t n = 0;
    if (!read_bounded(std::string(port).c_str(), 65535, &n) || n == 0) return std::nullopt;
    r.port = static_cast<int>(n);
  }
  return r;
}

bool metrics_address_valid(const char* value) {
  const std::string_view text(value);
  const std::size_t colon = text.rfind(':');
  if (colon == std::string_view::npos || colon + 1 >= text.size() || colon + 6 < text.size())
    return false;
  const std::string_view port = text.substr(colon + 1);
  for (char ch : port)
    if (ch < '0' || ch > '9') return false;
  bool over = false;
  const std::int64_t number = read_decimal(port, 65536, &over);
  if (over || number < 1 || number > 65535) return false;
  // The address must be a literal: a name could resolve to several addresses.
  std::string host(text.substr(0, colon));
  unsigned char buf[sizeof(struct in6_addr)];
  if (host.size() > 2 && host.front() == '[' && host.back() == ']')
    return inet_pton(AF_INET6, host.substr(1, host.size() - 2).c_str(), buf) == 1;
  return inet_pton(AF_INET, host.c_str(), buf) == 1;
}

LineOutcome config_apply_line(Settings& s, char* line) {
  if (char* hash = std::strchr(line, '#')) *hash = '\0';
  ConfigWords w = config_split_line(line);
  if (w.count == 0) return {LineStatus::blank, {}};
  if (w.count == 1) return ignored(std::string("key \"") + w.key + "\" without a value");
  for (const KeyRule& rule : key_rules) {
    if (strcasecmp(w.key, rule.key) != 0) continue;
    try {
      return rule.apply(s, w.value);
    } catch (const std::bad_alloc&) {
      // The record stays as it was: a list gains no entry, a text keeps its old copy.
      return ignored("out of memory");
    }
  }
  return ignored(std::string("unknown key \"") + w.key + "\"");
}

std::optional<std::vector<RedisServer>> parse_sentinels(const char* text) {
  constexpr std::size_t MOST = 16;
  std::vector<RedisServer> out;
  std::string_view rest(text);
  while (out.size() <= MOST) {
    const std::size_t comma = rest.find(',');
    const std::string one(rest.substr(0, comma));
    std::optional<RedisServer> r = parse_redis_server(one.c_str());
    if (!r || !r->unix_path.empty()) return std::nullopt;
    // A sentinel written without a port listens where sentinels do by default.
    const bool port_given = one.starts_with("[") ? one.find("]:") != std::string::npos
                                                 : std::count(one.begin(), one.end(), ':') == 1;
    if (!port_given) r->port = SENTINEL_DEFAULT_PORT;
    out.push_back(*r);
    if (comma == std::string_view::npos) break;
    rest = rest.substr(comma + 1);
  }
  if (out.size() > MOST) return std::nullopt;
  return out;
}

std::string settings_conflict(const Settings& s) {
  if (s.redis && s.redissentinel) return "redis and redissentinel exclude each other";
  if (s.redissentinel && !s.redismaster) return "redissentinel needs redismaster";
  return "";
}
