// The configuration file reader: keys and values, the whitelist address rule,
// lifetimes, flags, facilities, comments, over-long lines and the -t listing.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "settings/settings.h"
#include "util/helpers.h"

namespace {

// A file under /tmp with the given bytes, removed when the test ends.
class TempFile {
 public:
  explicit TempFile(const std::string& bytes) {
    char name[] = "/tmp/korvane-config-XXXXXX";
    int fd = mkstemp(name);
    EXPECT_GE(fd, 0);
    path_ = name;
    EXPECT_EQ(write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    close(fd);
  }
  ~TempFile() { unlink(path_.c_str()); }
  const char* path() const { return path_.c_str(); }

 private:
  std::string path_;
};

// The global record as start-up leaves it after reading bytes as the file.
const Settings& load(const std::string& bytes) {
  settings_clear();
  EXPECT_TRUE(ipv4_literal_pattern_compile());
  settings_defaults();
  TempFile f(bytes);
  load_config(f.path());
  return settings;
}

std::vector<std::pair<std::string, unsigned>> ip_entries(const Settings& s) {
  std::vector<std::pair<std::string, unsigned>> out;
  for (const IpWhitelistEntry& e : s.whitelist_ip) {
    EXPECT_EQ(e.network >> 32, 0u);
    char text[INET6_ADDRSTRLEN] = {};
    if (e.ipv6) {
      inet_ntop(AF_INET6, e.network6.data(), text, sizeof text);
    } else {
      in_addr a{};
      a.s_addr = static_cast<in_addr_t>(e.network);
      inet_ntop(AF_INET, &a, text, sizeof text);
    }
    out.emplace_back(text, e.prefix_len);
  }
  return out;
}

std::vector<std::string> patterns(const std::forward_list<PatternEntry>& list) {
  std::vector<std::string> out;
  for (const PatternEntry& e : list) out.push_back(e.pattern);
  return out;
}

using IpList = std::vector<std::pair<std::string, unsigned>>;

struct IpCase {
  const char* label;
  const char* file;
  IpList expect;  // in list order, the order they are tested
};

TEST(ConfigWhitelistIp, AddressRule) {
  const IpCase cases[] = {
      {"network with prefix", "whitelistip 10.0.0.0/8\n", {{"10.0.0.0", 8}}},
      {"host bits kept unmasked", "whitelistip 10.1.2.3/8\n", {{"10.1.2.3", 8}}},
      {"no prefix means 32", "whitelistip 192.0.2.1\n", {{"192.0.2.1", 32}}},
      {"prefix 0 written as such", "whitelistip 0.0.0.0/0\n", {{"0.0.0.0", 0}}},
      {"leading zeros are decimal", "whitelistip 192.0.2.0/024\n", {{"192.0.2.0", 24}}},
      {"prefix 33 is ignored", "whitelistip 192.0.2.1/33\n", {}},
      {"negative prefix is ignored", "whitelistip 192.0.2.1/-1\n", {}},
      {"low 16 bits of a large prefix are not taken", "whitelistip 10.0.0.0/65536\n", {}},
      {"twice 65536 is not taken", "whitelistip 10.0.0.0/131072\n", {}},
      {"negative 65536 is not taken", "whitelistip 10.0.0.0/-65536\n", {}},
      {"bare slash is ignored", "whitelistip 192.0.2.1/\n", {}},
      {"letters after slash", "whitelistip 192.0.2.1/abc\n", {}},
      {"digits then letters", "whitelistip 192.0.2.0/24x\n", {}},
      {"plus sign", "whitelistip 192.0.2.0/+16\n", {}},
      {"second slash", "whitelistip 192.0.2.0/24/8\n", {}},
      {"prefix beyond 32 bits", "whitelistip 192.0.2.1/4294967304\n", {}},
      {"octal part", "whitelistip 010.0.0.1\n", {{"8.0.0.1", 32}}},
      {"all ones is never whitelisted", "whitelistip 255.255.255.255\n", {}},
      {"all ones with prefix", "whitelistip 255.255.255.255/0\n", {}},
      {"trailing dot fits pattern, not inet_addr", "whitelistip 192.0.2.1.\n", {}},
      {"part above 255", "whitelistip 300.1.1.1\n", {}},
      {"empty address", "whitelistip /24\n", {}},
      {"three parts", "whitelistip 10.0.0/8\n", {}},
      {"five parts", "whitelistip 1.2.3.4.5\n", {}},
      {"hex part", "whitelistip 0x0a.0.0.1\n", {}},
      {"host name", "whitelistip mail.example.test\n", {}},
      {"four-digit part", "whitelistip 1000.0.0.1\n", {}},
      {"IPv6 host", "whitelistip ::1\n", {{"::1", 128}}},
      {"IPv6 prefix", "whitelistip 2001:db8::/32\n", {{"2001:db8::", 32}}},
      {"IPv6 prefix 0 and 128", "whitelistip ::/0\nwhitelistip ::1/128\n", {{"::1", 128}, {"::", 0}}},
      {"IPv6 prefix 129", "whitelistip ::1/129\n", {}},
      {"IPv6 bad prefix", "whitelistip ::1/1a\n", {}},
      {"IPv6 typo", "whitelistip 2001:db8:::1\n", {}},
      {"IPv6 in brackets", "whitelistip [::1]\n", {}},
      {"reverse file order",
       "whitelistip 192.0.2.1\nwhitelistip bogus\nWHITELISTIP 198.51.100.0/24\n",
       {{"198.51.100.0", 24}, {"192.0.2.1", 32}}},
  };
  for (const IpCase& c : cases) {
    EXPECT_EQ(ip_entries(load(c.file)), c.expect) << c.label;
  }
}

struct TtlCase {
  const char* label;
  const char* text;
  std::int64_t seconds;
};

TEST(ParseTtl, SuffixesAndAtolSemantics) {
  const TtlCase cases[] = {
      {"days", "2d", 2 * 86400},
      {"upper-case days", "2D", 2 * 86400},
      {"hours", "3H", 3 * 3600},
      {"minutes", "10m", 600},
      {"plain seconds", "90", 90},
      {"s is no suffix but ends the number", "90s", 90},
      {"fraction stops the number", "1.5h", 3600},
      {"suffix alone", "m", 0},
      {"negative days", "-1d", -86400},
      {"plus sign", "+5m", 300},
      {"no digits", "abc", 0},
      {"leading zeros are decimal", "010", 10},
      {"suffix only at the end", "1d2", 1},
      {"huge number saturates", "99999999999999999999", LIFETIME_LIMIT},
      {"huge negative saturates", "-99999999999999999999", -LIFETIME_LIMIT},
      {"int64 max saturates", "9223372036854775807", LIFETIME_LIMIT},
      {"overflowing product saturates", "200000000000000000d", LIFETIME_LIMIT},
      {"overflowing negative product", "-200000000000000000h", -LIFETIME_LIMIT},
      {"empty", "", 0},
  };
  for (const TtlCase& c : cases) {
    std::string buf = c.text;
    EXPECT_EQ(parse_ttl(buf.data()), c.seconds) << c.label;
  }
}

struct LineCase {
  const char* label;
  std::string file;
  std::function<void(const Settings&)> expect;
};

std::string repeat(char c, std::size_t n) { return std::string(n, c); }

TEST(ConfigFile, KeysValuesAndLines) {
  const std::vector<LineCase> cases = {
      {"all lifetimes", "frompassttl 2d\nfromtfailttl 10m\nfromfailttl m\ntopassttl 90\n"
       "totfailttl 90s\ntofailttl 1.5h\ncatchallttl 2h\n",
       [](const Settings& s) {
         EXPECT_EQ(s.frompassttl, 172800);
         EXPECT_EQ(s.fromtfailttl, 600);
         EXPECT_EQ(s.fromfailttl, 0);
         EXPECT_EQ(s.topassttl, 90);
         EXPECT_EQ(s.totfailttl, 90);
         EXPECT_EQ(s.tofailttl, 3600);
         EXPECT_EQ(s.catchallttl, 7200);
       }},
      {"calloutdeadline: a lifetime of at least a second", "calloutdeadline 2m\ncalloutdeadline 0\n"
       "calloutdeadline -5\ncalloutdeadline x\n",
       [](const Settings& s) { EXPECT_EQ(s.calloutdeadline, 120); }},
      {"sav off in any case", "SAV OFF\n", [](const Settings& s) { EXPECT_EQ(s.sav, 0); }},
      {"sav other values change nothing", "sav no\nsav on\nsav 0\n",
       [](const Settings& s) { EXPECT_EQ(s.sav, 1); }},
      {"sav cannot be turned back on", "sav off\nsav on\n",
       [](const Settings& s) { EXPECT_EQ(s.sav, 0); }},
      {"on flags move one way only",
       "ignoretempfail On\nignoretempfail off\nblockignorants ON\nblockignorants off\n"
       "catchall on\ncatchall off\n",
       [](const Settings& s) {
         EXPECT_EQ(s.ignoretempfail, 1);
         EXPECT_EQ(s.blockignorants, 1);
         EXPECT_EQ(s.catchall, 1);
       }},
      {"on flags ignore other values", "ignoretempfail yes\nblockignorants 1\n",
       [](const Settings& s) {
         EXPECT_EQ(s.ignoretempfail, 0);
         EXPECT_EQ(s.blockignorants, 0);
       }},
      {"facility by name", "syslog LOCAL3\n",
       [](const Settings& s) { EXPECT_EQ(s.syslog_facility, 152); }},
      {"unknown facility keeps the previous", "syslog daemon\nsyslog user\n",
       [](const Settings& s) { EXPECT_EQ(s.syslog_facility, 24); }},
      {"trailing comment", "publicname mx1 # our name\n",
       [](const Settings& s) { EXPECT_EQ(s.publicname, "mx1"); }},
      {"comment glued to the value", "publicname mx1#x\n",
       [](const Settings& s) { EXPECT_EQ(s.publicname, "mx1"); }},
      {"commented-out line", "# publicname mx1\n   # user bob\n",
       [](const Settings& s) {
         EXPECT_EQ(s.publicname, "localhost");
         EXPECT_EQ(s.user, "korvs");
       }},
      {"key without value", "publicname\npublicname#mx1\n",
       [](const Settings& s) { EXPECT_EQ(s.publicname, "localhost"); }},
      {"words after the value", "  publicname\tmx2  extra words\n",
       [](const Settings& s) { EXPECT_EQ(s.publicname, "mx2"); }},
      {"key case, value kept", "PublicName Mx.Example\n",
       [](const Settings& s) { EXPECT_EQ(s.publicname, "Mx.Example"); }},
      {"CRLF line ends", "user bob\r\nsocket inet:8891@127.0.0.1\r\n",
       [](const Settings& s) {
         EXPECT_EQ(s.user, "bob");
         EXPECT_EQ(s.socket, "inet:8891@127.0.0.1");
       }},
      {"last line without line feed", "user bob",
       [](const Settings& s) { EXPECT_EQ(s.user, "bob"); }},
      {"NUL ends a line's text, not the file", std::string("user a\0b\nmailstore 192.0.2.9\n", 29),
       [](const Settings& s) {
         EXPECT_EQ(s.user, "a");
         EXPECT_EQ(s.mailstore, "192.0.2.9");
       }},
      {"second of a repeated key wins", "socket unix:/a.sock\nsocket local:/b.sock\n",
       [](const Settings& s) { EXPECT_EQ(s.socket, "local:/b.sock"); }},
      {"all texts", "publicname p\nsafecallback s@x\nmailstore 192.0.2.1\nuser u\nsocket c\n",
       [](const Settings& s) {
         EXPECT_EQ(s.publicname, "p");
         EXPECT_EQ(s.safecallback, "s@x");
         EXPECT_EQ(s.mailstore, "192.0.2.1");
         EXPECT_EQ(s.user, "u");
         EXPECT_EQ(s.socket, "c");
       }},
      {"value cut at 127", "publicname " + repeat('v', 200) + "\n",
       [](const Settings& s) { EXPECT_EQ(s.publicname, repeat('v', 127)); }},
      {"over-long line read in pieces of 254",
       "publicname " + repeat('a', 243) + "user bob\n",
       [](const Settings& s) {
         EXPECT_EQ(s.publicname, repeat('a', 127));
         EXPECT_EQ(s.user, "bob");
       }},
      {"line of exactly 254 then a line feed", "user " + repeat('b', 249) + "\nsocket z\n",
       [](const Settings& s) {
         EXPECT_EQ(s.user, repeat('b', 127));
         EXPECT_EQ(s.socket, "z");
       }},
      {"pattern lists in reverse order, from and to lower-cased",
       "whitelistptr one\nwhitelistptr MailGate\nwhitelistptr three\n"
       "WhiteListFrom NewsLetter\nwhitelistfrom b@X.test\nwhitelistto Boss@Example.TEST\n",
       [](const Settings& s) {
         EXPECT_EQ(patterns(s.whitelist_ptr),
                   (std::vector<std::string>{"three", "MailGate", "one"}));
         EXPECT_EQ(patterns(s.whitelist_from),
                   (std::vector<std::string>{"b@x.test", "newsletter"}));
         EXPECT_EQ(patterns(s.whitelist_to), (std::vector<std::string>{"boss@example.test"}));
       }},
      {"exchanger memory and reach", "deadmxttl 10m\ncalloutrate 60/1m\nipv6 on\nnullmx REJECT\n",
       [](const Settings& s) {
         EXPECT_EQ(s.deadmxttl, 600);
         EXPECT_EQ(s.calloutrate_count, 60);
         EXPECT_EQ(s.calloutrate_period, 60);
         EXPECT_EQ(s.ipv6, 1);
         EXPECT_EQ(s.nullmx, 1);
       }},
      {"bad budgets keep the one before",
       "calloutrate 3/2h\ncalloutrate 0/1m\ncalloutrate 5\ncalloutrate 5/0\ncalloutrate x/1m\n"
       "calloutrate 99999999999/1m\nnullmx on\n",
       [](const Settings& s) {
         EXPECT_EQ(s.calloutrate_count, 3);
         EXPECT_EQ(s.calloutrate_period, 7200);
         EXPECT_EQ(s.nullmx, 0);
       }},
      {"verifying without refusing good mail",
       "refusals mailbox\nrefusals some\nrefusedttl 1h\nlogreplies on\ndryrun on\n"
       "skipdomain Big.Example\nskipdomain .\nskipdomain a@b.test\nskipdomain .sub.test\n"
       "senderdelimiter +=\nsenderdelimiter a@\n"
       "selflisting Bl.Example\nselflisting bad..zone\nselflisting .x\nselflisting a/b\nselflistingpause on\n",
       [](const Settings& s) {
         EXPECT_EQ(s.senderdelimiter, "+=");
         EXPECT_EQ(patterns(s.selflisting), (std::vector<std::string>{"bl.example"}));
         EXPECT_EQ(s.selflistingpause, 1);
         EXPECT_EQ(s.refusals_mailbox, 1);
         EXPECT_EQ(s.refusedttl, 3600);
         EXPECT_EQ(s.logreplies + s.dryrun, 2);
         EXPECT_EQ(patterns(s.skip_domains), (std::vector<std::string>{".sub.test", "big.example"}));
       }},
      {"shared cache keys", "redis [2001:db8::6]:6380\nredisdb 3\nredispassword s3cret\n"
       "redisprefix site:\nredistimeout 250\n",
       [](const Settings& s) {
         EXPECT_EQ(s.redis, "[2001:db8::6]:6380");
         EXPECT_EQ(s.redisdb, 3);
         EXPECT_EQ(s.redispassword, "s3cret");
         EXPECT_EQ(s.redisprefix, "site:");
         EXPECT_EQ(s.redistimeout, 250);
       }},
      {"sentinels", "redissentinel 10.0.0.1,[::1]:26380,s3\nredismaster site\n",
       [](const Settings& s) {
         std::vector<std::pair<std::string, int>> got;
         const auto sentinels = parse_sentinels(s.redissentinel->c_str());
         for (const RedisServer& r : sentinels.value_or(std::vector<RedisServer>{}))
           got.emplace_back(r.host, r.port);
         EXPECT_EQ(got, (std::vector<std::pair<std::string, int>>{
                            {"10.0.0.1", 26379}, {"::1", 26380}, {"s3", 26379}}));
         EXPECT_EQ(settings_conflict(s), "");
       }},
      {"shared cache bad values keep the defaults",
       "redis unix:relative\nredis host:0\nredis host:65536\nredis [::1\nredis h:\n"
       "redisdb -1\nredisdb 2x\nredistimeout 0\nredistimeout 60001\nredistimeout 1s\n"
       "redissentinel unix:/s\nredissentinel a,,b\nredissentinel a:0\n"
       "redissentinel a,b,c,d,e,f,g,h,i,j,k,l,m,n,o,p,q\n",
       [](const Settings& s) {
         EXPECT_FALSE(s.redissentinel);
         EXPECT_EQ(settings_conflict(s), "");
         EXPECT_FALSE(s.redis);
         EXPECT_EQ(s.redisdb, 0);
         EXPECT_EQ(s.redisprefix, "korvane:");
         EXPECT_EQ(s.redistimeout, 100);
       }},
      {"metrics: a bad value keeps the previous", "metrics 127.0.0.1:9457\nmetrics 9458\n",
       [](const Settings& s) { EXPECT_EQ(s.metrics, "127.0.0.1:9457"); }},
      {"socket mode, PID file, logged passes", "socketmode 0660\npidfile /run/k.pid\nlogwhitelisted on\n",
       [](const Settings& s) {
         EXPECT_EQ(s.socketmode, 0660);
         EXPECT_EQ(s.pidfile, "/run/k.pid");
         EXPECT_EQ(s.logwhitelisted, 1);
       }},
      {"bad socket modes and a relative PID file keep the defaults",
       "socketmode 0680\nsocketmode 1777\nsocketmode rw\nsocketmode 00660\npidfile k.pid\n",
       [](const Settings& s) {
         EXPECT_EQ(s.socketmode, 0600);
         EXPECT_FALSE(s.pidfile);
       }},
      {"control: unix sockets with an absolute path only",
       "control unix:/run/k/ctl\ncontrol unix:rel\ncontrol 127.0.0.1:1\ncontrol unix:\n",
       [](const Settings& s) { EXPECT_EQ(s.control, "/run/k/ctl"); }},
      {"policy: a unix path, a numeric inet address, or none",
       "policy unix:rel\npolicy inet:mx.example:10029\npolicy inet:127.0.0.1:10029\n"
       "policyclients 0\npolicyclients 64\npolicyrelay 192.0.2.7\n",
       [](const Settings& s) {
         EXPECT_EQ(s.policy, "inet:127.0.0.1:10029");
         EXPECT_EQ(s.policyclients, 64);
         EXPECT_EQ(s.policyrelay, "[192.0.2.7]");
       }},
      {"policy none undoes it; a host name relay stays as written",
       "policy unix:/run/k/policy.sock\npolicy none\npolicyrelay relay.example\n",
       [](const Settings& s) {
         EXPECT_FALSE(s.policy);
         EXPECT_EQ(s.policyrelay, "relay.example");
       }},
      {"cachefile: an absolute path only; cachesave a lifetime",
       "cachefile /var/lib/k/cache\ncachefile rel/cache\ncachesave 1h\n",
       [](const Settings& s) {
         EXPECT_EQ(s.cachefile, "/var/lib/k/cache");
         EXPECT_EQ(s.cachesave, 3600);
       }},
      {"unknown keys and near misses change nothing",
       "whitelist 1.2.3.4\nusers bob\nsocketx y\nttl 5\n",
       [](const Settings& s) {
         EXPECT_TRUE(s.whitelist_ip.empty());
         EXPECT_EQ(s.user, "korvs");
         EXPECT_EQ(s.socket, "unix:" KORVANE_RUN_DIR "/korvane.sock");
       }},
  };
  for (const LineCase& c : cases) {
    SCOPED_TRACE(c.label);
    c.expect(load(c.file));
  }
}

TEST(ConfigFile, DefaultsAndMissingFile) {
  settings_clear();
  settings_defaults();
  testing::internal::CaptureStderr();
  load_config("/nonexistent/korvane.conf");
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "Warning: korvane configuration file load failed\n");
  const Settings& s = settings;
  EXPECT_EQ(s.publicname, "localhost");
  EXPECT_EQ(s.safecallback, "postmaster@localhost");
  EXPECT_FALSE(s.mailstore.has_value());
  EXPECT_EQ(s.user, "korvs");
  EXPECT_EQ(s.socket, "unix:" KORVANE_RUN_DIR "/korvane.sock");
  EXPECT_EQ(s.syslog_facility, 16);
  EXPECT_EQ(s.sav, 1);
  EXPECT_EQ(s.ignoretempfail, 0);
  EXPECT_EQ(s.blockignorants, 0);
  EXPECT_EQ(s.frompassttl, 86400);
  EXPECT_EQ(s.fromtfailttl, 300);
  EXPECT_EQ(s.fromfailttl, 3600);
  EXPECT_EQ(s.topassttl, 3600);
  EXPECT_EQ(s.totfailttl, 300);
  EXPECT_EQ(s.tofailttl, 3600);
  EXPECT_EQ(s.calloutdeadline, 600);
  EXPECT_EQ(s.catchall, 0);
  EXPECT_EQ(s.catchallttl, 86400);
  settings_release();
  EXPECT_FALSE(settings.publicname || settings.safecallback || settings.user || settings.socket);
}

TEST(ConfigFile, RedisServerForms) {
  const struct { const char* text; const char* path; const char* host; int port; } forms[] = {
      {"unix:/run/redis/redis.sock", "/run/redis/redis.sock", "", 0},
      {"127.0.0.1:6380", "", "127.0.0.1", 6380},
      {"cache.example.net", "", "cache.example.net", 6379},
      {"[2001:db8::6]", "", "2001:db8::6", 6379},
      {"2001:db8::6", "", "2001:db8::6", 6379},
  };
  for (const auto& f : forms) {
    std::optional<RedisServer> r = parse_redis_server(f.text);
    ASSERT_TRUE(r) << f.text;
    EXPECT_EQ(r->unix_path, f.path);
    EXPECT_EQ(r->host, f.host);
    EXPECT_EQ(r->port, f.port);
  }
  for (const char* bad : {"", "unix:", ":6379", "[::1]6379", "[::1]:", "host:+1", "a/b:1"})
    EXPECT_FALSE(parse_redis_server(bad)) << bad;
}

TEST(ConfigFile, FacilityTable) {
  const std::pair<const char*, int> names[] = {
      {"daemon", 24},  {"MAIL", 16},    {"local0", 128}, {"Local1", 136}, {"local2", 144},
      {"local3", 152}, {"local4", 160}, {"local5", 168}, {"local6", 176}, {"LOCAL7", 184},
      {"user", -1},    {"local8", -1},  {"mai", -1},     {"", -1},
  };
  for (const auto& [name, code] : names) EXPECT_EQ(facility_from_name(name), code) << name;
}

struct SplitCase {
  const char* label;
  std::string line;
  int count;
  std::string key, value;
};

TEST(ConfigSplit, TwoWordsOf127) {
  const std::vector<SplitCase> cases = {
      {"empty", "", 0, "", ""},
      {"white space only", " \t\r\n", 0, "", ""},
      {"one word", "  key \n", 1, "key", ""},
      {"vertical tab and form feed separate", "k\v\fv", 2, "k", "v"},
      {"long key spills into the value", repeat('k', 130) + " v", 2, repeat('k', 127), "kkk"},
      {"key of exactly 127", repeat('k', 127) + " v", 2, repeat('k', 127), "v"},
  };
  for (const SplitCase& c : cases) {
    ConfigWords w = config_split_line(c.line.c_str());
    EXPECT_EQ(w.count, c.count) << c.label;
    EXPECT_EQ(w.key, c.key) << c.label;
    EXPECT_EQ(w.value, c.value) << c.label;
  }
}

// The split must agree with the scan format it stands in for, on any bytes.
TEST(ConfigSplit, AgreesWithScanf) {
  std::srand(7);
  const char alphabet[] = "ab #\t\n\r\v\f/.9";
  for (int round = 0; round < 20000; ++round) {
    std::string line;
    std::size_t len = static_cast<std::size_t>(std::rand() % 300);
    for (std::size_t i = 0; i < len; ++i) {
      line += (std::rand() % 8 == 0) ? static_cast<char>(1 + std::rand() % 255)
                                     : alphabet[std::rand() % (sizeof alphabet - 1)];
    }
    char key[128] = {}, value[128] = {};
    int n = std::sscanf(line.c_str(), "%127s %127s", key, value);
    ConfigWords w = config_split_line(line.c_str());
    ASSERT_EQ(w.count, n < 0 ? 0 : n) << line;
    ASSERT_STREQ(w.key, n >= 1 ? key : "") << line;
    ASSERT_STREQ(w.value, n >= 2 ? value : "") << line;
  }
}

TEST(ConfigFile, RandomBytesDoNotCrash) {
  std::srand(11);
  for (int round = 0; round < 300; ++round) {
    std::string bytes;
    std::size_t len = static_cast<std::size_t>(std::rand() % 2000);
    for (std::size_t i = 0; i < len; ++i) bytes += static_cast<char>(std::rand() % 256);
    if (round % 2) bytes = "whitelistip " + bytes;
    const Settings& s = load(bytes);
    for (const IpWhitelistEntry& e : s.whitelist_ip) EXPECT_LE(e.prefix_len, 32);
    EXPECT_TRUE(s.publicname && s.safecallback && s.user && s.socket);
  }
  settings_release();
}

struct Reported {
  int line;
  LineStatus status;
  std::string reason;
  bool operator==(const Reported&) const = default;
};

TEST(ConfigReport, EveryLineAccountedFor) {
  settings_clear();
  settings_defaults();
  TempFile f("# comment\n\npublicname mx\nfrobnicate 1\nsav maybe\nsyslog kern\n"
             "whitelistip 300.1.1.1\nuser\n" + repeat(' ', 254) + "nokey x\nlast y");
  std::vector<Reported> got;
  ASSERT_TRUE(load_config_report(f.path(), [&](int line, const LineOutcome& o) {
    got.push_back({line, o.status, o.reason});
  }));
  using enum LineStatus;
  const std::vector<Reported> want = {
      {1, blank, ""},
      {2, blank, ""},
      {3, applied, ""},
      {4, ignored, "unknown key \"frobnicate\""},
      {5, ignored, "sav takes only the value off"},
      {6, ignored, "unknown syslog facility \"kern\""},
      {7, ignored, "whitelistip value is not a usable IPv4 address"},
      {8, ignored, "key \"user\" without a value"},
      {9, blank, ""},
      {9, ignored, "unknown key \"nokey\""},
      {10, ignored, "unknown key \"last\""},
  };
  EXPECT_EQ(got, want);
  settings_release();
}

// Only one numeric address and port: the endpoint's library would also take a
// bare port (every address), lists, names and suffixed ports.
TEST(ConfigLine, MetricsAddress) {
  const std::pair<const char*, bool> cases[] = {
      {"127.0.0.1:9457", true}, {"192.0.2.7:1", true},      {"[::1]:65535", true},
      {"9457", false},          {"127.0.0.1", false},       {"127.0.0.1:", false},
      {"127.0.0.1:0", false},   {"127.0.0.1:65536", false}, {"127.0.0.1:9457s", false},
      {"localhost:9457", false}, {"::1:9457", false},       {"[::1]9457", false},
      {"127.0.0.1:94,127.0.0.2:94", false}, {":9457", false}, {"127.0.0.1:+9457", false},
      {"127.0.0.1:0000009457", false},
  };
  for (const auto& [value, want] : cases) EXPECT_EQ(metrics_address_valid(value), want) << value;
}

TEST(SettingsPrint, ListsEveryKeyAndWhitelistsInTestOrder) {
  const Settings& s = load("publicname mx\nsyslog local5\nsav off\nfromfailttl -1d\n"
                           "redis unix:/r.sock\nredispassword s3cret\n"
                           "whitelistip 192.0.2.0/24\nwhitelistip 10.0.0.1\nwhitelistip 2001:db8::/32\n"
                           "whitelistptr A\nwhitelistptr B\nwhitelistto X@Y\n");
  char* text = nullptr;
  std::size_t size = 0;
  std::FILE* out = open_memstream(&text, &size);
  settings_print(out, s);
  std::fclose(out);
  std::string listing(text, size);
  std::free(text);
  for (const char* line :
       {"publicname mx\n", "safecallback postmaster@localhost\n", "# mailstore (not set)\n",
        "user korvs\n", "syslog local5\n", "sav off\n", "ignoretempfail off\n",
        "blockignorants off\n", "frompassttl 86400\n", "fromtfailttl 300\n",
        "fromfailttl -86400\n", "topassttl 3600\n", "totfailttl 300\n", "tofailttl 3600\n",
        "catchall off\n", "catchallttl 86400\n", "calloutdeadline 600\n",
        "whitelistto x@y\n", "deadmxttl 0\n", "# calloutrate (not set)\n", "ipv6 off\n",
        "# nullmx (not set)\n", "redis unix:/r.sock\n", "redisdb 0\n",
        "redispassword (set)\n", "redisprefix korvane:\n", "redistimeout 100\n",
        "refusals any\n", "refusedttl 10800\n", "# senderdelimiter (not set)\n", "selflistingpause off\n", "logreplies off\n", "dryrun off\n",
        "socketmode 0600\n", "# pidfile (not set)\n", "logwhitelisted off\n", "policy none\n",
        "policyclients 512\n", "# policyrelay (not set)\n"}) {
    EXPECT_NE(listing.find(line), std::string::npos) << line << "in\n" << listing;
  }
  EXPECT_NE(listing.find("whitelistip 2001:db8::/32\nwhitelistip 10.0.0.1/32\nwhitelistip 192.0.2.0/24\n"),
            std::string::npos) << listing;
  EXPECT_NE(listing.find("whitelistptr B\nwhitelistptr A\n"), std::string::npos) << listing;
  EXPECT_EQ(listing.find("s3cret"), std::string::npos) << listing;
  settings_release();
}

}  // namespace
