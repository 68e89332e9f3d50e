#pragma once
// The "projection" member of the status document.
#include <string>

#include "terrain/projection/projection.hpp"

namespace qm {

// {"kind":"none"}; {"kind":"tm","centralMeridian":..,"scale":..,"xOffset":..,"zOffset":..,"worstMetres":..};
// or {"kind":"blocks","worstMetres":..} (null when not finite).
std::string projection_json(const Projection& projection);

}  // namespace qm
