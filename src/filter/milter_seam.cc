// Production binding of the filter seam: each entry calls the real facility and
// does nothing else, but for the probes, which also count as checks in flight.
#include "filter/milter_seam.h"

#include "dns/mx.h"
#include "metrics/metrics.h"
#include "smtp/probe.h"
#include "util/helpers.h"

namespace {

std::time_t clock_now() { return std::time(nullptr); }

int probe_domain_in_flight(const char* address, const char* domain) {
  const MetricsInFlight in_flight;
  return probe_domain(address, domain);
}

int probe_address_in_flight(const char* address, const char* host) {
  const MetricsInFlight in_flight;
  return probe_address(address, host);
}

const FilterSeam production_seam = {
    smfi_getpriv, smfi_setpriv, smfi_getsymval, smfi_setreply,
    probe_domain_in_flight, probe_address_in_flight, sleep_seconds, clock_now,
};

const FilterSeam* current_seam = &production_seam;

}  // namespace

const FilterSeam& filter_seam() { return *current_seam; }
const FilterSeam& filter_seam_production() { return production_seam; }
void filter_seam_install(const FilterSeam* seam) {
  current_seam = seam != nullptr ? seam : &production_seam;
}
