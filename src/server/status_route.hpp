#pragma once
// GET /v1/status: gathers the status document's pieces from the server, the published snapshot and
// the other subsystems, each under its own short lock, and writes the document.
#include <cstdint>
#include <string>

namespace qm::server {

class Server;

// The status document at the monotonic instant `now_ns`.
std::string status_route(Server& server, std::uint64_t now_ns);

}  // namespace qm::server
