// Realistic envelope addresses for the benchmarks: varied local parts and
// domains of typical lengths, distinct for every index.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

inline std::string sample_address(std::size_t i) {
  static const char* const locals[] = {"john.smith", "newsletter", "no-reply", "m.garcia",
                                       "support", "bounce-7781", "alice", "billing.dept"};
  static const char* const domains[] = {"example.com", "mail.example.org", "shop.example.net",
                                        "lists.university.example.edu", "example.co.uk"};
  constexpr std::size_t nl = sizeof locals / sizeof locals[0];
  constexpr std::size_t nd = sizeof domains / sizeof domains[0];
  return std::string(locals[i % nl]) + std::to_string(i / nl) + "@" + domains[(i / 3) % nd];
}

inline std::vector<std::string> sample_addresses(std::size_t n, std::size_t first = 0) {
  std::vector<std::string> out;
  out.reserve(n);
  for (std::size_t i = 0; i < n; ++i) out.push_back(sample_address(first + i));
  return out;
}
