#include "mesh/twostage/deviation.hpp"

#include <algorithm>
#include <cmath>

#include "base/fault.hpp"

namespace qm::mesh {

namespace {

// Clearance from fixed edges within which a feature is passed over.
constexpr double kFixedClearance = 0.001;

// The visit of the cells of a rectangle that lie inside a grid, x outer, y inner.
template <class Visit>
void for_grid_cells(const ReferenceGrid& grid, std::int64_t x_lo, std::int64_t x_hi, std::int64_t y_lo,
                    std::int64_t y_hi, Visit&& visit) {
  x_lo = std::max<std::int64_t>(x_lo, grid.x0);
  x_hi = std::min<std::int64_t>(x_hi, static_cast<std::int64_t>(grid.x0) + grid.w - 1);
  y_lo = std::max<std::int64_t>(y_lo, grid.y0);
  y_hi = std::min<std::int64_t>(y_hi, static_cast<std::int64_t>(grid.y0) + grid.h - 1);
  for (std::int64_t cx = x_lo; cx <= x_hi; ++cx)
    for (std::int64_t cy = y_lo; cy <= y_hi; ++cy) visit(grid.at(cx, cy));
}

// The probe; `passed_over(x, y)` tells whether a candidate that would become the best is skipped.
template <class PassedOver>
Deviation probe(const ReferenceModel& model, const Point3& a, const Point3& b, const Point3& c,
                std::vector<std::uint32_t>& scratch, PassedOver&& passed_over) {
  Deviation none;
  const double det = (a[0] - c[0]) * (b[1] - c[1]) + (a[1] - c[1]) * (c[0] - b[0]);
  if (std::fabs(det) < 1e-12) return none;

  const std::int64_t x_lo = cell_of(std::fmin(std::fmin(a[0], b[0]), c[0]));
  const std::int64_t x_hi = cell_of(std::fmax(std::fmax(a[0], b[0]), c[0]));
  const std::int64_t y_lo = cell_of(std::fmin(std::fmin(a[1], b[1]), c[1]));
  const std::int64_t y_hi = cell_of(std::fmax(std::fmax(a[1], b[1]), c[1]));

  scratch.clear();
  for_grid_cells(model.edge_grid, x_lo, x_hi, y_lo, y_hi,
                 [&](std::span<const std::uint32_t> items) { scratch.insert(scratch.end(), items.begin(), items.end()); });
  std::sort(scratch.begin(), scratch.end());
  scratch.erase(std::unique(scratch.begin(), scratch.end()), scratch.end());

  Deviation crossing = none;
  const Point3* corners[3] = {&a, &b, &c};
  for (int side = 0; side < 3; ++side) {
    const Point3& s = *corners[side];
    const Point3& e = *corners[(side + 1) % 3];
    const double dx = e[0] - s[0];
    const double dy = e[1] - s[1];
    for (const std::uint32_t edge : scratch) {
      check_index(edge < model.edges.size());
      const ReferencePoint& p = reference_point(model, model.edges[edge].first);
      const ReferencePoint& q = reference_point(model, model.edges[edge].second);
      const double fx = q[0] - p[0];
      const double fy = q[1] - p[1];
      const double den = dx * fy - dy * fx;
      if (!(std::fabs(den) > 1e-12)) continue;
      const double wx = p[0] - s[0];
      const double wy = p[1] - s[1];
      const double t = (wx * fy - wy * fx) / den;
      const double u = (wx * dy - wy * dx) / den;
      if (!(t > 1e-9 && t < 0.999999999 && u >= 0.0 && u <= 1.0)) continue;
      const double z_ref = p[2] + u * (q[2] - p[2]);
      const double error = std::fabs((s[2] + t * (e[2] - s[2])) - z_ref);
      if (!(error > crossing.error)) continue;
      const double x = s[0] + t * dx;
      const double y = s[1] + t * dy;
      if (passed_over(x, y)) continue;
      crossing = Deviation{error, x, y, z_ref, Deviation::kCrossing, edge};
    }
  }

  Deviation point = none;
  double point_error = -1.0;
  for_grid_cells(model.point_grid, x_lo, x_hi, y_lo, y_hi, [&](std::span<const std::uint32_t> items) {
    for (const std::uint32_t v : items) {
      const ReferencePoint& r = reference_point(model, v);
      const double la = ((b[1] - c[1]) * (r[0] - c[0]) + (c[0] - b[0]) * (r[1] - c[1])) / det;
      const double lb = ((c[1] - a[1]) * (r[0] - c[0]) + (a[0] - c[0]) * (r[1] - c[1])) / det;
      const double lc = 1.0 - la - lb;
      if (!(la >= -1e-9 && lb >= -1e-9 && lc >= -1e-9)) continue;
      const double error = std::fabs(la * a[2] + lb * b[2] + lc * c[2] - r[2]);
      if (!(error > point_error)) continue;
      if (passed_over(r[0], r[1])) continue;
      point_error = error;
      point = Deviation{error, r[0], r[1], r[2], Deviation::kPoint, v};
    }
  });

  if (point.kind == Deviation::kPoint && point.error >= crossing.error - 1e-6) return point;
  return crossing;
}

}  // namespace

Deviation probe_triangle(const ReferenceModel& model, const Point3& a, const Point3& b, const Point3& c,
                         std::vector<std::uint32_t>& scratch) {
  return probe(model, a, b, c, scratch, [](double, double) { return false; });
}

Deviation check_triangle(const TwostageMesh& mesh, std::uint64_t a, std::uint64_t b, std::uint64_t c,
                         std::vector<std::uint32_t>& scratch) {
  const std::size_t n = mesh.positions.size();
  check_index(a < n && b < n && c < n && mesh.fixed.size() == n);
  check(mesh.reference != nullptr, "a working mesh's reference");
  const Point3& pa = mesh.positions[a];
  const Point3& pb = mesh.positions[b];
  const Point3& pc = mesh.positions[c];
  if (mesh.fixed[a] == 0 && mesh.fixed[b] == 0 && mesh.fixed[c] == 0)
    return probe_triangle(*mesh.reference, pa, pb, pc, scratch);
  return probe(*mesh.reference, pa, pb, pc, scratch,
               [&](double x, double y) { return edges_near(mesh, x, y, kFixedClearance); });
}

Deviation triangle_deviation(const TwostageMesh& mesh, std::uint64_t a, std::uint64_t b, std::uint64_t c,
                             DeviationMemo& memo, std::vector<std::uint32_t>& scratch) {
  DeviationKey key{a, b, c};
  std::sort(key.begin(), key.end());
  if (const auto it = memo.find(key); it != memo.end()) return it->second;
  const Deviation d = check_triangle(mesh, key[0], key[1], key[2], scratch);
  memo.emplace(key, d);
  return d;
}

}  // namespace qm::mesh
