// The control socket's requests: one line each, read from a client that may send
// anything. A pure function of the bytes, so the table of cases and a fuzzer
// reach every path without a socket.
#pragma once

#include <cstddef>
#include <span>
#include <string>

inline constexpr std::size_t CONTROL_LINE_MAX = 512;

enum class ControlCommand { show, show_exchangers, forget, forget_domain, forget_exchanger, stats, reload, invalid };

struct ControlRequest {
  ControlCommand command = ControlCommand::invalid;
  std::string argument;  // the address or domain, A-Z lower-cased
  const char* error = nullptr;  // the reason when invalid, for "error: <reason>"
};

// line: the bytes before the line feed (a CR before it is the line's end too).
// Over CONTROL_LINE_MAX bytes, a byte below 0x20 or 0x7F, an unknown command, a
// missing or extra argument, an address without "@" or a domain with one: invalid.
[[nodiscard]] ControlRequest control_parse(std::span<const unsigned char> line);
