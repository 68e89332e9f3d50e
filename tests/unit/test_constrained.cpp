// The constrained Delaunay triangulation: bulk loads with conflicting constraints, incremental
// insertion with crossing constraints, shared positions, refused positions and the face walks.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "module/fault.hpp"
#include "terrain/mesh/constrained.hpp"
#include "fault_text.hpp"

namespace qm::mesh {
namespace {

using Edge = ConstrainedTriangulation::Edge;
using Point2 = std::array<double, 2>;

double orient(const std::array<double, 3>& a, const std::array<double, 3>& b, const std::array<double, 3>& c) {
  return (b[0] - a[0]) * (c[1] - a[1]) - (b[1] - a[1]) * (c[0] - a[0]);
}

// Every face counter-clockwise, every neighbour link mutual and across the same two corners;
// returns the undirected edges of the faces.
std::set<Edge> check_faces(const ConstrainedTriangulation& t) {
  const ConstrainedFaces f = t.faces();
  EXPECT_EQ(f.corners.size(), f.across.size());
  std::set<Edge> edges;
  for (std::size_t i = 0; i < f.corners.size(); ++i) {
    const auto& c = f.corners[i];
    EXPECT_GT(orient(t.position(c[0]), t.position(c[1]), t.position(c[2])), 0.0) << "face " << i;
    for (int s = 0; s < 3; ++s) {
      const std::uint64_t a = c[static_cast<std::size_t>(s)], b = c[static_cast<std::size_t>((s + 1) % 3)];
      edges.emplace(std::min(a, b), std::max(a, b));
      const std::uint64_t g = f.across[i][static_cast<std::size_t>(s)];
      if (g == ConstrainedFaces::kNone) continue;
      // The face across runs the same side the other way round and points back.
      const auto& d = f.corners[g];
      bool found = false;
      for (int r = 0; r < 3; ++r) {
        if (d[static_cast<std::size_t>(r)] == b && d[static_cast<std::size_t>((r + 1) % 3)] == a) {
          found = true;
          EXPECT_EQ(f.across[g][static_cast<std::size_t>(r)], i);
        }
      }
      EXPECT_TRUE(found) << "face " << i << " side " << s;
    }
  }
  return edges;
}

using qm::testing::fault_text;

TEST(ConstrainedTriangulation, BulkLoadKeepsThePointOrder) {
  const std::vector<Point2> points{{5, 5}, {0, 0}, {10, 0}, {10, 10}, {0, 10}, {3, 7}};
  const auto t = ConstrainedTriangulation::bulk_load(points, {}, {});
  ASSERT_EQ(t.vertex_count(), points.size());
  ASSERT_EQ(t.id_count(), points.size());
  for (std::size_t i = 0; i < points.size(); ++i) {
    EXPECT_EQ(t.vertex_of(i), i);
    EXPECT_EQ(t.position(i), (std::array<double, 3>{points[i][0], points[i][1], 0.0}));
  }
  check_faces(t);
  EXPECT_EQ(t.faces().corners.size(), 6u);  // 2n - 2 - hull size
  EXPECT_TRUE(t.constraint_edges().empty());
}

TEST(ConstrainedTriangulation, BulkLoadReportsAConstraintThatCrossesAnEarlierOne) {
  // A square with both diagonals asked for: the second one crosses the first.
  const std::vector<Point2> points{{0, 0}, {10, 0}, {10, 10}, {0, 10}};
  for (const bool first_is_02 : {true, false}) {
    const std::vector<Edge> edges = first_is_02 ? std::vector<Edge>{{0, 2}, {0, 1}, {1, 3}} : std::vector<Edge>{{3, 1}, {0, 1}, {2, 0}};
    std::vector<std::size_t> conflicts;
    const auto t = ConstrainedTriangulation::bulk_load(points, edges, [&](std::size_t k) { conflicts.push_back(k); });
    EXPECT_EQ(conflicts, std::vector<std::size_t>{2});
    const Edge kept = first_is_02 ? Edge{0, 2} : Edge{1, 3};
    const Edge left_out = first_is_02 ? Edge{1, 3} : Edge{0, 2};
    EXPECT_EQ(t.constraint_edges(), (std::vector<Edge>{{0, 1}, kept}));
    const std::set<Edge> face_edges = check_faces(t);
    EXPECT_TRUE(face_edges.count(kept));
    EXPECT_FALSE(face_edges.count(left_out));
  }
}

TEST(ConstrainedTriangulation, ConstraintsForceTheirEdgesAndSplitAtVertices) {
  // A long thin diamond: unconstrained, the short diagonal 2-3 is the Delaunay edge.
  const std::vector<Point2> points{{0, 0}, {10, 0}, {5, 1}, {5, -1}, {20, 0}, {15, 0.5}};
  const auto plain = ConstrainedTriangulation::bulk_load(points, {}, {});
  EXPECT_TRUE(check_faces(plain).count(Edge{2, 3}));
  std::vector<std::size_t> conflicts;
  // 0-4 passes through vertex 1: it becomes the constraints 0-1 and 1-4.
  const std::vector<Edge> edges{{0, 4}};
  const auto t = ConstrainedTriangulation::bulk_load(points, edges, [&](std::size_t k) { conflicts.push_back(k); });
  EXPECT_TRUE(conflicts.empty());
  EXPECT_EQ(t.constraint_edges(), (std::vector<Edge>{{0, 1}, {1, 4}}));
  EXPECT_TRUE(t.is_constraint(1, 0));
  EXPECT_FALSE(t.is_constraint(0, 4));
  const std::set<Edge> face_edges = check_faces(t);
  EXPECT_TRUE(face_edges.count(Edge{0, 1}));
  EXPECT_FALSE(face_edges.count(Edge{2, 3}));
  EXPECT_EQ(t.vertex_count(), points.size());
}

TEST(ConstrainedTriangulation, BulkLoadMergesPointsAtOnePosition) {
  const std::vector<std::array<double, 3>> points{{0, 0, 1}, {4, 0, 2}, {0, 4, 3}, {4, 0, 9}, {-0.0, 0, 5}};
  std::vector<std::size_t> conflicts;
  const std::vector<Edge> edges{{0, 4}, {3, 2}};
  const auto t = ConstrainedTriangulation::bulk_load(points, edges, [&](std::size_t k) { conflicts.push_back(k); });
  EXPECT_EQ(t.vertex_count(), 3u);
  EXPECT_EQ(t.id_count(), 5u);
  EXPECT_EQ(t.vertex_of(3), 1u);
  EXPECT_EQ(t.vertex_of(4), 0u);
  EXPECT_EQ(t.position(3), (std::array<double, 3>{4, 0, 2}));  // the first point's vertex
  EXPECT_TRUE(conflicts.empty());
  EXPECT_EQ(t.constraint_edges(), (std::vector<Edge>{{1, 2}}));
  EXPECT_EQ(t.faces().corners.size(), 1u);
}

TEST(ConstrainedTriangulation, FewOrCollinearPointsGiveNoFace) {
  const std::vector<std::vector<Point2>> cases{{}, {{1, 1}}, {{0, 0}, {1, 1}}, {{0, 0}, {1, 1}, {2, 2}, {3, 3}}};
  for (const auto& points : cases) {
    std::vector<Edge> edges;
    if (points.size() >= 2) edges = {{0, points.size() - 1}, {0, 1}};
    const auto t = ConstrainedTriangulation::bulk_load(points, edges, [](std::size_t) { ADD_FAILURE(); });
    EXPECT_EQ(t.vertex_count(), points.size());
    EXPECT_TRUE(t.faces().corners.empty());
  }
}

TEST(ConstrainedTriangulation, RefusesPositionsItCannotTake) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double inf = std::numeric_limits<double>::infinity();
  struct Case {
    double x, y;
    const char* refusal;
  };
  const Case cases[] = {{nan, 0, "NaN"},         {0, nan, "NaN"},          {1e-50, 1, "too small"},
                        {1, -1e-43, "too small"}, {1e61, 0, "too large"},  {0, -inf, "too large"},
                        {0, 0, nullptr},          {-0.0, 1e60, nullptr},   {1.8e-43, -3e-43, nullptr}};
  for (const Case& c : cases) {
    const char* got = constrained_position_refusal(c.x, c.y);
    EXPECT_EQ(got == nullptr ? std::string("-") : std::string(got), c.refusal == nullptr ? "-" : c.refusal);
    ConstrainedTriangulation t;
    const std::string text = fault_text([&] { t.insert(c.x, c.y, 0.0); });
    if (c.refusal == nullptr) {
      EXPECT_EQ(text, "no fault");
    } else {
      EXPECT_EQ(text, std::string("finite points: ") + c.refusal);
      EXPECT_EQ(fault_text([&] {
                  const std::vector<Point2> points{{0, 0}, {c.x, c.y}};
                  ConstrainedTriangulation::bulk_load(points, {}, {});
                }),
                std::string("finite points: ") + c.refusal);
    }
  }
  const std::vector<Point2> points{{0, 0}, {1, 0}};
  const std::vector<Edge> edges{{0, 2}};
  EXPECT_EQ(fault_text([&] { ConstrainedTriangulation::bulk_load(points, edges, {}); }), "index out of range");
}

TEST(ConstrainedTriangulation, InsertAtAnExistingPositionTakesTheVertexOver) {
  ConstrainedTriangulation t;
  EXPECT_EQ(t.insert(0, 0, 1), 0u);
  EXPECT_EQ(t.insert(8, 0, 2), 1u);
  EXPECT_EQ(t.insert(0, 8, 3), 2u);
  EXPECT_EQ(t.insert(8, 0, 7), 1u);
  EXPECT_EQ(t.insert(-0.0, 0, 5), 0u);
  EXPECT_EQ(t.vertex_count(), 3u);
  EXPECT_EQ(t.id_count(), 3u);
  EXPECT_EQ(t.position(1), (std::array<double, 3>{8, 0, 7}));
  const auto p0 = t.position(0);
  EXPECT_TRUE(std::signbit(p0[0]));  // the later point's own coordinates
  EXPECT_EQ(p0[2], 5.0);
  EXPECT_EQ(t.faces().corners.size(), 1u);
}

TEST(ConstrainedTriangulation, CrossingConstraintsSplitAtAVertexTheCallbackGivesAHeight) {
  ConstrainedTriangulation t;
  const std::uint64_t a = t.insert(0, 0, 0), b = t.insert(4, 4, 0), c = t.insert(0, 4, 0), d = t.insert(4, 0, 0);
  int calls = 0;
  auto height = [&](double x, double y) {
    ++calls;
    EXPECT_NEAR(x, 2.0, 1e-12);
    EXPECT_NEAR(y, 2.0, 1e-12);
    return 42.0;
  };
  t.add_constraint_splitting(a, b, height);
  EXPECT_EQ(calls, 0);
  EXPECT_FALSE(t.try_add_constraint(c, d));  // would cross a-b: nothing changes
  EXPECT_EQ(t.vertex_count(), 4u);
  t.add_constraint_splitting(c, d, height);
  EXPECT_EQ(calls, 1);
  ASSERT_EQ(t.id_count(), 5u);
  const std::uint64_t m = 4;
  EXPECT_EQ(t.position(m)[2], 42.0);
  EXPECT_EQ(t.constraint_edges(), (std::vector<Edge>{{0, m}, {1, m}, {2, m}, {3, m}}));
  EXPECT_EQ(check_faces(t).size(), 8u);
  EXPECT_EQ(t.faces().corners.size(), 4u);
  // A point inserted at the crossing takes it over.
  EXPECT_EQ(t.insert(t.position(m)[0], t.position(m)[1], 7.0), m);
  EXPECT_EQ(t.position(m)[2], 7.0);
}

TEST(ConstrainedTriangulation, AConstraintMeetingAnInsertedVertexIsSplitThere) {
  ConstrainedTriangulation t;
  const std::uint64_t a = t.insert(0, 0, 0), b = t.insert(10, 0, 0);
  t.insert(5, 3, 0);
  t.add_constraint_splitting(a, b, [](double, double) -> double {
    ADD_FAILURE();
    return 0.0;
  });
  const std::uint64_t m = t.insert(4, 0, 9);  // on the constraint
  EXPECT_EQ(t.constraint_edges(), (std::vector<Edge>{{0, m}, {1, m}}));
  EXPECT_TRUE(t.try_add_constraint(2, m));
  EXPECT_EQ(t.constraint_edges().size(), 3u);
}

TEST(ConstrainedTriangulation, ManyRandomConstraintsAllEndUpAsEdges) {
  std::mt19937_64 rng(11);
  std::uniform_int_distribution<int> coord(0, 400);
  std::vector<Point2> points;
  std::set<std::pair<int, int>> seen;
  while (points.size() < 300) {
    const int x = coord(rng), y = coord(rng);
    if (seen.emplace(x, y).second) points.push_back({x * 0.25, y * 0.25});
  }
  std::uniform_int_distribution<std::uint64_t> pick(0, points.size() - 1);
  std::vector<Edge> edges;
  for (int k = 0; k < 200; ++k) edges.emplace_back(pick(rng), pick(rng));
  std::vector<std::size_t> conflicts;
  const auto t = ConstrainedTriangulation::bulk_load(points, edges, [&](std::size_t k) { conflicts.push_back(k); });
  EXPECT_FALSE(conflicts.empty());
  EXPECT_TRUE(std::is_sorted(conflicts.begin(), conflicts.end()));
  EXPECT_EQ(t.vertex_count(), points.size());
  const std::set<Edge> face_edges = check_faces(t);
  for (const Edge& e : t.constraint_edges()) EXPECT_TRUE(face_edges.count(e));
  // A constraint not reported lies along constraint edges (split at the vertices on it).
  std::set<std::size_t> reported(conflicts.begin(), conflicts.end());
  for (std::size_t k = 0; k < edges.size(); ++k) {
    if (reported.count(k) || edges[k].first == edges[k].second) continue;
    if (t.is_constraint(edges[k].first, edges[k].second)) continue;
    // Split: some constraint edge leaves its first end along the segment.
    const auto p = t.position(edges[k].first), q = t.position(edges[k].second);
    bool leaves = false;
    for (const Edge& e : t.constraint_edges()) {
      if (e.first != edges[k].first && e.second != edges[k].first) continue;
      const auto r = t.position(e.first == edges[k].first ? e.second : e.first);
      leaves |= orient(p, q, r) == 0.0;
    }
    EXPECT_TRUE(leaves) << k;
  }
}

}  // namespace
}  // namespace qm::mesh
