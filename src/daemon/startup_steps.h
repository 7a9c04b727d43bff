// The steps of the daemon's start-up that can be tried on their own: the command
// line, the stale socket, the change of account, registration and the -t check.
// Each failure is written to standard error; none touches syslog.
#pragma once

struct CommandLine {
  const char* config_file = nullptr;  // points into argv or at the built-in default
  bool help = false;
  bool foreground = false;  // -f: no detaching, log lines copied to standard error
  bool check = false;       // -t: print the effective settings and exit
};

// getopt with "hc:ft", stopping at the first non-option (hence the leading "+",
// which keeps glibc from permuting); stops at -h. Unknown options draw getopt's diagnostic.
[[nodiscard]] CommandLine parse_command_line(int argc, char** argv);

// Removes the file of a "unix:" or "local:" specification; the result is ignored.
void remove_stale_socket(const char* spec);

// Takes on the account's groups, group and user id; false after a reported failure.
[[nodiscard]] bool drop_privileges(const char* user);

// smfi_setconn and smfi_register with the filter's descriptor.
[[nodiscard]] bool register_filter(const char* spec);

// Settings cleared, pattern compiled, defaults, configuration file; false when the
// pattern cannot be compiled (reported).
[[nodiscard]] bool build_settings(const char* config_file);

// The -t mode: 0 with the settings on standard output, or 1 with one line per
// ignored line (or the load warning) on standard error.
[[nodiscard]] int check_config(const char* config_file);

// Opens the metrics endpoint when the "metrics" setting asks for one; false
// (the reason logged) when it cannot listen there.
[[nodiscard]] bool open_metrics();
