#pragma once
// Edge flips, the last stage of the two-stage refinement: an interior diagonal that is not a mesh
// edge is swapped for the other diagonal of its quadrilateral when the pair then follows the
// reference surface's slope better (a lower summed cost), the smallest angle gets no worse (or
// stays at 10 degrees or more) and the vertical deviation rises above neither what the pair had
// nor 0.25. Each flip puts the four outer edges back on the work stack, so improvements spread
// until nothing more flips. Vertices are neither added nor removed.
#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <set>
#include <span>
#include <utility>
#include <vector>

#include "base/hashing.hpp"
#include "mesh/twostage/deviation.hpp"
#include "mesh/grid/stop_check.hpp"
#include "mesh/twostage/removal.hpp"

namespace qm::mesh {

struct TwostageMesh;

// What a triangle costs for the flips: its area times the mean angle between its plane and the
// reference surface at seven sample points, and its deviation error.
struct FlipCost {
  double cost = 0.0;
  double deviation = 0.0;
};

// The height gradient (dz/dx, dz/dy) of the reference surface at a point, or nothing.
using SlopeAt = std::function<std::optional<std::pair<double, double>>(double x, double y)>;

// The cost half of a triangle's flip cost: p0, p1, p2 are its corners [x, y, z] in ascending
// vertex index order (the sample weights follow that order). 0 for a degenerate triangle
// (|det| < 1e-12) and for one none of whose sample points has a reference slope.
double slope_cost(const std::array<double, 3>& p0, const std::array<double, 3>& p1, const std::array<double, 3>& p2,
                  const SlopeAt& slope_at);

struct FlipHooks {
  // The cost of a triangle (whatever the order of its indices). The caller memoises it.
  std::function<FlipCost(const VertexTriangle&)> cost;
  // Whether the build is to stop; read on the first pop and every 1024th after it.
  std::function<bool()> stop;
};

// Flips diagonals of the triangle list in place (making every triangle counter-clockwise first);
// diagonals that are mesh edges never flip. Gives the number of flips, or nothing when a stop
// was seen.
std::optional<std::uint64_t> flip_edges(std::span<const std::array<double, 3>> vertices,
                                        const std::set<std::pair<std::uint64_t, std::uint64_t>>& mesh_edges,
                                        std::vector<VertexTriangle>& triangles, const FlipHooks& hooks);

// Flip costs by a triangle's vertex indices in ascending order, for one run of the flips.
using FlipCostMemo = HashMap<VertexTriangle, FlipCost>;

// The flip cost of a mesh triangle (any vertex order): `slope_cost` against the mesh's reference
// surface on the vertices' own heights, and the deviation error through the deviation memo.
// Memoised per vertex triple.
FlipCost triangle_cost(FlipCostMemo& memo, const TwostageMesh& mesh, DeviationMemo& deviations,
                       const VertexTriangle& triangle, std::vector<std::uint32_t>& scratch);

// The edge flips stage of one piece, timed as "twostage.flips": `flip_edges` over the mesh's
// vertices and edges with `triangle_cost`, polling the stop request on the first pop and every
// 1024th. Gives the flip count, or nothing when stopped.
std::optional<std::uint64_t> twostage_flips(const TwostageMesh& mesh, std::vector<VertexTriangle>& triangles,
                                            DeviationMemo& deviations, std::vector<std::uint32_t>& scratch,
                                            const StopCheck& stop);

}  // namespace qm::mesh
