#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <map>
#include <numeric>
#include <random>
#include <set>
#include <vector>

#include "base/fault.hpp"
#include "mesh/triangulation/triangulation.hpp"

namespace qm::mesh {
namespace {

using Int = __int128;

struct Points {
  std::vector<double> xs, ys;
  void add(double x, double y) {
    xs.push_back(x);
    ys.push_back(y);
  }
  std::size_t size() const { return xs.size(); }
};

// Exact predicates over integer-valued coordinates (|v| < 2^24): no rounding anywhere.
Int orient(const Points& p, std::uint64_t a, std::uint64_t b, std::uint64_t c) {
  const Int ax = static_cast<Int>(p.xs[a]), ay = static_cast<Int>(p.ys[a]);
  const Int bx = static_cast<Int>(p.xs[b]), by = static_cast<Int>(p.ys[b]);
  const Int cx = static_cast<Int>(p.xs[c]), cy = static_cast<Int>(p.ys[c]);
  return (bx - ax) * (cy - ay) - (by - ay) * (cx - ax);
}

// > 0 when d lies strictly inside the circle through the counter-clockwise a, b, c.
Int in_circle(const Points& p, std::uint64_t a, std::uint64_t b, std::uint64_t c, std::uint64_t d) {
  const Int dx = static_cast<Int>(p.xs[d]), dy = static_cast<Int>(p.ys[d]);
  auto row = [&](std::uint64_t i, Int& x, Int& y, Int& w) {
    x = static_cast<Int>(p.xs[i]) - dx;
    y = static_cast<Int>(p.ys[i]) - dy;
    w = x * x + y * y;
  };
  Int ax, ay, aw, bx, by, bw, cx, cy, cw;
  row(a, ax, ay, aw);
  row(b, bx, by, bw);
  row(c, cx, cy, cw);
  return ax * (by * cw - bw * cy) - ay * (bx * cw - bw * cx) + aw * (bx * cy - by * cx);
}

// Number of points on the boundary of the convex hull (collinear boundary points included).
std::size_t hull_boundary_points(const Points& p) {
  std::vector<std::uint64_t> idx(p.size());
  std::iota(idx.begin(), idx.end(), 0u);
  std::sort(idx.begin(), idx.end(), [&](auto a, auto b) {
    return p.xs[a] != p.xs[b] ? p.xs[a] < p.xs[b] : p.ys[a] < p.ys[b];
  });
  std::vector<std::uint64_t> hull;
  auto chain = [&](auto first, auto last) {
    const std::size_t base = hull.size();
    for (auto it = first; it != last; ++it) {
      while (hull.size() >= base + 2 && orient(p, hull[hull.size() - 2], hull.back(), *it) < 0) hull.pop_back();
      hull.push_back(*it);
    }
    hull.pop_back();
  };
  chain(idx.begin(), idx.end());
  chain(idx.rbegin(), idx.rend());
  return hull.size();
}

// Everything a Delaunay triangulation must be, checked independently of the library.
void expect_delaunay(const Points& p, const Triangulation& t) {
  ASSERT_EQ(t.vertex_count(), p.size());
  ASSERT_EQ(t.triangle_count(), 2 * p.size() - 2 - hull_boundary_points(p));
  std::size_t hull_edges = 0;
  for (std::size_t i = 0; i < t.triangle_count(); ++i) {
    const auto c = t.corners(i);
    ASSERT_GT(orient(p, c[0], c[1], c[2]), 0) << "triangle " << i;
    ASSERT_LT(c[0], c[1]);
    ASSERT_LT(c[0], c[2]);
    if (i > 0) {
      ASSERT_LT(t.corners(i - 1), c);
    }
    for (std::uint64_t d = 0; d < p.size(); ++d) {
      ASSERT_LE(in_circle(p, c[0], c[1], c[2], d), 0) << "point " << d << " inside triangle " << i;
    }
    for (int k = 0; k < 3; ++k) {
      const std::uint32_t across = t.neighbour(i, k);
      if (across == Triangulation::kNone) {
        ++hull_edges;
        continue;
      }
      // The neighbour holds the same edge the other way round.
      const auto o = t.corners(across);
      const std::uint64_t from = c[static_cast<std::size_t>(k)], to = c[static_cast<std::size_t>((k + 1) % 3)];
      bool found = false;
      for (int m = 0; m < 3; ++m) {
        if (o[static_cast<std::size_t>(m)] == to && o[static_cast<std::size_t>((m + 1) % 3)] == from) {
          found = true;
          EXPECT_EQ(t.neighbour(across, m), i);
        }
      }
      EXPECT_TRUE(found) << "triangle " << i << " edge " << k;
    }
  }
  EXPECT_EQ(hull_edges, hull_boundary_points(p));
}

Points random_points(std::size_t n, int range, unsigned seed) {
  std::mt19937_64 rng(seed);
  std::uniform_int_distribution<int> coord(-range, range);
  std::set<std::pair<int, int>> seen;
  Points p;
  while (p.size() < n) {
    const int x = coord(rng), y = coord(rng);
    if (seen.insert({x, y}).second) p.add(x, y);
  }
  return p;
}

// Lattice points at steps 64 down to 2 over nested squares around two places, the way a sampled
// lattice refines towards rough ground: full of cocircular quadruples.
Points mixed_lattice() {
  Points p;
  std::set<std::pair<int, int>> seen;
  for (auto [cx, cy] : {std::pair{0, 0}, std::pair{192, -128}}) {
    int half = 512;
    for (int step = 64; step >= 2; step /= 2, half /= 2) {
      for (int x = -half; x <= half; x += step) {
        for (int y = -half; y <= half; y += step) {
          if (seen.insert({cx + x, cy + y}).second) p.add(cx + x, cy + y);
        }
      }
    }
  }
  return p;
}

// The triangles as sets of positions: what must not depend on the input order.
std::set<std::array<std::pair<double, double>, 3>> triangles_by_position(const Points& p, const Triangulation& t) {
  std::set<std::array<std::pair<double, double>, 3>> out;
  for (std::size_t i = 0; i < t.triangle_count(); ++i) {
    std::array<std::pair<double, double>, 3> tri;
    const auto c = t.corners(i);
    for (int k = 0; k < 3; ++k) tri[static_cast<std::size_t>(k)] = {p.xs[c[static_cast<std::size_t>(k)]], p.ys[c[static_cast<std::size_t>(k)]]};
    std::sort(tri.begin(), tri.end());
    out.insert(tri);
  }
  return out;
}

TEST(Triangulation, RandomPointsAreDelaunay) {
  for (unsigned seed : {1u, 2u, 3u}) {
    const Points p = random_points(400, 1000, seed);
    expect_delaunay(p, Triangulation::delaunay(p.xs, p.ys));
  }
  // Few distinct values: many collinear and cocircular points.
  const Points crowded = random_points(150, 8, 4);
  expect_delaunay(crowded, Triangulation::delaunay(crowded.xs, crowded.ys));
}

TEST(Triangulation, MixedLevelLatticeIsDelaunay) {
  const Points p = mixed_lattice();
  ASSERT_GT(p.size(), 200u);
  expect_delaunay(p, Triangulation::delaunay(p.xs, p.ys));
}

TEST(Triangulation, SameTrianglesForAnyInputOrder) {
  for (const Points& p : {mixed_lattice(), random_points(300, 12, 9)}) {
    const Triangulation base = Triangulation::delaunay(p.xs, p.ys);
    const auto expected = triangles_by_position(p, base);
    std::mt19937_64 rng(77);
    for (int round = 0; round < 4; ++round) {
      std::vector<std::size_t> perm(p.size());
      std::iota(perm.begin(), perm.end(), 0u);
      if (round == 1) std::reverse(perm.begin(), perm.end());
      if (round >= 2) std::shuffle(perm.begin(), perm.end(), rng);
      Points q;
      for (std::size_t i : perm) q.add(p.xs[i], p.ys[i]);
      const Triangulation t = Triangulation::delaunay(q.xs, q.ys);
      EXPECT_EQ(triangles_by_position(q, t), expected) << "round " << round;
    }
  }
}

// Without point location a triangulation has the same triangles and neighbours, and refuses to
// locate rather than answer "outside".
TEST(Triangulation, WithoutPointLocationKeepsItsTrianglesAndRefusesToLocate) {
  const Points p = random_points(300, 12, 9);
  const Triangulation kept = Triangulation::delaunay(p.xs, p.ys);
  const Triangulation dropped = Triangulation::delaunay(p.xs, p.ys, PointLocation::Dropped);
  ASSERT_EQ(dropped.triangle_count(), kept.triangle_count());
  for (std::size_t t = 0; t < kept.triangle_count(); ++t) {
    EXPECT_EQ(dropped.corners(t), kept.corners(t));
    for (int k = 0; k < 3; ++k) EXPECT_EQ(dropped.neighbour(t, k), kept.neighbour(t, k));
  }
  try {
    (void)dropped.locate(p.xs[0], p.ys[0]);
    ADD_FAILURE() << "located";
  } catch (const Fault& f) {
    EXPECT_EQ(f.message(), "a triangulation kept for location");
  }
}

TEST(Triangulation, RefusesPointsItCannotTake) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double inf = std::numeric_limits<double>::infinity();
  struct Case {
    const char* name;
    double x, y;
  };
  const Case cases[] = {
      {"NaN x", nan, 1.0},        {"NaN y", 1.0, nan},           {"infinite", inf, 0.0},
      {"minus infinite", 0.0, -inf}, {"too large", 0x1p202, 0.0}, {"too small", 0.0, 0x1p-143},
      {"duplicate", 1.0, 0.0},    {"duplicate under -0", 0.0, -0.0},
  };
  for (const Case& c : cases) {
    Points p;
    p.add(0.0, 0.0);
    p.add(1.0, 0.0);
    p.add(0.0, 1.0);
    p.add(c.x, c.y);
    try {
      (void)Triangulation::delaunay(p.xs, p.ys);
      ADD_FAILURE() << c.name << " was taken";
    } catch (const Fault& f) {
      EXPECT_EQ(f.message(), kBadSamples) << c.name;
    }
  }
  // The limits themselves are taken.
  Points edge;
  edge.add(0x1p201, 0.0);
  edge.add(0.0, 0x1p-142);
  edge.add(-0x1p201, -0x1p201);
  EXPECT_EQ(Triangulation::delaunay(edge.xs, edge.ys).triangle_count(), 1u);
}

TEST(Triangulation, TooFewOrCollinearPointsGiveNoTriangles) {
  Points none, one, two, line;
  one.add(3, 4);
  two.add(3, 4);
  two.add(5, 4);
  for (int i = 0; i < 20; ++i) line.add(i * 2.5, -i * 1.5);
  for (const Points* p : {&none, &one, &two, &line}) {
    const Triangulation t = Triangulation::delaunay(p->xs, p->ys);
    EXPECT_EQ(t.triangle_count(), 0u);
    EXPECT_EQ(t.vertex_count(), p->size());
  }
  EXPECT_EQ(Triangulation().locate(0, 0).kind, LocationKind::Outside);
  EXPECT_EQ(Triangulation::delaunay(none.xs, none.ys).locate(0, 0).kind, LocationKind::Outside);
  // On a flat point set a position lies on a vertex, on a segment, or outside.
  const Triangulation flat = Triangulation::delaunay(line.xs, line.ys);
  EXPECT_EQ(flat.locate(5.0, -3.0).kind, LocationKind::Vertex);
  EXPECT_EQ(flat.locate(5.0, -3.0).points[0], 2u);
  const Location on = flat.locate(3.75, -2.25);
  EXPECT_EQ(on.kind, LocationKind::Edge);
  EXPECT_EQ(on.points[0], 1u);
  EXPECT_EQ(on.points[1], 2u);
  EXPECT_EQ(flat.locate(3.75, -2.0).kind, LocationKind::Outside);
}

TEST(Triangulation, LocatesVerticesEdgesFacesAndOutside) {
  // A square with its centre: four triangles around point 4.
  Points p;
  p.add(0, 0);
  p.add(8, 0);
  p.add(8, 8);
  p.add(0, 8);
  p.add(4, 4);
  const Triangulation t = Triangulation::delaunay(p.xs, p.ys);
  ASSERT_EQ(t.triangle_count(), 4u);

  const Location v = t.locate(8, 8);
  EXPECT_EQ(v.kind, LocationKind::Vertex);
  EXPECT_EQ(v.points[0], 2u);

  const Location inner = t.locate(2, 2);  // on the inner edge 0-4
  EXPECT_EQ(inner.kind, LocationKind::Edge);
  EXPECT_EQ(inner.points[0], 0u);
  EXPECT_EQ(inner.points[1], 4u);
  const Location hull = t.locate(8, 3);  // on the hull edge 1-2
  EXPECT_EQ(hull.kind, LocationKind::Edge);
  EXPECT_EQ(hull.points[0], 1u);
  EXPECT_EQ(hull.points[1], 2u);

  const Location f = t.locate(4, 1);  // inside the triangle 0, 1, 4
  ASSERT_EQ(f.kind, LocationKind::Face);
  EXPECT_EQ(t.corners(f.triangle), (std::array<std::uint64_t, 3>{0, 1, 4}));
  EXPECT_EQ(f.points, t.corners(f.triangle));

  for (auto [x, y] : {std::pair{-1.0, 4.0}, {4.0, 8.5}, {9.0, 9.0}}) {
    EXPECT_EQ(t.locate(x, y).kind, LocationKind::Outside);
  }
  EXPECT_EQ(t.locate(std::nan(""), 1.0).kind, LocationKind::Outside);
  EXPECT_EQ(t.locate(1.0, std::numeric_limits<double>::infinity()).kind, LocationKind::Outside);

  // Copies share the same triangles and answer the same.
  const Triangulation copy = t;
  EXPECT_EQ(copy.locate(4, 1).triangle, f.triangle);
}

}  // namespace
}  // namespace qm::mesh
