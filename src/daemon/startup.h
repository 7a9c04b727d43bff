// The start-up, serving and shutdown sequence of the daemon.
#pragma once

// Runs the whole life of the process; the result is its exit status.
[[nodiscard]] int korvane_run(int argc, char** argv);
