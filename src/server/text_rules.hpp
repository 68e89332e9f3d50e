#pragma once
// Small text rules the server applies to what peers send.
#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace qm::server {

bool is_valid_utf8(std::string_view bytes);

bool ascii_iequals(std::string_view a, std::string_view b);

// Removes leading and trailing Unicode white space from valid UTF-8.
std::string_view trim_unicode_space(std::string_view text);

// A dotted-decimal IPv4 literal: four numbers 0..255, no leading zeros, no signs.
std::optional<std::array<std::uint8_t, 4>> parse_ipv4(std::string_view text);

// The dotted-decimal text of an address as printed (no leading zeros).
std::string ipv4_text(const std::array<std::uint8_t, 4>& address);

// 10.0.0.0/8, 127.0.0.0/8, 172.16.0.0/12 or 192.168.0.0/16.
bool is_private_or_loopback_ipv4(const std::array<std::uint8_t, 4>& address);

// A decimal port: digits after an optional "+", no overflow.
std::optional<std::uint16_t> parse_port(std::string_view text);

}  // namespace qm::server
