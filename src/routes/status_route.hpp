#pragma once
// GET /v1/status: the status document of the published snapshot the router took, its pieces
// gathered from the server and the other subsystems under short locks, each waited for and
// released before the next.
#include <cstdint>
#include <string>

#include "host/snapshot.hpp"
#include "host/stats.hpp"

namespace qm::server {

class Server;

// The status document at the monotonic instant `now_ns`.
std::string status_route(const ModuleStats& stats, const Server& server, const SnapshotRef& snapshot,
                         std::uint64_t now_ns);

}  // namespace qm::server
