// The re-cut of an older piece: its own outlines along the sides it gives up, its vertices and
// edges inside the cells it keeps, re-triangulated with those as constraints and clipped to the
// kept cells.
#include "mesh/outline/piece_cut.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "base/numeric.hpp"
#include "mesh/triangulation/constrained.hpp"
#include "mesh/outline/cell_sides.hpp"
#include "mesh/outline/outline.hpp"

namespace qm::mesh {

namespace {

constexpr std::uint64_t kNone = ~std::uint64_t{0};

// k + d, or nothing where that leaves the i64 range.
std::optional<std::int64_t> offset_key(std::int64_t k, int d) {
  if (d > 0 && k == std::numeric_limits<std::int64_t>::max()) return std::nullopt;
  if (d < 0 && k == std::numeric_limits<std::int64_t>::min()) return std::nullopt;
  return k + d;
}

// How many cell lines (x or y a multiple of 64) pass through the point: 2 on a cell corner.
int cell_lines_through(const std::array<double, 3>& v) {
  const auto on_line = [](double c) {
    const double scaled = c * 0.015625;
    return std::floor(scaled) == scaled;  // false for NaN
  };
  return (on_line(v[0]) ? 1 : 0) + (on_line(v[1]) ? 1 : 0);
}

struct CutState {
  std::vector<std::array<double, 3>> vertices;
  HashMap<ThousandthKey, std::uint64_t> index;

