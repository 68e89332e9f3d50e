#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <map>
#include <random>
#include <set>
#include <vector>

#include "base/fault.hpp"
#include "mesh/grid/cell_grid.hpp"
#include "mesh/twostage/working_mesh.hpp"

namespace qm::mesh {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

struct MeshCase {
  CellGrid grid = lattice_from_cells({{0, 0}});
  TwostageMesh mesh{nullptr, grid, 0.0, 0.0};
  std::uint64_t add(double x, double y, double z = 0.0) {
    return add_vertex(mesh, {x, y, z}, VertexSource::inserted());
  }
};

TEST(TwostageMesh, VertexKeyRoundsHalvesAwayAndSaturates) {
  EXPECT_EQ(vertex_key(1.0005, -1.0005), (VertexKey{1001, -1001}));
  EXPECT_EQ(vertex_key(0.0004999, -0.0004999), (VertexKey{0, 0}));
  EXPECT_EQ(vertex_key(kNaN, 2.0), (VertexKey{0, 2000}));
  EXPECT_EQ(vertex_key(1e300, -1e300),
            (VertexKey{std::numeric_limits<std::int64_t>::max(), std::numeric_limits<std::int64_t>::min()}));
  EXPECT_EQ(cell_of(-0.5), -1);
  EXPECT_EQ(cell_of(8.0), 1);
  EXPECT_EQ(cell_of(kNaN), 0);
  EXPECT_EQ(cell_of(1e300), std::numeric_limits<std::int32_t>::max());
}

TEST(TwostageMesh, AppendingKeepsListsAlignedAndTheNewestVertexOfAKey) {
  MeshCase c;
  c.mesh.stage = 3;
  const auto a = c.add(1.0001, 2.0, 5.0);
  const auto b = add_vertex(c.mesh, {1.0004, 2.0002, 6.0}, VertexSource::seed(11.0, 12.0, 13.0));
  EXPECT_EQ(a, 0u);
  EXPECT_EQ(b, 1u);
  EXPECT_EQ(c.mesh.vertex_count(), 2u);
  EXPECT_EQ(c.mesh.sources.size(), 2u);
  EXPECT_EQ(c.mesh.positions.size(), 2u);
  EXPECT_EQ(c.mesh.fixed, (std::vector<std::uint8_t>{0, 0}));
  EXPECT_EQ(c.mesh.stages, (std::vector<std::uint8_t>{3, 3}));
  EXPECT_EQ(c.mesh.find_key(vertex_key(1.0, 2.0)), std::optional<std::uint64_t>{1});
  EXPECT_EQ(c.mesh.sources[1].tag, VertexSource::kSeed);
  EXPECT_EQ(c.mesh.sources[1].world, (Point3{11.0, 12.0, 13.0}));
  EXPECT_EQ(c.mesh.vertex_cells.at(Cell{0, 0}), (std::vector<std::uint64_t>{0, 1}));
  // A NaN coordinate files the vertex under cell 0 on that axis.
  const auto n = c.add(kNaN, 20.0);
  EXPECT_EQ(c.mesh.vertex_cells.at(Cell{0, 2}), (std::vector<std::uint64_t>{n}));
  EXPECT_THROW(c.mesh.vertex(99), Fault);
}

TEST(TwostageMesh, RegisterEdgeWidensTheBoxAndIgnoresNaN) {
  MeshCase c;
  const auto a = c.add(8.0, 1.0);
  const auto b = c.add(8.0, 3.0);
  EXPECT_EQ(register_edge(c.mesh.vertices, a, b), (std::vector<Cell>{{0, 0}, {1, 0}}));
  const auto n = c.add(kNaN, 17.0);
  EXPECT_EQ(register_edge(c.mesh.vertices, a, n), (std::vector<Cell>{{0, 0}, {0, 1}, {0, 2}, {1, 0}, {1, 1}, {1, 2}}));
  const auto m = c.add(kNaN, kNaN);
  EXPECT_EQ(register_edge(c.mesh.vertices, n, m), (std::vector<Cell>{{0, 2}}));  // both x NaN: cell 0
  EXPECT_THROW(register_edge(c.mesh.vertices, a, 42), Fault);
}

TEST(TwostageMesh, RemovedFixedEdgeStaysListedButIsNoLongerNear) {
  MeshCase c;
  const auto a = c.add(1.0, 1.0);
  const auto b = c.add(5.0, 1.0);
  add_edge(c.mesh, b, a, true);
  EXPECT_EQ(c.mesh.edges, (EdgeSet{{0, 1}}));
  EXPECT_EQ(c.mesh.fixed_edges, (EdgeSet{{0, 1}}));
  EXPECT_TRUE(edges_near(c.mesh, 3.0, 1.0005, 0.001));
  EXPECT_FALSE(edges_near(c.mesh, 3.0, 1.0011, 0.001));  // strictly closer than r
  remove_edge(c.mesh, a, b);
  EXPECT_TRUE(c.mesh.edges.empty());
  EXPECT_EQ(c.mesh.fixed_edges, (EdgeSet{{0, 1}}));
  EXPECT_FALSE(edges_near(c.mesh, 3.0, 1.0005, 0.001));
  EXPECT_TRUE(c.mesh.edge_cells.at(Cell{0, 0}).empty());  // the emptied set stays
  // Added again without the fixed flag, the pair counts as fixed again.
  add_edge(c.mesh, a, b, false);
  EXPECT_TRUE(edges_near(c.mesh, 3.0, 1.0005, 0.001));
}

TEST(TwostageMesh, EdgesNearIgnoresPlainEdgesAndMeasuresAPointEdgeToItsEnd) {
  MeshCase c;
  const auto a = c.add(1.0, 1.0);
  const auto b = c.add(5.0, 1.0);
  add_edge(c.mesh, a, b, false);
  EXPECT_FALSE(edges_near(c.mesh, 3.0, 1.0, 0.5));
  // A zero-length fixed edge (two vertices at one place) is measured to its end point.
  const auto p = c.add(3.0, 3.0);
  const auto q = c.add(3.0, 3.0);
  add_edge(c.mesh, p, q, true);
  EXPECT_TRUE(edges_near(c.mesh, 3.3, 3.0, 0.31));
  EXPECT_FALSE(edges_near(c.mesh, 3.3, 3.0, 0.29));
}

TEST(TwostageMesh, EdgesInRadiusVisitsOnlyTheQuerySquareCells) {
  MeshCase c;
  const auto a = c.add(1.0, 1.0);
  const auto b = c.add(7.0, 1.0);
  const auto d = c.add(9.0, 9.0);
  const auto e = c.add(15.0, 9.0);
  add_edge(c.mesh, a, b, false);
  add_edge(c.mesh, d, e, false);
  // r = 0: only the point's own cell; no distance test.
  EXPECT_EQ(edges_in_radius(c.mesh, 6.9, 7.9, 0.0), (EdgeSet{{0, 1}}));
  EXPECT_EQ(edges_in_radius(c.mesh, 7.9, 7.9, 0.2), (EdgeSet{{0, 1}, {2, 3}}));
  EXPECT_TRUE(edges_in_radius(c.mesh, 100.0, 100.0, 1.0).empty());
  EXPECT_TRUE(edges_in_radius(c.mesh, 1.0, 1.0, -8.0).empty());
}

TEST(TwostageMesh, EdgeAtFindsOnlyInteriorsOfRealEdges) {
  MeshCase c;
  const auto a = c.add(0.0, 0.0);
  const auto b = c.add(4.0, 0.0);
  const auto z1 = c.add(6.0, 6.0);
  const auto z2 = c.add(6.0, 6.0);
  add_edge(c.mesh, a, b, false);
  add_edge(c.mesh, z1, z2, false);
  const auto hit = edge_at(c.mesh, 1.0, 0.0005);
  ASSERT_TRUE(hit);
  EXPECT_EQ(hit->a, a);
  EXPECT_EQ(hit->b, b);
  EXPECT_DOUBLE_EQ(hit->t, 0.25);
  EXPECT_FALSE(edge_at(c.mesh, 1.0, 0.001));    // not strictly within
  EXPECT_FALSE(edge_at(c.mesh, 0.0, 0.0));      // an end point
  EXPECT_FALSE(edge_at(c.mesh, 4.0, 0.0));      // the other end
  EXPECT_FALSE(edge_at(c.mesh, -0.0005, 0.0));  // beyond the end
  EXPECT_FALSE(edge_at(c.mesh, 6.0, 6.0));      // a zero-length edge
}

// Random appends, edges and removals, then every index and query against brute force.
TEST(TwostageMesh, IndexesAgreeWithBruteForceAfterRandomChanges) {
  std::mt19937_64 rng(20261210);
  std::uniform_real_distribution<double> coord(-30.0, 30.0);
  std::uniform_int_distribution<int> grid_step(-60, 60);
  MeshCase c;
  std::vector<Point3> points;
  for (int i = 0; i < 300; ++i) {
    // A third of the points on a coarse lattice, so that keys repeat and edges lie on cell lines.
    Point3 p = (i % 3 == 0) ? Point3{grid_step(rng) * 0.5, grid_step(rng) * 0.5, 0.0}
                            : Point3{coord(rng), coord(rng), 0.0};
    if (i % 50 == 7) p[0] = p[0] + 0.0004;  // near-repeats that share a key
    points.push_back(p);
    EXPECT_EQ(add_vertex(c.mesh, p, VertexSource::inserted()), static_cast<std::uint64_t>(i));
  }
  std::set<MeshEdge> edges, fixed;
  std::uniform_int_distribution<std::uint64_t> pick(0, points.size() - 1);
  for (int i = 0; i < 600; ++i) {
    const auto a = pick(rng), b = pick(rng);
    if (a == b) continue;
    const int action = static_cast<int>(rng() % 5);
    if (action == 0 && !edges.empty()) {
      auto it = edges.begin();
      std::advance(it, static_cast<long>(rng() % edges.size()));
      const MeshEdge e = *it;
      remove_edge(c.mesh, e.second, e.first);
      edges.erase(e);
    } else {
      const bool is_fixed = action == 1;
      add_edge(c.mesh, a, b, is_fixed);
      edges.insert(mesh_edge(a, b));
      if (is_fixed) fixed.insert(mesh_edge(a, b));
    }
  }
  EXPECT_EQ(c.mesh.edges, edges);
  EXPECT_EQ(c.mesh.fixed_edges, fixed);

  // Keys: each key names the last vertex appended with it.
  std::map<VertexKey, std::uint64_t> last;
  for (std::uint64_t i = 0; i < points.size(); ++i) last[vertex_key(points[i][0], points[i][1])] = i;
  EXPECT_EQ(c.mesh.keys.size(), last.size());
  for (const auto& [key, index] : last) EXPECT_EQ(c.mesh.find_key(key), std::optional<std::uint64_t>{index});

  // Vertex cells: every vertex once, under its own cell, in appending order.
  std::map<Cell, std::vector<std::uint64_t>> cells;
  for (std::uint64_t i = 0; i < points.size(); ++i)
    cells[Cell{cell_of(points[i][0]), cell_of(points[i][1])}].push_back(i);
  EXPECT_EQ(c.mesh.vertex_cells.size(), cells.size());
  for (const auto& [cell, list] : cells) EXPECT_EQ(c.mesh.vertex_cells.at(cell), list);

  // Edge cells: exactly the current edges, each under the cells of its widened box.
  for (const auto& [cell, set] : c.mesh.edge_cells)
    for (const MeshEdge& e : set) EXPECT_TRUE(edges.contains(e));
  for (const MeshEdge& e : edges)
    for (const Cell& cell : register_edge(c.mesh.vertices, e.first, e.second))
      EXPECT_TRUE(c.mesh.edge_cells.at(cell).contains(e));

  auto distance_to = [&](const MeshEdge& e, double x, double y, double& t_out) {
    const Point3& a = points[e.first];
    const Point3& b = points[e.second];
    const double dx = b[0] - a[0], dy = b[1] - a[1];
    const double len2 = dx * dx + dy * dy;
    t_out = ((x - a[0]) * dx + (y - a[1]) * dy) / len2;
    return std::fabs(dx * (y - a[1]) - dy * (x - a[0])) / std::sqrt(len2);
  };
  auto segment_distance = [&](const MeshEdge& e, double x, double y) {
    const Point3& a = points[e.first];
    const Point3& b = points[e.second];
    const double dx = b[0] - a[0], dy = b[1] - a[1];
    const double len2 = dx * dx + dy * dy;
    double t = len2 <= 0.0 ? 0.0 : ((x - a[0]) * dx + (y - a[1]) * dy) / len2;
    t = std::clamp(t, 0.0, 1.0);
    return std::hypot(a[0] + t * dx - x, a[1] + t * dy - y);
  };

  int hits = 0;
  for (int q = 0; q < 3000; ++q) {
    double x, y;
    if (q % 2 == 0 && !edges.empty()) {
      // A point just off a random edge, so that edge_at has something to find.
      auto it = edges.begin();
      std::advance(it, static_cast<long>(rng() % edges.size()));
      const double s = std::uniform_real_distribution<double>(0.0, 1.0)(rng);
      const Point3& a = points[it->first];
      const Point3& b = points[it->second];
      x = a[0] + s * (b[0] - a[0]) + std::uniform_real_distribution<double>(-0.0015, 0.0015)(rng);
      y = a[1] + s * (b[1] - a[1]) + std::uniform_real_distribution<double>(-0.0015, 0.0015)(rng);
    } else {
      x = coord(rng);
      y = coord(rng);
    }
    std::optional<MeshEdge> expected_at;
    for (const MeshEdge& e : edges) {
      double t;
      const double d = distance_to(e, x, y, t);
      if (t < 1.0 && d < 0.001 && t > 0.0) {
        expected_at = e;
        break;
      }
    }
    const auto got = edge_at(c.mesh, x, y);
    ASSERT_EQ(got.has_value(), expected_at.has_value()) << x << " " << y;
    if (got) {
      ++hits;
      EXPECT_EQ(MeshEdge(got->a, got->b), *expected_at);
    }
    const double r = (q % 3 == 0) ? 0.001 : 0.75;
    bool expected_near = false;
    for (const MeshEdge& e : edges)
      if (fixed.contains(e) && segment_distance(e, x, y) < r) expected_near = true;
    EXPECT_EQ(edges_near(c.mesh, x, y, r), expected_near) << x << " " << y << " " << r;
  }
  EXPECT_GT(hits, 100);
}

}  // namespace
}  // namespace qm::mesh
