// The one seam between the filter's decisions and the world: the libmilter calls
// the callbacks make, the probes, the pause and the clock. Production binds the
// real functions; tests install stand-ins so that no socket, DNS or wait is used.
#pragma once

#include <ctime>

#include <libmilter/mfapi.h>

#include "smtp/probe_reply.h"

struct FilterSeam {
  void* (*getpriv)(SMFICTX* ctx);
  int (*setpriv)(SMFICTX* ctx, void* priv);
  char* (*getsymval)(SMFICTX* ctx, char* name);
  int (*setreply)(SMFICTX* ctx, char* code, char* xcode, char* text);
  // Each probe leaves the reply that decided its result in *reply (never null).
  int (*probe_domain)(const char* address, const char* domain, ProbeReplyText* reply);
  int (*probe_address)(const char* address, const char* host, ProbeReplyText* reply);
  int (*probe_sender_domain)(const char* address, const char* domain, ProbeReplyText* reply);
  void (*sleep_seconds)(int n);
  std::time_t (*now)();
  int (*setsymlist)(SMFICTX* ctx, int stage, char* names);
};

// The binding in use; the production one unless a test installed another.
[[nodiscard]] const FilterSeam& filter_seam();
// The production binding: libmilter, the real probes, sleep_seconds and time.
[[nodiscard]] const FilterSeam& filter_seam_production();
// Tests only, before any callback runs; nullptr restores production.
void filter_seam_install(const FilterSeam* seam);
