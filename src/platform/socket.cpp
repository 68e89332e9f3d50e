// The platform-independent half of the socket layer: address parsing and formatting.
#include "platform/socket.hpp"

#include <charconv>

namespace qm::platform {

std::string Ipv4Address::to_string() const {
  std::string out;
  out.reserve(15);
  char digits[4];
  const auto parts = octets();
  for (std::size_t i = 0; i < parts.size(); ++i) {
    if (i > 0) out.push_back('.');
    const auto end = std::to_chars(digits, digits + sizeof digits, static_cast<unsigned>(parts[i])).ptr;
    out.append(digits, end);
  }
  return out;
}

std::optional<Ipv4Address> parse_ipv4(std::string_view text) {
  std::uint32_t value = 0;
  std::size_t pos = 0;
  for (int part = 0; part < 4; ++part) {
    if (part > 0) {
      if (pos >= text.size() || text[pos] != '.') return std::nullopt;
      ++pos;
    }
    const std::size_t begin = pos;
    unsigned octet = 0;
    while (pos < text.size() && text[pos] >= '0' && text[pos] <= '9' && pos - begin < 3) {
      octet = octet * 10 + static_cast<unsigned>(text[pos] - '0');
      ++pos;
    }
    const std::size_t digits = pos - begin;
    if (digits == 0 || octet > 255) return std::nullopt;
    if (digits > 1 && text[begin] == '0') return std::nullopt;
    value = (value << 8) | octet;
  }
  if (pos != text.size()) return std::nullopt;  // a fourth digit, a fifth part or anything trailing
  return Ipv4Address{value};
}

std::string SocketAddressV4::to_string() const {
  std::string out = address.to_string();
  out.push_back(':');
  char digits[8];
  const auto end = std::to_chars(digits, digits + sizeof digits, static_cast<unsigned>(port)).ptr;
  out.append(digits, end);
  return out;
}

}  // namespace qm::platform
