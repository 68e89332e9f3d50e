#pragma once
// The status document (GET /v1/status and the Lua `status`): head, server, mission, export hook,
// LAN listener, health and the "mesh" object, every key in a fixed order with fixed decimals.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "host/host_state.hpp"
#include "host/snapshot.hpp"
#include "host/stats.hpp"

namespace qm {

namespace server {
class Server;
struct LanState;
}  // namespace server

// What the document reads of a running `Server`.
struct ServerFacts {
  std::uint64_t generation = 0;
  std::optional<std::uint16_t> listening_port;  // the port while the loopback listener runs
  std::uint64_t open_connections = 0;
  bool lan_enabled = false;  // the LAN mode is not off (a settings error counts as enabled)
};

// What the document reads of the server's LAN state.
struct LanFacts {
  std::optional<std::string> address;  // dotted IPv4 address while listening
  SharedText error;
};

// The facts of a server and of a copy of its LAN state.
ServerFacts server_facts(const server::Server& server);
LanFacts lan_facts(const server::LanState& state);

struct StatusInputs {
  const ModuleStats* stats = nullptr;
  std::optional<ServerFacts> server;  // none when no server runs
  SnapshotRef snapshot;
  SharedText server_error;
  LanFacts lan;
  SharedText last_panic;
  std::string_view mesh;  // the "mesh" object, inserted unchanged
  std::uint64_t now_stamp = 0;
};

// The whole document.
std::string status_json(const StatusInputs& inputs);

// The "projection" and "slice" members, a comma and the terrain text (no braces), for the "mesh"
// object. `projection` is the projection object's text; `budget_micros` the terrain budget.
std::string micros_json(std::string_view projection, const TerrainCostStats& terrain, std::uint32_t budget_micros,
                        std::uint64_t now_stamp, std::string_view terrain_text);

}  // namespace qm
