// The control's commands over the cache's narrow functions: what an address
// has, forgetting it, forgetting a domain's marks, and the daemon's counts.
#include "control/answer.h"

#include <atomic>
#include <cstdio>
#include <optional>
#include <span>
#include <vector>

#include "cache/mark_strikes.h"
#include "cache/shared_tier.h"
#include "settings/settings.h"
#include "util/constants.h"

namespace {

struct KindWord {
  int kind;
  const char* word;
};
constexpr KindWord KINDS[] = {
    {CACHE_SENDER, "sender"},
    {CACHE_RECIPIENT, "recipient"},
    {CACHE_SENDER_CATCHALL, "sender-catch-all"},
    {CACHE_RECIPIENT_CATCHALL, "recipient-catch-all"},
    {CACHE_SENDER_REFUSING, "sender-refusing"},
};

constexpr int ADDRESS_KINDS[] = {CACHE_SENDER, CACHE_RECIPIENT};
constexpr int SENDER_KINDS[] = {CACHE_SENDER};
constexpr int EXCHANGER_KINDS[] = {CACHE_EXCHANGER_REFUSING};
ControlExchangerHooks exchanger_hooks;
// Marks kept per domain rather than per address.
constexpr int DOMAIN_KINDS[] = {CACHE_SENDER_CATCHALL, CACHE_RECIPIENT_CATCHALL,
                                CACHE_SENDER_REFUSING};

const char* kind_word(int kind) {
  for (const KindWord& k : KINDS)
    if (k.kind == kind) return k.word;
  return "other";
}

const char* status_word(int status) {
  switch (status) {
    case SENDER_PASS: case RCPT_PASS: return "pass";
    case SENDER_FAIL: case RCPT_FAIL: return "fail";
    case SENDER_TEMPFAIL: case RCPT_TEMPFAIL: return "tempfail";
    case CATCHALL_DOMAIN: return "catchall";
    case REFUSING_DOMAIN: return "refusing";
    default: return "other";
  }
}

void append_lines(std::string& out, const std::vector<CacheHolding>& held) {
  for (const CacheHolding& h : held) out += control_holding_line(h) + "\n";
}

// The entries of a tagged address's base, each line saying whose they are.
void append_base_lines(std::string& out, std::string_view base, const std::vector<CacheHolding>& held) {
  for (const CacheHolding& h : held) out += control_holding_line(h) + " as " + std::string(base) + "\n";
}

// An exchanger's words as one field: control bytes, the backslash and the
// quote as \xHH, so that no reply can end the field or the line.
std::string quoted(std::string_view reply) {
  std::string q = "\"";
  for (unsigned char c : reply) {
    if (c < 0x20 || c == 0x7f || c == '\\' || c == '"') {
      char hex[5];
      std::snprintf(hex, sizeof hex, "\\x%02x", c);
      q += hex;
    } else {
      q += static_cast<char>(c);
    }
  }
  return q + "\"";
}

// The domain marks, the refusing one with the reply that set it, and a refused
// probe that waits for a second one before the domain is marked.
void append_marks(std::string& out, const std::string& domain) {
  const std::optional<MarkNote> note = mark_note(CACHE_SENDER_REFUSING, domain);
  bool told = false;
  for (const CacheHolding& h : cache_look_up(domain.c_str(), DOMAIN_KINDS)) {
    out += control_holding_line(h);
    if (h.kind == CACHE_SENDER_REFUSING && note && note->marked) {
      out += " reply=" + quoted(note->reply);
      told = true;
    }
    out += "\n";
  }
  if (note && !note->marked && !told)
    out += std::string(kind_word(CACHE_SENDER_REFUSING)) + " pending " +
           std::to_string(note->seconds_left) + " memory reply=" + quoted(note->reply) + "\n";
}

std::string domain_of(const std::string& address) {
  return address.substr(address.rfind('@') + 1);
}

// What forget removed, and a warning when the shared tier kept its keys.
// as_base: key is the base entry of the address asked for, and the lines say so.
void append_forgotten(std::string& out, const char* key, std::span<const int> kinds, bool as_base = false) {
  bool shared_forgotten = true;
  const std::vector<CacheHolding> held = cache_forget(key, kinds, &shared_forgotten);
  if (as_base)
    append_base_lines(out, key, held);
  else
    append_lines(out, held);
  if (!shared_forgotten)
    out += std::string("warning: the shared tier is unavailable and still holds ") + (as_base ? key : "it") + "\n";
}

void append_stats(std::string& out) {
  for (const KindWord& k : KINDS)
    out += std::string("entries ") + k.word + " " + std::to_string(cache_entry_count(k.kind)) + "\n";
  const auto now = settings_now();
  const char* shared = !now->redis && !now->redissentinel ? "off" : shared_tier_up() ? "up" : "down";
  out += std::string("shared ") + shared + "\n";
  out += "shared-errors " + std::to_string(shared_tier_errors()) + "\n";
}

std::atomic<ControlReload> reloader{nullptr};
std::atomic<ControlSenderKey> sender_keyer{nullptr};

// The base entry that answers for a tagged sender; empty when it is the address itself.
std::string base_of(const std::string& address) {
  const ControlSenderKey keyer = sender_keyer.load();
  if (keyer == nullptr) return {};
  std::string base = keyer(address);
  return base == address ? std::string() : base;
}


}  // namespace

