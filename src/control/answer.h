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

// The whole answer, every line ending in LF.
[[nodiscard]] std::string control_answer(const ControlRequest& request);
// One entry as "<kind> <status> <seconds left> <tier>", e.g. "sender pass 3541 memory".
[[nodiscard]] std::string control_holding_line(const CacheHolding& h);
