// The milter door: the callbacks the daemon registers (option negotiation and five steps),
// and the drain that lets shutdown wait for the callbacks still in progress.
#pragma once

#include <chrono>

#include <libmilter/mfapi.h>

// Asks for the steps and macros korvane uses only (negotiate_options); no change rights.
sfsistat milter_negotiate(SMFICTX* ctx, unsigned long f0, unsigned long f1, unsigned long f2,
                          unsigned long f3, unsigned long* pf0, unsigned long* pf1,
                          unsigned long* pf2, unsigned long* pf3);
// Gives SMFIS_NOREPLY: the connect step is negotiated without a reply.
sfsistat milter_connect(SMFICTX* ctx, char* hostname, _SOCK_ADDR* hostaddr);
sfsistat milter_envfrom(SMFICTX* ctx, char** argv);
sfsistat milter_envrcpt(SMFICTX* ctx, char** argv);
sfsistat milter_eoh(SMFICTX* ctx);
sfsistat milter_close(SMFICTX* ctx);

// From here on every callback but milter_close answers SMFIS_TEMPFAIL at once,
// touching neither settings nor cache; then waits, up to limit, for the
// callbacks in progress to end. True when none is left and none can start.
[[nodiscard]] bool milter_drain(std::chrono::milliseconds limit);
// Tests only: callbacks do their work again.
void milter_drain_undo();
