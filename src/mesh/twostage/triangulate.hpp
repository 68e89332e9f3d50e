#pragma once
// The constrained triangulation of the working mesh: every vertex, every mesh edge as a
// constraint, one bulk load; the faces kept are those whose centroid lies in or on the border of
// one of the group's cells.
#include <array>
#include <cstdint>
#include <optional>
#include <vector>

#include "mesh/twostage/working_mesh.hpp"

namespace qm::mesh {

struct MeshTriangulation {
  std::vector<MeshTriangle> triangles;  // counter-clockwise
  // The kept triangle across the sides (a, b), (b, c) and (c, a) of each triangle, if any.
  std::vector<std::array<std::optional<std::uint64_t>, 3>> neighbours;
};

// Triangulates the mesh. A mesh edge that conflicts with one inserted before it is dropped from
// the mesh (from `edges`, `edge_cells` and `fixed_edges`). A vertex the triangulation cannot take
// is the fault "finite points"; two vertices at one position are the fault "two of the mesh's
// vertices at one place".
MeshTriangulation twostage_triangulate(TwostageMesh& mesh);

}  // namespace qm::mesh
