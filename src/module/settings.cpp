#include "module/settings.hpp"

#include <atomic>
#include <cmath>

#include "module/numeric.hpp"

namespace qm {

namespace {

std::atomic<std::uint32_t> terrain_budget{default_terrain_budget_micros};

bool is_white_space(char32_t c) {
  return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
         (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F || c == 0x205F || c == 0x3000;
}

// Decodes the character starting at `i` of valid UTF-8; `length` receives its byte count.
char32_t decode_at(std::string_view s, std::size_t i, std::size_t& length) {
  const auto b = [&](std::size_t k) { return static_cast<unsigned char>(s[k]); };
  const unsigned char c = b(i);
  if (c < 0x80 || i + 1 >= s.size()) {
    length = 1;
    return c;
  }
  if (c < 0xE0) {
    length = 2;
    return ((c & 0x1Fu) << 6) | (b(i + 1) & 0x3Fu);
  }
  if (c < 0xF0 && i + 2 < s.size()) {
    length = 3;
    return ((c & 0x0Fu) << 12) | ((b(i + 1) & 0x3Fu) << 6) | (b(i + 2) & 0x3Fu);
  }
  if (i + 3 < s.size()) {
    length = 4;
    return ((c & 0x07u) << 18) | ((b(i + 1) & 0x3Fu) << 12) | ((b(i + 2) & 0x3Fu) << 6) | (b(i + 3) & 0x3Fu);
  }
  length = 1;
  return c;
}

}  // namespace

std::uint32_t terrain_budget_micros() { return terrain_budget.load(std::memory_order_relaxed); }

void store_terrain_budget_micros(std::uint32_t micros) { terrain_budget.store(micros, std::memory_order_relaxed); }

std::optional<std::uint16_t> port_setting(std::optional<double> argument) {
  const double p = argument.value_or(std::nan(""));
  if (p - std::trunc(p) != 0.0 || !(p >= 1024.0) || !(p <= 65535.0)) return std::nullopt;  // NaN fails all
  return static_cast<std::uint16_t>(p);
}

std::uint32_t terrain_budget_setting(std::optional<double> argument) {
  if (!argument || !std::isfinite(*argument)) return default_terrain_budget_micros;
  const double rounded = round_half_away(*argument);
  if (rounded < 50.0) return 50;
  if (rounded > 2000.0) return 2000;
  return saturate<std::uint32_t>(rounded);
}

std::string_view trim_white_space(std::string_view text) {
  // Leading: decode forwards.
  std::size_t begin = 0;
  while (begin < text.size()) {
    std::size_t length = 1;
    if (!is_white_space(decode_at(text, begin, length))) break;
    begin += length;
  }
  // Trailing: step back to the start of the last character each time.
  std::size_t end = text.size();
  while (end > begin) {
    std::size_t start = end - 1;
    while (start > begin && (static_cast<unsigned char>(text[start]) & 0xC0) == 0x80) --start;
    std::size_t length = 1;
    const char32_t c = decode_at(text, start, length);
    if (start + length != end || !is_white_space(c)) break;
    end = start;
  }
  return text.substr(begin, end - begin);
}

server::LanMode lan_mode_setting(std::optional<bool> lan_switch, const std::optional<std::string>& address) {
  using server::LanModeKind;
  server::LanMode mode;
  if (!lan_switch.value_or(false)) return mode;  // off: an address is ignored
  if (!address) {
    mode.kind = LanModeKind::automatic;
    return mode;
  }
  const auto parsed = platform::parse_ipv4(trim_white_space(*address));
  if (!parsed) {
    mode.kind = LanModeKind::error;
    mode.error = std::make_shared<const std::string>(lan_not_ipv4_message);
  } else if (!parsed->is_private()) {
    mode.kind = LanModeKind::error;
    mode.error = std::make_shared<const std::string>(lan_not_private_message);
  } else {
    mode.kind = LanModeKind::address;
    mode.address = *parsed;
  }
  return mode;
}

}  // namespace qm
