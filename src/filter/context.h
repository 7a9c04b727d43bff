// The per-connection record that carries one SMTP connection's client and
// envelope from callback to callback; owned by the milter library's handle.
#pragma once

#include <cstddef>
#include <cstdint>

#include "util/bounded_text.h"

// An SMTP path may be 256 octets; the envelope fields leave room for that and
// for a quoted local part, and still cut anything longer at the bound.
inline constexpr std::size_t ENVELOPE_FIELD_SIZE = 512;
using EnvelopeText = BoundedText<ENVELOPE_FIELD_SIZE>;

struct ConnectionContext {
  BoundedText<64> client_addr;
  BoundedText<128> client_name;
  EnvelopeText sender_raw;
  EnvelopeText sender;
  EnvelopeText recipient_raw;
  EnvelopeText recipient;
  std::int32_t failed_recipients = 0;
};
