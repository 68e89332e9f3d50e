#include "mesh/reference/reference.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "base/fault.hpp"
#include "base/numeric.hpp"

namespace qm::mesh {

namespace {

constexpr double kCollinear = 1e-9;
constexpr double kDegenerate = 1e-12;
constexpr double kInside = -1e-9;

double cross(const ReferencePoint& o, const ReferencePoint& a, const ReferencePoint& b) {
  return (a[0] - o[0]) * (b[1] - o[1]) - (a[1] - o[1]) * (b[0] - o[0]);
}

// An inclusive rectangle of cells.
struct CellRect {
  std::int64_t x_lo, x_hi, y_lo, y_hi;
};

CellRect rect_of(std::initializer_list<const ReferencePoint*> corners) {
  CellRect r{std::numeric_limits<std::int64_t>::max(), std::numeric_limits<std::int64_t>::min(),
             std::numeric_limits<std::int64_t>::max(), std::numeric_limits<std::int64_t>::min()};
  for (const ReferencePoint* p : corners) {
    const std::int64_t cx = cell_of((*p)[0]);
    const std::int64_t cy = cell_of((*p)[1]);
    r.x_lo = std::min(r.x_lo, cx);
    r.x_hi = std::max(r.x_hi, cx);
    r.y_lo = std::min(r.y_lo, cy);
    r.y_hi = std::max(r.y_hi, cy);
  }
  return r;
}

// Count, running sums, fill: each item registered in every cell of its rectangle clamped to the
// grid, cells column by column.
template <class RectOf>
void fill_grid(ReferenceGrid& grid, std::size_t count, RectOf rect_of_item) {
  const std::size_t cells = static_cast<std::size_t>(grid.w) * static_cast<std::size_t>(grid.h);
  grid.offsets.assign(cells + 1, 0);
  grid.items.clear();
  const std::int64_t gx_hi = static_cast<std::int64_t>(grid.x0) + grid.w - 1;
  const std::int64_t gy_hi = static_cast<std::int64_t>(grid.y0) + grid.h - 1;
  auto visit = [&](std::size_t item, auto&& body) {
    const CellRect r = rect_of_item(item);
    const std::int64_t x_lo = std::max<std::int64_t>(r.x_lo, grid.x0);
    const std::int64_t x_hi = std::min<std::int64_t>(r.x_hi, gx_hi);
    const std::int64_t y_lo = std::max<std::int64_t>(r.y_lo, grid.y0);
    const std::int64_t y_hi = std::min<std::int64_t>(r.y_hi, gy_hi);
    for (std::int64_t cx = x_lo; cx <= x_hi; ++cx)
      for (std::int64_t cy = y_lo; cy <= y_hi; ++cy)
        body(static_cast<std::size_t>((cx - grid.x0) * grid.h + (cy - grid.y0)));
  };
  std::uint64_t total = 0;
  for (std::size_t i = 0; i < count; ++i)
    visit(i, [&](std::size_t cell) {
      ++grid.offsets[cell + 1];
      ++total;
    });
  check_index(total <= std::numeric_limits<std::uint32_t>::max());
  for (std::size_t k = 1; k <= cells; ++k) grid.offsets[k] += grid.offsets[k - 1];
  grid.items.resize(static_cast<std::size_t>(total));
  std::vector<std::uint32_t> cursor(grid.offsets.begin(), grid.offsets.end() - 1);
  for (std::size_t i = 0; i < count; ++i)
    visit(i, [&](std::size_t cell) { grid.items[cursor[cell]++] = static_cast<std::uint32_t>(i); });
}

void edges_and_angles(ReferenceModel& m) {
  struct Side {
    std::uint32_t lo, hi, t;
    auto operator<=>(const Side&) const = default;
  };
  std::vector<Side> sides;
  sides.reserve(m.triangles.size() * 3);
  for (std::size_t t = 0; t < m.triangles.size(); ++t) {
    const ReferenceTriangle& tri = m.triangles[t];
    for (int k = 0; k < 3; ++k) {
      const std::uint32_t a = tri[k];
      const std::uint32_t b = tri[(k + 1) % 3];
      sides.push_back({std::min(a, b), std::max(a, b), static_cast<std::uint32_t>(t)});
    }
  }
  std::sort(sides.begin(), sides.end());
  for (std::size_t i = 0; i < sides.size();) {
    std::size_t j = i + 1;
    while (j < sides.size() && sides[j].lo == sides[i].lo && sides[j].hi == sides[i].hi) ++j;
    m.edges.emplace_back(sides[i].lo, sides[i].hi);
    double angle = 0.0;
    if (j - i == 2)
      angle = normals_angle_degrees(reference_triangle_points(m, sides[i].t), reference_triangle_points(m, sides[i + 1].t));
    m.edge_angles.push_back(angle);
    i = j;
  }
}

}  // namespace

std::int32_t cell_of(double v) { return saturate<std::int32_t>(std::floor(v * 0.125)); }

PositionKey position_key(double x, double y) {
  return {saturate<std::int64_t>(round_half_away(x * 1000.0)), saturate<std::int64_t>(round_half_away(y * 1000.0))};
}

std::span<const std::uint32_t> ReferenceGrid::at(std::int64_t cx, std::int64_t cy) const {
  if (!inside(cx, cy)) return {};
  const std::size_t k = static_cast<std::size_t>((cx - x0) * h + (cy - y0));
  return std::span<const std::uint32_t>(items).subspan(offsets[k], offsets[k + 1] - offsets[k]);
}

double Barycentric::smallest() const { return std::fmin(std::fmin(l1, l2), l3); }

Barycentric barycentric(const ReferencePoint& a, const ReferencePoint& b, const ReferencePoint& c, double x, double y) {
  Barycentric w;
  w.det = (b[1] - c[1]) * (a[0] - c[0]) + (c[0] - b[0]) * (a[1] - c[1]);
  w.l1 = ((b[1] - c[1]) * (x - c[0]) + (c[0] - b[0]) * (y - c[1])) / w.det;
  w.l2 = ((c[1] - a[1]) * (x - c[0]) + (a[0] - c[0]) * (y - c[1])) / w.det;
  w.l3 = 1.0 - w.l1 - w.l2;
  return w;
}

double normals_angle_degrees(const std::array<ReferencePoint, 3>& first, const std::array<ReferencePoint, 3>& second) {
  auto unit_normal = [](const std::array<ReferencePoint, 3>& t) {
    const double ux = t[1][0] - t[0][0], uy = t[1][1] - t[0][1], uz = t[1][2] - t[0][2];
    const double vx = t[2][0] - t[0][0], vy = t[2][1] - t[0][1], vz = t[2][2] - t[0][2];
    const double nx = uy * vz - uz * vy;
    const double ny = uz * vx - ux * vz;
    const double nz = ux * vy - uy * vx;
    const double s = (nz + 1e-30 < 0.0) ? -1.0 : 1.0;
    const double len = std::fmax(std::sqrt(nx * nx + ny * ny + nz * nz), 1e-12);
    return std::array<double, 3>{s * nx / len, s * ny / len, s * nz / len};
  };
  const auto na = unit_normal(first);
  const auto nb = unit_normal(second);
  const double dot = na[0] * nb[0] + na[1] * nb[1] + na[2] * nb[2];
  return std::acos(std::fmin(std::fabs(dot), 1.0)) * kDegreesPerRadian;
}

void triangulate_ring(std::span<const ReferencePoint> points, std::vector<std::uint32_t>& ring,
                      std::vector<ReferenceTriangle>& out) {
  auto at = [&](std::uint32_t i) -> const ReferencePoint& {
    check_index(i < points.size());
    return points[i];
  };
  double area = -0.0;
  for (std::size_t i = 0; i < ring.size(); ++i) {
    const ReferencePoint& p = at(ring[i]);
    const ReferencePoint& q = at(ring[(i + 1) % ring.size()]);
    area += p[0] * q[1] - q[0] * p[1];
  }
  if (area < 0.0) std::reverse(ring.begin(), ring.end());

  auto emit_if_not_flat = [&](std::uint32_t a, std::uint32_t b, std::uint32_t c) {
    if (std::fabs(cross(at(a), at(b), at(c))) >= kCollinear) out.push_back({a, b, c});
  };

  while (ring.size() > 3) {
    const std::size_t n = ring.size();
    bool cut = false;
    for (std::size_t i = 0; i < n && !cut; ++i) {
      const std::uint32_t prev = ring[(i + n - 1) % n];
      const std::uint32_t cur = ring[i];
      const std::uint32_t next = ring[(i + 1) % n];
      const ReferencePoint& pp = at(prev);
      const ReferencePoint& pc = at(cur);
      const ReferencePoint& pn = at(next);
      if (!(cross(pp, pc, pn) > kCollinear)) continue;
      bool blocked = false;
      for (const std::uint32_t v : ring) {
        if (v == prev || v == cur || v == next) continue;
        const ReferencePoint& pv = at(v);
        if (cross(pp, pc, pv) >= -kCollinear && cross(pc, pn, pv) >= -kCollinear && cross(pn, pp, pv) >= -kCollinear) {
          blocked = true;
          break;
        }
      }
      if (blocked) continue;
      out.push_back({prev, cur, next});
      ring.erase(ring.begin() + static_cast<std::ptrdiff_t>(i));
      cut = true;
    }
    if (!cut) {
      for (std::size_t j = 1; j + 1 < ring.size(); ++j) emit_if_not_flat(ring[0], ring[j], ring[j + 1]);
      return;
    }
  }
  if (ring.size() == 3) emit_if_not_flat(ring[0], ring[1], ring[2]);
}

ReferenceModel reference_build(const FacePieces& pieces) {
  ReferenceModel m;

  // Kept points: the map's keys that some ring uses, in key order.
  std::vector<PointKey> keys;
  keys.reserve(pieces.points.size());
  for (const auto& [key, _] : pieces.points) keys.push_back(key);
  std::vector<std::uint8_t> used(keys.size(), 0);
  for (const FacePiece& piece : pieces.pieces)
    for (const PointKey& key : piece.ring) {
      const auto it = std::lower_bound(keys.begin(), keys.end(), key);
      check(it != keys.end() && *it == key, "a piece's vertex");
      used[static_cast<std::size_t>(it - keys.begin())] = 1;
    }
  {
    std::size_t kept = 0;
    auto value = pieces.points.begin();
    for (std::size_t i = 0; i < keys.size(); ++i, ++value) {
      if (!used[i]) continue;
      keys[kept++] = keys[i];
      m.points.push_back(value->second);
    }
    keys.resize(kept);
  }
  check_index(m.points.size() <= std::numeric_limits<std::uint32_t>::max());

  // Triangles, ring by ring.
  std::vector<std::uint32_t> ring;
  for (const FacePiece& piece : pieces.pieces) {
    ring.clear();
    for (const PointKey& key : piece.ring) {
      const auto it = std::lower_bound(keys.begin(), keys.end(), key);
      check(it != keys.end() && *it == key, "a piece's vertex");
      ring.push_back(static_cast<std::uint32_t>(it - keys.begin()));
    }
    triangulate_ring(m.points, ring, m.triangles);
  }
  check_index(m.triangles.size() <= std::numeric_limits<std::uint32_t>::max());

  edges_and_angles(m);

  // Grids: one extent over all points.
  ReferenceGrid shape;
  if (!m.points.empty()) {
    std::int64_t min_x = std::numeric_limits<std::int64_t>::max(), max_x = std::numeric_limits<std::int64_t>::min();
    std::int64_t min_y = min_x, max_y = max_x;
    for (const ReferencePoint& p : m.points) {
      min_x = std::min<std::int64_t>(min_x, cell_of(p[0]));
      max_x = std::max<std::int64_t>(max_x, cell_of(p[0]));
      min_y = std::min<std::int64_t>(min_y, cell_of(p[1]));
      max_y = std::max<std::int64_t>(max_y, cell_of(p[1]));
    }
    const std::int64_t w = std::max<std::int64_t>(max_x - min_x + 1, 0);
    const std::int64_t h = std::max<std::int64_t>(max_y - min_y + 1, 0);
    // A piece spans a bounded number of 64-unit cells; anything far larger is broken input.
    check_index(w <= std::numeric_limits<std::int32_t>::max() && h <= std::numeric_limits<std::int32_t>::max() &&
                w * h < std::int64_t{1} << 31);
    shape.x0 = static_cast<std::int32_t>(min_x);
    shape.y0 = static_cast<std::int32_t>(min_y);
    shape.w = static_cast<std::int32_t>(w);
    shape.h = static_cast<std::int32_t>(h);
  }
  m.point_grid = shape;
  m.triangle_grid = shape;
  m.edge_grid = shape;
  fill_grid(m.point_grid, m.points.size(), [&](std::size_t i) { return rect_of({&m.points[i]}); });
  fill_grid(m.triangle_grid, m.triangles.size(), [&](std::size_t i) {
    const ReferenceTriangle& t = m.triangles[i];
    return rect_of({&m.points[t[0]], &m.points[t[1]], &m.points[t[2]]});
  });
  fill_grid(m.edge_grid, m.edges.size(), [&](std::size_t i) {
    return rect_of({&m.points[m.edges[i].first], &m.points[m.edges[i].second]});
  });

  // The first point of every thousandths key.
  m.vertex_index.reserve(m.points.size());
  for (std::size_t i = 0; i < m.points.size(); ++i)
    m.vertex_index.try_emplace(position_key(m.points[i][0], m.points[i][1]), static_cast<std::uint32_t>(i));
  return m;
}

const ReferencePoint& reference_point(const ReferenceModel& model, std::uint32_t index) {
  check_index(index < model.points.size());
  return model.points[index];
}

std::array<ReferencePoint, 3> reference_triangle_points(const ReferenceModel& model, std::uint32_t triangle) {
  check_index(triangle < model.triangles.size());
  const ReferenceTriangle& t = model.triangles[triangle];
  return {reference_point(model, t[0]), reference_point(model, t[1]), reference_point(model, t[2])};
}

std::optional<std::uint32_t> reference_locate(const ReferenceModel& model, double x, double y) {
  for (const std::uint32_t t : model.triangle_grid.at(cell_of(x), cell_of(y))) {
    const auto c = reference_triangle_points(model, t);
    const Barycentric w = barycentric(c[0], c[1], c[2], x, y);
    if (std::fabs(w.det) < kDegenerate) continue;
    if (w.smallest() >= kInside) return t;
  }
  return std::nullopt;
}

std::optional<double> reference_height_at(const ReferenceModel& model, double x, double y) {
  const auto t = reference_locate(model, x, y);
  if (!t) return std::nullopt;
  const auto c = reference_triangle_points(model, *t);
  const Barycentric w = barycentric(c[0], c[1], c[2], x, y);
  if (std::fabs(w.det) < kDegenerate) return std::nullopt;
  return w.l1 * c[0][2] + w.l2 * c[1][2] + w.l3 * c[2][2];
}

double reference_height(const ReferenceModel& model, double x, double y) {
  if (const auto z = reference_height_at(model, x, y)) return *z;
  const std::int64_t cx = cell_of(x);
  const std::int64_t cy = cell_of(y);
  bool have_best = false;
  double best_distance = 0.0;
  double best_height = std::numeric_limits<double>::quiet_NaN();
  for (std::int64_t r = 0; r <= 4; ++r) {
    for (std::int64_t gx = cx - r; gx <= cx + r; ++gx) {
      for (std::int64_t gy = cy - r; gy <= cy + r; ++gy) {
        if (std::max(std::abs(gx - cx), std::abs(gy - cy)) != r) continue;
        for (const std::uint32_t t : model.triangle_grid.at(gx, gy)) {
          const auto c = reference_triangle_points(model, t);
          const Barycentric w = barycentric(c[0], c[1], c[2], x, y);
          double distance = std::numeric_limits<double>::infinity();
          double height = std::numeric_limits<double>::quiet_NaN();
          if (std::fabs(w.det) >= kDegenerate && w.smallest() >= 0.0) {
            distance = 0.0;
            height = w.l1 * c[0][2] + w.l2 * c[1][2] + w.l3 * c[2][2];
          } else {
            for (int k = 0; k < 3; ++k) {
              const ReferencePoint& p = c[k];
              const ReferencePoint& q = c[(k + 1) % 3];
              const double dx = q[0] - p[0];
              const double dy = q[1] - p[1];
              const double len = dx * dx + dy * dy;
              double s = 0.0;
              if (len > 0.0) s = std::clamp(((x - p[0]) * dx + (y - p[1]) * dy) / len, 0.0, 1.0);
              const double d = std::hypot(p[0] + s * dx - x, p[1] + s * dy - y);
              if (d < distance) {
                distance = d;
                height = p[2] + s * (q[2] - p[2]);
              }
            }
          }
          if (!have_best || distance < best_distance) {
            have_best = true;
            best_distance = distance;
            best_height = height;
          }
        }
      }
    }
    if (have_best && best_distance <= 8.0 * static_cast<double>(r)) break;
  }
  return have_best ? best_height : std::numeric_limits<double>::quiet_NaN();
}

std::optional<std::pair<double, double>> reference_slope_at(const ReferenceModel& model, double x, double y) {
  const auto t = reference_locate(model, x, y);
  if (!t) return std::nullopt;
  const auto c = reference_triangle_points(model, *t);
  const ReferencePoint& p = c[0];
  const ReferencePoint& q = c[1];
  const ReferencePoint& r = c[2];
  const double det = (p[0] - r[0]) * (q[1] - r[1]) + (p[1] - r[1]) * (r[0] - q[0]);
  if (std::fabs(det) < kDegenerate) return std::nullopt;
  const double dzdx = (p[2] * (q[1] - r[1]) + q[2] * (r[1] - p[1]) + r[2] * (p[1] - q[1])) / det;
  const double dzdy = (p[2] * (r[0] - q[0]) + q[2] * (p[0] - r[0]) + r[2] * (q[0] - p[0])) / det;
  return std::pair{dzdx, dzdy};
}

}  // namespace qm::mesh
