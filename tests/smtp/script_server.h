// A scripted SMTP server for the tests: listens on a loopback address with an
// ephemeral port, runs a script of send/read/sleep/close steps per accepted
// connection on a thread of its own, and records the lines it received.
// Every wait is bounded, so a test that goes wrong ends by itself.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace testsrv {

struct Action {
  enum Kind { send, sleep, read_line, close, reset } kind;
  std::string bytes;  // send
  int ms = 0;         // sleep
};

inline Action Send(std::string b) { return {Action::send, std::move(b), 0}; }
inline Action Sleep(int ms) { return {Action::sleep, {}, ms}; }
inline Action ReadLine() { return {Action::read_line, {}, 0}; }
inline Action Close() { return {Action::close, {}, 0}; }
inline Action Reset() { return {Action::reset, {}, 0}; }

using Script = std::vector<Action>;

// A dialogue script from reply tokens: the first is the greeting, each later one
// answers one line read. "DROP" closes the connection (after reading, for a
// later token), "SILENT" stops answering; any other token is sent with CR LF.
inline Script replies(const std::vector<std::string>& tokens, int delay_ms = 0) {
  Script s;
  for (std::size_t i = 0; i < tokens.size(); ++i) {
    if (i > 0) s.push_back(ReadLine());
    if (tokens[i] == "SILENT") break;
    if (tokens[i] == "DROP") {
      s.push_back(Close());
      break;
    }
    if (delay_ms > 0) s.push_back(Sleep(delay_ms));
    s.push_back(Send(tokens[i] + "\r\n"));
  }
  return s;
}

// Answers each line by a function of it (for many connections at once).
using Responder = std::function<std::string(const std::string& line)>;

class ScriptServer {
 public:
  // Connection i runs scripts[i]; connections beyond the list run the last
  // script when repeat_last is set and are closed at once otherwise. After its
  // script a connection keeps reading (and recording) until the client closes.
  // max_accepts > 0 stops listening after that many connections.
  ScriptServer(const char* ip, std::vector<Script> scripts, bool repeat_last = false, int max_accepts = 0,
               std::uint16_t port = 0)
      : scripts_(std::move(scripts)), repeat_last_(repeat_last), max_accepts_(max_accepts) {
    start(ip, port);
  }
  // Every connection: greeting, then responder(line) for each line read, after
  // delay_ms; an empty answer closes the connection.
  ScriptServer(const char* ip, std::string greeting, Responder responder, int delay_ms)
      : greeting_(std::move(greeting)), responder_(std::move(responder)), delay_ms_(delay_ms) {
    start(ip, 0);
  }

  ~ScriptServer() {
    stop_ = true;
    if (acceptor_.joinable()) acceptor_.join();
    for (auto& t : workers_) t.join();
    if (listener_ >= 0) ::close(listener_);
  }

  bool ok() const { return started_; }
  std::uint16_t port() const { return port_; }
  int accepted() const { return accepted_.load(); }

  // The lines received, CR LF removed ("!" marks a line without CR LF),
  // joined by "|", with "#" between connections. Waits until each connection
  // has finished, bounded.
  std::string transcript() {
    wait_idle();
    std::lock_guard<std::mutex> g(mu_);
    std::string out;
    for (std::size_t c = 0; c < lines_.size(); ++c) {
      if (c > 0) out += "#";
      for (std::size_t i = 0; i < lines_[c].size(); ++i) {
        if (i > 0) out += "|";
        const std::string& l = lines_[c][i];
        if (l.size() >= 2 && l.compare(l.size() - 2, 2, "\r\n") == 0) {
          out += l.substr(0, l.size() - 2);
        } else {
          out += l + "!";
        }
      }
    }
    return out;
  }
  std::vector<std::string> raw_lines(std::size_t conn) {
    wait_idle();
    std::lock_guard<std::mutex> g(mu_);
    return conn < lines_.size() ? lines_[conn] : std::vector<std::string>{};
  }

