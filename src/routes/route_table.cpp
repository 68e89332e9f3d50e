#include "routes/route_table.hpp"

#include <memory>
#include <optional>
#include <string>
#include <utility>

#include "base/clock.hpp"
#include "host/snapshot.hpp"
#include "http/server.hpp"
#include "routes/status_route.hpp"
#include "routes/terrain_route.hpp"
#include "routes/unit_documents.hpp"
#include "streams/mesh_route.hpp"

namespace qm::server {

Routes connection_routes(ConnectionSlot& slot, SocketTakeover& takeover) {
  Server& server = slot.server();
  Routes routes;
  routes.status = [&server](const RouteRequest& request) -> Answer {
    const SnapshotRef published = snapshot();
    return respond_json(status_route(server.stats, server, published, request.now), request.origin.header_text);
  };
  routes.aircraft = [&server](const RouteRequest& request) {
    const SnapshotRef published = snapshot();
    const std::uint64_t now_stamp = saturating_sub(request.now, clock_origin_ns()) + 1;
    UnitDocument document = aircraft_route(server.stats, *published, now_stamp);
    return respond_json(document.prefix, std::move(document.array), document.suffix, request.origin.header_text);
  };
  routes.neutrals = [&server](const RouteRequest& request) {
    const SnapshotRef published = snapshot();
    const std::uint64_t now_stamp = saturating_sub(request.now, clock_origin_ns()) + 1;
    UnitDocument document = neutrals_route(server.stats, *published, now_stamp);
    return respond_json(document.prefix, std::move(document.array), document.suffix, request.origin.header_text);
  };
  routes.terrain = [&slot](const RouteRequest& request) -> Answer {
    return terrain_route(slot.server().stats, *snapshot(), request.query, request.now, request.origin.header_text,
                         slot.shared_server(), slot.peer());
  };
  routes.mesh = [&slot, &takeover](const RouteRequest& request) -> Answer {
    MeshRouteResult result =
        mesh_route(slot.shared_server(), request.query, slot.peer(), request.origin.header_text, request.now);
    if (!result) return result.error();
    // The stream runs on this connection's thread once the router is done with the request.
    auto stream = std::make_shared<MeshStreamStart>(std::move(result).value());
    takeover = [stream, &server = slot.server()](platform::Socket& socket) {
      return run_mesh_stream(socket, std::move(*stream), server).graceful;
    };
    return Answer();
  };
  return routes;
}

}  // namespace qm::server
