#pragma once
// The "projection" member of the status document.
#include <optional>
#include <string>

#include "geo/projection.hpp"
#include "host/snapshot.hpp"

namespace qm {

// {"kind":"none"}; {"kind":"tm","centralMeridian":..,"scale":..,"xOffset":..,"zOffset":..,"worstMetres":..};
// or {"kind":"blocks","worstMetres":..} (null when not finite).
std::string projection_json(const Projection& projection);

// The "projection" object for the snapshot's anchors when it has a mission on the own server with
// anchors present, else for no anchors: {"kind":"none"} when nothing is fitted. With wait false the
// cache lock is only tried and a held one gives none; with true it is waited for.
std::optional<std::string> status_projection_json(const Snapshot& snapshot, bool wait);

}  // namespace qm
