// The milter door: option negotiation, then five callbacks that each fetch
// their context and macros through the milter seam and the settings once, call
// one filter decision and map it to the milter result and reply. No
// exception leaves a callback: nothing called here throws, and allocation uses
// the non-throwing form. Each callback that reads settings or cache holds a
// gate while it runs, so that shutdown can wait for them before it frees that.
#include "milter/callbacks.h"

#include <pthread.h>
#include <syslog.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <new>
#include <thread>

#include "filter/decisions.h"
#include "milter/milter_seam.h"
#include "milter/negotiate.h"
#include "settings/settings.h"
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

ConnectionContext* context_of(SMFICTX* ctx, const MilterSeam& seam) {
  return static_cast<ConnectionContext*>(seam.getpriv(ctx));
}

const char* macro(SMFICTX* ctx, const MilterSeam& seam, const char* name) {
  return seam.getsymval(ctx, const_cast<char*>(name));
}

sfsistat milter_result(FilterAction a) {
  switch (a) {
    case FilterAction::accept: return SMFIS_ACCEPT;
    case FilterAction::reject: return SMFIS_REJECT;
    case FilterAction::tempfail: return SMFIS_TEMPFAIL;
    case FilterAction::go_on: break;
  }
  return SMFIS_CONTINUE;
}

sfsistat answer(SMFICTX* ctx, const MilterSeam& seam, const FilterDecision& d) {
  if (d.reply != nullptr)
    (void)seam.setreply(ctx, const_cast<char*>(d.reply->code), const_cast<char*>(d.reply->xcode),
                        const_cast<char*>(d.reply->text));
  return milter_result(d.action);
}

}  // namespace

sfsistat milter_negotiate(SMFICTX* ctx, unsigned long f0, unsigned long f1, unsigned long f2,
                          unsigned long f3, unsigned long* pf0, unsigned long* pf1,
                          unsigned long* pf2, unsigned long* pf3) {
  const MilterOptions o = negotiate_options(f0, f1);
  // A list libmilter refuses leaves that stage's macros as the MTA is configured.
  if ((o.actions & SMFIF_SETSYMLIST) != 0) {
    const MilterSeam& seam = milter_seam();
    for (const StageMacros& m : wanted_macros)
      (void)seam.setsymlist(ctx, m.stage, const_cast<char*>(m.names));
  }
  *pf0 = o.actions;
  *pf1 = o.steps;
  *pf2 = 0;
  *pf3 = 0;
  return SMFIS_CONTINUE;
}

// The connect step is negotiated without a reply (an MTA that cannot do that gets
// "continue" from libmilter instead). Without a context every later step of the
// connection passes, so a failure here still leaves the connection unfiltered.
sfsistat milter_connect(SMFICTX* ctx, char* hostname, _SOCK_ADDR* hostaddr) {
  CallbackScope scope;
  // The MTA awaits no reply at connect: a refusal there would be read as the
  // answer to its next command. Once draining, MAIL FROM defers instead.
  if (!scope.admitted()) return SMFIS_NOREPLY;
  const MilterSeam& seam = milter_seam();
  auto* c = new (std::nothrow) ConnectionContext{};
  if (c == nullptr) {
    log_msg(LOG_ERR, "[ERROR] %s", std::strerror(ENOMEM));
    return SMFIS_NOREPLY;
  }
  // A context the library will not hold would never reach milter_close.
  if (seam.setpriv(ctx, c) != MI_SUCCESS) {
    delete c;
    return SMFIS_NOREPLY;
  }
  ConnectionTurn turn(c);
  connect_record_client(*c, hostname, hostaddr);
  return SMFIS_NOREPLY;
}

sfsistat milter_envfrom(SMFICTX* ctx, char** argv) {
  CallbackScope scope;
  if (!scope.admitted()) return SMFIS_TEMPFAIL;
  const MilterSeam& seam = milter_seam();
  ConnectionContext* c = context_of(ctx, seam);
  if (c == nullptr) return SMFIS_CONTINUE;
  ConnectionTurn turn(c);
  const SettingsSnapshot held = settings_now();
  const Settings& s = *held;
  const TrustFacts m = {macro(ctx, seam, "{if_addr}"), macro(ctx, seam, "{auth_authen}"),
                        macro(ctx, seam, "{verify}")};
  return answer(ctx, seam, decide_envfrom(*c, m, argv != nullptr ? argv[0] : nullptr, s));
}

sfsistat milter_envrcpt(SMFICTX* ctx, char** argv) {
  CallbackScope scope;
  if (!scope.admitted()) return SMFIS_TEMPFAIL;
  const MilterSeam& seam = milter_seam();
  ConnectionContext* c = context_of(ctx, seam);
  if (c == nullptr) return SMFIS_CONTINUE;
  ConnectionTurn turn(c);
  // Without a mail store the decision reads no macro, and each fetch is a linear
  // search through every macro the MTA sent: none is fetched then.
  const SettingsSnapshot held = settings_now();
  const Settings& s = *held;
  RelayFacts m = {nullptr, nullptr, nullptr, nullptr};
  if (s.mailstore)
    m = {macro(ctx, seam, "{rcpt_mailer}"), macro(ctx, seam, "{rcpt_host}"),
         macro(ctx, seam, "{rcpt_addr}"), macro(ctx, seam, "i")};
  return answer(ctx, seam,
                decide_envrcpt(*c, m, argv != nullptr ? argv[0] : nullptr, s, filter_seam()));
}

sfsistat milter_eoh(SMFICTX* ctx) {
  CallbackScope scope;
  if (!scope.admitted()) return SMFIS_TEMPFAIL;
  const MilterSeam& seam = milter_seam();
  ConnectionContext* c = context_of(ctx, seam);
  if (c == nullptr) return SMFIS_CONTINUE;
  ConnectionTurn turn(c);
  const SettingsSnapshot held = settings_now();
  const Settings& s = *held;
  return answer(ctx, seam, decide_eoh(*c, macro(ctx, seam, "i"), s, filter_seam()));
}

// Outside the gate: it reads no settings and no cache, and the connection's
// context must not be lost while the daemon drains.
sfsistat milter_close(SMFICTX* ctx) {
  const MilterSeam& seam = milter_seam();
  ConnectionContext* c = context_of(ctx, seam);
  if (c != nullptr) {
    ConnectionTurn::mark_acquire(c);
    delete c;
    (void)seam.setpriv(ctx, nullptr);
  }
  return SMFIS_CONTINUE;
}

bool milter_drain(std::chrono::milliseconds limit) {
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

void milter_drain_undo() {
  if (drain_holds_gate) (void)pthread_rwlock_unlock(&gate);
  drain_holds_gate = false;
  draining.store(false);
}
