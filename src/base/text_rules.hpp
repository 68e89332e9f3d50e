#pragma once
// Small text rules the server applies to what peers send.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "base/utf8.hpp"

namespace qm::server {

using qm::is_valid_utf8;

bool ascii_iequals(std::string_view a, std::string_view b);

// Removes leading and trailing Unicode white space (the module's `trim_white_space`).
inline std::string_view trim_unicode_space(std::string_view text) { return qm::trim_white_space(text); }

// Replaces every occurrence of `from` (not empty) by `to` in one left-to-right pass: replacements
// are not looked at again.
std::string replace_all(std::string_view text, std::string_view from, std::string_view to);

// A decimal port: digits after an optional "+", no overflow.
std::optional<std::uint16_t> parse_port(std::string_view text);

}  // namespace qm::server
