#pragma once
// Side outlines: a mesh's points along one side of a 64-unit cell, and the seed lines of a piece
// build along the outer border of its group. Where a side borders a piece that is already built,
// its points come from that piece's mesh, so that both pieces meet at the same points.
#include <array>
#include <cstdint>
#include <functional>
#include <map>
#include <set>
#include <vector>

#include "base/hashing.hpp"
#include "mesh/grid/cell_grid.hpp"
#include "mesh/outline/cell_mesh.hpp"
#include "mesh/outline/cell_sides.hpp"

namespace qm::mesh {

// Points on one side, ascending by position, no two within 0.001 of each other in position; the
// first is the side's start point and the last its end point.
using Outline = std::vector<std::array<double, 3>>;

// A seed line of the refinement, in terrain units (not relative to a piece origin).
struct SeedLine {
  Outline points;
  std::uint8_t fixed = 0;  // 1: taken from the mesh of a built piece across the side
};

// The mesh's height at (x, y): the first triangle in list order that has a vertex exactly there
// (its z) or holds the point (barycentric weights >= -1e-9, interpolated z); NaN when none does.
double piece_height_at(const CellMesh& mesh, double x, double y);

// The distinct undirected edges of the triangles, as (lower, higher), ascending.
std::set<std::pair<std::uint64_t, std::uint64_t>> triangle_edges(
    const std::vector<std::array<std::uint64_t, 3>>& triangles);

// The mesh's height profile along the side: its end points, the vertices lying exactly on the side
// and the crossings of edges with the side line.
Outline build_outline(const CellMesh& mesh, const PieceSide& side);

// The side lines of a group's outer border, cell by cell in ascending order, sides left, right,
// bottom, top. A side whose neighbour a built piece holds takes that piece's outline (fixed); any
// other side is its two end points with heights from the first held cell outside the group that
// touches the point or, failing that, from `reference_height` at the point relative to the origin.
// A holder without a mesh is the fault "no entry found for key".
std::vector<SeedLine> outline_seed_lines(const std::set<Cell>& cells, const HashMap<Cell, std::uint64_t>& holder_map,
                                         const std::map<std::uint64_t, CellMesh>& meshes, double origin_x,
                                         double origin_y,
                                         const std::function<double(double x, double y)>& reference_height);

}  // namespace qm::mesh
