// The five milter callbacks: each fetches its context and macros through the
// seam, calls one decision and maps it to the milter result and reply. No
// exception leaves a callback: nothing called here throws, and allocation uses
// the non-throwing form. Each callback that reads settings or cache holds a
// gate while it runs, so that shutdown can wait for them before it frees that.
#include "filter/callbacks.h"

#include <pthread.h>
#include <syslog.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <new>
#include <thread>

#include "filter/decisions.h"
#include "filter/milter_seam.h"
#include "util/log.h"

#if defined(__SANITIZE_THREAD__)
#include <sanitizer/tsan_interface.h>
#endif

namespace {

// libmilter may hand a connection from one of its threads to another between
// two callbacks, ordering them with locks of its own that the race detector is
// told to leave out (tests/support/tsan.supp). A turn tells it that the
// callbacks of one connection follow one another, and nothing more; outside
// that build it is empty.
class ConnectionTurn {
 public:
  explicit ConnectionTurn(ConnectionContext* c) : c_(c) { mark_acquire(c_); }
  ~ConnectionTurn() { mark_release(c_); }
  ConnectionTurn(const ConnectionTurn&) = delete;
  ConnectionTurn& operator=(const ConnectionTurn&) = delete;
  static void mark_acquire([[maybe_unused]] void* c) {
#if defined(__SANITIZE_THREAD__)
    __tsan_acquire(c);
#endif
  }
  static void mark_release([[maybe_unused]] void* c) {
#if defined(__SANITIZE_THREAD__)
    __tsan_release(c);
#endif
  }

 private:
  ConnectionContext* c_;
};

// The milter library returns from its main loop before its connection threads
// end. The callbacks in progress are the gate's readers; the drain stops new
// ones, then takes the gate for writing, which it can only once they have all
// left, and keeps it: a callback that slipped past the flag waits on the gate
// until the process ends. Readers do not order one another, so the race
// detector still sees a race between two callbacks (a counter every callback
// changed would order them all).
pthread_rwlock_t gate = PTHREAD_RWLOCK_INITIALIZER;
std::atomic<bool> draining{false};
bool drain_holds_gate = false;  // only the draining thread touches it

class CallbackScope {
 public:
  CallbackScope() : admitted_(!draining.load() && pthread_rwlock_rdlock(&gate) == 0) {}
  ~CallbackScope() {
    if (admitted_) (void)pthread_rwlock_unlock(&gate);
  }
  CallbackScope(const CallbackScope&) = delete;
  CallbackScope& operator=(const CallbackScope&) = delete;
  [[nodiscard]] bool admitted() const { return admitted_; }

 private:
  bool admitted_;
};

ConnectionContext* context_of(SMFICTX* ctx, const FilterSeam& seam) {
  return static_cast<ConnectionContext*>(seam.getpriv(ctx));
}

const char* macro(SMFICTX* ctx, const FilterSeam& seam, const char* name) {
  return seam.getsymval(ctx, const_cast<char*>(name));
}

sfsistat answer(SMFICTX* ctx, const FilterSeam& seam, const FilterDecision& d) {
  if (d.reply != nullptr)
    (void)seam.setreply(ctx, const_cast<char*>(d.reply->code), const_cast<char*>(d.reply->xcode),
                        const_cast<char*>(d.reply->text));
  return d.result;
}

}  // namespace

sfsistat filter_connect(SMFICTX* ctx, char* hostname, _SOCK_ADDR* hostaddr) {
  CallbackScope scope;
  if (!scope.admitted()) return SMFIS_TEMPFAIL;
  const FilterSeam& seam = filter_seam();
  auto* c = new (std::nothrow) ConnectionContext{};
  if (c == nullptr) {
    log_msg(LOG_ERR, "[ERROR] %s", std::strerror(ENOMEM));
    return SMFIS_ACCEPT;
  }
  // A context the library will not hold would never reach filter_close.
  if (seam.setpriv(ctx, c) != MI_SUCCESS) {
    delete c;
    return SMFIS_ACCEPT;
  }
  ConnectionTurn turn(c);
  connect_record_client(*c, hostname, hostaddr);
  return SMFIS_CONTINUE;
}

sfsistat filter_envfrom(SMFICTX* ctx, char** argv) {
  CallbackScope scope;
  if (!scope.admitted()) return SMFIS_TEMPFAIL;
  const FilterSeam& seam = filter_seam();
  ConnectionContext* c = context_of(ctx, seam);
  if (c == nullptr) return SMFIS_CONTINUE;
  ConnectionTurn turn(c);
  const EnvfromMacros m = {macro(ctx, seam, "{if_addr}"), macro(ctx, seam, "{auth_authen}"),
                           macro(ctx, seam, "{verify}")};
  return answer(ctx, seam, decide_envfrom(*c, m, argv != nullptr ? argv[0] : nullptr));
}

sfsistat filter_envrcpt(SMFICTX* ctx, char** argv) {
  CallbackScope scope;
  if (!scope.admitted()) return SMFIS_TEMPFAIL;
  const FilterSeam& seam = filter_seam();
  ConnectionContext* c = context_of(ctx, seam);
  if (c == nullptr) return SMFIS_CONTINUE;
  ConnectionTurn turn(c);
  const EnvrcptMacros m = {macro(ctx, seam, "{rcpt_mailer}"), macro(ctx, seam, "{rcpt_host}"),
                           macro(ctx, seam, "{rcpt_addr}"), macro(ctx, seam, "i")};
  return answer(ctx, seam, decide_envrcpt(*c, m, argv != nullptr ? argv[0] : nullptr, seam));
}

sfsistat filter_eoh(SMFICTX* ctx) {
  CallbackScope scope;
  if (!scope.admitted()) return SMFIS_TEMPFAIL;
  const FilterSeam& seam = filter_seam();
  ConnectionContext* c = context_of(ctx, seam);
  if (c == nullptr) return SMFIS_CONTINUE;
  ConnectionTurn turn(c);
  return answer(ctx, seam, decide_eoh(*c, macro(ctx, seam, "i"), seam));
}

// Outside the gate: it reads no settings and no cache, and the connection's
// context must not be lost while the daemon drains.
sfsistat filter_close(SMFICTX* ctx) {
  const FilterSeam& seam = filter_seam();
  ConnectionContext* c = context_of(ctx, seam);
  if (c != nullptr) {
    ConnectionTurn::mark_acquire(c);
    delete c;
    (void)seam.setpriv(ctx, nullptr);
  }
  return SMFIS_CONTINUE;
}

bool filter_drain(std::chrono::milliseconds limit) {
  draining.store(true);
  if (drain_holds_gate) return true;
  constexpr auto step = std::chrono::milliseconds(20);
  const auto end = std::chrono::steady_clock::now() + limit;
  while (pthread_rwlock_trywrlock(&gate) != 0) {
    if (std::chrono::steady_clock::now() >= end) return false;
    std::this_thread::sleep_for(step);
  }
  drain_holds_gate = true;
  return true;
}

void filter_drain_undo() {
  if (drain_holds_gate) (void)pthread_rwlock_unlock(&gate);
  drain_holds_gate = false;
  draining.store(false);
}
