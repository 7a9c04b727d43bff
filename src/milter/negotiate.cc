// The protocol options korvane negotiates. The MTA sends only the envelope and
// end of headers; the connect step, whose answer is always "continue", goes
// unanswered. MAIL, RCPT and end of headers can refuse or accept, so each of
// them still waits for korvane's reply; end of message has no option to drop it.
// The macro lists keep the MTA from sending, and libmilter from decoding and
// searching, the dozen or so macros per message that korvane never reads.
#include "milter/negotiate.h"

#include <libmilter/mfapi.h>

namespace {

constexpr unsigned long unused_steps =
    SMFIP_NOHELO | SMFIP_NOHDRS | SMFIP_NOBODY | SMFIP_NOUNKNOWN | SMFIP_NODATA;
// milter_connect only records the client; a context it cannot make leaves the
// connection unfiltered just as well, since every later step then passes.
constexpr unsigned long unanswered_steps = SMFIP_NR_CONN;

}  // namespace

MilterOptions negotiate_options(unsigned long offered_actions, unsigned long offered_steps) {
  return {offered_actions & SMFIF_SETSYMLIST, offered_steps & (unused_steps | unanswered_steps)};
}
