#pragma once
#include <cstddef>
#include <string>
#include <string_view>

namespace qm {

// One UTF-8 sequence at bytes[i]: its length, and whether it is a whole valid character (no
// overlong form, no surrogate, nothing above U+10FFFF); an invalid one is its maximal invalid
// subpart (at least 1 byte). `code_point` is the character when valid, else 0.
struct Utf8Sequence {
  std::size_t length;
  bool valid;
  char32_t code_point;
};
Utf8Sequence utf8_sequence_at(std::string_view bytes, std::size_t i);

// Decodes bytes as UTF-8, replacing every maximal invalid subpart with U+FFFD.
std::string utf8_replace_invalid(std::string_view bytes);

// True when the bytes are valid UTF-8 throughout.
bool is_valid_utf8(std::string_view bytes);

// True for the Unicode White_Space characters.
bool is_white_space(char32_t c);

// The text without leading and trailing white space (the Unicode White_Space characters). Only
// whole valid characters are trimmed: an invalid sequence ends the trim on its side.
std::string_view trim_white_space(std::string_view text);

}  // namespace qm
