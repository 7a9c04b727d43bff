// Callout dialogue (placeholder).
#include "smtp/probe.h"
#include "util/constants.h"
int probe_address(const char* a, const char* h) { return probe_address_with(a, h, ProbeOptions{}); }
int probe_address_with(const char*, const char*, const ProbeOptions&) { return PROBE_TEMPFAIL; }
