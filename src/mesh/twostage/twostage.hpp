#pragma once
// The two-stage refinement of one piece: the working mesh is seeded from the piece's seed lines,
// refined against the reference surface (corners where creases meet, rounds of insertion at the
// worst deviations, removal of surplus vertices, edge flips) and compacted into the piece's final
// vertices and triangles.
#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "mesh/grid/cell_grid.hpp"
#include "mesh/faces/faces.hpp"
#include "mesh/outline/outline.hpp"
#include "mesh/grid/stop_check.hpp"
#include "mesh/twostage/creases.hpp"
#include "mesh/twostage/working_mesh.hpp"

namespace qm::mesh {

struct ReferenceModel;

// The refinement's counters, carried by a Built outcome (the builder does not read them).
struct BuildCounters {
  std::uint64_t crease_lines = 0;
  std::uint64_t crease_points = 0;
  std::uint64_t corners = 0;
  std::uint64_t rejected_clusters = 0;
  std::uint64_t last_round = 0;
  std::uint64_t refused_edges = 0;
  std::uint64_t triangles_over = 0;
  double worst_error = 0.0;
  std::uint64_t fixed_triangles_over = 0;
  std::uint64_t removed_vertices = 0;
  std::uint64_t flips = 0;
  std::uint64_t seed_vertices = 0;
};

// The refinement's counters (crease lines and points, corners, rounds, removals, flips...) are the
// ones a Built outcome carries.
struct TwostageResult : BuildCounters {
  std::vector<Point3> vertices;          // the kept vertices in world coordinates, in mesh order
  std::vector<MeshTriangle> triangles;   // indices into vertices
  std::vector<std::uint8_t> stages;      // the stage code of each kept vertex
};

// Refines the piece. `creases` is taken over; the reference surface, the grid of the group's cells
// and the seed lines (world coordinates) are borrowed. Nothing when the stop poll asked to stop
// (after the seed stage, after the corner stage, in the rounds, in vertex removal or in the flips).
std::optional<TwostageResult> twostage(const ReferenceModel& reference, std::int32_t origin_x, std::int32_t origin_y,
                                       CreaseSet creases, const CellGrid& grid, std::span<const SeedLine> seed_lines,
                                       const StopCheck& stop);

// The seed stage: the fixed lines first, then the plain ones; points of one key share a vertex.
void seed_mesh(TwostageMesh& mesh, std::span<const SeedLine> seed_lines);

// Every index i of the triangles replaced by remap[i], in place; an index beyond remap is a fault.
void remap_triangles(std::vector<MeshTriangle>& triangles, const std::vector<std::uint64_t>& remap);

// The end stage: the vertices that the triangles use, in index order (seed vertices at their
// exact seed points, inserted ones converted back to world coordinates), with their stage codes,
// and the triangles rewritten to the kept list.
void compact_result(const TwostageMesh& mesh, std::vector<MeshTriangle> triangles, TwostageResult& result);

}  // namespace qm::mesh
