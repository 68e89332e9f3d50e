#include "routes/status_gather.hpp"

#include "base/clock.hpp"
#include "base/fault.hpp"
#include "http/settings.hpp"
#include "http/server.hpp"
#include "routes/status_document.hpp"
#include "routes/status_parts.hpp"

namespace qm {

std::optional<std::string> gather_status_document(LockPolicy policy, const ModuleStats& stats,
                                                  const server::Server* server, const SnapshotRef& snapshot,
                                                  std::optional<std::uint64_t> now_stamp) {
  const bool wait = policy == LockPolicy::wait;
  StatusInputs inputs;
  inputs.stats = &stats;
  inputs.snapshot = snapshot;
  if (server) {
    if (wait) {
      inputs.server_error = server->error_text();
      inputs.lan = lan_facts(server->lan_state());
    } else {
      std::optional<SharedText> error = server->try_error_text();
      if (!error) return std::nullopt;
      const std::optional<server::LanState> lan = server->try_lan_state();
      if (!lan) return std::nullopt;
      inputs.server_error = std::move(*error);
      inputs.lan = lan_facts(*lan);
    }
    inputs.server = server_facts(*server);
  }

  if (wait) {
    inputs.last_panic = last_panic();
  } else {
    std::optional<SharedText> panic = try_last_panic();
    if (!panic) return std::nullopt;
    inputs.last_panic = std::move(*panic);
  }

  inputs.now_stamp = now_stamp ? *now_stamp : stamp_now();

  const std::optional<std::string> projection = status_projection_json(*snapshot, wait);
  if (!projection) return std::nullopt;
  const std::optional<std::string> terrain = terrain_status_json(wait);
  if (!terrain) return std::nullopt;
  const std::string micros =
      micros_json(*projection, terrain_cost_stats(), terrain_budget_micros(), inputs.now_stamp, *terrain);
  const std::optional<std::string> mesh = streams_status_json(micros, inputs.now_stamp, wait);
  if (!mesh) return std::nullopt;
  inputs.mesh = *mesh;
  return status_json(inputs);
}

}  // namespace qm
