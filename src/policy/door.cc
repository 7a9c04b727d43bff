// The policy door's requests to filter decisions: the attributes become the
// context and facts the milter door takes from its macros, and a message's
// state waits in a table of its own between RCPT and DATA.
#include "policy/door.h"

#include <algorithm>
#include <mutex>
#include <string_view>
#include <unordered_map>

#include "filter/decisions.h"
#include "settings/settings.h"

namespace {

enum class Stage { checking, passed, refused };

struct MessageState {
  ConnectionContext c;
  Stage stage = Stage::checking;
  FilterDecision refusal{FilterAction::go_on, nullptr};
  std::time_t started = 0;
};

std::mutex messages_mutex;
std::unordered_map<std::string, MessageState> messages;

// The message's state, taken out of the table; nullopt when there is none
// (a first request, a restart between two, or a state that grew too old).
std::optional<MessageState> take_message(std::string_view instance, std::time_t now) {
  if (instance.empty()) return std::nullopt;
  const std::lock_guard lock(messages_mutex);
  const auto it = messages.find(std::string(instance));
  if (it == messages.end()) return std::nullopt;
  std::optional<MessageState> st(std::move(it->second));
  messages.erase(it);
  if (now - st->started > POLICY_MESSAGE_SECONDS) return std::nullopt;
  return st;
}

// Messages that never reach DATA leave their state behind: once the table is
// full the old ones go, and if none is old, the oldest.
void keep_message(std::string_view instance, MessageState&& st, std::time_t now) {
  if (instance.empty()) return;
  const std::lock_guard lock(messages_mutex);
  if (messages.size() >= POLICY_MESSAGES) {
    std::erase_if(messages, [now](const auto& m) {
      return now - m.second.started > POLICY_MESSAGE_SECONDS;
    });
  }
  if (messages.size() >= POLICY_MESSAGES) {
    const auto oldest = std::min_element(messages.begin(), messages.end(), [](const auto& a, const auto& b) {
      return a.second.started < b.second.started;
    });
    messages.erase(oldest);
  }
  messages.insert_or_assign(std::string(instance), std::move(st));
}

// Postfix sends the address without its angle brackets. One too long for the
// field keeps no closing bracket, so the syntax check refuses it.
void bracketed(EnvelopeText& out, std::string_view address) {
  char* b = out.data();
  const std::size_t room = EnvelopeText::capacity() - 3;
  const std::size_t n = std::min(address.size(), room);
  b[0] = '<';
  std::copy_n(address.data(), n, b + 1);
  std::size_t end = n + 1;
  if (address.size() <= room) b[end++] = '>';
  b[end] = '\0';
}

// A fresh message: the client, then MAIL FROM's decision (trusted client,
// sender syntax) as the milter door takes it at MAIL FROM.
MessageState start_message(const PolicyRequest& r, const Settings& s, std::time_t now) {
  MessageState st;
  st.started = now;
  ConnectionContext& c = st.c;
  c.client_addr.assign(r.client_address);
  // Postfix names a client without a PTR name "unknown": no name at all.
  if (r.client_name != "unknown") c.client_name.assign(r.client_name);
  // The texts must end where the attribute ends: copies, terminated.
  BoundedText<64> server;
  server.assign(r.server_address);
  BoundedText<256> auth;
  auth.assign(r.sasl_username);
  const TrustFacts t = {server.empty() ? nullptr : server.c_str(),
                        auth.empty() ? nullptr : auth.c_str(),
                        r.ccert_fingerprint.empty() ? nullptr : "OK"};
  EnvelopeText sender;
  bracketed(sender, r.sender);
  const FilterDecision d = decide_envfrom(c, t, sender.c_str(), s);
  if (d.action == FilterAction::accept) st.stage = Stage::passed;
  if (d.reply != nullptr) {
    st.stage = Stage::refused;
    st.refusal = d;
  }
  return st;
}

std::string answer(const FilterDecision& d) {
  if (d.reply == nullptr) {
    if (d.action == FilterAction::reject) return "action=REJECT\n\n";
    if (d.action == FilterAction::tempfail) return "action=DEFER_IF_PERMIT\n\n";
    return "action=DUNNO\n\n";
  }
  std::string a = "action=";
  a.append(d.reply->code).append(" ").append(d.reply->xcode).append(" ").append(d.reply->text);
  a.append("\n\n");
  return a;
}

std::string at_rcpt(const PolicyRequest& r, const Settings& s, const FilterSeam& seam) {
  const std::time_t now = seam.now();
  std::optional<MessageState> kept = take_message(r.instance, now);
  MessageState st = kept ? std::move(*kept) : start_message(r, s, now);
  FilterDecision d{FilterAction::go_on, nullptr};
  if (st.stage == Stage::refused) {
    d = st.refusal;
  } else if (st.stage == Stage::checking) {
    EnvelopeText recipient, rcpt_addr;
    bracketed(recipient, r.recipient);
    rcpt_addr.assign(r.recipient);
    BoundedText<64> queue_id;
    queue_id.assign(r.queue_id);
    const char* qid = queue_id.empty() ? nullptr : queue_id.c_str();
    // Postfix names no next hop to a policy service: policyrelay does.
    RelayFacts m{nullptr, nullptr, nullptr, qid, false};
    if (s.policyrelay) m = {"smtp", s.policyrelay->c_str(), rcpt_addr.c_str(), qid, true};
    d = decide_envrcpt(st.c, m, recipient.c_str(), s, seam);
    if (d.action == FilterAction::accept) st.stage = Stage::passed;
  }
  keep_message(r.instance, std::move(st), now);
  return answer(d);
}

std::string at_data(const PolicyRequest& r, const Settings& s, const FilterSeam& seam) {
  const std::time_t now = seam.now();
  std::optional<MessageState> kept = take_message(r.instance, now);
  MessageState st = kept ? std::move(*kept) : start_message(r, s, now);
  if (st.stage == Stage::refused) return answer(st.refusal);
  if (st.stage == Stage::passed) return answer({FilterAction::accept, nullptr});
  // With one recipient Postfix names it; with several the last one taken stays.
  if (!r.recipient.empty()) bracketed(st.c.recipient_raw, r.recipient);
  BoundedText<64> queue_id;
  queue_id.assign(r.queue_id);
  return answer(decide_eoh(st.c, queue_id.empty() ? nullptr : queue_id.c_str(), s, seam));
}

}  // namespace

std::string policy_answer(const PolicyRequest& r, const Settings& s, const FilterSeam& seam) {
  if (!r.access_policy) return answer({FilterAction::go_on, nullptr});
  switch (r.state) {
    case PolicyState::rcpt: return at_rcpt(r, s, seam);
    case PolicyState::data: return at_data(r, s, seam);
    case PolicyState::other: break;
  }
  return answer({FilterAction::go_on, nullptr});
}

void policy_messages_clear() {
  const std::lock_guard lock(messages_mutex);
  messages.clear();
}
