// libFuzzer target for the control socket's request parser: any bytes as one
// line; a request taken must hold only printable bytes, within the line's bound;
// "forget" takes only an address, "forget-domain" only a domain ("show" takes either).
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "control/request.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const ControlRequest r = control_parse({data, size});
  if ((r.command == ControlCommand::invalid) != (r.error != nullptr)) std::abort();
  if (r.argument.size() > CONTROL_LINE_MAX) std::abort();
  for (const char c : r.argument)
    if (static_cast<unsigned char>(c) < 0x21 || c == 0x7f || (c >= 'A' && c <= 'Z')) std::abort();
  const bool at = r.argument.find('@') != std::string::npos;
  if (r.command == ControlCommand::forget && !at) std::abort();
  if (r.command == ControlCommand::forget_domain && at) std::abort();
  return 0;
}
