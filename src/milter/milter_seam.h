// The milter door's seam to libmilter: the calls the callbacks make. Production
// binds the real functions; tests install stand-ins.
#pragma once

#include <libmilter/mfapi.h>

struct MilterSeam {
  void* (*getpriv)(SMFICTX* ctx);
  int (*setpriv)(SMFICTX* ctx, void* priv);
  char* (*getsymval)(SMFICTX* ctx, char* name);
  int (*setreply)(SMFICTX* ctx, char* code, char* xcode, char* text);
  int (*setsymlist)(SMFICTX* ctx, int stage, char* names);
};

// The binding in use; the production one unless a test installed another.
[[nodiscard]] const MilterSeam& milter_seam();
// Tests only, before any callback runs; nullptr restores production.
void milter_seam_install(const MilterSeam* seam);
