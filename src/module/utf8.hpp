#pragma once
#include <string>
#include <string_view>

namespace qm {

// Decodes bytes as UTF-8, replacing every maximal invalid subpart with U+FFFD.
std::string utf8_replace_invalid(std::string_view bytes);

}  // namespace qm
