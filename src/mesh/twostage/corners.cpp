#include "mesh/twostage/corners.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <limits>
#include <map>
#include <set>
#include <utility>

#include "base/fault.hpp"
#include "base/numeric.hpp"
#include "base/span.hpp"
#include "mesh/grid/cell_grid.hpp"
#include "mesh/reference/reference.hpp"
#include "mesh/twostage/creases.hpp"
#include "mesh/twostage/insert.hpp"
#include "mesh/twostage/working_mesh.hpp"

namespace qm::mesh {
namespace {

constexpr double kBucket = 3.0;        // bucket size and cluster join distance
constexpr double kInnerRing = 3.0;     // inner radius of the fitting ring
constexpr double kOuterRing = 15.0;    // outer radius of the fitting ring
constexpr double kNearCentroid = 3.0;  // largest distance of a corner from its cluster's centroid
constexpr double kSpread = 9.0;        // largest distance of an endpoint from the centroid
constexpr double kTrim = 3.0;          // trimming radius around a corner
constexpr double kMinSpreadDegrees = 10.0;
constexpr double kSimplify = 0.25;

struct Endpoint {
  std::uint64_t line;
  std::uint8_t end;  // 0 first point, 1 last point
  double x;
  double y;
};

struct FittedLine {
  double px, py;  // mean of the ring points
  double dx, dy;  // unit direction
};

using BucketKey = std::pair<std::int64_t, std::int64_t>;

BucketKey bucket_of(double x, double y) {
  return {saturate<std::int64_t>(std::floor(x / kBucket)), saturate<std::int64_t>(std::floor(y / kBucket))};
}

// b + d for d in -1..1, or nothing when it leaves the i64 range.
std::optional<std::int64_t> step(std::int64_t b, int d) {
  if (d < 0 && b == std::numeric_limits<std::int64_t>::min()) return std::nullopt;
  if (d > 0 && b == std::numeric_limits<std::int64_t>::max()) return std::nullopt;
  return b + d;
}

std::uint64_t find_root(std::vector<std::uint64_t>& parent, std::uint64_t x) {
  while (parent[x] != x) {
    parent[x] = parent[parent[x]];
    x = parent[x];
  }
  return x;
}

const CornerLine& line_at(const std::vector<CornerLine>& lines, std::uint64_t index) {
  check_index(index < lines.size());
  return lines[index];
}

// The points of a line in walking order from one of its ends.
std::vector<std::array<double, 3>> walked_from(const CornerLine& line, std::uint8_t end) {
  std::vector<std::array<double, 3>> out(line.begin(), line.end());
  if (end == 1) std::reverse(out.begin(), out.end());
  return out;
}

std::optional<FittedLine> fit_line(const CornerLine& line, std::uint8_t end, double cx, double cy) {
  std::vector<std::array<double, 2>> ring;
  for (const auto& p : walked_from(line, end)) {
    const double d = std::hypot(p[0] - cx, p[1] - cy);
    if (d >= kInnerRing && d <= kOuterRing) ring.push_back({p[0], p[1]});
  }
  if (ring.size() < 2) return std::nullopt;
  double sx = 0.0, sy = 0.0;
  for (const auto& p : ring) {
    sx += p[0];
    sy += p[1];
  }
  const double n = static_cast<double>(ring.size());
  const double mx = sx / n, my = sy / n;
  double sxx = 0.0, syy = 0.0, sxy = 0.0;
  for (const auto& p : ring) {
    const double ex = p[0] - mx, ey = p[1] - my;
    sxx += ex * ex;
    syy += ey * ey;
    sxy += ex * ey;
  }
  const double theta = 0.5 * std::atan2(2.0 * sxy, sxx - syy);
  return FittedLine{mx, my, std::cos(theta), std::sin(theta)};
}

// The line trimmed so that it ends at the corner on the given end, or nothing when every point
// lies within the trimming radius of the corner.
std::optional<CornerLine> trimmed(const CornerLine& line, std::uint8_t end, const std::array<double, 3>& corner) {
  const std::size_t n = line.size();
  for (std::size_t walked = 0; walked < n; ++walked) {
    const std::size_t i = end == 0 ? walked : n - 1 - walked;
    if (std::hypot(line[i][0] - corner[0], line[i][1] - corner[1]) > kTrim) {
      CornerLine out;
      out.reserve(n - walked + 1);
      if (end == 0) {
        out.push_back(corner);
        out.insert(out.end(), line.begin() + static_cast<std::ptrdiff_t>(i), line.end());
      } else {
        out.insert(out.end(), line.begin(), line.begin() + static_cast<std::ptrdiff_t>(i) + 1);
        out.push_back(corner);
      }
      return out;
    }
  }
  return std::nullopt;
}

// Endpoints, taken once from the lines as received: 2i the first point of line i, 2i + 1 its last.
std::vector<Endpoint> line_endpoints(const std::vector<CornerLine>& lines) {
  std::vector<Endpoint> endpoints;
  endpoints.reserve(lines.size() * 2);
  for (std::size_t i = 0; i < lines.size(); ++i) {
    const CornerLine& line = lines[i];
    check_index(!line.empty());
    endpoints.push_back({i, 0, line.front()[0], line.front()[1]});
    endpoints.push_back({i, 1, line.back()[0], line.back()[1]});
  }
  return endpoints;
}

// Union-find parents that join every pair of endpoints at most 3.0 apart, each pair tested once.
std::vector<std::uint64_t> join_near_endpoints(const std::vector<Endpoint>& endpoints) {
  std::map<BucketKey, std::vector<std::uint64_t>> buckets;
  for (std::uint64_t k = 0; k < endpoints.size(); ++k) buckets[bucket_of(endpoints[k].x, endpoints[k].y)].push_back(k);

  std::vector<std::uint64_t> parent(endpoints.size());
  for (std::uint64_t k = 0; k < parent.size(); ++k) parent[k] = k;
  for (std::uint64_t k = 0; k < endpoints.size(); ++k) {
    const Endpoint& ek = endpoints[k];
    const BucketKey home = bucket_of(ek.x, ek.y);
    for (int dx = -1; dx <= 1; ++dx) {
      const auto bx = step(home.first, dx);
      if (!bx) continue;
      for (int dy = -1; dy <= 1; ++dy) {
        const auto by = step(home.second, dy);
        if (!by) continue;
        const auto it = buckets.find({*bx, *by});
        if (it == buckets.end()) continue;
        for (const std::uint64_t j : it->second) {
          if (j <= k) continue;
          if (std::hypot(endpoints[j].x - ek.x, endpoints[j].y - ek.y) <= kBucket) {
            const std::uint64_t rj = find_root(parent, j);
            const std::uint64_t rk = find_root(parent, k);
            parent[rj] = rk;
          }
        }
      }
    }
  }
  return parent;
}

// Clusters by their smallest endpoint number, endpoints ascending.
std::map<std::uint64_t, std::vector<std::uint64_t>> endpoint_clusters(std::vector<std::uint64_t>& parent) {
  std::map<std::uint64_t, std::uint64_t> first_of_root;
  std::map<std::uint64_t, std::vector<std::uint64_t>> clusters;
  for (std::uint64_t k = 0; k < parent.size(); ++k) {
    const std::uint64_t root = find_root(parent, k);
    const auto [it, fresh] = first_of_root.try_emplace(root, k);
    clusters[it->second].push_back(k);
  }
  return clusters;
}

// The widest angle, in degrees, between two of the fitted lines.
double spread_degrees(const std::vector<FittedLine>& fitted) {
  double spread = 0.0;
  for (std::size_t i = 0; i < fitted.size(); ++i) {
    for (std::size_t j = i + 1; j < fitted.size(); ++j) {
      const double dot = std::fabs(fitted[i].dx * fitted[j].dx + fitted[i].dy * fitted[j].dy);
      const double angle = std::acos(std::min(dot, 1.0)) * kDegreesPerRadian;
      if (angle > spread) spread = angle;
    }
  }
  return spread;
}

// Least-squares meeting point of the fitted lines: M X = r with M = sum(I - d d^T) and
// r = sum((I - d d^T) m).
std::pair<double, double> meeting_point(const std::vector<FittedLine>& fitted) {
  double m00 = 0.0, m01 = 0.0, m11 = 0.0, r0 = 0.0, r1 = 0.0;
  for (const FittedLine& f : fitted) {
    const double a00 = 1.0 - f.dx * f.dx;
    const double a01 = -(f.dx * f.dy);
    const double a11 = 1.0 - f.dy * f.dy;
    m00 += a00;
    m01 += a01;
    m11 += a11;
    r0 += a00 * f.px + a01 * f.py;
    r1 += a01 * f.px + a11 * f.py;
  }
  const double det = m00 * m11 - m01 * m01;
  const double x = (r0 * m11 - r1 * m01) / det;
  const double y = (r1 * m00 - m01 * r0) / det;
  return {x, y};
}

// The corner where a cluster's lines meet, or nothing when the cluster is rejected: its endpoints
// spread too far, fewer than two lines fit near it, the lines run too nearly parallel, their
// meeting point lies off the centroid, or the corner or an endpoint is not covered or placed.
std::optional<std::array<double, 3>> cluster_corner(const std::vector<Endpoint>& endpoints,
                                                    const std::vector<std::uint64_t>& members,
                                                    const std::vector<CornerLine>& working,
                                                    const CornerPlacement& placement) {
  double sx = 0.0, sy = 0.0;
  for (const std::uint64_t k : members) {
    sx += endpoints[k].x;
    sy += endpoints[k].y;
  }
  const double cx = sx / static_cast<double>(members.size());
  const double cy = sy / static_cast<double>(members.size());
  for (const std::uint64_t k : members) {
    if (std::hypot(endpoints[k].x - cx, endpoints[k].y - cy) > kSpread) return std::nullopt;
  }

  std::vector<FittedLine> fitted;
  for (const std::uint64_t k : members) {
    const Endpoint& e = endpoints[k];
    if (auto f = fit_line(line_at(working, e.line), e.end, cx, cy)) fitted.push_back(*f);
  }
  if (fitted.size() < 2) return std::nullopt;
  if (!(spread_degrees(fitted) >= kMinSpreadDegrees)) return std::nullopt;

  const auto [x, y] = meeting_point(fitted);
  if (!std::isfinite(x) || !std::isfinite(y)) return std::nullopt;
  if (std::hypot(x - cx, y - cy) > kNearCentroid) return std::nullopt;

  bool covered = placement.covered(x, y);
  for (const std::uint64_t k : members) {
    if (!covered) break;
    covered = placement.covered(endpoints[k].x, endpoints[k].y);
  }
  if (!covered) return std::nullopt;
  const std::optional<double> z = placement.place(x, y);
  if (!z) return std::nullopt;
  return std::array<double, 3>{x, y, *z};
}

// Trims each member's line to end at the corner; a line with nothing left is dropped.
void trim_to_corner(const std::vector<Endpoint>& endpoints, const std::vector<std::uint64_t>& members,
                    const std::array<double, 3>& corner, std::vector<CornerLine>& working,
                    std::set<std::uint64_t>& dropped) {
  for (const std::uint64_t k : members) {
    const Endpoint& e = endpoints[k];
    CornerLine& line = working[e.line];
    if (auto cut = trimmed(line, e.end, corner)) {
      line = std::move(*cut);
    } else {
      dropped.insert(e.line);
    }
  }
}

}  // namespace

CornerFit fit_corners(const std::vector<CornerLine>& lines, const CornerPlacement& placement) {
  CornerFit fit;
  const std::vector<Endpoint> endpoints = line_endpoints(lines);
  std::vector<std::uint64_t> parent = join_near_endpoints(endpoints);
  const auto clusters = endpoint_clusters(parent);

  std::vector<CornerLine> working = lines;
  std::set<std::uint64_t> dropped;
  for (const auto& [first, members] : clusters) {
    std::set<std::uint64_t> distinct;
    for (const std::uint64_t k : members) distinct.insert(endpoints[k].line);
    if (distinct.size() < 3) continue;
    const auto corner = cluster_corner(endpoints, members, working, placement);
    if (!corner) {
      ++fit.rejected_clusters;
      continue;
    }
    fit.corners.push_back(*corner);
    ++fit.corner_count;
    trim_to_corner(endpoints, members, *corner, working, dropped);
  }

  for (std::uint64_t i = 0; i < working.size(); ++i) {
    if (dropped.count(i) != 0 || working[i].size() < 2) continue;
    fit.lines.push_back(std::move(working[i]));
  }
  return fit;
}

std::vector<std::array<double, 3>> twostage_walk(std::span<const std::array<double, 3>> points) {
  const std::size_t n = points.size();
  if (n < 3) return {points.begin(), points.end()};

  // Each range keeps its two ends; a range whose worst interior point strays more than the
  // tolerance keeps that point too and splits there.
  std::vector<std::uint8_t> keep(n, 0);
  keep[0] = 1;
  keep[n - 1] = 1;
  std::vector<std::pair<std::size_t, std::size_t>> ranges{{0, n - 1}};
  while (!ranges.empty()) {
    const auto [lo, hi] = ranges.back();
    ranges.pop_back();
    if (hi - lo < 2) continue;
    const auto& a = points[lo];
    const auto& b = points[hi];
    const double bx = b[0] - a[0], by = b[1] - a[1];
    const double len = std::hypot(bx, by);
    double worst = -1.0;
    std::size_t worst_at = 0;
    for (std::size_t i = lo + 1; i < hi; ++i) {
      const auto& q = points[i];
      const double qx = q[0] - a[0], qy = q[1] - a[1];
      double e;
      if (len == 0.0) {
        e = std::hypot(qx, qy);
      } else {
        const double t = (qx * bx + qy * by) / (len * len);
        const double h = std::fabs(bx * qy - by * qx) / len;
        const double v = std::fabs(a[2] + t * (b[2] - a[2]) - q[2]);
        e = h;
        if (v > e || e != e) e = v;
      }
      if (e > worst) {
        worst = e;
        worst_at = i;
      }
    }
    if (worst_at == 0 || worst <= kSimplify) continue;
    keep[worst_at] = 1;
    ranges.push_back({worst_at, hi});
    ranges.push_back({lo, worst_at});
  }

  std::vector<std::array<double, 3>> out;
  for (std::size_t i = 0; i < n; ++i) {
    if (keep[i]) out.push_back(points[i]);
  }
  return out;
}

namespace {

// Whether all four 64-unit cells around a local point are cells of the group.
bool strictly_covered(const TwostageMesh& mesh, double x, double y) {
  return cells_inside(lattice_cells_at(*mesh.grid, x + mesh.origin_x, y + mesh.origin_y));
}

}  // namespace

CornerStage twostage_corners(TwostageMesh& mesh, CreaseSet creases) {
  SpanTimer span("twostage.corners");
  mesh.stage = vertex_stage::kCorner;

  std::vector<CornerLine> lines;
  lines.reserve(creases.lines.size());
  for (CreaseLine& line : creases.lines) lines.push_back(std::move(line.points));
  creases = CreaseSet{};

  const CornerPlacement placement{
      [&mesh](double x, double y) { return strictly_covered(mesh, x, y); },
      [&mesh](double x, double y) -> std::optional<double> {
        if (edges_near(mesh, x, y, 0.001)) return std::nullopt;
        return reference_height_at(*mesh.reference, x, y);
      }};
  CornerFit fit = fit_corners(lines, placement);
  lines.clear();

  CornerStage out;
  out.counts.corners = fit.corner_count;
  out.counts.rejected_clusters = fit.rejected_clusters;
  std::vector<std::optional<std::uint64_t>> inserted;
  for (const CornerLine& line : fit.lines) {
    const auto walked = twostage_walk(line);
    ++out.counts.crease_lines;
    out.counts.crease_points += walked.size();
    inserted.clear();
    for (const auto& p : walked) inserted.push_back(insert_point(mesh, p[0], p[1], p[2]));
    for (std::size_t i = 1; i < inserted.size(); ++i) {
      if (inserted[i - 1] && inserted[i]) add_edge_checked(mesh, *inserted[i - 1], *inserted[i]);
    }
  }
  out.corners = std::move(fit.corners);
  return out;
}

}  // namespace qm::mesh
