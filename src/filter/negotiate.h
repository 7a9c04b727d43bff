// What korvane asks of the MTA when a milter connection opens: none of the steps
// it has no callback for, and no wait for a reply that could only be "continue".
#pragma once

struct MilterOptions {
  unsigned long actions;  // SMFIF_* rights asked for
  unsigned long steps;    // SMFIP_* protocol options asked for
};

// A pure function of what the MTA offers: asks only for options the MTA offers
// (libmilter refuses the connection otherwise) and never for a change right.
[[nodiscard]] MilterOptions negotiate_options(unsigned long offered_actions,
                                              unsigned long offered_steps);
