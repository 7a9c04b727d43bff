// The verification engine: one question for both kinds of check, "the verdict
// for this address, waiting at most so long". It asks the cache and the domain
// marks, joins a check of the same address already in flight, or hands a walk
// to the walker pool; the walk stores and publishes its own outcome, so one that
// outlives its check's wait still answers the client's retry.
#pragma once

#include "dns/mx.h"
#include "settings/settings.h"
#include "smtp/probe_reply.h"
#include "util/constants.h"

enum class VerifyKind { sender, recipient };
// How the address is asked: its domain's exchangers walked, one host (a name
// or an address literal) asked directly, not asked at all (it passes on this
// host's word), or only looked up in the cache (the MTA delivers it itself).
enum class VerifyWay { domain, host, unprobed, lookup_only };

struct VerifyRequest {
  VerifyKind kind = VerifyKind::sender;
  const char* key = nullptr;      // the lower-cased address: what the cache knows it by
  const char* mailbox = nullptr;  // the address asked; its domain is the marks' key
  VerifyWay way = VerifyWay::domain;
  const char* where = nullptr;    // the domain walked or the host asked
  long long wait_seconds = 0;     // the most the check waits; 0: until the walk ends
  // The check's settings, which its walk keeps to its end; nullptr: settings_now().
  const Settings* settings = nullptr;
};

// fresh: this check's own walk; cache, shared: this host's memory or the site's
// tier; joined: another check's walk of the same address; mark: its domain's
// (catch-all, refusing probes); none: nothing known and nothing asked.
enum class VerdictSource { fresh, cache, shared, joined, mark, none };
struct Verdict {
  int result = PROBE_TEMPFAIL;  // PROBE_*; a null MX and a refused probe as such
  VerdictSource source = VerdictSource::none;
  // The wait ran out: the verdict is a temporary failure of the check's own,
  // and with a wait of its own (wait_seconds) the walk goes on.
  bool waited_out = false;
  bool in_progress = false;
  ProbeReplyText reply;  // the reply that decided a fresh verdict, if any
};

// Never fails and never throws; touches only the cache, the in-flight table and
// the walker pool, never a socket on the calling thread once the pool runs.
[[nodiscard]] Verdict verify(const VerifyRequest& request);

// The walk's inputs for a request, built from the settings, and the walk
// itself: a plain function that stores nothing, for tools that verify one
// address in the foreground.
[[nodiscard]] WalkOptions verify_walk_options(const VerifyRequest& request);
[[nodiscard]] int verify_walk(const VerifyRequest& request, const WalkOptions& walk,
                              ProbeReplyText* reply);

// Tests: a stand-in for verify_walk (nullptr: the real one). Installed while
// no check runs.
using VerifyWalkFunction = int (*)(const VerifyRequest& request, const WalkOptions& walk,
                                   ProbeReplyText* reply);
void verify_walk_install(VerifyWalkFunction walk);
