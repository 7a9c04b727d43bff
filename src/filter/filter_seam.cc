// Production binding of the filter seam: each entry calls the real facility and
// does nothing else.
#include "filter/filter_seam.h"

#include "util/helpers.h"

namespace {

std::time_t clock_now() { return std::time(nullptr); }

const FilterSeam production_seam = {sleep_seconds, clock_now};

const FilterSeam* current_seam = &production_seam;

}  // namespace

const FilterSeam& filter_seam() { return *current_seam; }
void filter_seam_install(const FilterSeam* seam) {
  current_seam = seam != nullptr ? seam : &production_seam;
}
