#pragma once
// The two topology changes of the working mesh during the refinement: adding one point (reusing a
// vertex at the same place, snapping a point that lies almost on an edge onto it and splitting the
// edge there, keeping points inside the group's cells and off the fixed edges), and joining two
// vertices by an ordinary edge only where it neither crosses another edge nor runs through another
// vertex.
#include <cstdint>
#include <optional>

#include "mesh/twostage/working_mesh.hpp"

namespace qm::mesh {

// Adds the local point (x, y) with the proposed height z. The result is the vertex that now stands
// there (an existing one, or a new one whose index equals the vertex count before the call), or
// nothing when the point is refused; a refused point leaves the mesh unchanged.
std::optional<std::uint64_t> insert_point(TwostageMesh& mesh, double x, double y, double z);

// Adds the ordinary edge a-b unless a equals b or the edge exists (nothing happens), or unless it
// conflicts with an edge or a vertex near it (then `refused` grows by one and nothing is added).
void add_edge_checked(TwostageMesh& mesh, std::uint64_t a, std::uint64_t b);

// Whether the point p lies on the segment u-v within 0.001, strictly between its ends (a point at
// either end, or on a zero-length segment, does not).
bool lies_on_segment(const Point3& p, const Point3& u, const Point3& v);

}  // namespace qm::mesh
