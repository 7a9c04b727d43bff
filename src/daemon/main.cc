// Entry point of the korvane daemon.
#include "daemon/startup.h"

int main(int argc, char** argv) { return korvane_run(argc, argv); }
