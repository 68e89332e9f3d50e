#pragma once
// The terrain members of the status document, read from a terrain work state. With wait false
// every lock is only tried and a held one gives none; with wait true the call waits for them.
// `terrain_status_json` applies this to the process-wide state.
#include <optional>
#include <string>

#include "work/terrain_state.hpp"

namespace qm::work {

std::optional<std::string> terrain_status_of(TerrainState& state, bool wait);

}  // namespace qm::work

namespace qm {

// The terrain members of the "mesh" object, without braces: "store":...,"work":...
std::optional<std::string> terrain_status_json(bool wait);

}  // namespace qm
