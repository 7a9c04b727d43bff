// What the control socket answers: each request carried out against the cache
// tiers, as lines of text ending with "." (or one "error: " line).
#pragma once

#include <string>

#include "cache/cache.h"
#include "control/request.h"

// What a reload request runs: the daemon's reload, giving "" or the reason it
// changed nothing. Set before the control socket serves; none: reload is refused.
using ControlReload = std::string (*)();
void control_set_reload(ControlReload reload);

// The exchanger memory lies beside the cache, out of this subsystem's reach:
// the daemon hands over its listing ("exchanger ADDR refusing SECONDS" lines)
// and its forgetting (true when the address was marked).
struct ControlExchangerHooks {
  std::string (*list_refusing)() = nullptr;
  bool (*forget_refusing)(const char* addr) = nullptr;
};
void control_set_exchanger_hooks(const ControlExchangerHooks& hooks);

// The key a sender's verdict is kept under (its base, without a BATV tag or what
// follows senderdelimiter): the filter's rule, handed over by the daemon, so that
// a tagged address is shown and forgotten with the entry that answers for it.
using ControlSenderKey = std::string (*)(const std::string& address);
void control_set_sender_key(ControlSenderKey key);

// The whole answer, every line ending in LF.
[[nodiscard]] std::string control_answer(const ControlRequest& request);
// One entry as "<kind> <status> <seconds left> <tier>", e.g. "sender pass 3541 memory".
[[nodiscard]] std::string control_holding_line(const CacheHolding& h);
