// `lan_status` and `lan_changes`: what the LAN listener does, and when to ask again.
#include <optional>
#include <string>

#include "lua/lua_frame.hpp"
#include "lua/lua_functions.hpp"
#include "http/server_slot.hpp"
#include "http/server.hpp"

namespace qm {

namespace {

// The LAN status line, or nullopt when a lock was held ("busy"). Takes no lock for long.
std::optional<std::string> lan_status_text() {
  const auto slot = try_current_server();
  if (!slot) return std::nullopt;
  const std::shared_ptr<server::Server>& server = *slot;
  if (!server) return std::string("off");
  const auto state = server->try_lan_state();
  if (!state) return std::nullopt;
  if (server->lan_mode.kind == server::LanModeKind::off) return std::string("off");
  if (state->address) return "listening on " + platform::SocketAddressV4{*state->address, server->port}.to_string();
  if (state->error) return "not listening: " + *state->error;
  return std::string("not listening yet");
}

}  // namespace

namespace lua {

int lan_status(lua_State* L) {
  return push_text_or_busy(L, lan_status_text());
}

int lan_changes(lua_State* L) {
  const std::uint64_t changes = lan_changes_counter().load(std::memory_order_relaxed);
  lua_pushnumber(L, static_cast<lua_Number>(changes));
  return 1;
}

}  // namespace lua

}  // namespace qm
