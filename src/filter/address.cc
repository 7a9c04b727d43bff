// Angle-address syntax check and extraction of an envelope argument.
#include "filter/address.h"

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
