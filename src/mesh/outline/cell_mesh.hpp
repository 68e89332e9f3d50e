#pragma once
// The mesh of one piece over a set of 64-unit cells: what a piece build makes, what a re-cut of an
// older piece gives back and what the store keeps per piece.
#include <array>
#include <cstdint>
#include <set>
#include <vector>

#include "mesh/grid/cell_grid.hpp"

namespace qm::mesh {

struct CellMesh {
  std::vector<std::array<double, 3>> vertices;          // x, y, z in terrain units (z may be NaN)
  std::vector<std::array<std::uint64_t, 3>> triangles;  // indices into vertices
  std::uint64_t id = 0;                                 // 0 until the store commits the piece
  std::set<Cell> cells;                                 // the cells the mesh covers

  friend bool operator==(const CellMesh&, const CellMesh&) = default;
};

}  // namespace qm::mesh
