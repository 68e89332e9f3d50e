#include "module/utf8.hpp"

namespace qm {

std::string utf8_replace_invalid(std::string_view bytes) {
  static constexpr char replacement[] = "\xEF\xBF\xBD";
  std::string out;
  out.reserve(bytes.size());
  const auto* s = reinterpret_cast<const unsigned char*>(bytes.data());
  const std::size_t n = bytes.size();
  std::size_t i = 0;
  while (i < n) {
    const unsigned char c = s[i];
    if (c < 0x80) {
      out.push_back(static_cast<char>(c));
      ++i;
      continue;
    }
    std::size_t need = 0;
    unsigned char lo = 0x80, hi = 0xBF;  // allowed range of the second byte
    if (c >= 0xC2 && c <= 0xDF) {
      need = 1;
    } else if (c >= 0xE0 && c <= 0xEF) {
      need = 2;
      if (c == 0xE0) lo = 0xA0;
      if (c == 0xED) hi = 0x9F;
    } else if (c >= 0xF0 && c <= 0xF4) {
      need = 3;
      if (c == 0xF0) lo = 0x90;
      if (c == 0xF4) hi = 0x8F;
    } else {
      out.append(replacement, 3);
      ++i;
      continue;
    }
    std::size_t j = i + 1;
    std::size_t got = 0;
    while (got < need && j < n) {
      const unsigned char b = s[j];
      const bool ok = got == 0 ? (b >= lo && b <= hi) : (b >= 0x80 && b <= 0xBF);
      if (!ok) break;
      ++got;
      ++j;
    }
    if (got == need) {
      out.append(reinterpret_cast<const char*>(s + i), need + 1);
    } else {
      out.append(replacement, 3);  // the maximal subpart s[i, j) becomes one replacement
    }
    i = j;
  }
  return out;
}

}  // namespace qm
