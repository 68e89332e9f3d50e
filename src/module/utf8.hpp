#pragma once
#include <cstddef>
#include <string>
#include <string_view>

namespace qm {

// One UTF-8 sequence at bytes[i] (a byte of 0x80 or more): its length, and whether it is a whole
// valid character; an invalid one is its maximal invalid subpart (at least 1 byte).
struct Utf8Sequence {
  std::size_t length;
  bool valid;
};
Utf8Sequence utf8_sequence_at(std::string_view bytes, std::size_t i);

// Decodes bytes as UTF-8, replacing every maximal invalid subpart with U+FFFD.
std::string utf8_replace_invalid(std::string_view bytes);

// True when the bytes are valid UTF-8 throughout.
bool is_valid_utf8(std::string_view bytes);

}  // namespace qm
