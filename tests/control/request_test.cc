// The control request parser as a table of lines and what each becomes, and the
// entry line format korvanectl prints.
#include "control/request.h"

#include <gtest/gtest.h>

#include <string>

#include "control/answer.h"
#include "util/constants.h"

namespace {

ControlRequest parse(const std::string& line) {
  return control_parse({reinterpret_cast<const unsigned char*>(line.data()), line.size()});
}

TEST(ControlRequest, LinesAndWhatTheyBecome) {
  const struct { std::string line; ControlCommand command; std::string argument; const char* error; } cases[] = {
      {"show Alice@Good.Test", ControlCommand::show, "alice@good.test", nullptr},
      {"SHOW a@b\r", ControlCommand::show, "a@b", nullptr},
      {"  forget   a@b  ", ControlCommand::forget, "a@b", nullptr},
      {"forget-domain Catchall.TEST", ControlCommand::forget_domain, "catchall.test", nullptr},
      {"stats", ControlCommand::stats, "", nullptr},
      {"reload", ControlCommand::reload, "", nullptr},
      {"", ControlCommand::invalid, "", "empty line"},
      {"flush", ControlCommand::invalid, "", "unknown command"},
      {"show", ControlCommand::show_exchangers, "", nullptr},
      {"forget-exchanger 2001:DB8::25", ControlCommand::forget_exchanger, "2001:db8::25", nullptr},
      {"forget-exchanger mx.example", ControlCommand::invalid, "", "exchanger address is not an IP address"},
      {"show Ab.Test", ControlCommand::show, "ab.test", nullptr},
      {"forget ab", ControlCommand::invalid, "", "address without @"},
      {"forget a@b c@d", ControlCommand::invalid, "", "too many words"},
      {"forget-domain a@b", ControlCommand::invalid, "", "domain with @"},
      {"stats now", ControlCommand::invalid, "", "no argument expected"},
      {"reload now", ControlCommand::invalid, "", "no argument expected"},
      {"show a\tb@c", ControlCommand::invalid, "", "control character in line"},
      {std::string("show a\0b@c", 10), ControlCommand::invalid, "", "control character in line"},
      {"show a\x7f@c", ControlCommand::invalid, "", "control character in line"},
      {"show a\r\n@c", ControlCommand::invalid, "", "control character in line"},
      {"show " + std::string(506, 'a') + "@b", ControlCommand::invalid, "", "line too long"},
      {"show " + std::string(506, 'a') + "@\r", ControlCommand::show, std::string(506, 'a') + "@", nullptr},
  };
  for (const auto& c : cases) {
    const ControlRequest r = parse(c.line);
    EXPECT_EQ(r.command, c.command) << c.line;
    EXPECT_STREQ(r.error != nullptr ? r.error : "", c.error != nullptr ? c.error : "") << c.line;
    EXPECT_EQ(r.argument, c.argument) << c.line;
  }
}

TEST(ControlRequest, EntryLines) {
  EXPECT_EQ(control_holding_line({CACHE_SENDER, SENDER_PASS, 3541, false}), "sender pass 3541 memory");
  EXPECT_EQ(control_holding_line({CACHE_RECIPIENT, RCPT_TEMPFAIL, 9, true}), "recipient tempfail 9 shared");
  EXPECT_EQ(control_holding_line({CACHE_SENDER_CATCHALL, CATCHALL_DOMAIN, 60, false}),
            "sender-catch-all catchall 60 memory");
  EXPECT_EQ(control_holding_line({CACHE_SENDER_REFUSING, REFUSING_DOMAIN, 7, true}),
            "sender-refusing refusing 7 shared");
  EXPECT_EQ(control_answer(parse("forget ab")), "error: address without @\n");
}

}  // namespace
