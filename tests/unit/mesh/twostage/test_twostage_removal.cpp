#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <random>
#include <set>
#include <vector>

#include "mesh/triangulation/triangulation.hpp"
#include "mesh/twostage/removal.hpp"
#include "twostage_triangles.hpp"

namespace qm::mesh {
namespace {

using test::P3;
using test::Tri;

TEST(TwostageRemoval, MinAngleOfKnownTriangles) {
  struct Case {
    P3 a, b, c;
    double expected;
    double tolerance;
  };
  const std::vector<Case> cases{
      {{0, 0, 0}, {1, 0, 0}, {0.5, std::sqrt(3.0) / 2, 0}, 60.00000000003308, 0.0},
      {{0, 0, 0}, {4, 0, 0}, {0, 3, 0}, 36.86989764584783, 0.0},
      {{0, 0, 0}, {0, 3, 0}, {4, 0, 0}, 36.86989764584783, 1e-12},  // either orientation
      {{0, 0, 5}, {4, 0, -7}, {0, 3, 100}, 36.86989764584783, 0.0},  // z is not read
      {{0, 0, 0}, {1, 0, 0}, {2, 0, 0}, 5.7298e-05, 1e-8},           // collinear: nearly 0, not 0
      {{0, 0, 0}, {0, 0, 0}, {1, 0, 0}, 8.1032e-05, 1e-8},           // two corners at one place
      {{2, 2, 0}, {2, 2, 0}, {2, 2, 0}, 90.0, 1e-9},                 // all at one place
      {{0, 0, 0}, {1, 0, 0}, {0, 1, 0}, 45.0, 1e-9},
  };
  for (const Case& c : cases) {
    const double got = min_angle_degrees(c.a, c.b, c.c);
    if (c.tolerance == 0.0) {
      EXPECT_EQ(got, c.expected);
    } else {
      EXPECT_NEAR(got, c.expected, c.tolerance);
    }
  }
  const double nan = std::numeric_limits<double>::quiet_NaN();
  EXPECT_EQ(min_angle_degrees({nan, 0, 0}, {1, 0, 0}, {0, 1, 0}), 180.0);
}

// Ear clipping of a simple counter-clockwise ring: a hole filler for tests.
std::optional<std::vector<VertexTriangle>> ear_fill(std::span<const std::uint64_t> ring,
                                                    std::span<const std::array<double, 2>> pts) {
  std::vector<std::size_t> left(ring.size());
  for (std::size_t i = 0; i < left.size(); ++i) left[i] = i;
  auto cross = [&](std::size_t o, std::size_t a, std::size_t b) {
    return (pts[a][0] - pts[o][0]) * (pts[b][1] - pts[o][1]) - (pts[a][1] - pts[o][1]) * (pts[b][0] - pts[o][0]);
  };
  std::vector<VertexTriangle> out;
  while (left.size() > 3) {
    bool clipped = false;
    for (std::size_t i = 0; i < left.size() && !clipped; ++i) {
      const std::size_t p = left[(i + left.size() - 1) % left.size()], c = left[i], n = left[(i + 1) % left.size()];
      if (cross(p, c, n) <= 0) continue;
      bool empty = true;
      for (const std::size_t q : left) {
        if (q != p && q != c && q != n && cross(p, c, q) >= 0 && cross(c, n, q) >= 0 && cross(n, p, q) >= 0) empty = false;
      }
      if (!empty) continue;
      out.push_back({ring[p], ring[c], ring[n]});
      left.erase(left.begin() + static_cast<std::ptrdiff_t>(i));
      clipped = true;
    }
    if (!clipped) return std::nullopt;
  }
  if (left.size() == 3) out.push_back({ring[left[0]], ring[left[1]], ring[left[2]]});
  return out;
}

struct Fixture {
  std::vector<P3> vertices;
  std::vector<std::uint8_t> stages;
  std::set<std::pair<std::uint64_t, std::uint64_t>> edges;
  int stop_reads = 0;
  bool stop_now = false;
  std::function<double(std::uint64_t, std::uint64_t, std::uint64_t)> error = [](auto, auto, auto) { return 0.0; };
  RemovalHooks::Fill fill = ear_fill;