void control_set_reload(ControlReload reload) { reloader.store(reload); }
void control_set_sender_key(ControlSenderKey key) { sender_keyer.store(key); }

std::string control_holding_line(const CacheHolding& h) {
  return std::string(kind_word(h.kind)) + " " + status_word(h.status) + " " +
         std::to_string(h.seconds_left) + (h.shared ? " shared" : " memory");
}

void control_set_exchanger_hooks(const ControlExchangerHooks& hooks) { exchanger_hooks = hooks; }

std::string control_answer(const ControlRequest& r) {
  std::string out;
  const char* key = r.argument.c_str();
  switch (r.command) {
    case ControlCommand::invalid:
      return std::string("error: ") + (r.error != nullptr ? r.error : "bad request") + "\n";
    case ControlCommand::show:
      append_lines(out, cache_look_up(key, ADDRESS_KINDS));
      if (const std::string base = base_of(r.argument); !base.empty())
        append_base_lines(out, base, cache_look_up(base.c_str(), SENDER_KINDS));
      append_marks(out, domain_of(r.argument));
      // An empty answer reads like a tool that printed nothing.
      if (out.empty()) out = "not cached\n";
      break;
    case ControlCommand::show_exchangers:
      if (exchanger_hooks.list_refusing != nullptr) out = exchanger_hooks.list_refusing();
      if (out.empty()) out = "no exchangers marked\n";
      break;
    case ControlCommand::forget_exchanger:
      if (exchanger_hooks.forget_refusing != nullptr && exchanger_hooks.forget_refusing(key))
        out = std::string("exchanger ") + key + " forgotten\n";
      // The site's copy of the mark, when the shared tier holds one.
      append_forgotten(out, key, EXCHANGER_KINDS);
      if (out.empty()) out = "no marks\n";
      break;
    case ControlCommand::forget:
      append_forgotten(out, key, ADDRESS_KINDS);
      if (const std::string base = base_of(r.argument); !base.empty())
        append_forgotten(out, base.c_str(), SENDER_KINDS, true);
      break;
    case ControlCommand::forget_domain:
      append_forgotten(out, key, DOMAIN_KINDS);
      if (const std::optional<MarkNote> note = mark_note(CACHE_SENDER_REFUSING, key); note && !note->marked)
        out += std::string(kind_word(CACHE_SENDER_REFUSING)) + " pending " +
               std::to_string(note->seconds_left) + " memory\n";
      (void)mark_strikes_forget(CACHE_SENDER_REFUSING, key);
      if (out.empty()) out = "no marks\n";
      break;
    case ControlCommand::stats:
      append_stats(out);
      break;
    case ControlCommand::reload: {
      const ControlReload reload = reloader.load();
      if (reload == nullptr) return "error: reload is not available here\n";
      if (const std::string problem = reload(); !problem.empty())
        return "error: configuration not reloaded: " + problem + "\n";
      out += "configuration reloaded\n";
      break;
    }
  }
  return out + ".\n";
}
