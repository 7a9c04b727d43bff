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
#include "dns/resolver_state.h"
#include "metrics/metrics.h"
#include "util/constants.h"
#include "util/log.h"

namespace {

struct FreeDeleter {
  void operator()(void* p) const { std::free(p); }
};
template <typename T>
using HeapBuffer = std::unique_ptr<T[], FreeDeleter>;

template <typename T>
HeapBuffer<T> allocate_zeroed(std::size_t n) {
  return HeapBuffer<T>(static_cast<T*>(std::calloc(n, sizeof(T))));
}

// A result that ends a walk whatever follows it (probe_fold).
bool decisive(int result) {
  return result == PROBE_PASS || result == PROBE_FAIL || result == PROBE_CATCHALL;
}

// One exchanger's probe options under the walk's deadline: a deciding result is
// told at once, a later exchanger's catch-all as the plain pass the walk makes of it.
ProbeOptions exchanger_options(const WalkOptions& walk, SmtpDeadline deadline, bool later) {
  ProbeOptions opt = walk.probe;
  opt.timeouts.deadline = deadline;
  if (walk.probe.decided) {
    opt.decided = [&told = walk.probe.decided, later](int r, const ProbeReplyText& reply) {
      if (decisive(r)) told(r == PROBE_CATCHALL && later ? PROBE_PASS : r, reply);
    };
  }
  return opt;
}

}  // namespace

const char* mx_failure_text(int count) {
  switch (count) {
    case MX_SERVER_FAILURE: return "MX lookup: server failure";
    case MX_NO_DOMAIN: return "MX lookup: no such domain";
    case MX_NO_ANSWER: return "MX lookup: no answer";
    default: return "";
  }
}

int mx_lookup(const char* domain, char* names, MxList list, unsigned char* answer, bool* null_mx) {
  if (null_mx != nullptr) *null_mx = false;
  ResolverState res;
  if (!res.ready()) return -1;
  res.get()->retrans = 7;
  res.get()->retry = 4;

  // A header left all zero tells that no server answered at all.
  std::memset(answer, 0, HFIXEDSZ);
  int len = res_nquery(res.get(), domain, ns_c_in, ns_t_mx, answer,
                       static_cast<int>(MX_ANSWER_SIZE));
  if (len < 0) {
    int code = res.get()->res_h_errno;
    res.close();
    if (code == NO_DATA) return mx_fallback(domain, names, list);
    if (code == HOST_NOT_FOUND) return MX_NO_DOMAIN;
    const bool answered = (answer[2] & 0x80) != 0;  // the QR bit of a reply
    return code == TRY_AGAIN && !answered ? MX_NO_ANSWER : MX_SERVER_FAILURE;
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
  if (count <= 0) {
    if (reply != nullptr) reply->assign(mx_failure_text(count));
    return PROBE_TEMPFAIL;
  }
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

// Each exchanger asked brings one address the walk may add to the exchanger memory.
int walk_domain(const char* address, const char* domain, const WalkOptions& walk,
                ProbeReplyText* reply) {
  const SmtpDeadline deadline = callout_deadline(walk.deadline_seconds);
  int new_entries = 0;
  int asked = 0;
  bool contacted = false;
  auto probe = [&](const char* a, const char* host, ProbeReplyText* one) {
    ++new_entries;
    const ProbeOptions opt = exchanger_options(walk, deadline, asked++ > 0);
    const int r = probe_host_with(a, host, opt, walk.limits, one, &new_entries);
    contacted = contacted || !probe_all_marked(r, *one);
    return r;
  };
  ProbeReplyText own;
  ProbeReplyText* said = reply != nullptr ? reply : &own;
  const int result = probe_domain_with(address, domain, probe, mx_lookup, deadline, walk.null_mx_final, said);
  if (!probe_all_marked(result, *said)) return result;
  if (!contacted) return PROBE_ALL_MARKED;
  said->clear();
  return result;
}

int walk_host(const char* address, const char* host, const WalkOptions& walk,
              ProbeReplyText* reply) {
  const ProbeOptions opt = exchanger_options(walk, callout_deadline(walk.deadline_seconds), false);
  int new_entries = 1;
  return probe_host_with(address, host, opt, walk.limits, reply, &new_entries);
}
