#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <set>
#include <vector>

#include "mesh/grid/cell_grid.hpp"
#include "mesh/twostage/insert.hpp"
#include "mesh/twostage/key_filters.hpp"
#include "twostage_fixture.hpp"

namespace qm::mesh {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

double slope(double x, double y) { return 10.0 + 0.5 * x + 0.25 * y; }

// World cells (1, 0) and (2, 0) with the origin at (64, 0): local x from 0 to 128, y from 0 to 64.
// The reference is one plane over the local square 0..128 by 0..64.
struct InsertCase {
  CellGrid grid = lattice_from_cells({{1, 0}, {2, 0}});
  ReferenceModel reference = fixture::polygon_reference({{{0, 0}, {128, 0}, {128, 64}, {0, 64}}}, slope);
  TwostageMesh mesh{&reference, grid, 64.0, 0.0};
  std::uint64_t add(double x, double y) { return add_vertex(mesh, {x, y, 0.0}, VertexSource::inserted()); }
};

TEST(TwostageInsert, ReusesAVertexOfTheSameKeyWhateverElseHolds) {
  InsertCase c;
  const auto a = c.add(-40.0, 10.0);  // outside the covered cells
  const auto b = c.add(-20.0, 10.0);
  add_edge(c.mesh, a, b, true);
  const auto edges = c.mesh.edges;
  EXPECT_EQ(insert_point(c.mesh, -40.0004, 10.0002, kNaN), std::optional<std::uint64_t>{a});
  EXPECT_EQ(insert_point(c.mesh, -19.9996, 10.0, 5.0), std::optional<std::uint64_t>{b});
  EXPECT_EQ(c.mesh.vertex_count(), 2u);
  EXPECT_EQ(c.mesh.edges, edges);
}

TEST(TwostageInsert, SnapsOntoAnOrdinaryEdgeAndSplitsIt) {
  InsertCase c;
  const auto a = c.add(10.0, 10.0);
  const auto b = c.add(30.0, 10.0);
  add_edge(c.mesh, a, b, false);
  c.mesh.stage = 4;
  const auto n = insert_point(c.mesh, 20.0, 10.0005, 999.0);
  ASSERT_EQ(n, std::optional<std::uint64_t>{2});
  const Point3& p = c.mesh.vertex(2);
  EXPECT_DOUBLE_EQ(p[0], 20.0);
  EXPECT_DOUBLE_EQ(p[1], 10.0);
  EXPECT_DOUBLE_EQ(p[2], slope(20.0, 10.0));  // the reference height, not the caller's z
  EXPECT_EQ(c.mesh.stages[2], 4);
  EXPECT_EQ(c.mesh.sources[2].tag, VertexSource::kInserted);
  EXPECT_EQ(c.mesh.edges, (EdgeSet{{0, 2}, {1, 2}}));
}

TEST(TwostageInsert, RefusesPointsOnOrNearAFixedEdge) {
  InsertCase c;
  const auto a = c.add(10.0, 10.0);
  const auto b = c.add(30.0, 10.0);
  add_edge(c.mesh, a, b, true);
  EXPECT_FALSE(insert_point(c.mesh, 20.0, 10.0005, 1.0));
  // Beyond the end: not moved, but still within 0.001 of the fixed edge's end.
  EXPECT_FALSE(insert_point(c.mesh, 30.0006, 10.0, 1.0));
  EXPECT_EQ(c.mesh.vertex_count(), 2u);
  EXPECT_EQ(c.mesh.edges, (EdgeSet{{0, 1}}));
  EXPECT_EQ(c.mesh.fixed_edges, (EdgeSet{{0, 1}}));
}

TEST(TwostageInsert, APointBeyondAnEdgeEndIsNotMoved) {
  InsertCase c;
  const auto a = c.add(10.0, 10.0);
  const auto b = c.add(30.0, 10.0);
  add_edge(c.mesh, a, b, false);
  const auto n = insert_point(c.mesh, 30.0006, 10.0002, 7.0);
  ASSERT_EQ(n, std::optional<std::uint64_t>{2});
  EXPECT_EQ(c.mesh.vertex(2), (Point3{30.0006, 10.0002, 7.0}));
  EXPECT_EQ(c.mesh.edges, (EdgeSet{{0, 1}}));
  // Within the end vertex's key: the end vertex itself.
  EXPECT_EQ(insert_point(c.mesh, 9.9996, 10.0, 7.0), std::optional<std::uint64_t>{a});
}

TEST(TwostageInsert, KeepsPointsInsideOrOnTheBorderOfTheCells) {
  struct Row {
    double x, y;
    bool accepted;
  };
  const Row rows[] = {
      {0.0, 20.0, true},         // on the west border of the cover
      {128.0, 64.0, true},       // its north-east corner
      {64.0, 32.0, true},        // between the two covered cells
      {-0.5, 20.0, false},       // inside an uncovered cell
      {-0.000002, 20.0, false},  // farther than 1e-6 from the covered cell
      {-0.0000005, 20.0, true},  // within 1e-6 of it
      {50.0, 64.5, false},
  };
  for (const Row& row : rows) {
    InsertCase c;
    EXPECT_EQ(insert_point(c.mesh, row.x, row.y, 1.0).has_value(), row.accepted) << row.x << " " << row.y;
  }
}

TEST(TwostageInsert, RefusesANonFiniteHeight) {
  for (const double z : {kNaN, kInf, -kInf}) {
    InsertCase c;
    EXPECT_FALSE(insert_point(c.mesh, 5.0, 5.0, z));
    EXPECT_EQ(c.mesh.vertex_count(), 0u);
  }
  // A moved point takes the reference height, which is NaN far from every reference triangle.
  CellGrid grid = lattice_from_cells({{0, 0}});
  ReferenceModel empty;
  TwostageMesh mesh{&empty, grid, 0.0, 0.0};
  const auto a = add_vertex(mesh, {1.0, 1.0, 0.0}, VertexSource::inserted());
  const auto b = add_vertex(mesh, {9.0, 1.0, 0.0}, VertexSource::inserted());
  add_edge(mesh, a, b, false);
  EXPECT_FALSE(insert_point(mesh, 5.0, 1.0005, 3.0));
  EXPECT_EQ(mesh.edges, (EdgeSet{{0, 1}}));
}

TEST(TwostageInsert, CheckedEdgesRefuseCrossingsAndThroughVertices) {
  InsertCase c;
  const auto a = c.add(0.0, 0.0);
  const auto b = c.add(10.0, 10.0);
  const auto d = c.add(0.0, 10.0);
  const auto e = c.add(10.0, 0.0);
  add_edge_checked(c.mesh, a, b);
  EXPECT_EQ(c.mesh.edges.size(), 1u);
  add_edge_checked(c.mesh, b, a);  // present, either order: nothing, not counted
  add_edge_checked(c.mesh, a, a);
  EXPECT_EQ(c.mesh.refused, 0u);
  add_edge_checked(c.mesh, d, e);  // an X with a-b
  EXPECT_EQ(c.mesh.refused, 1u);
  add_edge_checked(c.mesh, a, d);  // shares the end a with a-b
  add_edge_checked(c.mesh, b, d);
  EXPECT_EQ(c.mesh.edges, (EdgeSet{{0, 1}, {0, 2}, {1, 2}}));
  EXPECT_EQ(c.mesh.refused, 1u);
  // An edge passing 0.0005 from a third vertex.
  const auto f = c.add(20.0, 0.0);
  const auto g = c.add(40.0, 0.0);
  c.add(30.0, 0.0005);
  add_edge_checked(c.mesh, f, g);
  EXPECT_EQ(c.mesh.refused, 2u);
  // A free end lying on another edge (a T): refused.
  const auto h = c.add(5.0, 5.0004);
  add_edge_checked(c.mesh, h, d);
  EXPECT_EQ(c.mesh.refused, 3u);
  EXPECT_EQ(c.mesh.edges.size(), 3u);
}

// The reference edge between two points given by position.
std::uint32_t edge_between(const ReferenceModel& r, double x0, double y0, double x1, double y1) {
  for (std::uint32_t e = 0; e < r.edges.size(); ++e) {
    const auto& p = r.points[r.edges[e].first];
    const auto& q = r.points[r.edges[e].second];
    if ((p[0] == x0 && p[1] == y0 && q[0] == x1 && q[1] == y1) || (p[0] == x1 && p[1] == y1 && q[0] == x0 && q[1] == y0))
      return e;
  }
  ADD_FAILURE() << "no reference edge";
  return 0;
}

TEST(TwostageKeyFilters, OfferOnlyEndsThatMayStillBecomeVertices) {
  InsertCase c;
  // A second reference whose rectangle reaches beyond the covered cells (local x up to 200).
  const ReferenceModel wide = fixture::polygon_reference({{{0, 0}, {200, 0}, {200, 64}, {0, 64}}}, slope);
  TwostageMesh mesh(&wide, c.grid, 64.0, 0.0);
  const std::uint32_t bottom = edge_between(wide, 0, 0, 200, 0);
  const std::uint32_t left = edge_between(wide, 0, 0, 0, 64);
  const auto& bottom_edge = wide.edges[bottom];
  // (200, 0) lies outside the group's cells: only (0, 0) is offered.
  EXPECT_EQ(key_lookup(mesh, bottom), (std::vector<std::uint32_t>{wide.points[bottom_edge.first][0] == 0.0
                                                                       ? bottom_edge.first
                                                                       : bottom_edge.second}));
  EXPECT_EQ(key_lookup(mesh, left).size(), 2u);
  EXPECT_TRUE(key_entries(mesh, {}).empty());
  EXPECT_TRUE(key_entries(mesh, {bottom, left}).empty());
  // (0, 0) becomes a vertex; (0, 64) gets a fixed edge passing 0.0005 from it.
  const auto v = add_vertex(mesh, {0.0, 0.0, 10.0}, VertexSource::inserted());
  const auto f1 = add_vertex(mesh, {-5.0, 64.0005, 0.0}, VertexSource::inserted());
  const auto f2 = add_vertex(mesh, {5.0, 64.0005, 0.0}, VertexSource::inserted());
  add_edge(mesh, f1, f2, true);
  EXPECT_TRUE(key_lookup(mesh, left).empty());
  EXPECT_TRUE(key_entries(mesh, {bottom, left}).empty());
  add_vertex(mesh, {0.0, 64.0, 10.0}, VertexSource::inserted());
  EXPECT_EQ(key_entries(mesh, {bottom, left}), (std::vector<std::uint32_t>{left}));
  (void)v;
}

// Two segments cross at a point inside both (plain floating point orientations).
bool segments_cross(const Point3& a, const Point3& b, const Point3& c, const Point3& d) {
  auto orient = [](const Point3& p, const Point3& q, const Point3& r) {
    return (q[0] - p[0]) * (r[1] - p[1]) - (q[1] - p[1]) * (r[0] - p[0]);
  };
  return orient(a, b, c) * orient(a, b, d) < 0.0 && orient(c, d, a) * orient(c, d, b) < 0.0;
}

TEST(TwostageInsert, RandomInsertionsNeverMakeCrossingEdges) {
  for (const std::uint64_t seed : {1u, 2u, 3u}) {
    InsertCase c;
    std::mt19937_64 rng(seed);
    // A fixed border line along y = 0, as a seed line gives it.
    std::uint64_t prev = c.add(0.0, 0.0);
    c.mesh.fixed[prev] = 1;
    for (int i = 1; i <= 8; ++i) {
      const std::uint64_t v = c.add(i * 16.0, 0.0);
      c.mesh.fixed[v] = 1;
      add_edge(c.mesh, prev, v, true);
      prev = v;
    }
    std::uniform_real_distribution<double> ux(-2.0, 130.0), uy(-2.0, 66.0);
    for (int i = 0; i < 120; ++i) {
      // Points near existing edges and vertices as well as anywhere.
      double x = ux(rng), y = uy(rng);
      if (i % 4 == 1 && !c.mesh.edges.empty()) {
        auto it = c.mesh.edges.begin();
        std::advance(it, static_cast<long>(rng() % c.mesh.edges.size()));
        const Point3& p = c.mesh.vertex(it->first);
        const Point3& q = c.mesh.vertex(it->second);
        const double s = std::uniform_real_distribution<double>(0.0, 1.0)(rng);
        x = p[0] + s * (q[0] - p[0]) + std::uniform_real_distribution<double>(-0.0009, 0.0009)(rng);
        y = p[1] + s * (q[1] - p[1]) + std::uniform_real_distribution<double>(-0.0009, 0.0009)(rng);
      }
      const auto v = insert_point(c.mesh, x, y, slope(x, y));
      if (!v) continue;
      for (int k = 0; k < 3; ++k) add_edge_checked(c.mesh, *v, rng() % c.mesh.vertex_count());
    }
    ASSERT_GT(c.mesh.edges.size(), 60u);
    // The fixed edges are all still there: nothing split them.
    for (const MeshEdge& e : c.mesh.fixed_edges) EXPECT_TRUE(c.mesh.edges.contains(e));
    const std::vector<MeshEdge> edges(c.mesh.edges.begin(), c.mesh.edges.end());
    for (std::size_t i = 0; i < edges.size(); ++i) {
      const Point3& a = c.mesh.vertex(edges[i].first);
      const Point3& b = c.mesh.vertex(edges[i].second);
      for (std::size_t j = i + 1; j < edges.size(); ++j) {
        const MeshEdge& o = edges[j];
        if (o.first == edges[i].first || o.first == edges[i].second || o.second == edges[i].first ||
            o.second == edges[i].second)
          continue;
        EXPECT_FALSE(segments_cross(a, b, c.mesh.vertex(o.first), c.mesh.vertex(o.second)))
            << edges[i].first << "-" << edges[i].second << " x " << o.first << "-" << o.second;
      }
      // No other vertex lies on an edge.
      for (std::uint64_t v = 0; v < c.mesh.vertex_count(); ++v) {
        if (v == edges[i].first || v == edges[i].second) continue;
        EXPECT_FALSE(lies_on_segment(c.mesh.vertex(v), a, b)) << v << " on " << edges[i].first << "-" << edges[i].second;
      }
    }
  }
}

}  // namespace
}  // namespace qm::mesh
