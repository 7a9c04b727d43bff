// Production binding of the filter seam: each entry calls the real facility and
// does nothing else, but for the probes, which also count as checks in flight.
#include "filter/milter_seam.h"

#include "dns/mx.h"
#include "dns/exchanger_probe.h"
#include "metrics/metrics.h"
#include "util/helpers.h"

namespace {

std::time_t clock_now() { return std::time(nullptr); }

template <int (*probe)(const char*, const char*, ProbeReplyText*)>
int in_flight(const char* address, const char* where, ProbeReplyText* reply) {
  const MetricsInFlight counted;
  return probe(address, where, reply);
}

const FilterSeam production_seam = {
    smfi_getpriv, smfi_setpriv, smfi_getsymval, smfi_setreply,
    in_flight<probe_domain>, in_flight<probe_host>, in_flight<probe_sender_domain>, sleep_seconds,
    clock_now, smfi_setsymlist,
};

const FilterSeam* current_seam = &production_seam;

}  // namespace

const FilterSeam& filter_seam() { return *current_seam; }
const FilterSeam& filter_seam_production() { return production_seam; }
void filter_seam_install(const FilterSeam* seam) {
  current_seam = seam != nullptr ? seam : &production_seam;
}
