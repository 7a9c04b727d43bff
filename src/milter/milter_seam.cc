// Production binding of the milter seam: each entry is the libmilter call itself.
#include "milter/milter_seam.h"

namespace {

const MilterSeam production_seam = {smfi_getpriv, smfi_setpriv, smfi_getsymval, smfi_setreply,
                                    smfi_setsymlist};

const MilterSeam* current_seam = &production_seam;

}  // namespace

const MilterSeam& milter_seam() { return *current_seam; }
void milter_seam_install(const MilterSeam* seam) {
  current_seam = seam != nullptr ? seam : &production_seam;
}
