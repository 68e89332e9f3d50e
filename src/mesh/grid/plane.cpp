#include "mesh/grid/plane.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "base/fault.hpp"

namespace qm::mesh {

PlaneFit fit_face_plane(std::span<const double> xs, std::span<const double> ys, std::span<const double> hs,
                        std::span<const std::uint64_t> indices) {
  for (const std::uint64_t i : indices) {
    check_index(i < xs.size() && i < ys.size() && i < hs.size());
  }
  const double m = static_cast<double>(indices.size());
  double sx = 0.0, sy = 0.0, sh = 0.0;
  for (const std::uint64_t i : indices) {
    sx += xs[i];
    sy += ys[i];
    sh += hs[i];
  }
  const double mx = sx / m, my = sy / m, mh = sh / m;

  double sxx = 0.0, syy = 0.0, sxy = 0.0, sxh = 0.0, syh = 0.0;
  for (const std::uint64_t i : indices) {
    const double dx = xs[i] - mx, dy = ys[i] - my, dh = hs[i] - mh;
    sxx += dx * dx;
    syy += dy * dy;
    sxy += dx * dy;
    sxh += dx * dh;
    syh += dy * dh;
  }
  const double det = syy * sxx - sxy * sxy;
  const double tr = syy + sxx;

  double a = 0.0, b = 0.0;
  if (std::fabs(det) > std::max(tr * tr, 1e-300) * 1e-12) {
    a = (syy * sxh - sxy * syh) / det;
    b = (sxx * syh - sxy * sxh) / det;
  } else if (tr > 0.0) {
    // All points on one line (or nearly): the slope along the principal axis, none across it.
    const double theta = 0.5 * std::atan2(2.0 * sxy, sxx - syy);
    const double ct = std::cos(theta), st = std::sin(theta);
    double stt = 0.0, sth = 0.0;
    for (const std::uint64_t i : indices) {
      const double t = (xs[i] - mx) * ct + (ys[i] - my) * st;
      stt += t * t;
      sth += t * (hs[i] - mh);
    }
    const double k = stt > 0.0 ? sth / stt : 0.0;
    a = k * ct;
    b = k * st;
  }
  const double c = (mh - mx * a) - my * b;

  double residual = 0.0;
  for (const std::uint64_t i : indices) {
    const double r = std::fabs(((a * xs[i] + c) + b * ys[i]) - hs[i]);
    if (r > residual) residual = r;  // a NaN term never wins
  }
  return PlaneFit{Plane{c, a, b}, residual};
}

const Plane& face_plane(const PlaneMap& planes, std::uint32_t id) {
  const auto it = planes.find(id);
  if (it == planes.end()) fault("no entry found for key");
  return it->second;
}

std::optional<MeetPoint> planes_meet_in_triangle(const PlaneMap& planes, std::span<const double> xs,
                                                 std::span<const double> ys,
                                                 const std::array<std::uint64_t, 3>& corners,
                                                 const std::array<std::uint32_t, 3>& faces) {
  for (const std::uint64_t p : corners) check_index(p < xs.size() && p < ys.size());
  const double x0 = xs[corners[0]], y0 = ys[corners[0]];
  const double x1 = xs[corners[1]], y1 = ys[corners[1]];
  const double x2 = xs[corners[2]], y2 = ys[corners[2]];

  // Along each edge, two planes that stay apart on one side cannot meet a third inside.
  for (int k = 0; k < 3; ++k) {
    const std::uint64_t start = corners[static_cast<std::size_t>(k)];
    const std::uint64_t end = corners[static_cast<std::size_t>((k + 1) % 3)];
    const std::uint32_t fi = faces[static_cast<std::size_t>(k)];
    const std::uint32_t fj = faces[static_cast<std::size_t>((k + 1) % 3)];
    const double d_start = plane_height(planes, fi, xs[start], ys[start]) - plane_height(planes, fj, xs[start], ys[start]);
    const double d_end = plane_height(planes, fi, xs[end], ys[end]) - plane_height(planes, fj, xs[end], ys[end]);
    if (d_start * d_end > 0.0 && std::min(std::fabs(d_start), std::fabs(d_end)) > 0.05) return std::nullopt;
  }

  const Plane& p0 = face_plane(planes, faces[0]);
  const Plane& p1 = face_plane(planes, faces[1]);
  const Plane& p2 = face_plane(planes, faces[2]);
  const double det = (p0.a - p1.a) * (p1.b - p2.b) - (p0.b - p1.b) * (p1.a - p2.a);
  if (!(std::fabs(det) >= 1e-9)) return std::nullopt;  // parallel planes, or NaN
  const double x = ((p1.c - p0.c) * (p1.b - p2.b) - (p0.b - p1.b) * (p2.c - p1.c)) / det;
  const double y = ((p0.a - p1.a) * (p2.c - p1.c) - (p1.a - p2.a) * (p1.c - p0.c)) / det;

  const double d = (y1 - y2) * (x0 - x2) + (x2 - x1) * (y0 - y2);
  if (d == 0.0) return std::nullopt;  // a degenerate triangle has no inside
  const double l0 = ((y1 - y2) * (x - x2) + (x2 - x1) * (y - y2)) / d;
  const double l1 = ((y2 - y0) * (x - x2) + (x0 - x2) * (y - y2)) / d;
  const double l2 = 1.0 - l0 - l1;
  if (!std::isfinite(x) || !std::isfinite(y) || !std::isfinite(l0) || !std::isfinite(l1) || !std::isfinite(l2)) {
    return std::nullopt;
  }
  if (std::min({l0, l1, l2}) < -1e-6) return std::nullopt;
  return MeetPoint{x, y};
}

}  // namespace qm::mesh