  // The vertex within 0.001 of p, or p appended as a new vertex.
  std::uint64_t merge(const std::array<double, 3>& p) {
    if (const auto near = near_point(index, vertices, p[0], p[1])) return *near;
    const std::uint64_t i = vertices.size();
    vertices.push_back(p);
    index[thousandth_key(p[0], p[1])] = i;
    return i;
  }
};

}  // namespace

ThousandthKey thousandth_key(double x, double y) {
  return {saturate<std::int64_t>(round_half_away(x / 0.001)), saturate<std::int64_t>(round_half_away(y / 0.001))};
}

std::optional<std::uint64_t> near_point(const HashMap<ThousandthKey, std::uint64_t>& index,
                                        const std::vector<std::array<double, 3>>& vertices, double x, double y) {
  const auto [kx, ky] = thousandth_key(x, y);
  for (int dx = -1; dx <= 1; ++dx) {
    const auto px = offset_key(kx, dx);
    if (!px) continue;
    for (int dy = -1; dy <= 1; ++dy) {
      const auto py = offset_key(ky, dy);
      if (!py) continue;
      const auto it = index.find(ThousandthKey{*px, *py});
      if (it == index.end()) continue;
      const auto& w = vertex_at(vertices, it->second);
      if (std::hypot(w[0] - x, w[1] - y) <= 0.001) return it->second;
    }
  }
  return std::nullopt;
}

namespace {

// The sides between a kept cell and a ring cell.
std::vector<PieceSide> cut_sides(const std::set<Cell>& kept, const std::set<Cell>& ring) {
  std::vector<PieceSide> sides;
  for (const Cell& cell : kept) {
    for (const CellSide& s : cell_sides(cell)) {
      if (s.neighbour && ring.count(*s.neighbour) != 0) sides.push_back(s.side);
    }
  }
  return sides;
}

// Border vertices: the older mesh's outline of every cut side, merged within 0.001, one chain
// per side.
std::vector<std::vector<std::uint64_t>> border_chains(const CellMesh& older, const std::vector<PieceSide>& sides,
                                                      CutState& state) {
  std::vector<std::vector<std::uint64_t>> chains;
  chains.reserve(sides.size());
  for (const PieceSide& side : sides) {
    std::vector<std::uint64_t> chain;
    for (const auto& p : build_outline(older, side)) chain.push_back(state.merge(p));
    chains.push_back(std::move(chain));
  }
  return chains;
}

// Inner vertices: the older vertices in or within 1e-6 of a kept cell, mapped from their older
// numbers (kNone for the others). Those on a cell corner go first, then those on a cell line, then
// the rest: a vertex within 0.001 of one on the older piece's outer border merges into it, and
// never moves the border off its line, which would open a sliver against the piece across.
std::vector<std::uint64_t> merge_inner_vertices(const CellMesh& older, const CellGrid& grid, CutState& state) {
  std::vector<std::uint64_t> vertex_map(older.vertices.size(), kNone);
  for (const int lines : {2, 1, 0}) {
    for (std::size_t i = 0; i < older.vertices.size(); ++i) {
      const auto& v = older.vertices[i];
      if (cell_lines_through(v) != lines) continue;
      if (!cells_inside_or_on(lattice_cells_at(grid, v[0], v[1]))) continue;
      vertex_map[i] = state.merge(v);
    }
  }
  return vertex_map;
}

// The parameters along p -> q, from 0 to 1 and sorted, where the edge crosses a cut side.
std::vector<double> side_crossings(const std::array<double, 3>& p, const std::array<double, 3>& q,
                                   const std::vector<PieceSide>& sides) {
  std::vector<double> params{0.0, 1.0};
  for (const PieceSide& side : sides) {
    const bool x_fixed = side.axis == 0;
    const double s0 = x_fixed ? p[0] : p[1], s1 = x_fixed ? q[0] : q[1];
    const double o0 = x_fixed ? p[1] : p[0], o1 = x_fixed ? q[1] : q[0];
    if ((s1 - side.c) * (s0 - side.c) < 0.0) {
      const double t = (side.c - s0) / (s1 - s0);
      const double u = o0 + (o1 - o0) * t;
      if (side.a <= u && u <= side.a + 64.0) params.push_back(t);
    }
  }
  std::sort(params.begin(), params.end(), total_order_less);
  return params;
}

using Constraints = std::vector<std::pair<std::uint64_t, std::uint64_t>>;

// Inner constraints: the older edges, cut where they cross a cut side, the parts inside the kept
// cells joined to the vertices at their ends.
void add_edge_constraints(const CellMesh& older, const std::vector<PieceSide>& sides, const CellGrid& grid,
                          const CutState& state, const std::vector<std::uint64_t>& vertex_map,
                          Constraints& constraints) {
  for (const auto& [ia, ib] : triangle_edges(older.triangles)) {
    const auto& p = vertex_at(older.vertices, ia);
    const auto& q = vertex_at(older.vertices, ib);
    const double dx = q[0] - p[0], dy = q[1] - p[1];
    const std::vector<double> params = side_crossings(p, q, sides);
    for (std::size_t k = 0; k + 1 < params.size(); ++k) {
      const double t0 = params[k], t1 = params[k + 1];
      const double mt = (t0 + t1) * 0.5;
      if (!cells_inside_or_on(lattice_cells_at(grid, p[0] + dx * mt, p[1] + dy * mt))) continue;
      std::optional<std::uint64_t> start, end;
      if ((t0 == 0.0 || t0 == 1.0) && vertex_map[static_cast<std::size_t>(ia)] != kNone) {
        start = vertex_map[static_cast<std::size_t>(ia)];
      } else {
        start = near_point(state.index, state.vertices, p[0] + dx * t0, p[1] + dy * t0);
      }
      if ((t1 == 0.0 || t1 == 1.0) && vertex_map[static_cast<std::size_t>(ib)] != kNone) {
        end = vertex_map[static_cast<std::size_t>(ib)];
      } else {
        end = near_point(state.index, state.vertices, p[0] + dx * t1, p[1] + dy * t1);
      }
      if (start && end && *start != *end) constraints.emplace_back(*start, *end);
    }
  }
}

// Inserts the new vertices and the constraints; constraints that cross are split at a vertex with
// the older mesh's height there.
void triangulate_cut(ConstrainedTriangulation& cdt, const CellMesh& older, const CutState& state,
                     const Constraints& constraints) {
  std::vector<std::uint64_t> handles;
  handles.reserve(state.vertices.size());
  for (const auto& v : state.vertices) handles.push_back(cdt.insert(v[0], v[1], v[2]));
  const std::function<double(double, double)> crossing_height = [&older](double x, double y) {
    return piece_height_at(older, x, y);
  };
  for (const auto& [i, j] : constraints) {
    if (i >= handles.size()) index_out_of_bounds(handles.size(), i);
    if (j >= handles.size()) index_out_of_bounds(handles.size(), j);
    if (handles[i] == handles[j]) continue;
    cdt.add_constraint_splitting(handles[i], handles[j], crossing_height);
  }
}

// The faces whose centroid lies inside the kept cells, their corners numbered in order of first
// use.
void add_kept_faces(const ConstrainedTriangulation& cdt, const CellGrid& grid, CellMesh& out) {
  const ConstrainedFaces faces = cdt.faces();
  std::vector<std::uint64_t> result_index(cdt.id_count(), kNone);
  for (const auto& corners : faces.corners) {
    const auto k1 = cdt.position(corners[0]);
    const auto k2 = cdt.position(corners[1]);
    const auto k3 = cdt.position(corners[2]);
    const double cx = ((k2[0] + k1[0]) + k3[0]) / 3.0;
    const double cy = ((k2[1] + k1[1]) + k3[1]) / 3.0;
    if (!cells_inside(lattice_cells_at(grid, cx, cy))) continue;
    std::array<std::uint64_t, 3> triangle{};
    for (std::size_t k = 0; k < 3; ++k) {
      std::uint64_t& r = result_index[static_cast<std::size_t>(corners[k])];
      if (r == kNone) {
        r = out.vertices.size();
        out.vertices.push_back(cdt.position(corners[k]));
      }
      triangle[k] = r;
    }
    out.triangles.push_back(triangle);
  }
}

}  // namespace

std::optional<CellMesh> scheme_build_cut(const CellMesh& older, const std::set<Cell>& ring) {
  std::set<Cell> kept;
  for (const Cell& c : older.cells) {
    if (ring.count(c) == 0) kept.insert(c);
  }
  if (kept.empty()) return std::nullopt;
  const CellGrid grid = lattice_from_cells(kept);
  const std::vector<PieceSide> sides = cut_sides(kept, ring);

  CutState state;
  const std::vector<std::vector<std::uint64_t>> chains = border_chains(older, sides, state);
  const std::vector<std::uint64_t> vertex_map = merge_inner_vertices(older, grid, state);
  // Border constraints along the chains, then the inner ones.
  Constraints constraints;
  for (const auto& chain : chains) {
    for (std::size_t i = 0; i + 1 < chain.size(); ++i) constraints.emplace_back(chain[i], chain[i + 1]);
  }
  add_edge_constraints(older, sides, grid, state, vertex_map, constraints);

  ConstrainedTriangulation cdt;
  triangulate_cut(cdt, older, state, constraints);
  CellMesh out;
  add_kept_faces(cdt, grid, out);
  out.id = 0;
  out.cells = std::move(kept);
  return out;
}

}  // namespace qm::mesh