  // Waits (bounded) until every accepted connection has been closed by both sides.
  void wait_idle(int max_ms = 10000) {
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(max_ms);
    while (active_.load() > 0 && std::chrono::steady_clock::now() < end) {
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
  }

 private:
  static constexpr int CONN_LIFETIME_MS = 15000;

  void start(const char* ip, std::uint16_t port) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return;
    int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    inet_pton(AF_INET, ip, &a.sin_addr);
    socklen_t len = sizeof a;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(fd, 512) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
      ::close(fd);
      return;
    }
    listener_ = fd;
    started_ = true;
    port_ = ntohs(a.sin_port);
    acceptor_ = std::thread([this] { accept_loop(); });
  }

  void accept_loop() {
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(CONN_LIFETIME_MS);
    while (!stop_ && std::chrono::steady_clock::now() < end) {
      pollfd p{listener_, POLLIN, 0};
      if (poll(&p, 1, 20) <= 0) continue;
      int c = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
      if (c < 0) continue;
      std::size_t index;
      {
        std::lock_guard<std::mutex> g(mu_);
        index = lines_.size();
        lines_.emplace_back();
      }
      ++active_;
      ++accepted_;
      workers_.emplace_back([this, c, index] { serve(c, index); });
      if (max_accepts_ > 0 && accepted_.load() >= max_accepts_) {
        ::close(listener_);
        listener_ = -1;
        return;
      }
    }
  }

  // Reads one line (up to LF, or what came before EOF); false at EOF or timeout.
  bool read_line(int fd, std::string& pending, std::string& line, std::chrono::steady_clock::time_point end) {
    for (;;) {
      std::size_t lf = pending.find('\n');
      if (lf != std::string::npos) {
        line = pending.substr(0, lf + 1);
        pending.erase(0, lf + 1);
        return true;
      }
      if (stop_ || std::chrono::steady_clock::now() >= end) return false;
      pollfd p{fd, POLLIN, 0};
      if (poll(&p, 1, 20) <= 0) continue;
      char buf[4096];
      ssize_t n = ::recv(fd, buf, sizeof buf, 0);
      if (n <= 0) {
        if (!pending.empty()) {
          line = pending;
          pending.clear();
          return true;
        }
        return false;
      }
      pending.append(buf, static_cast<std::size_t>(n));
    }
  }

  void record(std::size_t index, const std::string& line) {
    std::lock_guard<std::mutex> g(mu_);
    lines_[index].push_back(line);
  }

  static void send_all(int fd, const std::string& b) {
    std::size_t off = 0;
    while (off < b.size()) {
      pollfd p{fd, POLLOUT, 0};
      if (poll(&p, 1, 2000) <= 0) return;
      ssize_t n = ::send(fd, b.data() + off, b.size() - off, MSG_NOSIGNAL);
      if (n <= 0) return;
      off += static_cast<std::size_t>(n);
    }
  }

  void serve(int fd, std::size_t index) {
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(CONN_LIFETIME_MS);
    std::string pending, line;
    bool open = true;
    if (responder_) {
      send_all(fd, greeting_ + "\r\n");
      while (read_line(fd, pending, line, end)) {
        record(index, line);
        std::string answer = responder_(line);
        if (answer.empty()) {
          open = false;
          break;
        }
        if (delay_ms_ > 0) std::this_thread::sleep_for(std::chrono::milliseconds(delay_ms_));
        send_all(fd, answer + "\r\n");
      }
    } else {
      const Script* script = nullptr;
      if (index < scripts_.size()) {
        script = &scripts_[index];
      } else if (repeat_last_ && !scripts_.empty()) {
        script = &scripts_.back();
      }
      for (std::size_t i = 0; open && script != nullptr && i < script->size(); ++i) {
        const Action& a = (*script)[i];
        switch (a.kind) {
          case Action::send:
            send_all(fd, a.bytes);
            break;
          case Action::sleep:
            std::this_thread::sleep_for(std::chrono::milliseconds(a.ms));
            break;
          case Action::read_line:
            if (!read_line(fd, pending, line, end)) {
              open = false;
            } else {
              record(index, line);
            }
            break;
          case Action::close:
            open = false;
            break;
          case Action::reset: {
            linger l{1, 0};
            setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
            open = false;
            break;
          }
        }
      }
      if (script == nullptr) open = false;
    }
    // Whatever the client sends after the script is recorded too.
    while (open && read_line(fd, pending, line, end)) record(index, line);
    ::close(fd);
    --active_;
  }

  std::vector<Script> scripts_;
  bool repeat_last_ = false;
  int max_accepts_ = 0;
  std::string greeting_;
  Responder responder_;
  int delay_ms_ = 0;

  int listener_ = -1;
  bool started_ = false;
  std::uint16_t port_ = 0;
  std::atomic<bool> stop_{false};
  std::atomic<int> active_{0};
  std::atomic<int> accepted_{0};
  std::thread acceptor_;
  std::vector<std::thread> workers_;
  std::mutex mu_;
  std::vector<std::vector<std::string>> lines_;
};

}  // namespace testsrv
