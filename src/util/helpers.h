// Small helpers shared across subsystems: the address-text hash, the pause,
// elapsed-time text, ASCII lower-casing and the dotted-quad literal pattern.
#pragma once

#include <cstdint>
#include <ctime>
#include <regex.h>

#include "util/bounded_text.h"

// One-at-a-time hash in unsigned 64-bit arithmetic; "" gives 0.
[[nodiscard]] std::uint64_t hash_string(const char* text);

// Pauses the calling thread for n seconds; an interrupted wait starts over.
void sleep_seconds(int n);

// Writes end - start as "%02d:%02d:%02d" into out (10 bytes).
void format_elapsed(std::time_t start, std::time_t end, char out[10]);

// Lower-cases the ASCII upper-case letters; bytes of 128 and above stay.
void lowercase_in_place(char* text);

// "^[0-9]{1,3}[.][0-9]{1,3}[.][0-9]{1,3}[.][0-9]{1,3}[.]?$", compiled once at
// start-up before any thread exists and only matched afterwards.
extern regex_t ipv4_literal_pattern;
// Compiles the pattern (idempotent); false when regcomp fails.
bool ipv4_literal_pattern_compile();
// True when text is a dotted-quad literal with at most one trailing dot.
[[nodiscard]] bool ipv4_literal_match(const char* text);
