#pragma once
// Gathering the status document's pieces: one sequence of short locks shared by GET /v1/status,
// which waits for each lock, and the host's `status`, which only tries them.
#include <cstdint>
#include <optional>
#include <string>

#include "host/snapshot.hpp"
#include "host/stats.hpp"

namespace qm {

namespace server {
class Server;
}

enum class LockPolicy : bool {
  try_only = false,  // a held lock ends the gathering with none ("busy")
  wait = true,       // every lock is waited for: the result is always a document
};

// The status document of a snapshot and a server (null when none runs): the server's error text and
// LAN state, the last panic, the projection, the terrain text and the stream registry, each taken
// and released before the next. `now_stamp` (nanoseconds since the clock origin plus 1) is taken
// after the last panic when none is given.
std::optional<std::string> gather_status_document(LockPolicy policy, const ModuleStats& stats,
                                                  const server::Server* server, const SnapshotRef& snapshot,
                                                  std::optional<std::uint64_t> now_stamp);

}  // namespace qm
