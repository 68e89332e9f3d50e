#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <map>
#include <random>
#include <set>
#include <vector>

#include "mesh/triangulation/triangulation.hpp"
#include "mesh/twostage/flips.hpp"
#include "twostage_triangles.hpp"

namespace qm::mesh {
namespace {

using test::P3;
using test::Tri;

Tri sorted(Tri t) {
  std::sort(t.begin(), t.end());
  return t;
}

struct Fixture {
  std::vector<P3> vertices;
  std::set<std::pair<std::uint64_t, std::uint64_t>> edges;
  std::map<Tri, FlipCost> costs;  // by sorted triple; absent: cost 1, deviation 0
  std::vector<Tri> asked;         // sorted triples, in the order asked
  int stop_reads = 0;
  bool stop_now = false;

  std::optional<std::uint64_t> run(std::vector<Tri>& triangles) {
    FlipHooks hooks;
    hooks.cost = [this](const Tri& t) {
      asked.push_back(sorted(t));
      const auto it = costs.find(sorted(t));
      return it == costs.end() ? FlipCost{1.0, 0.0} : it->second;
    };
    hooks.stop = [this] {
      ++stop_reads;
      return stop_now;
    };
    return flip_edges(vertices, edges, triangles, hooks);
  }
};

// A 4 by 4 square split along the diagonal 0-2; the other split is much cheaper.
Fixture square() {
  Fixture f;
  f.vertices = {{0, 0, 0}, {4, 0, 0}, {4, 4, 0}, {0, 4, 0}};
  f.costs = {{{0, 1, 2}, {10, 0}}, {{0, 2, 3}, {10, 0}}, {{0, 1, 3}, {1, 0}}, {{1, 2, 3}, {1, 0}}};
  return f;
}
const std::vector<Tri> kSquare{{0, 1, 2}, {0, 2, 3}};

TEST(TwostageFlips, ACheaperDiagonalIsTaken) {
  Fixture f = square();
  std::vector<Tri> tris = kSquare;
  EXPECT_EQ(f.run(tris), 1u);
  EXPECT_EQ(tris, (std::vector<Tri>{{1, 3, 0}, {3, 1, 2}}));
  test::expect_same_region(f.vertices, kSquare, tris);
  EXPECT_EQ(f.stop_reads, 1);
  // The old pair is priced first, lower position first.
  ASSERT_GE(f.asked.size(), 2u);
  EXPECT_EQ(f.asked[0], (Tri{0, 1, 2}));
  EXPECT_EQ(f.asked[1], (Tri{0, 2, 3}));
}

TEST(TwostageFlips, NothingToFlip) {
  struct Case {
    const char* name;
    std::vector<P3> vertices;
    std::set<std::pair<std::uint64_t, std::uint64_t>> edges;
    std::vector<Tri> triangles;
  };
  const std::vector<P3> square_points{{0, 0, 0}, {4, 0, 0}, {4, 4, 0}, {0, 4, 0}};
  const std::vector<Case> cases{
      {"empty list", square_points, {}, {}},
      {"one triangle", square_points, {}, {{0, 1, 2}}},
      {"diagonal is a mesh edge", square_points, {{0, 2}}, kSquare},
      // 0-2 is the diagonal; corner 2 = (2, 2) lies on the line from 1 = (4, 0) to 3 = (0, 4).
      {"corner on the other diagonal", {{0, 0, 0}, {4, 0, 0}, {2, 2, 0}, {0, 4, 0}}, {}, kSquare},
      {"reflex corner", {{0, 0, 0}, {4, 0, 0}, {1, 1, 0}, {0, 4, 0}}, {}, kSquare},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Fixture f = square();
    f.vertices = c.vertices;
    f.edges = c.edges;
    std::vector<Tri> tris = c.triangles;
    EXPECT_EQ(f.run(tris), 0u);
    EXPECT_EQ(tris, c.triangles);
  }
}

TEST(TwostageFlips, CostAndDeviationRules) {
  struct Case {
    const char* name;
    FlipCost old1, old2, new1, new2;
    std::uint64_t flips;
  };
  const std::vector<Case> cases{
      {"within 0.1% of the old sum is refused", {10, 0}, {10, 0}, {9.99, 0}, {9.99, 0}, 0},
      {"more than 0.1% lower flips", {10, 0}, {10, 0}, {9.98, 0}, {9.98, 0}, 1},
      {"equal cost is refused", {0, 0}, {0, 0}, {0, 0}, {0, 0}, 0},
      {"deviation 0.3 where the old pair had 0.3", {10, 0.3}, {10, 0.1}, {1, 0.3}, {1, 0.3}, 1},
      {"deviation 0.3 where the old pair was under 0.25", {10, 0.2}, {10, 0.1}, {1, 0.3}, {1, 0.0}, 0},
      {"deviation up to 0.25 always passes", {10, 0.0}, {10, 0.0}, {1, 0.25}, {1, 0.25}, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Fixture f = square();
    f.costs = {{{0, 1, 2}, c.old1}, {{0, 2, 3}, c.old2}, {{0, 1, 3}, c.new1}, {{1, 2, 3}, c.new2}};
    std::vector<Tri> tris = kSquare;
    EXPECT_EQ(f.run(tris), c.flips);
  }
}

TEST(TwostageFlips, AngleRuleAsksForTenDegreesAtMost) {
  // Diagonal 0-1 of a quadrilateral whose old triangles have smallest angles of about 11.7 and
  // 15.3 degrees; the new pair's smallest angle is 10.8 (passes: 10 is enough) or 9.1 (refused).
  struct Case {
    const char* name;
    P3 c, d;
    std::uint64_t flips;
  };
  const std::vector<Case> cases{
      {"new 10.8 degrees", {0.8, -1.9, 0}, {0.1, 2.7, 0}, 1},
      {"new 9.1 degrees", {9.5, -2.0, 0}, {9.7, 2.6, 0}, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Fixture f;
    f.vertices = {{0, 0, 0}, {10, 0, 0}, c.c, c.d};
    f.costs = {{{0, 1, 2}, {10, 0}}, {{0, 1, 3}, {10, 0}}};
    const std::vector<Tri> before{{0, 2, 1}, {0, 1, 3}};
    std::vector<Tri> tris = before;
    EXPECT_EQ(f.run(tris), c.flips);
    test::expect_same_region(f.vertices, before, tris);
  }
}

TEST(TwostageFlips, TheLastDiagonalSeenIsTriedFirst) {
  // Two squares side by side, each with its own diagonal; the second one's is seen last.
  Fixture f;
  f.vertices = {{0, 0, 0}, {4, 0, 0}, {4, 4, 0}, {0, 4, 0}, {8, 0, 0}, {8, 4, 0}};
  f.costs.clear();
  std::vector<Tri> tris{{0, 1, 2}, {0, 2, 3}, {1, 4, 5}, {1, 5, 2}};
  EXPECT_EQ(f.run(tris), 0u);
  ASSERT_FALSE(f.asked.empty());
  EXPECT_EQ(f.asked[0], (Tri{1, 4, 5}));
}

TEST(TwostageFlips, StopIsReadOnTheFirstPopAndEvery1024) {
  {
    Fixture f = square();
    f.stop_now = true;
    std::vector<Tri> tris = kSquare;
    EXPECT_EQ(f.run(tris), std::nullopt);
    EXPECT_EQ(f.stop_reads, 1);
  }
  // A grid of 30 by 30 squares, each split once: every interior diagonal and grid edge is a
  // candidate and none flips at equal cost.
  Fixture f;
  const int n = 30;
  for (int i = 0; i <= n; ++i) {
    for (int j = 0; j <= n; ++j) f.vertices.push_back({static_cast<double>(i), static_cast<double>(j), 0});
  }
  auto at = [&](int i, int j) { return static_cast<std::uint64_t>(i * (n + 1) + j); };
  std::vector<Tri> tris;
  for (int i = 0; i < n; ++i) {
    for (int j = 0; j < n; ++j) {
      tris.push_back({at(i, j), at(i + 1, j), at(i + 1, j + 1)});
      tris.push_back({at(i, j), at(i + 1, j + 1), at(i, j + 1)});
    }
  }
  EXPECT_EQ(f.run(tris), 0u);
  // Interior edges: 30*30 diagonals + 2*29*30 grid edges = 2640 pops: reads at 1, 1025, 2049.
  EXPECT_EQ(f.stop_reads, 3);
}

TEST(TwostageFlips, SlopeCost) {
  const P3 a{0, 0, 0}, b{3, 0, 0}, c{0, 3, 0};
  const double area = 4.5;
  auto everywhere = [](double dzdx, double dzdy) {
    return SlopeAt([=](double, double) { return std::optional<std::pair<double, double>>({dzdx, dzdy}); });
  };
  const SlopeAt nowhere = [](double, double) { return std::optional<std::pair<double, double>>(); };
  // Sample points of (a, b, c) with x below 1.2: the centroid, the one near a, the one near c and
  // the midpoint of c-a.
  const SlopeAt left_only = [](double x, double) {
    return x < 1.2 ? std::optional<std::pair<double, double>>({1.0, 0.0}) : std::nullopt;
  };
  EXPECT_EQ(slope_cost(a, b, c, everywhere(0, 0)), 0.0);
  EXPECT_NEAR(slope_cost(a, b, c, everywhere(1, 0)), area * 45.0, 1e-9);
  EXPECT_NEAR(slope_cost(a, b, c, everywhere(0, -1)), area * 45.0, 1e-9);
  EXPECT_NEAR(slope_cost(a, b, c, left_only), area * 45.0, 1e-9);
  EXPECT_EQ(slope_cost(a, b, c, nowhere), 0.0);
  // A tilted triangle on a reference of the same tilt costs nothing; on a flat one its tilt.
  const P3 ta{0, 0, 0}, tb{3, 0, 3}, tc{0, 3, 0};
  EXPECT_NEAR(slope_cost(ta, tb, tc, everywhere(1, 0)), 0.0, 1e-4);
  EXPECT_NEAR(slope_cost(ta, tb, tc, everywhere(0, 0)), area * 45.0, 1e-9);
  // Degenerate: no cost whatever the reference.
  EXPECT_EQ(slope_cost(a, b, {6, 0, 9}, everywhere(5, 5)), 0.0);
}

// Random triangulations of a bumpy surface priced against a reference of a different shape:
// the summed cost never rises, the region stays covered exactly once, and no flip breaks the
// deviation bound.
TEST(TwostageFlips, RandomMeshesNeverCostMore) {
  std::mt19937_64 rng(11);
  std::uniform_real_distribution<double> coord(0.0, 30.0);
  auto height = [](double x, double y) { return 2.0 * std::sin(x * 0.2) * std::cos(y * 0.15); };
  std::uint64_t flips_total = 0;
  for (int round = 0; round < 20; ++round) {
    std::vector<double> xs, ys;
    std::vector<P3> vertices;
    for (int i = 0; i < 70; ++i) {
      xs.push_back(std::round(coord(rng) * 1000) / 1000);
      ys.push_back(std::round(coord(rng) * 1000) / 1000);
      vertices.push_back({xs.back(), ys.back(), height(xs.back(), ys.back())});
    }
    const Triangulation tri = Triangulation::delaunay(xs, ys);
    std::vector<Tri> before;
    for (std::size_t t = 0; t < tri.triangle_count(); ++t) before.push_back(tri.corners(t));
    std::set<std::pair<std::uint64_t, std::uint64_t>> edges;
    if (round % 2 == 0) {
      for (std::size_t t = 0; t < before.size(); t += 5) {
        const auto [lo, hi] = std::minmax(before[t][0], before[t][2]);
        edges.insert({lo, hi});
      }
    }
    const SlopeAt slope = [](double x, double y) {
      return std::optional<std::pair<double, double>>({0.3 * std::cos(x * 0.1), 0.2 * std::sin(y * 0.2)});
    };
    std::map<Tri, FlipCost> memo;
    auto cost = [&](const Tri& t) {
      const Tri s = sorted(t);
      if (auto it = memo.find(s); it != memo.end()) return it->second;
      const P3 &p = vertices[s[0]], &q = vertices[s[1]], &r = vertices[s[2]];
      const double dev = std::fabs((p[2] + q[2] + r[2]) / 3.0 - height((p[0] + q[0] + r[0]) / 3.0, (p[1] + q[1] + r[1]) / 3.0));
      return memo[s] = FlipCost{slope_cost(p, q, r, slope), dev};
    };
    double cost_before = 0.0;
    for (const Tri& t : before) cost_before += cost(t).cost;
    std::vector<Tri> after = before;
    FlipHooks hooks{cost, [] { return false; }};
    const auto flips = flip_edges(vertices, edges, after, hooks);
    ASSERT_TRUE(flips.has_value());
    flips_total += *flips;
    double cost_after = 0.0;
    for (const Tri& t : after) cost_after += cost(t).cost;
    if (*flips > 0) {
      EXPECT_LT(cost_after, cost_before);
    } else {
      EXPECT_EQ(cost_after, cost_before);
    }
    test::expect_same_region(vertices, before, after);
    // Mesh edges survive every flip.
    std::set<std::pair<std::uint64_t, std::uint64_t>> present;
    for (const Tri& t : after) {
      for (int k = 0; k < 3; ++k) present.insert(std::minmax(t[k], t[(k + 1) % 3]));
    }
    for (const auto& e : edges) EXPECT_EQ(present.count(e), 1u);
    double worst_before = 0.25;
    for (const Tri& t : before) worst_before = std::max(worst_before, cost(t).deviation);
    for (const Tri& t : after) EXPECT_LE(cost(t).deviation, worst_before);
  }
  EXPECT_GT(flips_total, 20u);
}

}  // namespace
}  // namespace qm::mesh
