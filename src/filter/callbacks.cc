// The five milter callbacks: each fetches its context and macros through the
// seam, calls one decision and maps it to the milter result and reply. No
// exception leaves a callback: nothing called here throws, and allocation uses
// the non-throwing form. Each callback is counted while it runs, so that
// shutdown can wait for them before it frees what they read.
#include "filter/callbacks.h"

#include <syslog.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <new>
#include <thread>

#include "filter/decisions.h"
#include "filter/milter_seam.h"
#include "util/log.h"

namespace {

// The milter library returns from its main loop before its connection threads
// end. Both are sequentially consistent: a callback counts itself, then looks
// at draining; the drain sets draining, then reads the count. So either the
// callback sees draining and does no work, or the drain sees it counted.
std::atomic<int> callbacks_running{0};
std::atomic<bool> draining{false};

class CallbackScope {
 public:
  CallbackScope() : admitted_((callbacks_running.fetch_add(1), !draining.load())) {}
  ~CallbackScope() { callbacks_running.fetch_sub(1); }
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
  connect_record_client(*c, hostname, hostaddr);
  return SMFIS_CONTINUE;
}

sfsistat filter_envfrom(SMFICTX* ctx, char** argv) {
  CallbackScope scope;
  if (!scope.admitted()) return SMFIS_TEMPFAIL;
  const FilterSeam& seam = filter_seam();
  ConnectionContext* c = context_of(ctx, seam);
  if (c == nullptr) return SMFIS_CONTINUE;
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
  return answer(ctx, seam, decide_eoh(*c, macro(ctx, seam, "i"), seam));
}

// Runs even while draining: it reads no settings and no cache, and the
// connection's context must not be lost.
sfsistat filter_close(SMFICTX* ctx) {
  CallbackScope scope;
  const FilterSeam& seam = filter_seam();
  ConnectionContext* c = context_of(ctx, seam);
  if (c != nullptr) {
    delete c;
    (void)seam.setpriv(ctx, nullptr);
  }
  return SMFIS_CONTINUE;
}

bool filter_drain(std::chrono::milliseconds limit) {
  draining.store(true);
  constexpr auto step = std::chrono::milliseconds(20);
  const auto end = std::chrono::steady_clock::now() + limit;
  while (callbacks_running.load() != 0) {
    if (std::chrono::steady_clock::now() >= end) return false;
    std::this_thread::sleep_for(step);
  }
  return true;
}

void filter_drain_undo() { draining.store(false); }
