// Reading MX replies into the ordered exchanger list: a typical two-record
// reply, a full fifteen-record reply with compressed names, and one with no MX.
#include <benchmark/benchmark.h>

#include <string>

#include "dns/mx_reply.h"
#include "dns/packet_builder.h"

namespace {

PacketBuilder reply_with(int records) {
  PacketBuilder p;
  p.header(1, static_cast<unsigned>(records)).question("example.com");
  for (int i = 0; i < records; ++i)
    p.mx(static_cast<unsigned>(10 * (records - i)), "mx" + std::to_string(i) + ".example.com");
  return p;
}

void read_reply(benchmark::State& state, const PacketBuilder& p) {
  static char names[MX_NAMES_SIZE];
  MxList list;
  for (auto _ : state) {
    int n = mx_read_reply(p.bytes.data(), p.bytes.size(), "example.com", names, list);
    benchmark::DoNotOptimize(n);
    benchmark::DoNotOptimize(names);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * p.bytes.size()));
}

void BM_MxReplyTwo(benchmark::State& state) { read_reply(state, reply_with(2)); }
void BM_MxReplyFifteen(benchmark::State& state) { read_reply(state, reply_with(MX_MAX)); }
void BM_MxReplyNone(benchmark::State& state) { read_reply(state, reply_with(0)); }

BENCHMARK(BM_MxReplyTwo);
BENCHMARK(BM_MxReplyFifteen);
BENCHMARK(BM_MxReplyNone);

}  // namespace
