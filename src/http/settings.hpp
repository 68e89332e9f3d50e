#pragma once
// The settings that `start` takes from the host: port, LAN switch and address, terrain budget.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "base/utf8.hpp"  // trim_white_space: the address setting is trimmed with it
#include "http/server.hpp"

namespace qm {

inline constexpr std::string_view port_message = "port must be a whole number from 1024 to 65535";
inline constexpr std::string_view lan_not_ipv4_message =
    "the address setting isn't an IPv4 address like \"192.168.1.20\"";
inline constexpr std::string_view lan_not_private_message =
    "the address setting isn't a private LAN address (10.x.x.x, 172.16-31.x.x or 192.168.x.x)";

inline constexpr std::uint32_t default_terrain_budget_micros = 300;

// The terrain budget in force: microseconds that one `terrain_take` call may spend (300 before the
// first `start`). Read without a lock.
std::uint32_t terrain_budget_micros();
void store_terrain_budget_micros(std::uint32_t micros);

// The port argument: a whole number from 1024 to 65535, else nullopt.
std::optional<std::uint16_t> port_setting(std::optional<double> argument);

// The budget argument: a finite number rounded (halves away from zero) and clamped to 50..2000;
// 300 for anything else.
std::uint32_t terrain_budget_setting(std::optional<double> argument);

// The LAN mode from the switch (only the boolean true turns it on) and the address text (nullopt
// when none was given). The address is trimmed of white space and must be a private IPv4 address.
server::LanMode lan_mode_setting(std::optional<bool> lan_switch, const std::optional<std::string>& address);

}  // namespace qm
