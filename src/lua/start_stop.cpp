// `start` and `stop`: the settings reach the module, a fresh server replaces the running one.
#include <memory>
#include <string>

#include "lua/lua_frame.hpp"
#include "lua/lua_functions.hpp"
#include "http/server_slot.hpp"
#include "http/settings.hpp"
#include "platform/handback.hpp"
#include "platform/thread.hpp"
#include "http/server.hpp"
#include "routes/route_table.hpp"
#include "work/workers.hpp"

namespace qm {

namespace {

// Tells a server that left the slot to stop, and wakes its loopback accept.
void retire(std::shared_ptr<server::Server> old) {
  if (!old) return;
  old->stop.store(true, std::memory_order_release);
  server::spawn_wake_thread(platform::SocketAddressV4{platform::ipv4_loopback, old->port});
}

// Everything `start` does after the port passed; pushes nothing.
void start_server(lua_State* L, std::uint16_t port) {
  std::optional<std::string> address;
  if (!is_absent(L, 3)) {
    address = lua_string_arg(L, 3);
    if (!address) address = "(not text)";
  }

  // The budget is in force even when the LAN settings are wrong.
  store_terrain_budget_micros(terrain_budget_setting(number_arg(L, 4)));

  server::LanMode mode = lan_mode_setting(boolean_arg(L, 2), address);

  // The first start of the process makes the terrain work state and starts its two workers.
  work::start_terrain_work();

  server::install_route_table(&server::connection_routes);
  const std::uint64_t generation = next_server_generation();
  // Made here and let go by the server's own threads: freed on this side whoever lets go last.
  std::shared_ptr<server::Server> next = platform::make_sided<server::Server>(port, generation, std::move(mode));

  retire(swap_server(next));
  lan_changes_counter().fetch_add(1, std::memory_order_relaxed);

  if (auto started = platform::spawn_thread("quillmarsh-exporter", platform::Priority::below_normal,
                                            [s = next] { server::run_server_thread(s); });
      !started) {
    server::set_server_error(*next, "could not start the server thread: " + started.error());
  }

  using server::LanModeKind;
  const server::LanMode& lan = next->lan_mode;
  if (lan.kind == LanModeKind::automatic || lan.kind == LanModeKind::address) {
    const Result<void, std::string> started =
        lan.kind == LanModeKind::automatic
            ? platform::spawn_thread("quillmarsh-exporter-lan", platform::Priority::below_normal,
                                     [s = next] { server::run_lan_thread(s); })
            : platform::spawn_thread("quillmarsh-exporter-lan", platform::Priority::below_normal,
                                     [s = next, a = lan.address] { server::run_lan_thread_fixed(s, a); });
    if (!started)
      server::set_lan_state(*next, server::LanState::not_listening("could not start the LAN thread: " + started.error()));
  }
}

}  // namespace

namespace lua {

int start(lua_State* L) {
  const auto port = port_setting(number_arg(L, 1));
  if (!port) {
    lua_pushnil(L);
    push_string(L, port_message);
    return 2;
  }
  start_server(L, *port);
  lua_pushboolean(L, 1);
  return 1;
}

int stop(lua_State* L) {
  retire(swap_server(nullptr));
  lua_pushboolean(L, 1);
  return 1;
}

}  // namespace lua

}  // namespace qm
