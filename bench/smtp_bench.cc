// Assembly of SMTP replies and reading of their code: a one-line reply, a
// multi-line reply in one receive, and the same reply arriving a line per receive.
#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "smtp/reply.h"

namespace {

const std::vector<std::string> kOneLine = {"250 2.1.5 Ok\r\n"};
const std::vector<std::string> kMultiLine = {
    "250-mx.example.com Hello\r\n250-PIPELINING\r\n250-SIZE 52428800\r\n"
    "250-ETRN\r\n250-STARTTLS\r\n250-ENHANCEDSTATUSCODES\r\n250-8BITMIME\r\n"
    "250 SMTPUTF8\r\n"};
const std::vector<std::string> kLinePerReceive = {
    "550-5.1.1 The email account that you tried to reach does not exist.\r\n",
    "550-5.1.1 Please try double-checking the recipient's email address\r\n",
    "550-5.1.1 for typos or unnecessary spaces.\r\n",
    "550 5.1.1 Learn more at the postmaster page.\r\n"};

void assemble(benchmark::State& state, const std::vector<std::string>& pieces) {
  // Zero-filled once; each assembler starts its text at the buffer's head.
  static char buffer[SMTP_REPLY_BUFFER] = {};
  std::size_t bytes = 0;
  for (auto _ : state) {
    SmtpReplyAssembler a(buffer, 64 * 1024);
    for (const auto& p : pieces) {
      a.feed(p.data(), p.size());
      bytes += p.size();
    }
    benchmark::DoNotOptimize(a.code());
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(bytes));
}

void BM_SmtpReplyOneLine(benchmark::State& state) { assemble(state, kOneLine); }
void BM_SmtpReplyMultiLine(benchmark::State& state) { assemble(state, kMultiLine); }
void BM_SmtpReplyLinePerReceive(benchmark::State& state) { assemble(state, kLinePerReceive); }

BENCHMARK(BM_SmtpReplyOneLine);
BENCHMARK(BM_SmtpReplyMultiLine);
BENCHMARK(BM_SmtpReplyLinePerReceive);

}  // namespace
