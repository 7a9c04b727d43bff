// Angle-address syntax check and extraction of an envelope argument, and the
// sender's cache key.
#include "filter/address.h"

#include <cstring>

namespace {

// The edge bytes refused: BEL through CR, and space.
bool refused_edge(unsigned char b) { return (b >= 7 && b <= 13) || b == ' '; }

}  // namespace

// Two scans of the whole text: find_first_of would search the pair once per byte,
// and this runs three times for every message.
bool has_line_break(std::string_view text) {
  return text.find('\n') != std::string_view::npos || text.find('\r') != std::string_view::npos;
}

bool is_null_sender(std::string_view raw) {
  const std::size_t start = raw.find_first_not_of(" \t");
  if (start == std::string_view::npos) return false;
  const std::string_view path = raw.substr(start);
  if (!path.starts_with("<>")) return false;
  return path.size() == 2 || path[2] == ' ' || path[2] == '\t';
}

int extract_address(EnvelopeText& dest, const char* raw) {
  if (raw == nullptr) return 0;
  const std::string_view text(raw);
  const std::size_t open = text.find('<');
  if (open == std::string_view::npos) return 0;
  const std::size_t close = text.rfind('>');
  if (close == std::string_view::npos) return 0;
  if (close < open || close - open - 1 < 2) return 0;

  const std::string_view content = text.substr(open + 1, close - open - 1);
  dest.assign(content);
  // Callers pass a raw field no longer than dest, so this only guards direct use.
  if (content.size() >= EnvelopeText::capacity()) return 0;
  if (refused_edge(static_cast<unsigned char>(content.front())) ||
      refused_edge(static_cast<unsigned char>(content.back())))
    return 0;
  if (has_line_break(text)) return 0;
  if (content.find('@') == std::string_view::npos) return 0;
  return 1;
}

void sender_key(std::string_view sender, std::string_view delimiters, EnvelopeText& key) {
  const std::size_t at = sender.rfind('@');
  if (at == std::string_view::npos || at == 0 || sender.front() == '"') {
    key.assign(sender);
    return;
  }
  std::string_view local = sender.substr(0, at);
  for (const std::string_view batv : {std::string_view("prvs="), std::string_view("msprvs1=")}) {
    if (!local.starts_with(batv)) continue;
    const std::size_t tag_end = local.find('=', batv.size());
    if (tag_end != std::string_view::npos && tag_end + 1 < local.size())
      local.remove_prefix(tag_end + 1);
    break;
  }
  const std::size_t cut = local.find_first_of(delimiters);
  if (cut != std::string_view::npos && cut > 0) local = local.substr(0, cut);
  const std::string_view domain = sender.substr(at);
  // The pieces never outgrow the sender, which fits the field.
  char joined[EnvelopeText::capacity()];
  const std::size_t n = local.size() < sizeof joined - 1 ? local.size() : sizeof joined - 1;
  std::memcpy(joined, local.data(), n);
  const std::size_t m = domain.size() < sizeof joined - 1 - n ? domain.size() : sizeof joined - 1 - n;
  std::memcpy(joined + n, domain.data(), m);
  key.assign(std::string_view(joined, n + m));
}
