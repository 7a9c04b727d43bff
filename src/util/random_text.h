// Unpredictable text for the callout's catch-all test: a local part no real
// mailbox has and no outsider can guess, drawn from the kernel's random source.
#pragma once

#include <cstddef>

// Letters a-z and digits 2-7: 32 symbols, so each random byte gives one without bias.
inline constexpr std::size_t RANDOM_LOCAL_PART_LENGTH = 24;

// Writes RANDOM_LOCAL_PART_LENGTH symbols and a terminator into out (size must
// exceed the length). False when getrandom(2) gives no bytes; out is then empty.
[[nodiscard]] bool random_local_part(char* out, std::size_t size);
