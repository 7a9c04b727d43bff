// korvanectl, the postmaster's tool beside the daemon: a sender verification run
// now in the foreground with its dialogue printed, and the client of the running
// daemon's control socket (show, forget, forget-domain, forget-exchanger, stats, reload).
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sysexits.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>

#include "dns/mx.h"
#include "settings/settings.h"
#include "util/constants.h"
#include "util/helpers.h"
#include "util/log.h"
#include "verify/engine.h"

namespace {

// A verdict's exit status: what a script around a probe tells apart.
constexpr int EXIT_PASS = 0;
constexpr int EXIT_REFUSED = 1;
constexpr int EXIT_TEMPORARY = 2;
// How long the daemon may take over one control request: its longest, a forget
// with the shared tier, is bounded by a few redistimeouts.
constexpr int CONTROL_WAIT_MS = 10000;

int usage() {
  std::fprintf(stderr,
               "usage: korvanectl [-c CONF] probe ADDRESS\n"
               "       korvanectl [-c CONF] show ADDRESS | DOMAIN\n"
               "       korvanectl [-c CONF] forget ADDRESS\n"
               "       korvanectl [-c CONF] show\n"
               "       korvanectl [-c CONF] forget-domain DOMAIN\n"
               "       korvanectl [-c CONF] forget-exchanger ADDRESS\n"
               "       korvanectl [-c CONF] stats\n"
               "       korvanectl [-c CONF] reload\n");
  return EX_USAGE;
}

// Untrusted bytes as one printable line: controls come out as \xHH.
std::string printable(std::string_view text) {
  std::string out;
  for (const char ch : text.substr(0, 1000)) {
    const auto b = static_cast<unsigned char>(ch);
    if (b >= 0x20 && b != 0x7f) {
      out += ch;
      continue;
    }
    char hex[5];
    std::snprintf(hex, sizeof hex, "\\x%02X", b);
    out += hex;
  }
  return out;
}

// Prints the dialogue as it goes: "-> " for each line sent, "<- " for each line
// received (pieces joined up to their line feed), notes as they are.
class DialoguePrinter final : public SmtpObserver {
 public:
  void sent(std::string_view line) override {
    flush();
    std::printf("-> %s\n", printable(strip(line)).c_str());
  }
  void received(std::string_view bytes) override {
    for (const char ch : bytes) {
      if (ch == '\n') {
        std::printf("<- %s\n", printable(strip(partial_)).c_str());
        partial_.clear();
      } else if (partial_.size() < 4096) {
        partial_ += ch;
      }
    }
  }
  void note(std::string_view text) override {
    flush();
    std::printf("%s\n", printable(text).c_str());
    ++notes_;
  }
  void flush() {
    if (!partial_.empty()) std::printf("<- %s\n", printable(strip(partial_)).c_str());
    partial_.clear();
  }
  [[nodiscard]] int notes() const { return notes_; }

