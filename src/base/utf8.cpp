#include "base/utf8.hpp"

namespace qm {

Utf8Sequence utf8_sequence_at(std::string_view bytes, std::size_t i) {
  const auto c = static_cast<unsigned char>(bytes[i]);
  if (c < 0x80) return {1, true, c};
  std::size_t need = 0;
  char32_t code_point = 0;
  unsigned char lo = 0x80, hi = 0xBF;  // allowed range of the second byte
  if (c >= 0xC2 && c <= 0xDF) {
    need = 1;
    code_point = c & 0x1Fu;
  } else if (c >= 0xE0 && c <= 0xEF) {
    need = 2;
    code_point = c & 0x0Fu;
    if (c == 0xE0) lo = 0xA0;
    if (c == 0xED) hi = 0x9F;
  } else if (c >= 0xF0 && c <= 0xF4) {
    need = 3;
    code_point = c & 0x07u;
    if (c == 0xF0) lo = 0x90;
    if (c == 0xF4) hi = 0x8F;
  } else {
    return {1, false, 0};
  }
  std::size_t got = 0;
  std::size_t j = i + 1;
  while (got < need && j < bytes.size()) {
    const auto b = static_cast<unsigned char>(bytes[j]);
    if (got == 0 ? (b < lo || b > hi) : (b < 0x80 || b > 0xBF)) break;
    code_point = (code_point << 6) | (b & 0x3Fu);
    ++got;
    ++j;
  }
  if (got != need) return {j - i, false, 0};
  return {j - i, true, code_point};
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

bool is_white_space(char32_t c) {
  return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
         (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F || c == 0x205F || c == 0x3000;
}

std::string_view trim_white_space(std::string_view text) {
  // Leading: decode forwards.
  std::size_t begin = 0;
  while (begin < text.size()) {
    const Utf8Sequence sequence = utf8_sequence_at(text, begin);
    if (!sequence.valid || !is_white_space(sequence.code_point)) break;
    begin += sequence.length;
  }
  // Trailing: step back to the lead byte of the last character (at most three continuation bytes)
  // and decode it; it must end exactly at `end`.
  std::size_t end = text.size();
  while (end > begin) {
    std::size_t start = end - 1;
    while (start > begin && end - start < 4 && (static_cast<unsigned char>(text[start]) & 0xC0) == 0x80) --start;
    const Utf8Sequence sequence = utf8_sequence_at(text, start);
    if (!sequence.valid || start + sequence.length != end || !is_white_space(sequence.code_point)) break;
    end = start;
  }
  return text.substr(begin, end - begin);
}

}  // namespace qm
