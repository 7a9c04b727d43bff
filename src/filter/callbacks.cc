// The milter callbacks: option negotiation, then five that each fetch its context and macros through the
// seam, calls one decision and maps it to the milter result and reply. No
// exception leaves a callback: nothing called here throws, and allocation uses
// the non-throwing form.
#include "filter/callbacks.h"

#include <syslog.h>

#include <cerrno>
#include <cstring>
#include <new>

#include "filter/decisions.h"
#include "filter/milter_seam.h"
#include "filter/negotiate.h"
#include "settings/settings.h"
#include "util/log.h"

namespace {

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

sfsistat filter_negotiate(SMFICTX* ctx, unsigned long f0, unsigned long f1, unsigned long f2,
                          unsigned long f3, unsigned long* pf0, unsigned long* pf1,
                          unsigned long* pf2, unsigned long* pf3) {
  const MilterOptions o = negotiate_options(f0, f1);
  // A list libmilter refuses leaves that stage's macros as the MTA is configured.
  if ((o.actions & SMFIF_SETSYMLIST) != 0) {
    const FilterSeam& seam = filter_seam();
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
sfsistat filter_connect(SMFICTX* ctx, char* hostname, _SOCK_ADDR* hostaddr) {
  const FilterSeam& seam = filter_seam();
  auto* c = new (std::nothrow) ConnectionContext{};
  if (c == nullptr) {
    log_msg(LOG_ERR, "[ERROR] %s", std::strerror(ENOMEM));
    return SMFIS_NOREPLY;
  }
  // A context the library will not hold would never reach filter_close.
  if (seam.setpriv(ctx, c) != MI_SUCCESS) {
    delete c;
    return SMFIS_NOREPLY;
  }
  connect_record_client(*c, hostname, hostaddr);
  return SMFIS_NOREPLY;
}

sfsistat filter_envfrom(SMFICTX* ctx, char** argv) {
  const FilterSeam& seam = filter_seam();
  ConnectionContext* c = context_of(ctx, seam);
  if (c == nullptr) return SMFIS_CONTINUE;
  const EnvfromMacros m = {macro(ctx, seam, "{if_addr}"), macro(ctx, seam, "{auth_authen}"),
                           macro(ctx, seam, "{verify}")};
  return answer(ctx, seam, decide_envfrom(*c, m, argv != nullptr ? argv[0] : nullptr));
}

sfsistat filter_envrcpt(SMFICTX* ctx, char** argv) {
  const FilterSeam& seam = filter_seam();
  ConnectionContext* c = context_of(ctx, seam);
  if (c == nullptr) return SMFIS_CONTINUE;
  // Without a mail store the decision reads no macro, and each fetch is a linear
  // search through every macro the MTA sent: none is fetched then.
  EnvrcptMacros m = {nullptr, nullptr, nullptr, nullptr};
  if (settings.mailstore)
    m = {macro(ctx, seam, "{rcpt_mailer}"), macro(ctx, seam, "{rcpt_host}"),
         macro(ctx, seam, "{rcpt_addr}"), macro(ctx, seam, "i")};
  return answer(ctx, seam, decide_envrcpt(*c, m, argv != nullptr ? argv[0] : nullptr, seam));
}

sfsistat filter_eoh(SMFICTX* ctx) {
  const FilterSeam& seam = filter_seam();
  ConnectionContext* c = context_of(ctx, seam);
  if (c == nullptr) return SMFIS_CONTINUE;
  return answer(ctx, seam, decide_eoh(*c, macro(ctx, seam, "i"), seam));
}

sfsistat filter_close(SMFICTX* ctx) {
  const FilterSeam& seam = filter_seam();
  ConnectionContext* c = context_of(ctx, seam);
  if (c != nullptr) {
    delete c;
    (void)seam.setpriv(ctx, nullptr);
  }
  return SMFIS_CONTINUE;
}