  std::optional<std::uint64_t> run(std::vector<Tri>& triangles) {
    RemovalHooks hooks;
    hooks.error = error;
    hooks.stop = [this] {
      ++stop_reads;
      return stop_now;
    };
    hooks.fill = fill;
    return remove_vertices({vertices, stages, &edges}, triangles, hooks);
  }
};

// A 2 by 2 square with a round vertex (index 4) at its centre, in four triangles.
Fixture square_with_centre() {
  Fixture f;
  f.vertices = {{0, 0, 0}, {2, 0, 0}, {2, 2, 0}, {0, 2, 0}, {1, 1, 0}};
  f.stages = {0, 0, 0, 0, 2};
  return f;
}
const std::vector<Tri> kSquareFan{{0, 1, 4}, {1, 2, 4}, {2, 3, 4}, {3, 0, 4}};

TEST(TwostageRemoval, ACentreVertexOfAFlatSquareGoes) {
  Fixture f = square_with_centre();
  std::vector<Tri> tris = kSquareFan;
  EXPECT_EQ(f.run(tris), 1u);
  ASSERT_EQ(tris.size(), 2u);
  for (const Tri& t : tris) EXPECT_EQ(std::count(t.begin(), t.end(), 4u), 0);
  test::expect_same_region(f.vertices, kSquareFan, tris);
  EXPECT_EQ(f.stop_reads, 1);
}

TEST(TwostageRemoval, VerticesThatStay) {
  struct Case {
    const char* name;
    std::vector<std::uint8_t> stages;
    std::set<std::pair<std::uint64_t, std::uint64_t>> edges;
    std::vector<Tri> triangles;
  };
  const std::vector<Case> cases{
      {"seed vertex", {0, 0, 0, 0, 0}, {}, kSquareFan},
      {"corner vertex", {0, 0, 0, 0, 1}, {}, kSquareFan},
      {"end of a mesh edge", {0, 0, 0, 0, 3}, {{0, 4}}, kSquareFan},
      {"on the border", {0, 0, 0, 0, 4}, {}, {{0, 1, 4}, {1, 2, 4}, {2, 3, 4}}},
      {"two triangles only", {0, 0, 0, 0, 2}, {}, {{0, 1, 4}, {1, 2, 4}}},
      {"fan that is not one ring", {0, 0, 0, 0, 2}, {}, {{0, 1, 4}, {1, 2, 4}, {3, 0, 4}, {3, 0, 4}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Fixture f = square_with_centre();
    f.stages = c.stages;
    f.edges = c.edges;
    std::vector<Tri> tris = c.triangles;
    EXPECT_EQ(f.run(tris), 0u);
    EXPECT_EQ(tris, c.triangles);
  }
}

TEST(TwostageRemoval, NoCandidateMeansOnlyOrientationChanges) {
  Fixture f = square_with_centre();
  f.stages = {0, 0, 0, 0, 1};
  f.stop_now = true;
  std::vector<Tri> tris{{0, 4, 1}, {1, 2, 4}, {2, 4, 3}, {3, 0, 4}};
  EXPECT_EQ(f.run(tris), 0u);
  EXPECT_EQ(tris, kSquareFan);
  EXPECT_EQ(f.stop_reads, 0);

  std::vector<Tri> none;
  EXPECT_EQ(f.run(none), 0u);
  EXPECT_TRUE(none.empty());
}

TEST(TwostageRemoval, AStopLeavesTheListAsItCame) {
  Fixture f = square_with_centre();
  f.stop_now = true;
  std::vector<Tri> tris{{0, 4, 1}, {1, 2, 4}, {2, 3, 4}, {3, 0, 4}};
  const std::vector<Tri> before = tris;
  EXPECT_EQ(f.run(tris), std::nullopt);
  EXPECT_EQ(tris, before);
  EXPECT_EQ(f.stop_reads, 1);
}

TEST(TwostageRemoval, StopIsReadOnceEverySixtyFourVisits) {
  // 130 round vertices that no triangle uses: three reads (visits 1, 65 and 129).
  Fixture f;
  f.vertices.assign(130, {0, 0, 0});
  f.stages.assign(130, 2);
  std::vector<Tri> tris;
  EXPECT_EQ(f.run(tris), 0u);
  EXPECT_EQ(f.stop_reads, 3);
}

TEST(TwostageRemoval, DeviationRule) {
  const double over = std::nextafter(0.25, 1.0);
  struct Case {
    const char* name;
    double first, second;
    std::uint64_t removed;
  };
  const std::vector<Case> cases{
      {"0.25 passes", 0.25, 0.25, 1},
      {"NaN passes", std::nan(""), 0.0, 1},
      {"just over 0.25 on one new triangle refuses", 0.0, over, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Fixture f = square_with_centre();
    int calls = 0;
    f.error = [&](auto, auto, auto) { return calls++ == 0 ? c.first : c.second; };
    std::vector<Tri> tris = kSquareFan;
    EXPECT_EQ(f.run(tris), c.removed);
    EXPECT_EQ(tris.size(), c.removed ? 2u : 4u);
  }
}

TEST(TwostageRemoval, AngleRuleCapsTheOldWorstAtTenDegrees) {
  // A pentagon with its top corner barely above the line of its neighbours; the hole is filled
  // with a fan from (4, 4), whose triangle (4, 4), (2, 4.3), (0, 4) has a smallest angle of 8.5
  // degrees.
  struct Case {
    const char* name;
    P3 v;
    std::uint64_t removed;
  };
  const std::vector<Case> cases{
      {"old worst 45 degrees: new triangles need 10", {2, 2, 0}, 0},
      {"old worst 5.7 degrees: new triangles need 5.7", {2, 0.2, 0}, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Fixture f;
    f.vertices = {{0, 0, 0}, {4, 0, 0}, {4, 4, 0}, {2, 4.3, 0}, {0, 4, 0}, c.v};
    f.stages = {0, 0, 0, 0, 0, 2};
    f.fill = [](std::span<const std::uint64_t>, std::span<const std::array<double, 2>>) {
      return std::optional<std::vector<VertexTriangle>>{{{2, 3, 4}, {2, 4, 0}, {2, 0, 1}}};
    };
    const std::vector<Tri> fan{{0, 1, 5}, {1, 2, 5}, {2, 3, 5}, {3, 4, 5}, {4, 0, 5}};
    std::vector<Tri> tris = fan;
    EXPECT_EQ(f.run(tris), c.removed);
    if (c.removed) test::expect_same_region(f.vertices, fan, tris);
  }
}

TEST(TwostageRemoval, ARefusedVertexCanGoInALaterPass) {
  // Two round vertices side by side; any new triangle that names vertex 5 is too far off, so 4
  // stays while 5 is there, 5 goes, and in the next pass 4 goes too.
  Fixture f;
  f.vertices = {{0, 0, 0}, {4, 0, 0}, {4, 4, 0}, {0, 4, 0}, {1.5, 2, 0}, {2.5, 2.1, 0}};
  f.stages = {0, 0, 0, 0, 2, 2};
  f.error = [](std::uint64_t a, std::uint64_t b, std::uint64_t c) { return (a == 5 || b == 5 || c == 5) ? 1.0 : 0.0; };
  std::vector<Tri> tris{{0, 1, 5}, {1, 2, 5}, {2, 3, 5}, {3, 4, 5}, {3, 0, 4}, {0, 5, 4}};
  const std::vector<Tri> before = tris;
  EXPECT_EQ(f.run(tris), 2u);
  EXPECT_EQ(tris.size(), 2u);
  test::expect_same_region(f.vertices, before, tris);
}

TEST(TwostageRemoval, HoleFilling) {
  // A square ring and the faces of a triangulation of it: two inner faces, plus one outside it
  // (a triangulation of the ring with a far point would list such faces).
  const std::vector<std::uint64_t> ring{10, 11, 12, 13};
  const std::vector<std::array<double, 2>> pts{{0, 0}, {2, 0}, {2, 2}, {0, 2}};
  HoleLoad load{true, false, 4, {{0, 1, 2}, {0, 2, 3}}};
  EXPECT_EQ(fill_hole(ring, pts, load), (std::vector<VertexTriangle>{{10, 11, 12}, {10, 12, 13}}));

  HoleLoad clockwise = load;
  clockwise.faces = {{0, 2, 1}, {0, 3, 2}};
  EXPECT_EQ(fill_hole(ring, pts, clockwise), (std::vector<VertexTriangle>{{10, 11, 12}, {10, 12, 13}}));

  // An L-shaped ring: the face across its notch lies outside and is left out.
  const std::vector<std::uint64_t> ell{0, 1, 2, 3, 4, 5};
  const std::vector<std::array<double, 2>> ell_pts{{0, 0}, {2, 0}, {2, 1}, {1, 1}, {1, 2}, {0, 2}};
  HoleLoad ell_load{true, false, 6, {{0, 1, 2}, {0, 2, 3}, {0, 3, 4}, {0, 4, 5}, {2, 4, 3}}};
  EXPECT_EQ(fill_hole(ell, ell_pts, ell_load),
            (std::vector<VertexTriangle>{{0, 1, 2}, {0, 2, 3}, {0, 3, 4}, {0, 4, 5}}));

  HoleLoad failed = load;
  failed.loaded = false;
  HoleLoad conflict = load;
  conflict.conflict = true;
  HoleLoad merged = load;
  merged.vertex_count = 3;
  HoleLoad short_of_faces = load;
  short_of_faces.faces.pop_back();
  for (const HoleLoad& bad : {failed, conflict, merged, short_of_faces}) EXPECT_EQ(fill_hole(ring, pts, bad), std::nullopt);
}

// Random point sets triangulated, random stage codes, heights from a bumpy surface: whatever is
// removed, the region stays covered exactly once, no new triangle strays more than 0.25, and the
// smallest angle never drops below the smaller of its old value and 10 degrees.
TEST(TwostageRemoval, RandomMeshesKeepTheirRegionErrorAndAngles) {
  std::mt19937_64 rng(7);
  std::uniform_real_distribution<double> coord(0.0, 40.0);
  auto height = [](double x, double y) { return 0.4 * std::sin(x * 0.3) + 0.3 * std::cos(y * 0.25); };
  std::uint64_t removed_total = 0;
  for (int round = 0; round < 20; ++round) {
    Fixture f;
    // Half the rounds fill holes through the constrained triangulation, half by ear clipping.
    if (round % 2 == 1) f.fill = triangulate_hole;
    std::vector<double> xs, ys;
    for (int i = 0; i < 80; ++i) {
      xs.push_back(std::round(coord(rng) * 1000) / 1000);
      ys.push_back(std::round(coord(rng) * 1000) / 1000);
      f.vertices.push_back({xs.back(), ys.back(), height(xs.back(), ys.back())});
      f.stages.push_back(static_cast<std::uint8_t>(rng() % 5));
    }
    const Triangulation tri = Triangulation::delaunay(xs, ys);
    std::vector<Tri> before;
    for (std::size_t t = 0; t < tri.triangle_count(); ++t) before.push_back(tri.corners(t));
    if (round % 3 == 0) {
      const auto [lo, hi] = std::minmax(before[0][0], before[0][1]);
      f.edges.insert({lo, hi});
    }
    f.error = [&](std::uint64_t a, std::uint64_t b, std::uint64_t c) {
      const P3 &p = f.vertices[a], &q = f.vertices[b], &r = f.vertices[c];
      double worst = 0.0;
      for (const auto& w : {std::array{1 / 3.0, 1 / 3.0, 1 / 3.0}, std::array{0.5, 0.5, 0.0},
                            std::array{0.0, 0.5, 0.5}, std::array{0.5, 0.0, 0.5}}) {
        const double x = w[0] * p[0] + w[1] * q[0] + w[2] * r[0];
        const double y = w[0] * p[1] + w[1] * q[1] + w[2] * r[1];
        const double z = w[0] * p[2] + w[1] * q[2] + w[2] * r[2];
        worst = std::max(worst, std::fabs(z - height(x, y)));
      }
      return worst;
    };
    auto min_angle = [&](const std::vector<Tri>& tris) {
      double m = 180.0;
      for (const Tri& t : tris) m = std::min(m, min_angle_degrees(f.vertices[t[0]], f.vertices[t[1]], f.vertices[t[2]]));
      return m;
    };
    std::vector<Tri> after = before;
    const auto removed = f.run(after);
    ASSERT_TRUE(removed.has_value());
    removed_total += *removed;
    test::expect_same_region(f.vertices, before, after);
    EXPECT_GE(min_angle(after), std::min(min_angle(before), 10.0));

    const std::set<Tri> old(before.begin(), before.end());
    std::set<std::uint64_t> used_before, used_after;
    for (const Tri& t : before) used_before.insert(t.begin(), t.end());
    for (const Tri& t : after) {
      used_after.insert(t.begin(), t.end());
      if (old.count(t) == 0) {
        EXPECT_LE(f.error(t[0], t[1], t[2]), 0.25);
      }
    }
    EXPECT_EQ(used_before.size() - used_after.size(), *removed);
    for (const std::uint64_t v : used_before) {
      if (used_after.count(v) == 0) {
        EXPECT_GT(f.stages[v], 1);
        for (const auto& [a, b] : f.edges) EXPECT_TRUE(v != a && v != b);
      }
    }
  }
  EXPECT_GT(removed_total, 20u);
}

}  // namespace
}  // namespace qm::mesh
