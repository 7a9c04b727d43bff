// libFuzzer target for the policy door's request reader: any bytes as one
// request; what it takes must lie inside the input, and a request it takes
// holds no NUL and stays within its bound.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "policy/request.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const PolicyRequest r = policy_parse({data, size});
  if (r.error != nullptr) return 0;
  if (size > POLICY_REQUEST_MAX || std::memchr(data, 0, size) != nullptr) std::abort();
  const auto* begin = reinterpret_cast<const char*>(data);
  for (std::string_view v : {r.client_address, r.client_name, r.sasl_username, r.ccert_fingerprint,
                             r.server_address, r.sender, r.recipient, r.queue_id, r.instance}) {
    if (v.empty()) continue;
    if (v.data() < begin || v.data() + v.size() > begin + size) std::abort();
    if (v.find('\n') != std::string_view::npos) std::abort();
  }
  return 0;
}
