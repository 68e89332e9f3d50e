#include "twostage_fixture.hpp"

#include <algorithm>
#include <cmath>
#include <map>
#include <utility>

namespace qm::mesh::fixture {

FacePieces polygon_pieces(const std::vector<Polygon>& polygons, const std::function<double(double, double)>& height) {
  FacePieces out;
  std::map<std::pair<double, double>, PointKey> keys;
  std::uint32_t face = 0;
  for (const Polygon& polygon : polygons) {
    FacePiece piece{PieceOwner::face(face++), {}};
    for (const auto& [x, y] : polygon) {
      auto it = keys.find({x, y});
      if (it == keys.end()) {
        const PointKey key = PointKey::sample(keys.size());
        it = keys.emplace(std::pair{x, y}, key).first;
        out.points.emplace(key, std::array<double, 3>{x, y, height(x, y)});
      }
      piece.ring.push_back(it->second);
    }
    out.pieces.push_back(std::move(piece));
  }
  return out;
}

ReferenceModel polygon_reference(const std::vector<Polygon>& polygons,
                                 const std::function<double(double, double)>& height) {
  return reference_build(polygon_pieces(polygons, height));
}

}  // namespace qm::mesh::fixture

namespace qm::mesh::fixture {

namespace {

// Keeps the part of the polygon where f(x, y) <= 0 (f affine).
Polygon clip(const Polygon& polygon, const std::function<double(double, double)>& f) {
  Polygon out;
  const std::size_t n = polygon.size();
  for (std::size_t i = 0; i < n; ++i) {
    const auto& p = polygon[i];
    const auto& q = polygon[(i + 1) % n];
    const double fp = f(p[0], p[1]);
    const double fq = f(q[0], q[1]);
    if (fp <= 0.0) out.push_back(p);
    if ((fp < 0.0 && fq > 0.0) || (fp > 0.0 && fq < 0.0)) {
      const double t = fp / (fp - fq);
      out.push_back({p[0] + t * (q[0] - p[0]), p[1] + t * (q[1] - p[1])});
    }
  }
  return out;
}

double snap(double v) { return std::round(v * 1024.0) / 1024.0; }

}  // namespace

PlanesSurface min_of_planes(const std::vector<PlaneSpec>& planes, double x0, double y0, double x1, double y1) {
  PlanesSurface out;
  out.height = [planes](double x, double y) {
    double h = planes.front().at(x, y);
    for (const PlaneSpec& p : planes) h = std::min(h, p.at(x, y));
    return h;
  };
  for (std::size_t i = 0; i < planes.size(); ++i) {
    Polygon polygon{{x0, y0}, {x1, y0}, {x1, y1}, {x0, y1}};
    for (std::size_t j = 0; j < planes.size() && !polygon.empty(); ++j) {
      if (j == i) continue;
      const PlaneSpec pi = planes[i], pj = planes[j];
      polygon = clip(polygon, [pi, pj](double x, double y) { return pi.at(x, y) - pj.at(x, y); });
    }
    Polygon snapped;
    for (const auto& p : polygon) {
      const std::array<double, 2> s{snap(p[0]), snap(p[1])};
      if (snapped.empty() || snapped.back() != s) snapped.push_back(s);
    }
    while (snapped.size() > 1 && snapped.front() == snapped.back()) snapped.pop_back();
    if (snapped.size() >= 3) out.polygons.push_back(snapped);
  }
  return out;
}

}  // namespace qm::mesh::fixture
