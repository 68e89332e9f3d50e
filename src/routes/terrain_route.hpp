#pragma once
// GET /v1/terrain?points=lat,lon;...: the terrain heights of up to 200 points, from the height
// cache or asked of the host through height queue kind 0 (waiting at most a second), with the
// per-peer limits applied to the points that really go to the host.
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "host/snapshot.hpp"
#include "host/stats.hpp"
#include "http/peer_table.hpp"
#include "routes/height_cache.hpp"
#include "host/height_queue.hpp"
#include "platform/time_units.hpp"

namespace qm {

namespace server {
class Server;
}

// The theatre of the latest published snapshot when it holds a mission on the own server.
std::optional<SharedText> current_theatre();

// What the route works with besides its request (tests give their own).
struct TerrainRouteEnv {
  terrain::HeightQueues* queues = nullptr;                      // the process-wide queues when null
  HeightCache* cache = nullptr;                                 // the process-wide cache when null
  std::function<std::optional<SharedText>()> current_theatre;  // `current_theatre` when empty
  std::uint64_t wait_ns = kNanosPerSecond;
};

inline constexpr std::size_t kTerrainQueueLimit = 4000;

// The whole HTTP answer. `now` is the monotonic instant the request was routed at; the extra
// headers go into every answer; without a server or peer the per-peer limits are skipped.
std::string terrain_route(ModuleStats& stats, const Snapshot& snapshot, std::string_view query, std::uint64_t now,
                          std::string_view extra_headers, const std::shared_ptr<server::Server>& server,
                          std::optional<server::PeerAddress> peer, const TerrainRouteEnv& env = {});

}  // namespace qm
