// A small builder of DNS reply packets for tests: header, names (plain or with
// compression pointers), questions and resource records with patched lengths.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

class PacketBuilder {
 public:
  std::vector<unsigned char> bytes;

  std::size_t here() const { return bytes.size(); }

  PacketBuilder& u8(unsigned v) {
    bytes.push_back(static_cast<unsigned char>(v));
    return *this;
  }
  PacketBuilder& u16(unsigned v) { return u8(v >> 8).u8(v & 0xff); }
  PacketBuilder& u32(std::uint32_t v) { return u16(v >> 16).u16(v & 0xffff); }
  PacketBuilder& raw(std::string_view s) {
    bytes.insert(bytes.end(), s.begin(), s.end());
    return *this;
  }

  // Response, recursion desired and available; no authority or additional.
  PacketBuilder& header(unsigned qdcount, unsigned ancount) {
    return u16(0x1234).u16(0x8180).u16(qdcount).u16(ancount).u16(0).u16(0);
  }

  // The labels of a dotted name; "" writes only the labels (none). A label may
  // hold any byte, dots included, when given through label().
  PacketBuilder& labels(std::string_view dotted) {
    while (!dotted.empty()) {
      std::size_t dot = dotted.find('.');
      std::string_view l = dotted.substr(0, dot);
      label(l);
      if (dot == std::string_view::npos) break;
      dotted.remove_prefix(dot + 1);
    }
    return *this;
  }
  PacketBuilder& label(std::string_view l) { return u8(static_cast<unsigned>(l.size())).raw(l); }
  PacketBuilder& name(std::string_view dotted) { return labels(dotted).u8(0); }
  PacketBuilder& pointer(std::size_t offset) {
    return u16(0xc000 | static_cast<unsigned>(offset));
  }

  // The question: name, type MX, class IN.
  PacketBuilder& question(std::string_view dotted) { return name(dotted).u16(15).u16(1); }

  // The fixed fields of a record after its owner name; RDLENGTH is patched by
  // end_rdata() unless given.
  PacketBuilder& fixed(unsigned type, int rdlength = -1) {
    u16(type).u16(1).u32(300);
    rdlength_at_ = here();
    return u16(rdlength < 0 ? 0 : static_cast<unsigned>(rdlength));
  }
  PacketBuilder& end_rdata() {
    std::size_t n = here() - rdlength_at_ - 2;
    bytes[rdlength_at_] = static_cast<unsigned char>(n >> 8);
    bytes[rdlength_at_ + 1] = static_cast<unsigned char>(n & 0xff);
    return *this;
  }

  // An MX record owned by the question's name (a pointer to offset 12).
  PacketBuilder& mx(unsigned preference, std::string_view exchange) {
    return pointer(12).fixed(15).u16(preference).name(exchange).end_rdata();
  }

  std::size_t rdlength_at_ = 0;
};
