// The control request parser: command word, at most one argument, and the checks
// that keep a bad line from reaching the cache.
#include "control/request.h"

#include <string_view>

#include "util/byte_cursor.h"

namespace {

struct CommandWord {
  std::string_view word;
  ControlCommand command;
  enum Argument { none, address, domain, either, exchanger } argument;
};

constexpr CommandWord COMMANDS[] = {
    // show DOMAIN shows only the domain's marks.
    {"show", ControlCommand::show, CommandWord::either},
    {"forget", ControlCommand::forget, CommandWord::address},
    {"forget-domain", ControlCommand::forget_domain, CommandWord::domain},
    {"forget-exchanger", ControlCommand::forget_exchanger, CommandWord::exchanger},
    {"stats", ControlCommand::stats, CommandWord::none},
    {"reload", ControlCommand::reload, CommandWord::none},
};

ControlRequest refused(const char* reason) { return {ControlCommand::invalid, {}, reason}; }

}  // namespace

ControlRequest control_parse(std::span<const unsigned char> line) {
  if (!line.empty() && line.back() == '\r') line = line.first(line.size() - 1);
  if (line.size() > CONTROL_LINE_MAX) return refused("line too long");
  ByteCursor c(line.data(), line.size());
  std::string words[2];
  int count = 0;
  bool in_word = false;
  while (!c.at_end()) {
    const std::uint8_t b = c.u8();
    if (b < 0x20 || b == 0x7f) return refused("control character in line");
    if (b == ' ') {
      in_word = false;
      continue;
    }
    if (!in_word) {
      if (count == 2) return refused("too many words");
      ++count;
      in_word = true;
    }
    words[count - 1] += static_cast<char>(b >= 'A' && b <= 'Z' ? b + ('a' - 'A') : b);
  }
  if (count == 0) return refused("empty line");
  const CommandWord* found = nullptr;
  for (const CommandWord& w : COMMANDS)
    if (w.word == words[0]) found = &w;
  if (found == nullptr) return refused("unknown command");
  const std::string& arg = words[1];
  switch (found->argument) {
    case CommandWord::none:
      if (count > 1) return refused("no argument expected");
      break;
    case CommandWord::address:
      if (count < 2) return refused("address expected");
      if (arg.find('@') == std::string::npos) return refused("address without @");
      break;
    case CommandWord::either:
      // "show" alone lists the exchangers marked as refusing probes.
      if (count < 2) return {ControlCommand::show_exchangers, {}, nullptr};
      break;
    case CommandWord::domain:
      if (count < 2) return refused("domain expected");
      if (arg.find('@') != std::string::npos) return refused("domain with @");
      break;
    case CommandWord::exchanger:
      if (count < 2) return refused("exchanger address expected");
      if (arg.find_first_not_of("0123456789abcdef.:") != std::string::npos)
        return refused("exchanger address is not an IP address");
      break;
  }
  return {found->command, arg, nullptr};
}
