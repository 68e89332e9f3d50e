// The host's `status`: the same document as GET /v1/status, built without ever waiting for a lock
// that a server or worker thread may hold; a held lock answers nil and "busy".
#include "module/status.hpp"

#include "module/clock.hpp"
#include "module/fault.hpp"
#include "module/lua_frame.hpp"
#include "module/lua_functions.hpp"
#include "module/server_slot.hpp"
#include "module/settings.hpp"
#include "module/snapshot.hpp"
#include "module/stats.hpp"
#include "server/server.hpp"
#include "server/status_document.hpp"
#include "server/status_parts.hpp"

namespace qm {

std::optional<std::string> status_document_no_wait() {
  const std::optional<std::shared_ptr<server::Server>> slot = try_current_server();
  if (!slot) return std::nullopt;
  const std::shared_ptr<server::Server>& running = *slot;

  const std::optional<SnapshotRef> published = try_snapshot();
  if (!published) return std::nullopt;

  StatusInputs inputs;
  inputs.stats = &module_stats();
  inputs.snapshot = *published;
  if (running) {
    std::optional<std::shared_ptr<const std::string>> error = running->try_error_text();
    if (!error) return std::nullopt;
    const std::optional<server::LanState> lan = running->try_lan_state();
    if (!lan) return std::nullopt;
    inputs.server = server_facts(*running);
    inputs.server_error = std::move(*error);
    inputs.lan = lan_facts(*lan);
  }

  std::optional<std::shared_ptr<const std::string>> panic = try_last_panic();
  if (!panic) return std::nullopt;
  inputs.last_panic = std::move(*panic);

  inputs.now_stamp = stamp_now();

  const std::optional<std::string> projection = status_projection_json(*inputs.snapshot, false);
  if (!projection) return std::nullopt;
  const std::optional<std::string> terrain = terrain_status_json(false);
  if (!terrain) return std::nullopt;
  const std::string micros =
      micros_json(*projection, terrain_cost_stats(), terrain_budget_micros(), inputs.now_stamp, *terrain);
  const std::optional<std::string> mesh = streams_status_json(micros, inputs.now_stamp, false);
  if (!mesh) return std::nullopt;
  inputs.mesh = *mesh;
  return status_json(inputs);
}

namespace lua {

int status(lua_State* L) {
  std::optional<std::string> document = status_document_no_wait();
  if (!document) {
    lua_pushnil(L);
    push_string(L, std::string_view("busy"));
    return 2;
  }
  push_string(L, std::move(*document));
  return 1;
}

}  // namespace lua
}  // namespace qm
