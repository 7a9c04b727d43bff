// The steps of the daemon's start-up that can be tried on their own: the command
// line, the stale socket, the socket's directory, the change of account,
// registration, the socket, the PID file and the -t check.
// Each failure is written to standard error; none touches syslog. A step's
// int result is 0 on success, else the sysexits.h status the process ends with.
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

// Removes the file of a "unix:" or "local:" specification, unless a daemon
// answers on it: then EX_UNAVAILABLE with "korvane: another instance is serving
// on <path>", and the file stays. A failed removal is no error.
[[nodiscard]] int remove_stale_socket(const char* spec);

// Takes on the account's groups, group and user id: EX_NOUSER for a missing
// account, EX_NOPERM for a refused group or user change.
[[nodiscard]] int drop_privileges(const char* user);

// Makes the missing directory of a "unix:" or "local:" socket (its parent must
// exist), passable by whoever socket_mode lets connect, owned by the account
// when run as root: EX_CANTCREAT when it cannot.
[[nodiscard]] int make_socket_directory(const char* spec, const char* user, int socket_mode);

// Binds the registered socket now (smfi_opensocket), so that a failure comes
// before detaching, and gives a unix socket socket_mode: EX_CANTCREAT with
// "korvane: cannot listen on <spec>: <reason>".
[[nodiscard]] int open_milter_socket(const char* spec, int socket_mode);

// A PID file naming a running korvane: EX_UNAVAILABLE with "korvane: another
// instance (pid N) holds <path>". Any other (stale) file is removed.
[[nodiscard]] int check_pidfile(const char* path);

// Writes this process's PID, mode 0644: EX_CANTCREAT when it cannot.
[[nodiscard]] int write_pidfile(const char* path);

// smfi_setconn (EX_CONFIG when refused) and smfi_register (EX_SOFTWARE) with
// the filter's descriptor.
[[nodiscard]] int register_filter(const char* spec);

// Settings cleared, pattern compiled, defaults, configuration file; false when the
// pattern cannot be compiled (reported).
[[nodiscard]] bool build_settings(const char* config_file);

// The -t mode: 0 with the settings on standard output, or 1 with one line per
// ignored line (or the load warning) on standard error.
[[nodiscard]] int check_config(const char* config_file);

// The password key (redispassword, else redissentinelpassword) set in a file that
// its group or anyone may read, or nullptr.
[[nodiscard]] const char* password_exposed(const char* config_file);

// Opens the metrics endpoint when the "metrics" setting asks for one: 0, or
// EX_UNAVAILABLE (the reason logged) when it cannot listen there.
[[nodiscard]] int open_metrics();
