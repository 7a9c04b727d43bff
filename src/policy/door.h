// The policy door's translation: one request to the filter's decision and the
// answer Postfix reads. The state of one message (its client and envelope, and
// whether it already passed or was refused) is kept by its instance between
// requests, at most POLICY_MESSAGES of them, each for POLICY_MESSAGE_SECONDS.
#pragma once

#include <cstddef>
#include <string>

#include "filter/filter_seam.h"
#include "policy/request.h"

struct Settings;

inline constexpr std::size_t POLICY_MESSAGES = 16384;
inline constexpr int POLICY_MESSAGE_SECONDS = 600;

// "action=...\n\n": a reply of the filter's ("550 5.1.8 text"), or DUNNO for
// whatever passes. Never OK, which would skip the restrictions after this one.
// RCPT: the sender's syntax and trusted client once per message, then the
// recipient; DATA: the sender check, and the message's state freed; any other
// state DUNNO.
[[nodiscard]] std::string policy_answer(const PolicyRequest& r, const Settings& s,
                                        const FilterSeam& seam);

// Tests only: every message's state dropped.
void policy_messages_clear();
