#pragma once
// The two filters over reference edges that the insertion rounds use: the end points of a
// reference edge that may still become mesh vertices, and the reference edges whose two ends
// already are mesh vertices.
#include <cstdint>
#include <set>
#include <vector>

#include "mesh/twostage/working_mesh.hpp"

namespace qm::mesh {

// The end points of reference edge e (first end, then second) that are not yet mesh vertices, lie
// in or on the border of one of the group's cells, and have no fixed edge within 0.001.
std::vector<std::uint32_t> key_lookup(const TwostageMesh& mesh, std::uint32_t e);

// The reference edges of the set (ascending) whose two end points are both mesh vertices.
std::vector<std::uint32_t> key_entries(const TwostageMesh& mesh, const std::set<std::uint32_t>& set);

}  // namespace qm::mesh
