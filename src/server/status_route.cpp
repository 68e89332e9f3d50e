#include "server/status_route.hpp"

#include "module/clock.hpp"
#include "module/fault.hpp"
#include "module/settings.hpp"
#include "module/snapshot.hpp"
#include "module/stats.hpp"
#include "platform/clock.hpp"
#include "server/server.hpp"
#include "server/status_document.hpp"
#include "server/status_parts.hpp"

namespace qm::server {

namespace {

// The last panic, waiting for its lock (which is only ever held for a copy or a store).
SharedText last_panic_waiting() {
  for (int attempt = 0; attempt < 1000; ++attempt) {
    if (const auto panic = try_last_panic()) return *panic;
    platform::sleep_ns(100000);
  }
  return nullptr;
}

}  // namespace

std::string status_route(Server& server, std::uint64_t now) {
  const SharedText error = server.error_text();
  const LanState lan = server.lan_state();
  const SharedText panic = last_panic_waiting();
  const SnapshotRef snap = snapshot();
  const std::uint64_t now_stamp = saturating_sub(now, clock_origin_ns()) + 1;

  const std::string projection = status_projection_json(*snap, true).value_or("{\"kind\":\"none\"}");
  const std::string terrain = terrain_status_json(true).value_or("\"store\":null,\"work\":null");
  const std::string micros =
      micros_json(projection, terrain_cost_stats(), terrain_budget_micros(), now_stamp, terrain);
  const std::string mesh = streams_status_json(micros, now_stamp, true).value_or("null");

  StatusInputs inputs;
  inputs.stats = &server.stats;
  inputs.server = server_facts(server);
  inputs.snapshot = snap;
  inputs.server_error = error;
  inputs.lan = lan_facts(lan);
  inputs.last_panic = panic;
  inputs.mesh = mesh;
  inputs.now_stamp = now_stamp;
  return status_json(inputs);
}

}  // namespace qm::server
