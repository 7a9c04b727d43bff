// What korvane asks of the MTA when a milter connection opens: none of the steps
// it has no callback for, no wait for a reply that could only be "continue", and
// only the macros it reads.
#pragma once

#include <libmilter/mfapi.h>

struct MilterOptions {
  unsigned long actions;  // SMFIF_* rights asked for
  unsigned long steps;    // SMFIP_* protocol options asked for
};

// The macros the callbacks read, per stage (a libmilter SMFIM_* index), as
// space-separated names. An MTA that takes the lists sends no other macro, so a
// macro a callback starts to read must be added here. A macro is found in any
// earlier stage too, so {if_addr} is asked for at connect and {verify} at HELO,
// where MTAs define them, as well as at MAIL.
struct StageMacros {
  int stage;
  const char* names;
};
inline constexpr StageMacros wanted_macros[] = {
    {SMFIM_CONNECT, "{if_addr}"},
    {SMFIM_HELO, "{verify}"},  // the HELO step is not sent, its macros are
    {SMFIM_ENVFROM, "{if_addr} {auth_authen} {verify}"},
    {SMFIM_ENVRCPT, "{rcpt_mailer} {rcpt_host} {rcpt_addr} i"},
    {SMFIM_EOH, "i"},
    {SMFIM_EOM, "i"},  // nothing is read there; the shortest list that is not empty
};

// A pure function of what the MTA offers: asks only for options the MTA offers
// (libmilter refuses the connection otherwise) and no right to change a message;
// the one action asked for is SMFIF_SETSYMLIST, when offered, for wanted_macros.
[[nodiscard]] MilterOptions negotiate_options(unsigned long offered_actions,
                                              unsigned long offered_steps);
