// Production binding of the filter seam: each entry calls the real facility and
// does nothing else.
#include "filter/milter_seam.h"

#include "util/helpers.h"

namespace {

std::time_t clock_now() { return std::time(nullptr); }

const FilterSeam production_seam = {
    smfi_getpriv, smfi_setpriv, smfi_getsymval, smfi_setreply, sleep_seconds, clock_now,
    smfi_setsymlist,
};

const FilterSeam* current_seam = &production_seam;

}  // namespace

const FilterSeam& filter_seam() { return *current_seam; }
const FilterSeam& filter_seam_production() { return production_seam; }
void filter_seam_install(const FilterSeam* seam) {
  current_seam = seam != nullptr ? seam : &production_seam;
}
