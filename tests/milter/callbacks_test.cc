// The milter door itself: the client recorded at connect, callbacks that find
// no context, and the options negotiated with the MTA.
#include <arpa/inet.h>
#include <netinet/in.h>

#include <string>

#include "milter/fake_milter.h"
#include "milter/negotiate.h"

TEST_F(FilterTest, ConnectNameClearing) {
  struct Case {
    const char* label;
    int family;
    const char* addr;
    const char* hostname;
    const char* want_addr;
    const char* want_name;
  } cases[] = {
      {"IPv4 bracketed address", AF_INET, "192.0.2.7", "[192.0.2.7]", "192.0.2.7", ""},
      {"IPv4 real name", AF_INET, "192.0.2.7", "mx.example.test", "192.0.2.7", "mx.example.test"},
      {"any first byte then the address", AF_INET, "192.0.2.7", "x192.0.2.7.example", "192.0.2.7",
       ""},
      {"address at the very start is kept", AF_INET, "192.0.2.7", "192.0.2.7", "192.0.2.7",
       "192.0.2.7"},
      {"other address in brackets", AF_INET, "192.0.2.7", "[192.0.2.70]", "192.0.2.7", ""},
      {"shorter address in brackets", AF_INET, "192.0.2.70", "[192.0.2.7]", "192.0.2.70",
       "[192.0.2.7]"},
      {"IPv6 tagged form keeps its name", AF_INET6, "2001:db8::1", "[IPv6:2001:db8::1]",
       "2001:db8::1", "[IPv6:2001:db8::1]"},
      {"empty name", AF_INET, "192.0.2.7", "", "192.0.2.7", ""},
      {"localhost", AF_INET, "127.0.0.1", "localhost", "127.0.0.1", "localhost"},
      {"other family", AF_UNIX, nullptr, "[undefined]", "undefined", ""},
      {"no socket address", 0, nullptr, "client", "undefined", "client"},
  };
  for (const auto& k : cases) {
    fake.priv = nullptr;
    sockaddr_storage ss{};
    sockaddr* sa = reinterpret_cast<sockaddr*>(&ss);
    ss.ss_family = static_cast<sa_family_t>(k.family);
    if (k.family == AF_INET)
      inet_pton(AF_INET, k.addr, &reinterpret_cast<sockaddr_in*>(sa)->sin_addr);
    if (k.family == AF_INET6)
      inet_pton(AF_INET6, k.addr, &reinterpret_cast<sockaddr_in6*>(sa)->sin6_addr);
    std::string host = k.hostname;
    EXPECT_EQ(milter_connect(fake_ctx(), host.data(), k.family == 0 ? nullptr : sa), SMFIS_NOREPLY)
        << k.label;
    auto* c = static_cast<ConnectionContext*>(fake.priv);
    ASSERT_NE(c, nullptr) << k.label;
    EXPECT_STREQ(c->client_addr.c_str(), k.want_addr) << k.label;
    EXPECT_STREQ(c->client_name.c_str(), k.want_name) << k.label;
    EXPECT_EQ(c->failed_recipients, 0) << k.label;
    EXPECT_EQ(milter_close(fake_ctx()), SMFIS_CONTINUE) << k.label;
    EXPECT_EQ(fake.priv, nullptr) << k.label;
  }
  EXPECT_TRUE(fake.lines.empty());
}

TEST_F(FilterTest, ConnectCutsAnOverlongName) {
  fake.priv = nullptr;
  std::string host(300, 'h');
  ASSERT_EQ(milter_connect(fake_ctx(), host.data(), nullptr), SMFIS_NOREPLY);
  auto* c = static_cast<ConnectionContext*>(fake.priv);
  EXPECT_EQ(c->client_name.size(), 127u);
  EXPECT_EQ(milter_close(fake_ctx()), SMFIS_CONTINUE);
  // A second close finds no context and does nothing.
  EXPECT_EQ(milter_close(fake_ctx()), SMFIS_CONTINUE);
}

TEST_F(FilterTest, CallbacksWithoutContextPassThrough) {
  fake.priv = nullptr;
  std::string arg = "bad";
  char* argv[] = {arg.data(), nullptr};
  EXPECT_EQ(milter_envfrom(fake_ctx(), argv), SMFIS_CONTINUE);
  EXPECT_EQ(milter_envrcpt(fake_ctx(), argv), SMFIS_CONTINUE);
  EXPECT_EQ(milter_eoh(fake_ctx()), SMFIS_CONTINUE);
  EXPECT_TRUE(fake.replies.empty());
}

TEST(NegotiateOptions, OnlyWhatKorvaneUsesAndNoChangeRights) {
  constexpr unsigned long asked = SMFIP_NOHELO | SMFIP_NOHDRS | SMFIP_NOBODY | SMFIP_NOUNKNOWN |
                                  SMFIP_NODATA | SMFIP_NR_CONN;
  const struct {
    const char* label;
    unsigned long offered_actions, offered_steps, want_actions, want_steps;
  } cases[] = {
      {"everything offered (Postfix 3.7)", 0x1ffUL, 0x001fffffUL, SMFIF_SETSYMLIST, asked},
      {"an MTA without no-reply steps or macro lists", 0xffUL, 0x3ffUL, 0, asked & ~SMFIP_NR_CONN},
      {"nothing offered", 0, 0, 0, 0},
  };
  for (const auto& k : cases) {
    const MilterOptions o = negotiate_options(k.offered_actions, k.offered_steps);
    EXPECT_EQ(o.steps, k.want_steps) << k.label;
    EXPECT_EQ(o.actions, k.want_actions) << k.label;
  }
}
