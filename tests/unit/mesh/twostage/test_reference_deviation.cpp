#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

#include "faces_pipeline.hpp"
#include "base/fault.hpp"
#include "mesh/grid/cell_grid.hpp"
#include "mesh/twostage/deviation.hpp"

namespace qm::mesh {
namespace {

// A reference model made by hand inside the one 8-unit cell (0, 0): the given points (of which only
// those listed in `registered` are in the point grid) and edges.
ReferenceModel one_cell_model(std::vector<ReferencePoint> points, std::vector<ReferenceEdge> edges,
                              std::vector<std::uint32_t> registered) {
  ReferenceModel m;
  m.points = std::move(points);
  m.edges = std::move(edges);
  m.edge_angles.assign(m.edges.size(), 0.0);
  auto one_cell = [](std::vector<std::uint32_t> items) {
    ReferenceGrid g;
    g.w = g.h = 1;
    g.offsets = {0, static_cast<std::uint32_t>(items.size())};
    g.items = std::move(items);
    return g;
  };
  std::vector<std::uint32_t> all_edges;
  for (std::uint32_t e = 0; e < m.edges.size(); ++e) all_edges.push_back(e);
  m.point_grid = one_cell(std::move(registered));
  m.edge_grid = one_cell(std::move(all_edges));
  m.triangle_grid = one_cell({});
  return m;
}

// The probed triangle: its height is (y - 0.5) / 7, so 0 along a-b and 1 at c.
const Point3 kA{0.5, 0.5, 0.0};
const Point3 kB{7.5, 0.5, 0.0};
const Point3 kC{0.5, 7.5, 1.0};

Deviation probe(const ReferenceModel& m, Point3 a = kA, Point3 b = kB, Point3 c = kC) {
  std::vector<std::uint32_t> scratch;
  return probe_triangle(m, a, b, c, scratch);
}

TEST(DeviationProbe, DegenerateAndFeaturelessTriangles) {
  // A point inside with a large error, but the triangle is flat: nothing is looked at.
  const ReferenceModel m = one_cell_model({{2, 2, 5}}, {}, {0});
  const Deviation collinear = probe(m, {0, 0, 0}, {1, 1, 0}, {3, 3, 0});
  EXPECT_EQ(collinear.kind, Deviation::kNothing);
  EXPECT_EQ(collinear.error, 0.0);

  // On the reference plane z = 0, no point inside, an edge crossing with error 0.
  const ReferenceModel flat = one_cell_model({{0.1, 0.1, 0}, {7.9, 7.9, 0}, {7.9, 0.1, 0}}, {{0, 2}, {2, 1}}, {0, 1, 2});
  const Deviation d = probe(flat, kA, kB, {0.5, 7.5, 0.0});
  EXPECT_EQ(d.kind, Deviation::kNothing);
  EXPECT_EQ(d.error, 0.0);

  // Nothing of the reference near.
  EXPECT_EQ(probe(ReferenceModel{}).kind, Deviation::kNothing);
}

TEST(DeviationProbe, PointsOnSidesCountCornersOfCrossingsDoNot) {
  // A point exactly on side a-b.
  const ReferenceModel on_side = one_cell_model({{4, 0.5, 0.2}}, {}, {0});
  const Deviation d = probe(on_side);
  EXPECT_EQ(d.kind, Deviation::kPoint);
  EXPECT_DOUBLE_EQ(d.error, 0.2);
  EXPECT_EQ(d.index, 0u);
  EXPECT_EQ(d.x, 4.0);
  EXPECT_EQ(d.z_ref, 0.2);

  // An edge that ends exactly on side a-b (u = 0) crosses it; its end points are not registered.
  const ReferenceModel ends_on_side = one_cell_model({{4, 0.5, 0.3}, {4, 0.1, 0.3}}, {{0, 1}}, {});
  const Deviation e = probe(ends_on_side);
  EXPECT_EQ(e.kind, Deviation::kCrossing);
  EXPECT_DOUBLE_EQ(e.error, 0.3);
  EXPECT_DOUBLE_EQ(e.x, 4.0);
  EXPECT_DOUBLE_EQ(e.y, 0.5);

  // An edge through corner a (t = 0 on a-b, t = 1 on c-a) and one parallel to a-b: nothing.
  const ReferenceModel corner = one_cell_model({{0.5, 0.5, 3}, {0.1, 0.1, 3}, {1, 0.5, 2}, {3, 0.5, 2}},
                                               {{0, 1}, {2, 3}}, {});
  EXPECT_EQ(probe(corner).kind, Deviation::kNothing);
}

TEST(DeviationProbe, APointWinsANearTieWithACrossing) {
  struct Case {
    double crossing_error;
    std::uint32_t kind;
  };
  for (const Case& k : {Case{0.3000005, Deviation::kPoint}, Case{0.31, Deviation::kCrossing}}) {
    SCOPED_TRACE(k.crossing_error);
    // The point (2, 2.6) lies 0.3 below the triangle; the flat edge at y crosses sides b-c and c-a
    // where the triangle stands at crossing_error.
    const double y = 0.5 + 7 * k.crossing_error;
    const ReferenceModel m = one_cell_model({{2, 2.6, 0}, {0.1, y, 0}, {7.9, y, 0}}, {{1, 2}}, {0, 1, 2});
    const Deviation d = probe(m);
    EXPECT_EQ(d.kind, k.kind);
    if (k.kind == Deviation::kPoint) {
      EXPECT_NEAR(d.error, 0.3, 1e-12);
      EXPECT_EQ(d.index, 0u);
    } else {
      EXPECT_NEAR(d.error, 0.31, 1e-12);
      EXPECT_NEAR(d.x + d.y, 8.0, 1e-12);  // on side b-c, met before c-a
    }
  }
}

TEST(DeviationProbe, EqualCrossingsKeepTheFirstMet) {
  // Two edges crossing side a-b (height 0) at reference height 0.4; their upper ends lie inside but
  // are not registered.
  const ReferenceModel m = one_cell_model({{5, 0.1, 0.4}, {5, 0.9, 0.4}, {2, 0.1, 0.4}, {2, 0.9, 0.4}},
                                          {{0, 1}, {2, 3}}, {});
  const Deviation d = probe(m);
  EXPECT_EQ(d.kind, Deviation::kCrossing);
  EXPECT_EQ(d.index, 0u);
  EXPECT_DOUBLE_EQ(d.x, 5.0);
  EXPECT_DOUBLE_EQ(d.error, 0.4);
}

struct MeshCase {
  ReferenceModel model;
  CellGrid grid = lattice_from_cells({{0, 0}});
  TwostageMesh mesh{&model, grid, 0.0, 0.0};
  std::uint64_t a, b, c;
  // Two points inside the triangle: (2, 2.6) 0.3 off, (4, 1) 0.129 off.
  MeshCase() : model(one_cell_model({{2, 2.6, 0}, {4, 1, 0.2}}, {}, {0, 1})) {
    a = add_vertex(mesh, kA, VertexSource::inserted());
    b = add_vertex(mesh, kB, VertexSource::inserted());
    c = add_vertex(mesh, kC, VertexSource::inserted());
  }
};

TEST(DeviationProbe, FeaturesNearAFixedEdgeDoNotCountForAFixedTriangle) {
  MeshCase s;
  std::vector<std::uint32_t> scratch;
  // A fixed edge from a through (2, 2.6).
  const std::uint64_t d = add_vertex(s.mesh, {3.5, 4.7, 0.0}, VertexSource::inserted());
  add_edge(s.mesh, s.a, d, true);
  EXPECT_EQ(check_triangle(s.mesh, s.a, s.b, s.c, scratch).index, 0u);  // no fixed vertex: no test
  s.mesh.fixed[s.b] = 1;
  const Deviation next = check_triangle(s.mesh, s.a, s.b, s.c, scratch);
  EXPECT_EQ(next.kind, Deviation::kPoint);
  EXPECT_EQ(next.index, 1u);
  EXPECT_NEAR(next.error, 0.2 - 0.5 / 7, 1e-12);
  // A second fixed edge through (4, 1): nothing is left.
  const std::uint64_t e = add_vertex(s.mesh, {4, 0.9995, 0}, VertexSource::inserted());
  const std::uint64_t f = add_vertex(s.mesh, {6, 0.9995, 0}, VertexSource::inserted());
  add_edge(s.mesh, e, f, true);
  EXPECT_EQ(check_triangle(s.mesh, s.a, s.b, s.c, scratch).kind, Deviation::kNothing);
  EXPECT_THROW((void)check_triangle(s.mesh, s.a, s.b, 99, scratch), Fault);
}

TEST(DeviationProbe, MemoMeasuresEachVertexSetOnce) {
  MeshCase s;
  std::vector<std::uint32_t> scratch;
  DeviationMemo memo;
  const Deviation first = triangle_deviation(s.mesh, s.c, s.a, s.b, memo, scratch);
  EXPECT_EQ(memo.size(), 1u);
  EXPECT_EQ(memo.begin()->first, (DeviationKey{s.a, s.b, s.c}));
  EXPECT_EQ(first.index, 0u);
  // Changing the mesh now does not change the remembered answer of the same set.
  s.mesh.positions[s.c][2] = 5.0;
  const Deviation again = triangle_deviation(s.mesh, s.b, s.c, s.a, memo, scratch);
  EXPECT_EQ(memo.size(), 1u);
  EXPECT_EQ(again.error, first.error);
  EXPECT_EQ(again.index, first.index);
  EXPECT_NE(check_triangle(s.mesh, s.a, s.b, s.c, scratch).error, first.error);
}

// Against sampled terrains: the probe's worst deviation is the worst of a dense sampling of the
// triangle against the reference surface, its position and reference height are true, and the
// memo gives the same answer.
TEST(DeviationProbe, MatchesDenseSampling) {
  struct Case {
    fixture::Terrain terrain;
    double x_lo, x_hi, y_lo, y_hi;  // where the triangles' centres lie
  };
  // The pyramid's triangles around its apex (37.3, 81.7), so that they span its creases.
  for (const Case& k : {Case{fixture::pyramid(), 20, 55, 65, 100}, Case{fixture::triangle_mesh(), 2, 190, 2, 190}}) {
    const fixture::Terrain& terrain = k.terrain;
    SCOPED_TRACE(terrain.name);
    fixture::FakeHost host(terrain);
    const fixture::Pipeline p = fixture::run_pipeline(fixture::rect_cells(0, 0, 3, 3), host);
    const ReferenceModel m = reference_build(p.pieces);
    const double ox = p.refined.points.origin_x;
    const double oy = p.refined.points.origin_y;
    const CellGrid grid = lattice_from_cells({{0, 0}, {0, 1}, {0, 2}, {1, 0}, {1, 1}, {1, 2}, {2, 0}, {2, 1}, {2, 2}});
    TwostageMesh mesh(&m, grid, ox, oy);
    std::mt19937_64 rng(5);
    std::uniform_real_distribution<double> centre_x(k.x_lo, k.x_hi), centre_y(k.y_lo, k.y_hi);
    std::uniform_real_distribution<double> size(5.0, 40.0);
    std::vector<std::uint32_t> scratch;
    DeviationMemo memo;
    int found = 0;
    double worst = 0.0;
    for (int i = 0; i < 25; ++i) {
      // Corners on the reference surface, so that the worst deviation lies at a feature.
      const double cx = centre_x(rng) - ox, cy = centre_y(rng) - oy, s = size(rng);
      std::array<Point3, 3> t;
      for (int k = 0; k < 3; ++k) {
        const double angle = 2.1 * k + i;
        const double x = std::clamp(cx + s * std::cos(angle), 0.5 - ox, 191.5 - ox);
        const double y = std::clamp(cy + s * std::sin(angle), 0.5 - oy, 191.5 - oy);
        t[k] = {x, y, reference_height(m, x, y)};
      }
      const Deviation d = probe_triangle(m, t[0], t[1], t[2], scratch);
      double dense = 0.0;
      constexpr int n = 300;
      for (int u = 0; u <= n; ++u) {
        for (int v = 0; u + v <= n; ++v) {
          const double l1 = double(u) / n, l2 = double(v) / n, l3 = 1.0 - l1 - l2;
          const double x = l1 * t[0][0] + l2 * t[1][0] + l3 * t[2][0];
          const double y = l1 * t[0][1] + l2 * t[1][1] + l3 * t[2][1];
          const double z = l1 * t[0][2] + l2 * t[1][2] + l3 * t[2][2];
          dense = std::max(dense, std::fabs(z - reference_height(m, x, y)));
        }
      }
      // The sampling step is at most 0.25; the slopes of the triangle and the reference differ by
      // well under 1 on average near a feature.
      EXPECT_LE(dense, d.error + 1e-9) << i;
      EXPECT_LE(d.error, dense + 0.2) << i;
      worst = std::max(worst, d.error);
      if (d.kind != Deviation::kNothing) {
        ++found;
        EXPECT_NEAR(d.z_ref, reference_height(m, d.x, d.y), 1e-6) << i;
        const Barycentric w = barycentric(t[0], t[1], t[2], d.x, d.y);
        EXPECT_NEAR(d.error, std::fabs(w.l1 * t[0][2] + w.l2 * t[1][2] + w.l3 * t[2][2] - d.z_ref), 1e-6) << i;
      }
      // The same through the working mesh and its memo, in any corner order.
      const std::uint64_t a = add_vertex(mesh, t[0], VertexSource::inserted());
      const std::uint64_t b = add_vertex(mesh, t[1], VertexSource::inserted());
      const std::uint64_t c = add_vertex(mesh, t[2], VertexSource::inserted());
      const Deviation via_memo = triangle_deviation(mesh, c, a, b, memo, scratch);
      EXPECT_NEAR(via_memo.error, d.error, 1e-9) << i;
      EXPECT_EQ(triangle_deviation(mesh, b, a, c, memo, scratch).error, via_memo.error);
    }
    EXPECT_GT(found, 15);
    EXPECT_GT(worst, 1.0);
    EXPECT_EQ(memo.size(), 25u);
  }
}

}  // namespace
}  // namespace qm::mesh
