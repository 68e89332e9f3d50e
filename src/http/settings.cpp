#include "http/settings.hpp"

#include <atomic>
#include <cmath>

#include "base/numeric.hpp"
#include "base/shared_text.hpp"
#include "base/utf8.hpp"

namespace qm {

namespace {

// Relaxed: one value, stored by `start` and read on its own by each frame.
std::atomic<std::uint32_t> terrain_budget{default_terrain_budget_micros};

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
    mode.error = make_text(std::string(lan_not_ipv4_message));
  } else if (!parsed->is_private()) {
    mode.kind = LanModeKind::error;
    mode.error = make_text(std::string(lan_not_private_message));
  } else {
    mode.kind = LanModeKind::address;
    mode.address = *parsed;
  }
  return mode;
}

}  // namespace qm
