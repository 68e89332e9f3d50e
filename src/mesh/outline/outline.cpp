// Side outlines: heights on a stored mesh, its profile along a cell side, and the seed lines of a
// group's outer border.
#include "mesh/outline/outline.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <utility>

#include "base/fault.hpp"
#include "base/numeric.hpp"

namespace qm::mesh {

namespace {

const CellMesh& holder_mesh(const std::map<std::uint64_t, CellMesh>& meshes, std::uint64_t holder) {
  const auto it = meshes.find(holder);
  if (it == meshes.end()) fault("no entry found for key");
  return it->second;
}

struct ProfilePoint {
  double position;
  double height;
};

void sort_by_position(std::vector<ProfilePoint>& points) {
  std::stable_sort(points.begin(), points.end(), [](const ProfilePoint& p, const ProfilePoint& q) {
    return total_order_less(p.position, q.position);
  });
}

// The cells whose closed square may hold the coordinate: floor(v / 64), and the one below it when
// v lies on a cell line. Kept in 64 bits: a neighbour beyond the i32 range holds no cell.
std::vector<std::int64_t> candidate_columns(double v) {
  const double scaled = v * 0.015625;
  const std::int64_t k = saturate<std::int32_t>(std::floor(scaled));
  if (scaled == std::floor(scaled)) return {k - 1, k};
  return {k};
}

}  // namespace

double piece_height_at(const CellMesh& mesh, double x, double y) {
  for (const auto& t : mesh.triangles) {
    const auto& u = vertex_at(mesh.vertices, t[0]);
    const auto& v = vertex_at(mesh.vertices, t[1]);
    const auto& w = vertex_at(mesh.vertices, t[2]);
    if (u[0] == x && u[1] == y) return u[2];
    if (v[0] == x && v[1] == y) return v[2];
    if (w[0] == x && w[1] == y) return w[2];
    const double det = (v[1] - w[1]) * (u[0] - w[0]) + (w[0] - v[0]) * (u[1] - w[1]);
    if (det == 0.0) continue;
    const double l1 = ((v[1] - w[1]) * (x - w[0]) + (w[0] - v[0]) * (y - w[1])) / det;
    const double l2 = ((w[1] - u[1]) * (x - w[0]) + (u[0] - w[0]) * (y - w[1])) / det;
    const double l3 = 1.0 - l1 - l2;
    if (l1 >= -1e-9 && l2 >= -1e-9 && l3 >= -1e-9) return (l1 * u[2] + l2 * v[2]) + l3 * w[2];
  }
  return std::numeric_limits<double>::quiet_NaN();
}

std::set<std::pair<std::uint64_t, std::uint64_t>> triangle_edges(
    const std::vector<std::array<std::uint64_t, 3>>& triangles) {
  std::set<std::pair<std::uint64_t, std::uint64_t>> edges;
  for (const auto& [a, b, c] : triangles) {
    edges.emplace(std::min(a, b), std::max(a, b));
    edges.emplace(std::min(b, c), std::max(b, c));
    edges.emplace(std::min(c, a), std::max(c, a));
  }
  return edges;
}

Outline build_outline(const CellMesh& mesh, const PieceSide& side) {
  const double a = side.a;
  const double e = a + 64.0;
  const double c = side.c;
  const bool along_y = side.axis == 0;
  const auto point_at = [&](double p) { return along_y ? std::array<double, 2>{c, p} : std::array<double, 2>{p, c}; };
  const auto fix = [&](const std::array<double, 3>& v) { return along_y ? v[0] : v[1]; };
  const auto pos = [&](const std::array<double, 3>& v) { return along_y ? v[1] : v[0]; };

  std::vector<ProfilePoint> profile;
  {
    const auto s = point_at(a);
    const auto t = point_at(e);
    profile.push_back({a, piece_height_at(mesh, s[0], s[1])});
    profile.push_back({e, piece_height_at(mesh, t[0], t[1])});
  }

  std::vector<ProfilePoint> inner;
  for (const auto& [i, j] : triangle_edges(mesh.triangles)) {
    const auto& p = vertex_at(mesh.vertices, i);
    const auto& q = vertex_at(mesh.vertices, j);
    if (a < pos(p) && pos(p) < e && fix(p) == c) inner.push_back({pos(p), p[2]});
    if (a < pos(q) && pos(q) < e && fix(q) == c) inner.push_back({pos(q), q[2]});
    if ((fix(p) - c) * (fix(q) - c) < 0.0) {
      const double t = (c - fix(p)) / (fix(q) - fix(p));
      const double at = pos(p) + (pos(q) - pos(p)) * t;
      if (a < at && at < e) inner.push_back({at, p[2] + (q[2] - p[2]) * t});
    }
  }
  sort_by_position(inner);

  // Inner points ascend, so the nearest one kept so far is the last one appended.
  const std::size_t ends = profile.size();
  for (const ProfilePoint& p : inner) {
    bool near = false;
    for (std::size_t k = 0; k < ends && !near; ++k) near = std::fabs(profile[k].position - p.position) <= 0.001;
    if (!near && profile.size() > ends) near = std::fabs(profile.back().position - p.position) <= 0.001;
    if (!near) profile.push_back(p);
  }
  sort_by_position(profile);

  Outline out;
  out.reserve(profile.size());
  for (const ProfilePoint& p : profile) {
    const auto xy = point_at(p.position);
    out.push_back({xy[0], xy[1], p.height});
  }
  return out;
}

std::vector<SeedLine> outline_seed_lines(const std::set<Cell>& cells, const HashMap<Cell, std::uint64_t>& holder_map,
                                         const std::map<std::uint64_t, CellMesh>& meshes, double origin_x,
                                         double origin_y,
                                         const std::function<double(double x, double y)>& reference_height) {
  // The height of a plain line's end point: the first held cell outside the group around it, else
  // the reference surface.
  const auto end_height = [&](double x, double y) {
    for (const std::int64_t cx : candidate_columns(x)) {
      for (const std::int64_t cy : candidate_columns(y)) {
        if (!std::in_range<std::int32_t>(cx) || !std::in_range<std::int32_t>(cy)) continue;
        const Cell cell{static_cast<std::int32_t>(cx), static_cast<std::int32_t>(cy)};
        if (cells.count(cell) != 0) continue;
        const auto held = holder_map.find(cell);
        if (held == holder_map.end()) continue;
        return piece_height_at(holder_mesh(meshes, held->second), x, y);
      }
    }
    return reference_height(x - origin_x, y - origin_y);
  };

  std::vector<SeedLine> lines;
  for (const Cell& cell : cells) {
    for (const CellSide& s : cell_sides(cell)) {
      if (s.neighbour && cells.count(*s.neighbour) != 0) continue;
      if (s.neighbour) {
        const auto held = holder_map.find(*s.neighbour);
        if (held != holder_map.end()) {
          lines.push_back(SeedLine{build_outline(holder_mesh(meshes, held->second), s.side), 1});
          continue;
        }
      }
      const double a = s.side.a, e = s.side.a + 64.0, c = s.side.c;
      const double sx = s.side.axis == 0 ? c : a, sy = s.side.axis == 0 ? a : c;
      const double ex = s.side.axis == 0 ? c : e, ey = s.side.axis == 0 ? e : c;
      SeedLine line;
      line.points.push_back({sx, sy, end_height(sx, sy)});
      line.points.push_back({ex, ey, end_height(ex, ey)});
      lines.push_back(std::move(line));
    }
  }
  return lines;
}

}  // namespace qm::mesh
