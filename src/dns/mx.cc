// The MX query through the reentrant resolver, and the walk over the exchangers
// it yields. Each call owns its resolver state and buffers; nothing is shared.
#include "dns/mx.h"

#include <arpa/nameser.h>
#include <netdb.h>
#include <resolv.h>
#include <syslog.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "dns/exchanger_probe.h"
#include "dns/mx_reply.h"
#include "metrics/metrics.h"
#include "settings/settings.h"
#include "util/constants.h"
#include "util/log.h"

namespace {

// A per-call resolver state, zero-filled before initialisation and closed on
// every path once initialised.
class ResolverState {
 public:
  ResolverState() {
    std::memset(&state_, 0, sizeof state_);
    ready_ = res_ninit(&state_) >= 0;
  }
  ~ResolverState() { close(); }
  ResolverState(const ResolverState&) = delete;
  ResolverState& operator=(const ResolverState&) = delete;

  [[nodiscard]] bool ready() const { return ready_; }
  res_state get() { return &state_; }
  void close() {
    if (ready_) res_nclose(&state_);
    ready_ = false;
  }

 private:
  struct __res_state state_;
  bool ready_ = false;
};

struct FreeDeleter {
  void operator()(void* p) const { std::free(p); }
};
template <typename T>
using HeapBuffer = std::unique_ptr<T[], FreeDeleter>;

template <typename T>
HeapBuffer<T> allocate_zeroed(std::size_t n) {
  return HeapBuffer<T>(static_cast<T*>(std::calloc(n, sizeof(T))));
}

// One verification's walk: every exchanger under the same deadline, each
// exchanger asked bringing one address the walk may add to the exchanger memory.
int walk_within_deadline(const char* address, const char* domain, bool null_mx_final,
                         bool refused_probes, ProbeReplyText* reply,
                         SmtpObserver* observer = nullptr) {
  ProbeOptions opt;
  opt.timeouts.deadline = callout_deadline();
  opt.refused_probes = refused_probes;
  opt.observer = observer;
  int new_entries = 0;
  auto probe = [&opt, &new_entries](const char* a, const char* host, ProbeReplyText* one) {
    ++new_entries;
    return probe_host_with(a, host, opt, one, &new_entries);
  };
  return probe_domain_with(address, domain, probe, mx_lookup, opt.timeouts.deadline, null_mx_final,
                           reply);
}

}  // namespace

int mx_lookup(const char* domain, char* names, MxList list, unsigned char* answer, bool* null_mx) {
  if (null_mx != nullptr) *null_mx = false;
  ResolverState res;
  if (!res.ready()) return -1;
  res.get()->retrans = 7;
  res.get()->retry = 4;

  int len = res_nquery(res.get(), domain, ns_c_in, ns_t_mx, answer,
                       static_cast<int>(MX_ANSWER_SIZE));
  if (len < 0) {
    int code = res.get()->res_h_errno;
    res.close();
    if (code == NO_DATA) return mx_fallback(domain, names, list);
    return -1;
  }
  res.close();
  // A reply longer than the buffer was cut by the resolver; read what is there.
  return mx_read_reply(answer, static_cast<std::size_t>(len), domain, names, list, null_mx);
}

int probe_domain_with(const char* address, const char* domain, const MxProbeFunction& probe,
                      const MxLookupFunction& lookup, SmtpDeadline deadline,
                      bool null_mx_final, ProbeReplyText* reply) {
  const MetricsWalkTimer walk_timer;
  if (reply != nullptr) reply->clear();
  HeapBuffer<char> names = allocate_zeroed<char>(MX_NAMES_SIZE);
  if (!names) {
    log_msg(LOG_ERR, "[ERROR] %s", std::strerror(errno));
    return PROBE_TEMPFAIL;
  }
  HeapBuffer<unsigned char> answer = allocate_zeroed<unsigned char>(MX_ANSWER_SIZE);
  if (!answer) {
    log_msg(LOG_ERR, "[ERROR] %s", std::strerror(errno));
    return PROBE_TEMPFAIL;
  }
  MxList list = {};
  bool null_mx = false;
  int count = lookup(domain, names.get(), list, answer.get(), &null_mx);
  if (count <= 0) return PROBE_TEMPFAIL;
  if (null_mx && null_mx_final) return PROBE_NULLMX;
  if (count > MX_MAX) count = MX_MAX;
  // The reply is no longer needed once the list is built; probes can be long.
  answer.reset();

  ProbeOutcome walk;
  bool decided = false;
  for (int i = 0; i < count && !decided; ++i) {
    if (deadline_passed(deadline)) break;
    ProbeOutcome one;
    one.result = probe(address, list[i], &one.reply);
    if (one.result == PROBE_CATCHALL && i > 0) one.result = PROBE_PASS;
    decided = probe_fold(walk, one);
  }
  if (reply != nullptr) *reply = walk.reply;
  if (decided) return walk.result;
  // Exchangers left untried, or the last dialogue cut: the deadline ended the walk.
  if (deadline_passed(deadline)) {
    metrics_count_deadline_cut();
    return PROBE_TEMPFAIL;
  }
  return walk.result;
}

int probe_domain(const char* address, const char* domain, ProbeReplyText* reply) {
  return walk_within_deadline(address, domain, false, false, reply);
}

int probe_sender_domain(const char* address, const char* domain, ProbeReplyText* reply) {
  return walk_within_deadline(address, domain, settings.nullmx != 0, settings.refusals_mailbox != 0,
                              reply);
}

int probe_sender_domain_watched(const char* address, const char* domain, SmtpObserver& observer) {
  return walk_within_deadline(address, domain, settings.nullmx != 0, settings.refusals_mailbox != 0,
                              nullptr, &observer);
}
