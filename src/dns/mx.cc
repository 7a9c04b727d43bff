// MX lookup (placeholder).
#include "dns/mx.h"
#include "util/constants.h"
int mx_lookup(const char*, char*, MxList, unsigned char*) { return -1; }
int probe_domain(const char*, const char*) { return PROBE_TEMPFAIL; }
