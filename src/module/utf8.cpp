#include "module/utf8.hpp"

namespace qm {

Utf8Sequence utf8_sequence_at(std::string_view bytes, std::size_t i) {
  const auto c = static_cast<unsigned char>(bytes[i]);
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
    return {1, false};
  }
  std::size_t got = 0;
  std::size_t j = i + 1;
  while (got < need && j < bytes.size()) {
    const auto b = static_cast<unsigned char>(bytes[j]);
    if (got == 0 ? (b < lo || b > hi) : (b < 0x80 || b > 0xBF)) break;
    ++got;
    ++j;
  }
  return {j - i, got == need};
}

std::string utf8_replace_invalid(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size());
  std::size_t i = 0;
  while (i < bytes.size()) {
    if (static_cast<unsigned char>(bytes[i]) < 0x80) {
      out.push_back(bytes[i]);
      ++i;
      continue;
    }
    const Utf8Sequence sequence = utf8_sequence_at(bytes, i);
    if (sequence.valid) {
      out.append(bytes.substr(i, sequence.length));
    } else {
      out.append("\xEF\xBF\xBD");  // the maximal invalid subpart becomes one replacement
    }
    i += sequence.length;
  }
  return out;
}

bool is_valid_utf8(std::string_view bytes) {
  std::size_t i = 0;
  while (i < bytes.size()) {
    if (static_cast<unsigned char>(bytes[i]) < 0x80) {
      ++i;
      continue;
    }
    const Utf8Sequence sequence = utf8_sequence_at(bytes, i);
    if (!sequence.valid) return false;
    i += sequence.length;
  }
  return true;
}

}  // namespace qm
