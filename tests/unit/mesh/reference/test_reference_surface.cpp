#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <set>
#include <vector>

#include "faces_pipeline.hpp"
#include "base/fault.hpp"
#include "mesh/reference/reference.hpp"

namespace qm::mesh {
namespace {

using Ring = std::vector<std::array<double, 2>>;

double twice_area(const std::vector<ReferencePoint>& pts, const ReferenceTriangle& t) {
  const auto& a = pts[t[0]];
  const auto& b = pts[t[1]];
  const auto& c = pts[t[2]];
  return (b[0] - a[0]) * (c[1] - a[1]) - (b[1] - a[1]) * (c[0] - a[0]);
}

double polygon_area(const Ring& r) {
  double s = 0.0;
  for (std::size_t i = 0; i < r.size(); ++i) {
    const auto& p = r[i];
    const auto& q = r[(i + 1) % r.size()];
    s += p[0] * q[1] - q[0] * p[1];
  }
  return 0.5 * s;
}

// One piece per ring; points keyed by sample index in order of appearance (a repeated position
// reuses its key).
FacePieces pieces_of(const std::vector<Ring>& rings, double z = 0.0) {
  FacePieces fp;
  std::map<std::array<double, 2>, std::uint64_t> ids;
  for (std::size_t r = 0; r < rings.size(); ++r) {
    FacePiece piece;
    piece.owner = PieceOwner::face(static_cast<std::uint32_t>(r));
    for (const auto& p : rings[r]) {
      const auto [it, fresh] = ids.try_emplace(p, ids.size());
      if (fresh) fp.points[PointKey::sample(it->second)] = {p[0], p[1], z};
      piece.ring.push_back(PointKey::sample(it->second));
    }
    fp.pieces.push_back(piece);
  }
  return fp;
}

std::vector<ReferencePoint> points_of(const Ring& r) {
  std::vector<ReferencePoint> out;
  for (const auto& p : r) out.push_back({p[0], p[1], 0.0});
  return out;
}

std::vector<ReferenceTriangle> cut(const std::vector<ReferencePoint>& pts, std::vector<std::uint32_t> ring) {
  std::vector<ReferenceTriangle> out;
  triangulate_ring(pts, ring, out);
  return out;
}

std::vector<std::uint32_t> iota_ring(std::size_t n) {
  std::vector<std::uint32_t> r(n);
  for (std::size_t i = 0; i < n; ++i) r[i] = static_cast<std::uint32_t>(i);
  return r;
}

TEST(ReferenceRing, SquareGivesTheTwoEarsInOrder) {
  const auto pts = points_of({{0, 0}, {10, 0}, {10, 10}, {0, 10}});
  const auto tris = cut(pts, iota_ring(4));
  ASSERT_EQ(tris.size(), 2u);
  EXPECT_EQ(tris[0], (ReferenceTriangle{3, 0, 1}));
  EXPECT_EQ(tris[1], (ReferenceTriangle{1, 2, 3}));
}

TEST(ReferenceRing, ClockwiseRingComesOutCounterClockwise) {
  const auto pts = points_of({{0, 0}, {0, 10}, {10, 10}, {10, 0}, {5, 3}});
  const auto tris = cut(pts, iota_ring(5));
  double sum = 0.0;
  for (const auto& t : tris) {
    EXPECT_GT(twice_area(pts, t), 0.0);
    sum += twice_area(pts, t);
  }
  EXPECT_NEAR(0.5 * sum, -polygon_area({{0, 0}, {0, 10}, {10, 10}, {10, 0}, {5, 3}}), 1e-9);
}

// Concave rings and rings with repeated points: the ears cover the ring's area exactly, each
// counter-clockwise.
TEST(ReferenceRing, EarsCoverTheRingArea) {
  struct Case {
    const char* name;
    Ring ring;
  };
  const std::vector<Case> cases = {
      {"L-shape", {{0, 0}, {20, 0}, {20, 5}, {5, 5}, {5, 20}, {0, 20}}},
      {"comb", {{0, 0}, {30, 0}, {30, 20}, {25, 20}, {25, 5}, {20, 5}, {20, 20}, {15, 20}, {15, 5}, {10, 5}, {10, 20},
                {0, 20}}},
      {"star",
       {{0, -10}, {3, -3}, {10, 0}, {3, 3}, {0, 10}, {-3, 3}, {-10, 0}, {-3, -3}}},
      {"consecutive repeats", {{0, 0}, {0, 0}, {10, 0}, {10, 0}, {10, 10}, {4, 6}, {0, 10}, {0, 0}}},
      {"collinear run", {{0, 0}, {5, 0}, {10, 0}, {15, 0}, {15, 8}, {7, 3}, {0, 8}}},
      {"repeats in a concave ring", {{0, 0}, {10, 0}, {10, 10}, {10, 10}, {10, 10}, {5, 3}, {5, 3}, {0, 10}}},
      {"spiral", {{0, 0}, {40, 0}, {40, 40}, {0, 40}, {0, 10}, {30, 10}, {30, 30}, {10, 30}, {10, 20}, {20, 20},
                  {20, 25}, {25, 25}, {25, 15}, {5, 15}, {5, 35}, {35, 35}, {35, 5}, {0, 5}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const FacePieces fp = pieces_of({c.ring});
    const ReferenceModel m = reference_build(fp);
    double sum = 0.0;
    for (const auto& t : m.triangles) {
      EXPECT_GT(twice_area(m.points, t), 0.0);
      sum += 0.5 * twice_area(m.points, t);
    }
    EXPECT_NEAR(sum, std::fabs(polygon_area(c.ring)), 1e-9);
  }
}

TEST(ReferenceRing, CollinearRingsAddNoTriangle) {
  const auto pts = points_of({{0, 0}, {5, 0}, {10, 0}, {15, 0}});
  EXPECT_TRUE(cut(pts, {0, 1, 2}).empty());
  EXPECT_TRUE(cut(pts, iota_ring(4)).empty());  // no ear: the fan's triangles are all flat
  EXPECT_TRUE(cut(pts, {0, 1}).empty());
}

// A square walked twice (the second time through other point indices at the same places): every
// corner's triangle holds another ring vertex, so the ring is fanned from its first point, and the
// fan's flat triangles (through the first point's twin) are left out.
TEST(ReferenceRing, NoEarFansFromTheFirstPoint) {
  const auto pts = points_of({{0, 0}, {10, 0}, {10, 10}, {0, 10}, {0, 0}, {10, 0}, {10, 10}, {0, 10}});
  EXPECT_EQ(cut(pts, iota_ring(8)),
            (std::vector<ReferenceTriangle>{{0, 1, 2}, {0, 2, 3}, {0, 5, 6}, {0, 6, 7}}));
}

TEST(ReferenceBuild, NoPiecesOrShortRingsGiveNoTriangles) {
  const ReferenceModel empty = reference_build(FacePieces{});
  EXPECT_TRUE(empty.points.empty());
  EXPECT_EQ(empty.point_grid.w, 0);
  EXPECT_EQ(empty.triangle_grid.offsets, (std::vector<std::uint32_t>{0}));
  EXPECT_FALSE(reference_locate(empty, 1, 1));
  EXPECT_TRUE(std::isnan(reference_height(empty, 1, 1)));

  // A ring of two points: both are kept and indexed, nothing is triangulated.
  const ReferenceModel two = reference_build(pieces_of({{{1, 1}, {20, 3}}}));
  EXPECT_TRUE(two.triangles.empty());
  ASSERT_EQ(two.points.size(), 2u);
  EXPECT_EQ(two.point_grid.w, 3);
  EXPECT_EQ(two.point_grid.h, 1);
  EXPECT_EQ(two.point_grid.items, (std::vector<std::uint32_t>{0, 1}));
  EXPECT_EQ(two.point_grid.at(2, 0).size(), 1u);
  EXPECT_TRUE(std::isnan(reference_height(two, 1, 1)));
}

TEST(ReferenceBuild, KeepsOnlyRingPointsInKeyOrder) {
  FacePieces fp;
  fp.points[PointKey::sample(1)] = {10, 0, 1};
  fp.points[PointKey::sample(2)] = {0, 10, 2};
  fp.points[PointKey::sample(5)] = {99, 99, 99};  // used by no ring
  fp.points[PointKey::crossing(1, 2)] = {5, 5, 3};
  fp.points[PointKey::junction(0)] = {0, 0, 4};
  fp.pieces.push_back({PieceOwner::face(3), {PointKey::junction(0), PointKey::sample(1), PointKey::crossing(1, 2),
                                             PointKey::sample(2)}});
  const ReferenceModel m = reference_build(fp);
  ASSERT_EQ(m.points.size(), 4u);
  EXPECT_EQ(m.points[0][2], 1.0);
  EXPECT_EQ(m.points[1][2], 2.0);
  EXPECT_EQ(m.points[2][2], 3.0);
  EXPECT_EQ(m.points[3][2], 4.0);
}

TEST(ReferenceBuild, AMissingRingKeyIsAFault) {
  FacePieces fp = pieces_of({{{0, 0}, {10, 0}, {0, 10}}});
  fp.pieces[0].ring.push_back(PointKey::sample(77));
  try {
    (void)reference_build(fp);
    ADD_FAILURE() << "no fault";
  } catch (const Fault& f) {
    EXPECT_EQ(f.message(), "a piece's vertex");
  }
}

TEST(ReferenceBuild, VertexIndexKeepsTheLowerIndex) {
  FacePieces fp;
  fp.points[PointKey::sample(0)] = {1.0, 2.0, 0};
  fp.points[PointKey::sample(1)] = {1.0004, 1.9996, 5};  // same thousandths
  fp.points[PointKey::sample(2)] = {8.0, 2.0, 0};
  fp.pieces.push_back({PieceOwner::face(0), {PointKey::sample(0), PointKey::sample(1), PointKey::sample(2)}});
  const ReferenceModel m = reference_build(fp);
  EXPECT_EQ(m.vertex_index.size(), 2u);
  EXPECT_EQ(m.vertex_index.at(position_key(1.0, 2.0)), 0u);
  EXPECT_EQ(m.vertex_index.at(position_key(8.0, 2.0)), 2u);
  EXPECT_EQ(position_key(-0.0005, 0.0005), (PositionKey{-1, 1}));  // halves away from zero
}

TEST(ReferenceBuild, CellOfSaturates) {
  EXPECT_EQ(cell_of(7.999), 0);
  EXPECT_EQ(cell_of(8.0), 1);
  EXPECT_EQ(cell_of(-0.001), -1);
  EXPECT_EQ(cell_of(std::numeric_limits<double>::quiet_NaN()), 0);
  EXPECT_EQ(cell_of(1e300), std::numeric_limits<std::int32_t>::max());
  EXPECT_EQ(cell_of(-1e300), std::numeric_limits<std::int32_t>::min());
}

// Two triangles on planes at a known angle share one edge.
TEST(ReferenceBuild, EdgeAnglesOfTwoPlanes) {
  const double slope = std::tan(10.0 / 57.29577951308232);
  FacePieces fp;
  fp.points[PointKey::sample(0)] = {0, 0, 0};
  fp.points[PointKey::sample(1)] = {10, 0, 0};
  fp.points[PointKey::sample(2)] = {0, 10, 0};
  fp.points[PointKey::sample(3)] = {10, 10, 10 * slope};
  fp.pieces.push_back({PieceOwner::face(0), {PointKey::sample(0), PointKey::sample(1), PointKey::sample(2)}});
  fp.pieces.push_back({PieceOwner::face(1), {PointKey::sample(1), PointKey::sample(3), PointKey::sample(2)}});
  const ReferenceModel m = reference_build(fp);
  ASSERT_EQ(m.edges.size(), 5u);
  for (std::size_t e = 0; e < m.edges.size(); ++e) {
    if (m.edges[e] == ReferenceEdge{1, 2}) {
      // The second plane is z = slope*(x + y - 10), normal (-slope, -slope, 1).
      const double n2 = std::sqrt(2 * slope * slope + 1);
      EXPECT_NEAR(m.edge_angles[e], std::acos(1.0 / n2) * 57.29577951308232, 1e-9);
    } else {
      EXPECT_EQ(m.edge_angles[e], 0.0);
    }
  }
  // One plane throughout: every angle is 0.
  const ReferenceModel flat = reference_build(pieces_of({{{0, 0}, {10, 0}, {10, 10}, {0, 10}}}, 3.0));
  for (double a : flat.edge_angles) EXPECT_EQ(a, 0.0);
}

// A hand-made surface to check the queries' edge cases.
TEST(ReferenceQueries, LocateHeightAndSlope) {
  FacePieces fp;
  fp.points[PointKey::sample(0)] = {0, 0, 0};
  fp.points[PointKey::sample(1)] = {16, 0, 16};
  fp.points[PointKey::sample(2)] = {16, 16, 32};
  fp.points[PointKey::sample(3)] = {0, 16, 16};
  fp.pieces.push_back({PieceOwner::face(0), {PointKey::sample(0), PointKey::sample(1), PointKey::sample(2),
                                             PointKey::sample(3)}});
  const ReferenceModel m = reference_build(fp);
  ASSERT_EQ(m.triangles.size(), 2u);  // (3, 0, 1), (1, 2, 3): they share the diagonal 1-3
  // On the shared diagonal: the lower index wins.
  EXPECT_EQ(reference_locate(m, 8, 8), 0u);
  EXPECT_EQ(reference_locate(m, 12, 12), 1u);
  // At a corner.
  EXPECT_EQ(reference_locate(m, 16, 16), 1u);
  EXPECT_DOUBLE_EQ(*reference_height_at(m, 16, 16), 32.0);
  EXPECT_DOUBLE_EQ(*reference_height_at(m, 3, 5), 8.0);
  const auto s = reference_slope_at(m, 3, 5);
  ASSERT_TRUE(s);
  EXPECT_NEAR(s->first, 1.0, 1e-12);
  EXPECT_NEAR(s->second, 1.0, 1e-12);
  EXPECT_FALSE(reference_locate(m, 17, 5));  // in a cell of the grid, outside every triangle
  EXPECT_FALSE(reference_slope_at(m, -1, 5));  // outside the grid
  // Off the surface: the nearest boundary point's height, 5 units out of the side x = 16.
  EXPECT_FALSE(reference_height_at(m, 21, 4));
  EXPECT_NEAR(reference_height(m, 21, 4), 20.0, 1e-12);
  EXPECT_NEAR(reference_height(m, 8, -5), 8.0, 1e-12);
  // More than four rings of cells away: nothing.
  EXPECT_TRUE(std::isnan(reference_height(m, 60, 4)));
  EXPECT_TRUE(std::isnan(reference_height(m, std::numeric_limits<double>::quiet_NaN(), 4)));
  EXPECT_EQ(reference_triangle_points(m, 1)[1], (ReferencePoint{16, 16, 32}));
  EXPECT_THROW((void)reference_point(m, 4), Fault);
}

// Brute force: every cell holds exactly the items whose cell rectangle covers it, ascending.
void expect_grid(const ReferenceModel& m, const ReferenceGrid& g,
                 const std::vector<std::vector<const ReferencePoint*>>& items) {
  ASSERT_EQ(g.offsets.size(), static_cast<std::size_t>(g.w) * g.h + 1);
  for (std::int64_t cx = g.x0 - 1; cx <= g.x0 + g.w; ++cx) {
    for (std::int64_t cy = g.y0 - 1; cy <= g.y0 + g.h; ++cy) {
      std::vector<std::uint32_t> want;
      for (std::size_t i = 0; i < items.size(); ++i) {
        std::int64_t xl = INT64_MAX, xh = INT64_MIN, yl = INT64_MAX, yh = INT64_MIN;
        for (const auto* p : items[i]) {
          xl = std::min<std::int64_t>(xl, cell_of((*p)[0]));
          xh = std::max<std::int64_t>(xh, cell_of((*p)[0]));
          yl = std::min<std::int64_t>(yl, cell_of((*p)[1]));
          yh = std::max<std::int64_t>(yh, cell_of((*p)[1]));
        }
        if (xl <= cx && cx <= xh && yl <= cy && cy <= yh && g.inside(cx, cy)) want.push_back(static_cast<std::uint32_t>(i));
      }
      const auto got = g.at(cx, cy);
      EXPECT_EQ(std::vector<std::uint32_t>(got.begin(), got.end()), want) << cx << "," << cy;
    }
  }
  (void)m;
}

// Is (x, y) inside the ring (even-odd rule)?
bool in_ring(const FacePieces& fp, const std::vector<PointKey>& ring, double x, double y) {
  bool in = false;
  for (std::size_t i = 0, j = ring.size() - 1; i < ring.size(); j = i++) {
    const auto& a = fp.points.at(ring[i]);
    const auto& b = fp.points.at(ring[j]);
    if ((a[1] > y) != (b[1] > y) && x < (b[0] - a[0]) * (y - a[1]) / (b[1] - a[1]) + a[0]) in = !in;
  }
  return in;
}

// Distance from (x, y) to the ring's outline.
double ring_distance(const FacePieces& fp, const std::vector<PointKey>& ring, double x, double y) {
  double best = INFINITY;
  for (std::size_t i = 0; i < ring.size(); ++i) {
    const auto& p = fp.points.at(ring[i]);
    const auto& q = fp.points.at(ring[(i + 1) % ring.size()]);
    const double dx = q[0] - p[0], dy = q[1] - p[1], l = dx * dx + dy * dy;
    const double t = l > 0 ? std::clamp(((x - p[0]) * dx + (y - p[1]) * dy) / l, 0.0, 1.0) : 0.0;
    best = std::min(best, std::hypot(p[0] + t * dx - x, p[1] + t * dy - y));
  }
  return best;
}

// On sampled terrains end to end: the reference surface follows the terrain and every face
// piece's plane, and its grids hold what a scan over all items finds.
TEST(ReferenceSurface, FollowsTheSampledTerrain) {
  struct Case {
    fixture::Terrain terrain;
    double terrain_tolerance;
  };
  for (const Case& c : {Case{fixture::tilted_plane(), 1e-9}, Case{fixture::ridge(), 1e-9},
                        Case{fixture::pyramid(), 0.25}}) {
    SCOPED_TRACE(c.terrain.name);
    fixture::FakeHost host(c.terrain);
    const fixture::Pipeline p = fixture::run_pipeline(fixture::rect_cells(0, 0, 3, 3), host);
    const ReferenceModel m = reference_build(p.pieces);
    ASSERT_FALSE(m.triangles.empty());
    const double ox = p.refined.points.origin_x;
    const double oy = p.refined.points.origin_y;

    std::mt19937_64 rng(11);
    std::uniform_real_distribution<double> coord(0.0, 192.0);
    for (int i = 0; i < 2000; ++i) {
      const double wx = coord(rng), wy = coord(rng);
      const double x = wx - ox, y = wy - oy;
      const auto z = reference_height_at(m, x, y);
      ASSERT_TRUE(z) << wx << "," << wy;
      EXPECT_EQ(reference_height(m, x, y), *z);
      EXPECT_NEAR(*z, *c.terrain.height(wx, wy), c.terrain_tolerance) << wx << "," << wy;

      // The located triangle is the first of all triangles that holds the point.
      std::optional<std::uint32_t> first;
      for (std::uint32_t t = 0; t < m.triangles.size() && !first; ++t) {
        const auto k = reference_triangle_points(m, t);
        const Barycentric w = barycentric(k[0], k[1], k[2], x, y);
        if (std::fabs(w.det) >= 1e-12 && w.smallest() >= -1e-9) first = t;
      }
      EXPECT_EQ(reference_locate(m, x, y), first);

      // The face piece that holds the point: its plane's height, within the face tolerance.
      for (const FacePiece& piece : p.pieces.pieces) {
        if (piece.owner.kind != PieceOwner::Kind::Face || !in_ring(p.pieces, piece.ring, x, y) ||
            ring_distance(p.pieces, piece.ring, x, y) < 1e-3)
          continue;
        EXPECT_NEAR(*z, plane_height(p.refined.points.planes, static_cast<std::uint32_t>(piece.owner.value), x, y),
                    kFaceTolerance + 1e-9);
      }
    }

    std::vector<std::vector<const ReferencePoint*>> pts, tris, edges;
    for (const auto& q : m.points) pts.push_back({&q});
    for (const auto& t : m.triangles) tris.push_back({&m.points[t[0]], &m.points[t[1]], &m.points[t[2]]});
    for (const auto& e : m.edges) edges.push_back({&m.points[e.first], &m.points[e.second]});
    expect_grid(m, m.point_grid, pts);
    expect_grid(m, m.triangle_grid, tris);
    expect_grid(m, m.edge_grid, edges);
    EXPECT_EQ(m.edges.size(), m.edge_angles.size());
    for (std::size_t e = 1; e < m.edges.size(); ++e) EXPECT_LT(m.edges[e - 1], m.edges[e]);
  }
}

// The ridge's two planes meet at about 33.4 degrees along x = 36.5; every other edge is flat.
TEST(ReferenceSurface, RidgeEdgeAnglesLieOnTheCrest) {
  fixture::FakeHost host(fixture::ridge());
  const fixture::Pipeline p = fixture::run_pipeline(fixture::rect_cells(0, 0, 3, 3), host);
  const ReferenceModel m = reference_build(p.pieces);
  const double ox = p.refined.points.origin_x;
  // Normals (+-0.3, -0.01, 1).
  const double want = std::acos((1.0 - 0.09 + 0.0001) / (1.0 + 0.09 + 0.0001)) * 57.29577951308232;
  std::size_t crest = 0;
  for (std::size_t e = 0; e < m.edges.size(); ++e) {
    const auto& a = m.points[m.edges[e].first];
    const auto& b = m.points[m.edges[e].second];
    const bool on_crest = std::fabs(a[0] + ox - 36.5) < 1e-6 && std::fabs(b[0] + ox - 36.5) < 1e-6;
    if (m.edge_angles[e] > 1e-3) {
      EXPECT_TRUE(on_crest) << a[0] + ox << " " << b[0] + ox;
      EXPECT_NEAR(m.edge_angles[e], want, 1e-6);
      ++crest;
    }
  }
  EXPECT_GT(crest, 0u);
}

}  // namespace
}  // namespace qm::mesh

namespace qm::mesh {
namespace {

// On every sampled terrain the ears of each ring, cut alone, cover exactly that ring's area, and
// the whole surface is the rings' triangles together.
TEST(ReferenceSurface, EarsCoverEveryRingOfSampledTerrains) {
  for (const fixture::Terrain& terrain : fixture::all_terrains()) {
    SCOPED_TRACE(terrain.name);
    fixture::FakeHost host(terrain);
    const fixture::Pipeline p = fixture::run_pipeline(fixture::rect_cells(0, 0, 3, 3), host);
    const ReferenceModel whole = reference_build(p.pieces);
    std::size_t triangles = 0;
    for (const FacePiece& piece : p.pieces.pieces) {
      FacePieces one;
      one.pieces.push_back(piece);
      for (const PointKey& k : piece.ring) one.points[k] = p.pieces.points.at(k);
      const ReferenceModel m = reference_build(one);
      double ring = 0.0, sum = 0.0;
      for (std::size_t i = 0; i < piece.ring.size(); ++i) {
        const auto& u = one.points.at(piece.ring[i]);
        const auto& v = one.points.at(piece.ring[(i + 1) % piece.ring.size()]);
        ring += 0.5 * (u[0] * v[1] - u[1] * v[0]);
      }
      for (const auto& t : m.triangles) {
        EXPECT_GT(twice_area(m.points, t), 0.0);
        sum += 0.5 * twice_area(m.points, t);
      }
      EXPECT_NEAR(sum, ring, 1e-9 * std::max(1.0, ring));
      triangles += m.triangles.size();
    }
    EXPECT_EQ(whole.triangles.size(), triangles);
  }
}

}  // namespace
}  // namespace qm::mesh