 private:
  static std::string_view strip(std::string_view line) {
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.remove_suffix(1);
    return line;
  }
  std::string partial_;
  int notes_ = 0;
};

int probe(std::string address) {
  lowercase_in_place(address.data());
  const std::size_t at = address.find('@');
  if (at == std::string::npos || at + 1 == address.size()) {
    std::fprintf(stderr, "korvanectl: %s is no address with a domain\n", printable(address).c_str());
    return usage();
  }
  // The daemon's own log lines stay out of syslog: this run is no check of the daemon's.
  log_set_sink([](int, const std::string&) {});
  DialoguePrinter printer;
  // The daemon's own walk, every line of its dialogues shown, nothing stored.
  const VerifyRequest request{VerifyKind::sender, address.c_str(), address.c_str(),
                              VerifyWay::domain, address.c_str() + at + 1, 0};
  WalkOptions walk = verify_walk_options(request);
  walk.probe.observer = &printer;
  ProbeReplyText reply;
  const int result = verify_walk(request, walk, &reply);
  printer.flush();
  // A failed MX lookup leaves its reason as the reply.
  if (printer.notes() == 0 && result != PROBE_NULLMX)
    std::printf("no exchanger was tried%s%s\n", reply.empty() ? "" : ": ", reply.c_str());
  switch (result) {
    case PROBE_PASS: std::printf("verdict: pass\n"); return EXIT_PASS;
    case PROBE_CATCHALL: std::printf("verdict: pass (catch-all domain)\n"); return EXIT_PASS;
    case PROBE_FAIL: std::printf("verdict: refused\n"); return EXIT_REFUSED;
    case PROBE_NULLMX: std::printf("verdict: refused (null MX)\n"); return EXIT_REFUSED;
    // Nothing is known of the mailbox, though the daemon lets such a sender through.
    case PROBE_REFUSED: std::printf("verdict: unverifiable (the probe itself was refused)\n"); return EXIT_TEMPORARY;
    default: std::printf("verdict: temporary failure\n"); return EXIT_TEMPORARY;
  }
}

// Sends one request line and prints the answer up to its "." line; "error: "
// and "warning: " lines go to standard error.
int ask(const char* config_file, const std::string& request) {
  if (!settings.control) {
    std::fprintf(stderr, "korvanectl: no control socket is configured in %s (control unix:PATH)\n",
                 config_file);
    return EX_UNAVAILABLE;
  }
  const std::string& path = *settings.control;
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::memcpy(addr.sun_path, path.data(), std::min(path.size(), sizeof addr.sun_path - 1));
  const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0 || connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) {
    std::fprintf(stderr, "korvanectl: cannot reach the daemon at %s: %s\n", path.c_str(),
                 std::strerror(errno));
    return EX_UNAVAILABLE;
  }
  const std::string line = request + "\n";
  if (send(fd, line.data(), line.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(line.size())) {
    std::fprintf(stderr, "korvanectl: send to %s: %s\n", path.c_str(), std::strerror(errno));
    (void)close(fd);
    return EX_UNAVAILABLE;
  }
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(CONTROL_WAIT_MS);
  std::string got;
  int status = EX_PROTOCOL;
  bool warned = false;
  for (bool done = false; !done;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now()).count();
    pollfd p{fd, POLLIN, 0};
    char buf[4096];
    const ssize_t n = left > 0 && poll(&p, 1, static_cast<int>(left)) > 0 ? read(fd, buf, sizeof buf) : -1;
    if (n <= 0) break;
    got.append(buf, static_cast<std::size_t>(n));
    for (std::size_t end; !done && (end = got.find('\n')) != std::string::npos; got.erase(0, end + 1)) {
      const std::string answer = got.substr(0, end);
      if (answer == ".") {
        status = warned ? EX_TEMPFAIL : 0;
        done = true;
      } else if (answer.rfind("warning: ", 0) == 0) {
        // The answer goes on; the request was done only in part.
        std::fprintf(stderr, "korvanectl: %s\n", printable(answer).c_str());
        warned = true;
      } else if (answer.rfind("error: ", 0) == 0) {
        std::fprintf(stderr, "korvanectl: %s\n", printable(answer).c_str());
        status = EX_DATAERR;
        done = true;
      } else {
        std::printf("%s\n", printable(answer).c_str());
      }
    }
  }
  (void)close(fd);
  if (status == EX_PROTOCOL) std::fprintf(stderr, "korvanectl: no whole answer from %s\n", path.c_str());
  return status;
}

}  // namespace

int main(int argc, char** argv) {
  const char* config_file = DEFAULT_CONFIG_FILE;
  int opt;
  while ((opt = getopt(argc, argv, "+c:h")) != -1) {
    if (opt != 'c') return usage();
    config_file = optarg;
  }
  // The control request is one line: a line feed in an argument would make
  // the daemon run a second request nobody typed.
  for (int i = 1; i < argc; ++i) {
    for (const char* b = argv[i]; *b != '\0'; ++b) {
      const auto c = static_cast<unsigned char>(*b);
      if (c < 0x20 || c == 0x7f) {
        std::fprintf(stderr, "korvanectl: an argument holds a control character: %s\n",
                     printable(argv[i]).c_str());
        return EX_USAGE;
      }
    }
  }
  const int words = argc - optind;
  if (words < 1) return usage();
  const std::string command = argv[optind];
  // "show" alone lists the exchangers marked as refusing probes.
  const bool takes_argument = command != "stats" && command != "reload" && !(command == "show" && words == 1);
  if (words != (takes_argument ? 2 : 1)) return usage();
  if (command != "probe" && command != "show" && command != "forget" && command != "forget-domain" &&
      command != "forget-exchanger" && command != "stats" && command != "reload")
    return usage();

  settings_clear();
  if (!ipv4_literal_pattern_compile()) {
    std::fprintf(stderr, "korvanectl: regcomp failed\n");
    return EX_SOFTWARE;
  }
  settings_defaults();
  load_config(config_file);
  const int status = command == "probe" ? probe(argv[optind + 1])
                     : takes_argument  ? ask(config_file, command + " " + argv[optind + 1])
                                       : ask(config_file, command);
  settings_release();
  // A reload either happened or did not; the reason is on standard error.
  if (command == "reload") return status == 0 ? 0 : 1;
  return status;
}
