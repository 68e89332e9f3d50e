#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <set>
#include <vector>

#include "base/fault.hpp"
#include "mesh/grid/cell_grid.hpp"
#include "mesh/pieces/face_pieces.hpp"
#include "mesh/pieces/face_pieces_stages.hpp"
#include "mesh/faces/faces.hpp"
#include "mesh/faces/refine_points.hpp"

namespace qm::mesh {
namespace {

using Key = PointKey;
using Ring = std::vector<PointKey>;
Key S(std::uint64_t i) { return Key::sample(i); }
Key X(std::uint64_t a, std::uint64_t b) { return Key::crossing(a, b); }

// Points, faces and a hand-made face set.
struct Cut {
  RefinePoints w;
  FaceSet faces;
  Cut() { w.cell_grid = lattice_from_cells({{0, 0}}); }
  std::uint64_t point(double x, double y, double h) {
    EXPECT_TRUE(add_point(w, x, y, h));
    return w.xs.size() - 1;
  }
  void plane(std::uint32_t id, Plane p) { w.planes[id] = p; }
  void triangle(std::array<std::uint64_t, 3> t, TriangleKind kind, std::array<std::uint32_t, 3> f = {0, 0, 0},
                bool present = true) {
    faces.triangles.push_back(t);
    faces.triangle_kinds.push_back(kind);
    faces.triangle_faces.push_back(TriangleFaces{present ? 1u : 0u, f});
  }
  FacePieces pieces() const { return faces_pieces(w, faces); }
};

void expect_fault(const Cut& s, const char* message) {
  try {
    (void)s.pieces();
    ADD_FAILURE() << "no fault, expected " << message;
  } catch (const Fault& f) {
    EXPECT_EQ(f.message(), message);
  }
}

TEST(FacePieces, EmptyFaceSetGivesNothing) {
  Cut s;
  const FacePieces p = s.pieces();
  EXPECT_TRUE(p.pieces.empty());
  EXPECT_TRUE(p.points.empty());
}

TEST(FacePieces, FlatTriangleIsOnePieceCounterClockwise) {
  Cut s;
  const auto a = s.point(0, 0, 1), b = s.point(8, 0, 1), c = s.point(0, 8, 1);
  s.plane(4, Plane{1, 0, 0});
  s.triangle({a, c, b}, TriangleKind::Flat, {4, 6, 6});  // clockwise: turned round
  const FacePieces p = s.pieces();
  ASSERT_EQ(p.pieces.size(), 1u);
  EXPECT_EQ(p.pieces[0].owner, PieceOwner::face(4));
  EXPECT_EQ(p.pieces[0].ring, (Ring{S(a), S(b), S(c)}));
  EXPECT_EQ(p.points.at(S(b)), (std::array<double, 3>{8, 0, 1}));
}

TEST(FacePieces, CreaseCutsAlongTheCrossing) {
  // Face 5 is flat, face 9 is h = y - 4: they cross along y = 4.
  Cut s;
  const auto v0 = s.point(0, 0, 0), v1 = s.point(8, 0, 0), v2 = s.point(0, 8, 4);
  s.plane(5, Plane{0, 0, 0});
  s.plane(9, Plane{-4, 0, 1});
  s.triangle({v0, v1, v2}, TriangleKind::Crease, {5, 5, 9});
  const FacePieces p = s.pieces();
  ASSERT_EQ(p.pieces.size(), 2u);
  EXPECT_EQ(p.pieces[0].owner, PieceOwner::face(5));
  EXPECT_EQ(p.pieces[0].ring, (Ring{S(v0), S(v1), X(v1, v2), X(v2, v0)}));
  EXPECT_EQ(p.pieces[1].owner, PieceOwner::face(9));
  EXPECT_EQ(p.pieces[1].ring, (Ring{X(v1, v2), S(v2), X(v0, v2)}));
  EXPECT_EQ(p.points.at(X(v1, v2)), (std::array<double, 3>{4, 4, 0}));
  EXPECT_EQ(p.points.at(X(v0, v2)), (std::array<double, 3>{0, 4, 0}));
}

TEST(FacePieces, CrossingsAtAnEndBecomeThatEnd) {
  struct Case {
    const char* name;
    Plane nine;
  };
  // Face 9 within 0.05 of face 5 at corner 0 (and 1); then steep, crossing 0.015 from corner 0.
  for (const Case& c : {Case{"gap", Plane{-0.01, 0, 1}}, Case{"near end", Plane{-0.15, 0, 10}}}) {
    Cut s;
    const auto v0 = s.point(0, 0, 0), v1 = s.point(8, 0, 0), v2 = s.point(0, 8, 8);
    s.plane(5, Plane{0, 0, 0});
    s.plane(9, c.nine);
    s.triangle({v0, v1, v2}, TriangleKind::Crease, {5, 5, 9});
    const FacePieces p = s.pieces();
    if (std::string(c.name) == "gap") {
      // Both crossings fall on corners: face 5's ring collapses and is dropped.
      ASSERT_EQ(p.pieces.size(), 1u) << c.name;
      EXPECT_EQ(p.pieces[0].owner, PieceOwner::face(9));
      EXPECT_EQ(p.pieces[0].ring, (Ring{S(v1), S(v2), S(v0)}));
    } else {
      ASSERT_EQ(p.pieces.size(), 2u) << c.name;
      // The crossing on edge 1-2 lies 0.021 from corner 1 and stays; the one on edge 2-0 lies
      // 0.015 from corner 0 and becomes it.
      EXPECT_EQ(p.pieces[0].ring, (Ring{S(v1), X(v1, v2), S(v0)}));
      EXPECT_EQ(p.pieces[1].ring, (Ring{X(v1, v2), S(v2), S(v0)}));
    }
  }
}

TEST(FacePieces, NeighboursShareOneCrossingValue) {
  // Both triangles cut their common edge 1-2, with different planes: the first one's point stays.
  Cut s;
  const auto v0 = s.point(0, 0, 0), v1 = s.point(8, 0, 0), v2 = s.point(0, 8, 4), v3 = s.point(8, 8, 4);
  s.plane(5, Plane{0, 0, 0});
  s.plane(9, Plane{-4, 0, 1});
  s.plane(11, Plane{-2, 0, 0.5});
  s.triangle({v0, v1, v2}, TriangleKind::Crease, {5, 5, 9});
  s.triangle({v1, v3, v2}, TriangleKind::Crease, {5, 11, 11});
  const FacePieces p = s.pieces();
  EXPECT_EQ(p.points.at(X(v1, v2)), (std::array<double, 3>{4, 4, 0}));
  std::size_t users = 0;
  for (const auto& piece : p.pieces) users += std::count(piece.ring.begin(), piece.ring.end(), X(v1, v2));
  EXPECT_EQ(users, 4u);
}

// Planes through height 10 at j with the given slopes, one per corner of (0,0), (4,0), (0,4).
Cut junction(double jx, double jy, const std::array<std::array<double, 2>, 3>& slopes) {
  Cut s;
  const double px[3] = {0, 4, 0}, py[3] = {0, 0, 4};
  std::array<std::uint64_t, 3> v{};
  for (int k = 0; k < 3; ++k) {
    const double a = slopes[static_cast<std::size_t>(k)][0], b = slopes[static_cast<std::size_t>(k)][1];
    const Plane plane{10.0 - a * jx - b * jy, a, b};
    s.plane(static_cast<std::uint32_t>(21 + k), plane);
    v[static_cast<std::size_t>(k)] = s.point(px[k], py[k], plane.height(px[k], py[k]));
  }
  s.triangle(v, TriangleKind::Junction, {21, 22, 23});
  return s;
}

TEST(FacePieces, JunctionGivesThreeQuadrilaterals) {
  const Cut s = junction(1.5, 1.0, {{{0, 0}, {3, 0}, {1, 2}}});
  const FacePieces p = s.pieces();
  ASSERT_EQ(p.pieces.size(), 3u);
  const Key j = Key::junction(0);
  EXPECT_EQ(p.pieces[0].owner, PieceOwner::face(21));
  EXPECT_EQ(p.pieces[0].ring, (Ring{S(0), X(0, 1), j, X(2, 0)}));
  EXPECT_EQ(p.pieces[1].ring, (Ring{S(1), X(1, 2), j, X(0, 1)}));
  EXPECT_EQ(p.pieces[2].ring, (Ring{S(2), X(2, 0), j, X(1, 2)}));
  EXPECT_NEAR(p.points.at(j)[0], 1.5, 1e-12);
  EXPECT_NEAR(p.points.at(j)[1], 1.0, 1e-12);
  EXPECT_EQ(p.points.at(j)[2], plane_height(s.w, 21, p.points.at(j)[0], p.points.at(j)[1]));
}

TEST(FacePieces, JunctionCloseToAnEdgeIsNeverInsertedTwice) {
  // The junction lies 0.0005 above edge 0-1, and faces 21 and 22 cross that edge within the 0.05
  // gap at corner 0: face 22's ring is [V1, X12, J, V0], whose closing edge V0-V1 passes the
  // junction at 0.0005. It must not be inserted there again.
  const double u = -1.991 / 2.999;
  const std::array<double, 2> g1{0.0005, -1.99};
  const std::array<double, 2> g2{g1[0] + u * 0.9995, g1[1] - u};
  const Cut s = junction(2.0, 0.0005, {{{0, 0}, g1, g2}});
  const FacePieces p = s.pieces();
  for (const auto& piece : p.pieces) {
    const std::set<Key> keys(piece.ring.begin(), piece.ring.end());
    EXPECT_EQ(keys.size(), piece.ring.size());
  }
  ASSERT_EQ(p.pieces.size(), 3u);
  EXPECT_EQ(p.pieces[1].ring, (Ring{S(1), X(1, 2), Key::junction(0), S(0)}));
}

TEST(FacePieces, FaultsOnBrokenVerdicts) {
  struct Case {
    TriangleKind kind;
    const char* message;
  };
  for (const Case& c : {Case{TriangleKind::Flat, "a flat triangle's face"}, Case{TriangleKind::Crease, "a crease's faces"},
                        Case{TriangleKind::Junction, "a junction's faces"}}) {
    Cut s;
    s.point(0, 0, 0);
    s.point(8, 0, 0);
    s.point(0, 8, 0);
    s.plane(1, Plane{});
    s.triangle({0, 1, 2}, c.kind, {1, 1, 1}, false);
    expect_fault(s, c.message);
  }
  // Planes that meet outside the triangle.
  expect_fault(junction(5.0, 1.0, {{{0, 0}, {3, 0}, {1, 2}}}), "a junction's point");
  Cut missing;
  missing.point(0, 0, 0);
  missing.point(8, 0, 0);
  missing.point(0, 8, 0);
  missing.triangle({0, 1, 2}, TriangleKind::Crease, {1, 1, 2});
  missing.plane(1, Plane{});
  expect_fault(missing, "no entry found for key");
  Cut range;
  range.triangle({0, 1, 2}, TriangleKind::Faceless);
  expect_fault(range, "index out of range");
}

TEST(FacePieces, LooseTrianglesGroupOnTheSeedPlane) {
  // Three loose triangles in a strip; the second lies on the first's plane (within 0.05), the
  // third does not; a fourth, collinear one forms a group of its own.
  Cut s;
  const auto a = s.point(0, 0, 0), b = s.point(8, 0, 0), c = s.point(0, 8, 0), d = s.point(8, 8, 0.05);
  const auto e = s.point(16, 8, 3);
  const auto f = s.point(4, 0, 1);
  s.triangle({a, b, c}, TriangleKind::Faceless);
  s.triangle({b, d, c}, TriangleKind::Unexplained, {7, 7, 7});  // its faces are not read
  s.triangle({b, e, d}, TriangleKind::Faceless);
  s.triangle({a, f, b}, TriangleKind::Faceless);  // collinear corners, off the first plane
  const FacePieces p = s.pieces();
  ASSERT_EQ(p.pieces.size(), 4u);
  EXPECT_EQ(p.pieces[0].owner, PieceOwner::loose(0));
  EXPECT_EQ(p.pieces[1].owner, PieceOwner::loose(0));
  EXPECT_EQ(p.pieces[2].owner, PieceOwner::loose(2));
  EXPECT_EQ(p.pieces[3].owner, PieceOwner::loose(3));
}

TEST(FacePieces, SplitInsertsPointsOnEdgesInOrder) {
  // A flat triangle whose long edge carries the corners of three small neighbours; and the same
  // with a loose triangle far away, which spreads the points too thinly for a dense cell table.
  for (const bool far_away : {false, true}) {
    SCOPED_TRACE(far_away ? "with a triangle far away" : "alone");
    Cut s;
    const auto a = s.point(0, 0, 0), b = s.point(16, 0, 0), c = s.point(0, 16, 0);
    const auto m1 = s.point(12, 4, 0), m2 = s.point(8, 8, 0), m3 = s.point(4, 12, 0);
    const auto far = s.point(16, 16, 0);
    const auto off = s.point(10.0015, 6.0, 0);  // 0.00106 from the edge: not on it
    s.plane(1, Plane{0, 0, 0});
    s.triangle({a, b, c}, TriangleKind::Flat, {1, 1, 1});
    s.triangle({b, far, m1}, TriangleKind::Flat, {1, 1, 1});
    s.triangle({m1, far, m2}, TriangleKind::Flat, {1, 1, 1});
    s.triangle({m2, far, m3}, TriangleKind::Flat, {1, 1, 1});
    s.triangle({m3, far, c}, TriangleKind::Flat, {1, 1, 1});
    s.triangle({m2, far, off}, TriangleKind::Faceless);
    if (far_away) {
      const auto d = s.point(-3e7, 2e7, 0), e = s.point(-3e7 + 8, 2e7, 0), f = s.point(-3e7, 2e7 + 8, 0);
      s.triangle({d, e, f}, TriangleKind::Faceless);
    }
    const FacePieces p = s.pieces();
    EXPECT_EQ(p.pieces[0].ring, (Ring{S(a), S(b), S(m1), S(m2), S(m3), S(c)}));
    // The neighbours' own edges along it gain nothing: the points lie at their ends.
    EXPECT_EQ(p.pieces[1].ring, (Ring{S(b), S(far), S(m1)}));
    EXPECT_EQ(p.pieces.size(), far_away ? 7u : 6u);
  }
}

TEST(FacePieces, SplitFindsPointsWhoseCellsSaturate) {
  // Positions beyond the range of cell numbers all fall in the last cell. (Beyond the range of the
  // point set's keys too, so the points go into its columns directly.)
  Cut s;
  auto point = [&](double x, double y) {
    s.w.xs.push_back(x);
    s.w.ys.push_back(y);
    s.w.hs.push_back(0.0);
    s.w.point_faces.emplace_back();
    return s.w.xs.size() - 1;
  };
  const auto a = point(1e19, 1e19), b = point(3e19, 1e19), c = point(1e19, 3e19);
  const auto m = point(2e19, 1e19), d = point(2e19, 0.5e19);
  s.plane(1, Plane{0, 0, 0});
  s.triangle({a, b, c}, TriangleKind::Flat, {1, 1, 1});
  s.triangle({m, d, b}, TriangleKind::Faceless);
  const FacePieces p = s.pieces();
  ASSERT_EQ(p.pieces.size(), 2u);
  EXPECT_EQ(p.pieces[0].ring, (Ring{S(a), S(m), S(b), S(c)}));
}

// ---- properties on random face sets ----

double ring_area(const FacePieces& p, const Ring& ring) {
  double twice = 0.0;
  for (std::size_t j = 0; j < ring.size(); ++j) {
    const auto& u = p.points.at(ring[j]);
    const auto& v = p.points.at(ring[(j + 1) % ring.size()]);
    twice += u[0] * v[1] - u[1] * v[0];
  }
  return 0.5 * twice;
}

double cross(const std::array<double, 3>& o, const std::array<double, 3>& a, const std::array<double, 3>& b) {
  return (a[0] - o[0]) * (b[1] - o[1]) - (a[1] - o[1]) * (b[0] - o[0]);
}

bool simple_ring(const FacePieces& p, const Ring& ring) {
  const std::size_t n = ring.size();
  for (std::size_t i = 0; i < n; ++i) {
    const auto& a0 = p.points.at(ring[i]);
    const auto& a1 = p.points.at(ring[(i + 1) % n]);
    for (std::size_t j = i + 2; j < n; ++j) {
      if (i == 0 && j == n - 1) continue;
      const auto& b0 = p.points.at(ring[j]);
      const auto& b1 = p.points.at(ring[(j + 1) % n]);
      if (cross(a0, a1, b0) * cross(a0, a1, b1) < 0 && cross(b0, b1, a0) * cross(b0, b1, a1) < 0) return false;
    }
  }
  return std::set<Key>(ring.begin(), ring.end()).size() == n;
}

// Everything the piece build relies on, stage by stage: the cut tiles the kept triangles exactly,
// with its vertices on their owners' planes; the split only inserts keys, leaving simple
// counter-clockwise rings without T-junctions.
void expect_conforming(const RefinePoints& w, const FaceSet& faces, bool vertices_on_planes) {
  const FacePieces cut = face_pieces_stages::finish(face_pieces_stages::cut(w, faces));
  double kept = 0.0;
  for (const auto& t : faces.triangles) {
    kept += 0.5 * std::fabs((w.xs[t[1]] - w.xs[t[0]]) * (w.ys[t[2]] - w.ys[t[0]]) -
                            (w.ys[t[1]] - w.ys[t[0]]) * (w.xs[t[2]] - w.xs[t[0]]));
  }
  double total = 0.0;
  for (const auto& piece : cut.pieces) {
    total += ring_area(cut, piece.ring);
    if (!vertices_on_planes || piece.owner.kind != PieceOwner::Kind::Face) continue;
    for (const Key& k : piece.ring) {
      if (k.kind == Key::Kind::Crossing) continue;  // the first triangle to cut an edge fixes it
      const auto& v = cut.points.at(k);
      EXPECT_LE(std::fabs(plane_height(w, static_cast<std::uint32_t>(piece.owner.value), v[0], v[1]) - v[2]), 0.05 + 1e-9);
    }
  }
  EXPECT_NEAR(total, kept, 1e-9 * kept);
  // Crossings lie on their edge.
  for (const auto& [k, v] : cut.points) {
    if (k.kind != Key::Kind::Crossing) continue;
    const std::array<double, 3> a{w.xs[k.first], w.ys[k.first], 0}, b{w.xs[k.second], w.ys[k.second], 0};
    EXPECT_LE(std::fabs(cross(a, b, v)) / std::hypot(b[0] - a[0], b[1] - a[1]), 1e-9);
  }

  const FacePieces p = faces_pieces(w, faces);
  ASSERT_EQ(p.pieces.size(), cut.pieces.size());
  EXPECT_EQ(p.points, cut.points);
  std::set<Key> used;
  for (std::size_t i = 0; i < p.pieces.size(); ++i) {
    const Ring& ring = p.pieces[i].ring;
    const Ring& before = cut.pieces[i].ring;
    // The cut ring is a subsequence of the final one, starting at the same key or after insertions.
    std::size_t matched = 0;
    for (const Key& k : ring) {
      if (matched < before.size() && k == before[matched]) ++matched;
    }
    EXPECT_EQ(matched, before.size());
    EXPECT_TRUE(simple_ring(p, ring)) << "piece " << i;
    EXPECT_GT(ring_area(p, ring), 0.0) << "piece " << i;
    used.insert(ring.begin(), ring.end());
  }
  // No T-junction: no kept point lies inside a ring edge.
  for (const auto& piece : p.pieces) {
    const std::size_t n = piece.ring.size();
    for (std::size_t i = 0; i < n; ++i) {
      const auto& a = p.points.at(piece.ring[i]);
      const auto& b = p.points.at(piece.ring[(i + 1) % n]);
      const double len = std::hypot(b[0] - a[0], b[1] - a[1]);
      for (const Key& k : used) {
        if (k == piece.ring[i] || k == piece.ring[(i + 1) % n]) continue;
        const auto& v = p.points.at(k);
        const double t = ((b[0] - a[0]) * (v[0] - a[0]) + (b[1] - a[1]) * (v[1] - a[1])) / (len * len);
        const double dist = std::fabs(cross(a, b, v)) / len;
        EXPECT_FALSE(dist < 1e-7 && t > 1e-6 && t < 1 - 1e-6) << "T-junction";
      }
    }
  }
}

// A convex roof of random planes over random points; each point carries the planes that are
// within 0.05 of the roof there.
RefinePoints random_roof(unsigned seed) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<double> slope(-1.5, 1.5), pos(0.0, 63.0), off(-10.0, 10.0);
  RefinePoints w;
  w.cell_grid = lattice_from_cells({{0, 0}});
  std::vector<Plane> planes;
  const int count = 2 + static_cast<int>(seed % 4);
  for (int k = 0; k < count; ++k) planes.push_back(Plane{off(rng), slope(rng), slope(rng)});
  for (int i = 0; i < 150; ++i) {
    const double x = std::round(pos(rng) * 4) / 4, y = std::round(pos(rng) * 4) / 4;
    double h = -1e300;
    for (const auto& pl : planes) h = std::max(h, pl.height(x, y));
    if (seed % 2 == 1 && x > 40 && y > 40) h += 0.3 * std::sin(x * 3.1 + y);  // a rough corner
    if (!add_point(w, x, y, h)) continue;
    const std::uint64_t p = w.xs.size() - 1;
    for (int k = 0; k < count; ++k) {
      if (std::fabs(planes[static_cast<std::size_t>(k)].height(x, y) - h) <= 0.05) {
        w.point_faces[p].push_back(static_cast<std::uint32_t>(k + 1));
        w.members[static_cast<std::uint32_t>(k + 1)].push_back(p);
      }
    }
  }
  for (int k = 0; k < count; ++k) {
    w.planes[static_cast<std::uint32_t>(k + 1)] = planes[static_cast<std::size_t>(k)];
    w.members[static_cast<std::uint32_t>(k + 1)];
  }
  return w;
}

TEST(FacePieces, RandomRoofsGiveConformingPieces) {
  for (unsigned seed = 1; seed <= 12; ++seed) {
    for (std::uint8_t mode : {kPieceMode, kRefineMode}) {
      RefinePoints w = random_roof(seed);
      const auto faces = faces_build(w, mode, {});
      ASSERT_TRUE(faces.has_value());
      SCOPED_TRACE("seed " + std::to_string(seed) + " mode " + std::to_string(mode));
      expect_conforming(w, *faces, mode == kPieceMode);
      const FacePieces p = faces_pieces(w, *faces);
      // The same input gives the same pieces (fresh hash seeds every call).
      const FacePieces again = faces_pieces(w, *faces);
      ASSERT_EQ(again.pieces.size(), p.pieces.size());
      for (std::size_t i = 0; i < p.pieces.size(); ++i) {
        EXPECT_EQ(again.pieces[i].owner, p.pieces[i].owner);
        EXPECT_EQ(again.pieces[i].ring, p.pieces[i].ring);
      }
    }
  }
}

}  // namespace
}  // namespace qm::mesh
