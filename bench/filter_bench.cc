// Extraction of the address from typical envelope arguments, as done for every
// MAIL FROM and RCPT TO.
#include <benchmark/benchmark.h>

#include "filter/address.h"

namespace {

const char* const kArguments[] = {
    "<john.smith@example.com>",
    "<bounce-7781-3f9a0c@lists.university.example.edu>",
    "<no-reply@shop.example.net> SIZE=48213 BODY=8BITMIME",
    "<m.garcia+orders@mail.example.org>",
    "<>",                  // the null sender: refused by the syntax test
    "john@example.com",    // no angle brackets
};
constexpr std::size_t kCount = sizeof kArguments / sizeof kArguments[0];

void BM_ExtractAddress(benchmark::State& state) {
  EnvelopeText dest;
  std::size_t i = 0;
  for (auto _ : state) {
    int r = extract_address(dest, kArguments[i++ % kCount]);
    benchmark::DoNotOptimize(r);
    benchmark::DoNotOptimize(dest.buf);
  }
}
BENCHMARK(BM_ExtractAddress);

}  // namespace
