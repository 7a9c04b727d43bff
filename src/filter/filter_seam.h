// The filter's one seam to the world outside its decisions: the pause and the
// clock (the walks have the engine's own). Production binds sleep_seconds and
// time; tests install stand-ins so that no wait is used.
#pragma once

#include <ctime>

struct FilterSeam {
  void (*sleep_seconds)(int n);
  std::time_t (*now)();
};

// The binding in use; the production one unless a test installed another.
[[nodiscard]] const FilterSeam& filter_seam();
// Tests only, before any decision runs; nullptr restores production.
void filter_seam_install(const FilterSeam* seam);
