// Angle-address syntax check and extraction of an envelope argument. The raw
// text is untrusted: it is read through a view with explicit bounds only.
#pragma once

#include <string_view>

#include "filter/context.h"

// 1 when raw holds "<...>" with at least two bytes between the first "<" and the
// last ">", no control or space byte at either edge of that content, an "@" in
// it and no CR or LF anywhere in raw; 0 otherwise. Once both brackets are found
// in order the content is written to dest, whatever the later tests say.
[[nodiscard]] int extract_address(EnvelopeText& dest, const char* raw);

// True when text holds a CR or an LF: such an address would break the SMTP
// commands it is later written into.
[[nodiscard]] bool has_line_break(std::string_view text);

// True for the null reverse path: "<>" alone or followed by blanks (and the
// ESMTP parameters an MTA may leave in the argument), after optional leading
// blanks. "<>" inside an address, such as a quoted local part, is not it.
[[nodiscard]] bool is_null_sender(std::string_view raw);

// The cache key of a lower-cased sender: what only labels one message is left
// out, so every message of one mailbox shares one verdict. A BATV tag
// ("prvs=TAG=local@domain", "msprvs1=TAG=local@domain") goes, then, when
// delimiters is not empty, the local part from the first of those bytes. A
// quoted local part, one without "@" after it, and one that would be left
// empty are kept as they came.
void sender_key(std::string_view sender, std::string_view delimiters, EnvelopeText& key);
