// Start-up sequence (placeholder).
#include "daemon/startup.h"
int korvane_run(int, char**) { return 0; }
