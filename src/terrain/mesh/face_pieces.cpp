// The face pieces: cut (triangles into polygons on one face each), linear (loose triangles into
// groups on a common plane) and split (points on a polygon's edges inserted into them).
#include "terrain/mesh/face_pieces.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <set>
#include <utility>

#include "module/fault.hpp"
#include "module/numeric.hpp"
#include "module/span.hpp"
#include "terrain/mesh/face_pieces_stages.hpp"

namespace qm::mesh {

namespace {

using PointMap = std::map<PointKey, std::array<double, 3>>;

const std::array<double, 3>& point_of(const PointMap& points, const PointKey& key) {
  const auto it = points.find(key);
  if (it == points.end()) fault("no entry found for key");
  return it->second;
}

void check_sample(const RefinePoints& work, std::uint64_t i) {
  check(i < work.xs.size() && i < work.ys.size() && i < work.hs.size(), "index out of range");
}

// Removes cyclic repeats; false when fewer than three keys are left.
bool drop_repeats(std::vector<PointKey>& ring) {
  const std::size_t n = ring.size();
  if (n == 0) return false;
  std::size_t p = 0;
  while (p < n && ring[p] == ring[(p + n - 1) % n]) ++p;
  if (p == n) return false;  // all keys equal
  std::vector<PointKey> out;
  out.reserve(n - p);
  out.push_back(ring[p]);
  for (std::size_t j = p + 1; j < n; ++j) {
    if (ring[j] != ring[j - 1]) out.push_back(ring[j]);
  }
  if (out.size() < 3) return false;
  ring = std::move(out);
  return true;
}

}  // namespace

namespace face_pieces_stages {

std::vector<FacePiece> cut(const RefinePoints& work, const FaceSet& faces, PointMap& points) {
  SpanTimer span("faces.pieces.cut");
  const std::size_t count = std::min({faces.triangles.size(), faces.triangle_kinds.size(), faces.triangle_faces.size()});
  std::vector<FacePiece> pieces;
  pieces.reserve(count + count / 4);
  for (std::size_t i = 0; i < count; ++i) {
    const auto& tri = faces.triangles[i];
    for (const std::uint64_t p : tri) check_sample(work, p);
    const TriangleFaces& tf = faces.triangle_faces[i];
    std::array<std::uint64_t, 3> v = tri;
    std::array<std::uint32_t, 3> f = tf.faces;
    const double xa = work.xs[v[0]], ya = work.ys[v[0]];
    if ((work.ys[v[1]] - ya) * (work.xs[v[2]] - xa) > (work.xs[v[1]] - xa) * (work.ys[v[2]] - ya)) {
      std::swap(v[1], v[2]);
      std::swap(f[1], f[2]);
    }
    switch (faces.triangle_kinds[i]) {
      case TriangleKind::Faceless:
      case TriangleKind::Unexplained: {
        FacePiece piece{PieceOwner::loose(i), {}};
        for (const std::uint64_t p : v) piece.ring.push_back(keep_point(work, points, p));
        pieces.push_back(std::move(piece));
        break;
      }
      case TriangleKind::Flat: {
        if (!tf.present) fault("a flat triangle's face");
        FacePiece piece{PieceOwner::face(f[0]), {}};
        for (const std::uint64_t p : v) piece.ring.push_back(keep_point(work, points, p));
        pieces.push_back(std::move(piece));
        break;
      }
      case TriangleKind::Crease: {
        if (!tf.present) fault("a crease's faces");
        const std::uint32_t lo = std::min({f[0], f[1], f[2]});
        const std::uint32_t hi = std::max({f[0], f[1], f[2]});
        FacePiece low{PieceOwner::face(lo), {}};
        FacePiece high{PieceOwner::face(hi), {}};
        for (int k = 0; k < 3; ++k) {
          const auto ku = static_cast<std::size_t>(k), next = static_cast<std::size_t>((k + 1) % 3);
          const PointKey corner = keep_point(work, points, v[ku]);
          (f[ku] == lo ? low : high).ring.push_back(corner);
          if (f[ku] != f[next]) {
            const PointKey x = edge_crossing(work, points, v[ku], v[next], lo, hi);
            low.ring.push_back(x);
            high.ring.push_back(x);
          }
        }
        pieces.push_back(std::move(low));
        pieces.push_back(std::move(high));
        break;
      }
      case TriangleKind::Junction: {
        if (!tf.present) fault("a junction's faces");
        const auto meet = planes_meet_in_triangle(work, tri, tf.faces);
        if (!meet) fault("a junction's point");
        const PointKey j = PointKey::junction(i);
        points.try_emplace(j, std::array<double, 3>{meet->x, meet->y, plane_height(work, f[0], meet->x, meet->y)});
        const PointKey x01 = edge_crossing(work, points, v[0], v[1], f[0], f[1]);
        const PointKey x12 = edge_crossing(work, points, v[1], v[2], f[1], f[2]);
        const PointKey x20 = edge_crossing(work, points, v[2], v[0], f[2], f[0]);
        const PointKey v0 = keep_point(work, points, v[0]);
        const PointKey v1 = keep_point(work, points, v[1]);
        const PointKey v2 = keep_point(work, points, v[2]);
        pieces.push_back(FacePiece{PieceOwner::face(f[0]), {v0, x01, j, x20}});
        pieces.push_back(FacePiece{PieceOwner::face(f[1]), {v1, x12, j, x01}});
        pieces.push_back(FacePiece{PieceOwner::face(f[2]), {v2, x20, j, x12}});
        break;
      }
    }
  }
  std::vector<FacePiece> kept;
  kept.reserve(pieces.size());
  for (FacePiece& piece : pieces) {
    if (drop_repeats(piece.ring)) kept.push_back(std::move(piece));
  }
  return kept;
}

namespace {

using EdgeKey = std::pair<PointKey, PointKey>;

EdgeKey edge_key(const PointKey& a, const PointKey& b) { return a < b ? EdgeKey{a, b} : EdgeKey{b, a}; }

}  // namespace

// Loose pieces joined, edge to edge, into groups whose corners lie within 0.05 of the plane through
// the group's first piece's first three corners.
void linear(std::vector<FacePiece>& pieces, const PointMap& points) {
  SpanTimer span("faces.pieces.linear");
  std::vector<std::size_t> loose;
  for (std::size_t r = 0; r < pieces.size(); ++r) {
    if (pieces[r].owner.kind == PieceOwner::Kind::Loose) loose.push_back(r);
  }
  if (loose.empty()) return;
  HashMap<EdgeKey, std::vector<std::size_t>> by_edge;
  for (const std::size_t r : loose) {
    const auto& ring = pieces[r].ring;
    for (std::size_t j = 0; j < ring.size(); ++j) {
      by_edge[edge_key(ring[(j + ring.size() - 1) % ring.size()], ring[j])].push_back(r);
    }
  }
  constexpr std::size_t kNoGroup = std::numeric_limits<std::size_t>::max();
  std::vector<std::size_t> group(pieces.size(), kNoGroup);
  std::vector<std::size_t> stack;
  for (const std::size_t r : loose) {
    if (group[r] != kNoGroup) continue;
    group[r] = r;
    const auto& seed = pieces[r].ring;
    const auto& p0 = point_of(points, seed[0]);
    const auto& p1 = point_of(points, seed[1]);
    const auto& p2 = point_of(points, seed[2]);
    const double x0 = p0[0], y0 = p0[1], h0 = p0[2];
    const double x1 = p1[0], y1 = p1[1], h1 = p1[2];
    const double x2 = p2[0], y2 = p2[1], h2 = p2[2];
    const double det = (x0 - x2) * (y1 - y2) + (y0 - y2) * (x2 - x1);
    if (std::fabs(det) < 1e-12) continue;
    const double a = (h0 * (y1 - y2) + h1 * (y2 - y0) + h2 * (y0 - y1)) / det;
    const double b = (h0 * (x2 - x1) + h1 * (x0 - x2) + h2 * (x1 - x0)) / det;
    const double c = h0 - a * x0 - b * y0;
    stack.assign(1, r);
    while (!stack.empty()) {
      const std::size_t q = stack.back();
      stack.pop_back();
      const auto& ring = pieces[q].ring;
      for (std::size_t j = 0; j < ring.size(); ++j) {
        const auto it = by_edge.find(edge_key(ring[(j + ring.size() - 1) % ring.size()], ring[j]));
        for (const std::size_t s : it->second) {
          if (group[s] != kNoGroup) continue;
          const bool on_plane = std::all_of(pieces[s].ring.begin(), pieces[s].ring.end(), [&](const PointKey& k) {
            const auto& p = point_of(points, k);
            return std::fabs(c + a * p[0] + b * p[1] - p[2]) <= 0.05;
          });
          if (!on_plane) continue;
          group[s] = r;
          stack.push_back(s);
        }
      }
    }
  }
  for (const std::size_t r : loose) pieces[r].owner = PieceOwner::loose(group[r]);
}

namespace {

using CellKey = std::pair<std::int64_t, std::int64_t>;

std::int64_t cell_of(double v) { return saturate<std::int64_t>(std::floor(v * 0.125)); }

std::int64_t saturating_add(std::int64_t v, std::int64_t d) {
  if (d > 0 && v > std::numeric_limits<std::int64_t>::max() - d) return std::numeric_limits<std::int64_t>::max();
  if (d < 0 && v < std::numeric_limits<std::int64_t>::min() - d) return std::numeric_limits<std::int64_t>::min();
  return v + d;
}

struct CellEntry {
  PointKey key;
  double x, y;
};

}  // namespace

// Every kept point that lies on a ring edge (within 0.001, strictly between its ends) becomes a
// vertex of that ring, in order along the edge.
void split(std::vector<FacePiece>& pieces, const PointMap& points) {
  SpanTimer span("faces.pieces.split");
  std::set<PointKey> used;
  for (const FacePiece& piece : pieces) used.insert(piece.ring.begin(), piece.ring.end());
  HashMap<CellKey, std::vector<CellEntry>> cells;
  HashMap<PointKey, std::pair<double, double>> position;
  position.reserve(used.size());
  for (const PointKey& key : used) {
    const auto& p = point_of(points, key);
    cells[CellKey{cell_of(p[0]), cell_of(p[1])}].push_back(CellEntry{key, p[0], p[1]});
    position.emplace(key, std::pair{p[0], p[1]});
  }

  struct Hit {
    double t;
    PointKey key;
  };
  std::vector<Hit> hits;
  std::vector<PointKey> ring;
  std::set<PointKey> in_ring;
  for (FacePiece& piece : pieces) {
    const auto& old = piece.ring;
    const std::size_t n = old.size();
    ring.clear();
    in_ring.clear();
    in_ring.insert(old.begin(), old.end());
    for (std::size_t j = 0; j < n; ++j) {
      const PointKey& from = old[(j + n - 1) % n];
      const PointKey& to = old[j];
      const auto [px, py] = position.at(from);
      const auto [qx, qy] = position.at(to);
      const double dx = qx - px, dy = qy - py;
      const double length = std::hypot(dx, dy);
      hits.clear();
      auto test = [&](const CellEntry& e) {
        if (e.key == from || e.key == to) return;
        const double vx = e.x - px, vy = e.y - py;
        const double t = (dx * vx + dy * vy) / (length * length);
        const double dist = std::fabs(dx * vy - dy * vx) / length;
        if (dist < 0.001 && 1e-6 < t && t < 0.999999) hits.push_back(Hit{t, e.key});
      };
      if (length > 0.0) {
        const std::int64_t cx0 = saturating_add(cell_of(std::min(px, qx)), -1);
        const std::int64_t cx1 = saturating_add(cell_of(std::max(px, qx)), 1);
        const std::int64_t cy0 = saturating_add(cell_of(std::min(py, qy)), -1);
        const std::int64_t cy1 = saturating_add(cell_of(std::max(py, qy)), 1);
        // A range wider than the table is searched through the table itself.
        const long double span_cells = (static_cast<long double>(cx1) - cx0 + 1) * (static_cast<long double>(cy1) - cy0 + 1);
        if (span_cells > static_cast<long double>(cells.size())) {
          for (const auto& [cell, entries] : cells) {
            if (cell.first < cx0 || cell.first > cx1 || cell.second < cy0 || cell.second > cy1) continue;
            for (const CellEntry& e : entries) test(e);
          }
        } else {
          for (std::int64_t cx = cx0;; ++cx) {
            for (std::int64_t cy = cy0;; ++cy) {
              const auto it = cells.find(CellKey{cx, cy});
              if (it != cells.end()) {
                for (const CellEntry& e : it->second) test(e);
              }
              if (cy == cy1) break;
            }
            if (cx == cx1) break;
          }
        }
      }
      std::sort(hits.begin(), hits.end(), [](const Hit& a, const Hit& b) {
        if (total_order_key(a.t) != total_order_key(b.t)) return total_order_less(a.t, b.t);
        return a.key < b.key;
      });
      for (std::size_t h = 0; h < hits.size(); ++h) {
        if (h > 0 && hits[h].key == hits[h - 1].key) continue;
        // A key the ring already holds is never inserted again: it would make the ring non-simple.
        if (!in_ring.insert(hits[h].key).second) continue;
        ring.push_back(hits[h].key);
      }
      ring.push_back(to);
    }
    piece.ring.swap(ring);
  }
}

}  // namespace face_pieces_stages

PointKey keep_point(const RefinePoints& work, PointMap& points, std::uint64_t i) {
  check_sample(work, i);
  const PointKey key = PointKey::sample(i);
  points.try_emplace(key, std::array<double, 3>{work.xs[i], work.ys[i], work.hs[i]});
  return key;
}

PointKey edge_crossing(const RefinePoints& work, PointMap& points, std::uint64_t a, std::uint64_t b,
                       std::uint32_t face_a, std::uint32_t face_b) {
  check_sample(work, a);
  check_sample(work, b);
  const double xa = work.xs[a], ya = work.ys[a], xb = work.xs[b], yb = work.ys[b];
  const double da = plane_height(work, face_a, xa, ya) - plane_height(work, face_b, xa, ya);
  const double db = plane_height(work, face_a, xb, yb) - plane_height(work, face_b, xb, yb);
  if (std::fabs(da) <= 0.05) return keep_point(work, points, a);
  if (std::fabs(db) <= 0.05) return keep_point(work, points, b);
  double t = da == db ? 0.5 : da / (da - db);
  if (t < 0.0) t = 0.0;
  if (t > 1.0) t = 1.0;
  const double length = std::hypot(xb - xa, yb - ya);
  if (t * length <= 0.02) return keep_point(work, points, a);
  if ((1.0 - t) * length <= 0.02) return keep_point(work, points, b);
  const PointKey key = PointKey::crossing(a, b);
  const double x = xa + t * (xb - xa);
  const double y = ya + t * (yb - ya);
  points.try_emplace(key, std::array<double, 3>{x, y, plane_height(work, face_a, x, y)});
  return key;
}

FacePieces faces_pieces(const RefinePoints& work, const FaceSet& faces) {
  SpanTimer span("faces.pieces");
  FacePieces out;
  out.pieces = face_pieces_stages::cut(work, faces, out.points);
  face_pieces_stages::linear(out.pieces, out.points);
  face_pieces_stages::split(out.pieces, out.points);
  return out;
}

}  // namespace qm::mesh
