// Reading of an MX query's reply into an ordered list of exchanger names: a pure
// function of the reply bytes (no resolver, no log, no globals). The reply is
// untrusted; every read is bounded by the usable length.
#pragma once

#include <cstddef>
#include <cstdint>

#include "dns/mx.h"

// Gathers up to MX_MAX exchangers from the reply's answer records into names
// (MX_NAMES_SIZE bytes) and list, in probing order, and returns their count.
// When the reply holds no usable MX record, the domain itself (without a
// trailing dot) is the one exchanger. Never returns less than 1. null_mx (if
// given) tells whether the answer held exactly one MX record, of preference 0
// and with the root as exchange.
[[nodiscard]] int mx_read_reply(const unsigned char* reply, std::size_t usable, const char* domain,
                                char* names, MxList list, bool* null_mx = nullptr);

// The domain itself, cut to fit and without a dot, as the one exchanger; returns 1.
int mx_fallback(const char* domain, char* names, MxList list);

// Orders count entries ascending by preference, then weight; the three arrays
// are exchanged together. A plain exchange sort: equal entries may change order.
void mx_sort(MxList list, std::uint16_t* preference, int* weight, int count);
