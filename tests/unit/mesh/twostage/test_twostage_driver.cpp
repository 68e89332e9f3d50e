#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <map>
#include <set>
#include <vector>

#include "base/fault.hpp"
#include "base/span.hpp"
#include "mesh/grid/cell_grid.hpp"
#include "mesh/twostage/triangulate.hpp"
#include "mesh/build/piece_build.hpp"
#include "mesh/twostage/twostage.hpp"
#include "terrain_fixture.hpp"
#include "twostage_fixture.hpp"

namespace qm::mesh {
namespace {

const std::atomic<bool> kClear{false};
const std::atomic<bool> kSet{true};
const StopFlags kRunFlags{&kClear, &kClear};
const StopFlags kStopFlags{&kClear, &kSet};
const StopCheck kRun = scheme_stop_check(kRunFlags);
const StopCheck kStop = scheme_stop_check(kStopFlags);

double flat(double, double) { return 50.0; }

struct SeedCase {
  CellGrid grid = lattice_from_cells({{0, 0}, {1, 0}});
  ReferenceModel reference = fixture::polygon_reference({{{0, 0}, {128, 0}, {128, 64}, {0, 64}}}, flat);
  TwostageMesh mesh{&reference, grid, 0.0, 0.0};
};

TEST(TwostageSeed, SeedsFixedLinesFirstAndSharesVerticesByKey) {
  SeedCase c;
  const std::vector<SeedLine> lines = {
      {{{0.0, 64.0, 1.0}, {0.0, 0.0, 2.0}}, 0},                       // plain: meets the fixed corner
      {{{0.0, 0.0, 7.0}, {32.0, 0.0, 8.0}, {64.0, 0.0, 9.0}}, 1},     // fixed
      {{{64.0, 0.0, 9.0}, {64.0002, 0.0001, 9.5}}, 1},                 // one key twice: no edge
      {{{32.0, 0.0, 8.0}, {64.0, 0.0, 9.0}}, 1},                      // the same fixed points again
      {{}, 1},
      {{{100.0, 30.0, 3.0}}, 0},                                       // one point
  };
  seed_mesh(c.mesh, lines);
  ASSERT_EQ(c.mesh.vertex_count(), 5u);
  // The fixed line's vertices come first, flagged, with the reference height as their probe height.
  EXPECT_EQ(c.mesh.vertices[0], (Point3{0.0, 0.0, 7.0}));
  EXPECT_EQ(c.mesh.fixed, (std::vector<std::uint8_t>{1, 1, 1, 0, 0}));
  EXPECT_EQ(c.mesh.positions[0], (Point3{0.0, 0.0, 50.0}));
  EXPECT_EQ(c.mesh.positions[3], c.mesh.vertices[3]);
  EXPECT_EQ(c.mesh.sources[1].tag, VertexSource::kSeed);
  EXPECT_EQ(c.mesh.sources[1].world, (Point3{32.0, 0.0, 8.0}));
  EXPECT_EQ(c.mesh.edges, (EdgeSet{{0, 1}, {0, 3}, {1, 2}}));
  EXPECT_EQ(c.mesh.fixed_edges, (EdgeSet{{0, 1}, {1, 2}}));
  EXPECT_EQ(c.mesh.stages, (std::vector<std::uint8_t>(5, 0)));
}

TEST(TwostageSeed, NoSeedLinesGiveAnEmptyResult) {
  SeedCase c;
  const auto result = twostage(c.reference, 0, 0, CreaseSet{}, c.grid, {}, kRun);
  ASSERT_TRUE(result);
  EXPECT_EQ(result->seed_vertices, 0u);
  EXPECT_TRUE(result->vertices.empty());
  EXPECT_TRUE(result->triangles.empty());
  const std::vector<SeedLine> lines = {{{{0.0, 0.0, 1.0}, {128.0, 0.0, 1.0}, {128.0, 64.0, 1.0}}, 0}};
  EXPECT_FALSE(twostage(c.reference, 0, 0, CreaseSet{}, c.grid, lines, kStop));
}

TEST(TwostageEnd, CompactsUsedVerticesAndRewritesTriangles) {
  SeedCase c;
  c.mesh.origin_x = 1000.0;
  c.mesh.origin_y = -500.0;
  add_vertex(c.mesh, {1.0, 1.0, 1.0}, VertexSource::inserted());                 // unused
  add_vertex(c.mesh, {0.1, 0.2, 3.0}, VertexSource::seed(1000.1, -499.8, 3.0));  // seed: exact world point
  c.mesh.stage = 4;
  add_vertex(c.mesh, {10.0, 0.0, 4.0}, VertexSource::inserted());
  add_vertex(c.mesh, {0.0, 10.0, 5.0}, VertexSource::inserted());
  TwostageResult result;
  compact_result(c.mesh, {{3, 1, 2}, {1, 2, 3}}, result);
  EXPECT_EQ(result.vertices, (std::vector<Point3>{{1000.1, -499.8, 3.0}, {1010.0, -500.0, 4.0}, {1000.0, -490.0, 5.0}}));
  EXPECT_EQ(result.stages, (std::vector<std::uint8_t>{0, 4, 4}));
  EXPECT_EQ(result.triangles, (std::vector<MeshTriangle>{{2, 0, 1}, {0, 1, 2}}));
  std::vector<MeshTriangle> bad{{0, 1, 7}};
  EXPECT_THROW(remap_triangles(bad, {0, 1, 2}), Fault);
}

TEST(TwostageTriangulate, KeepsFacesInsideTheCellsAndDropsConflictingEdges) {
  {
    SeedCase c;  // fewer than three vertices, then three on one line
    add_vertex(c.mesh, {1.0, 1.0, 0.0}, VertexSource::inserted());
    add_vertex(c.mesh, {2.0, 2.0, 0.0}, VertexSource::inserted());
    EXPECT_TRUE(twostage_triangulate(c.mesh).triangles.empty());
    add_vertex(c.mesh, {3.0, 3.0, 0.0}, VertexSource::inserted());
    const auto t = twostage_triangulate(c.mesh);
    EXPECT_TRUE(t.triangles.empty());
    EXPECT_TRUE(t.neighbours.empty());
  }
  SeedCase c;
  // A square inside the cells and a point far outside them: faces reaching out are dropped.
  const double pts[][2] = {{10, 10}, {50, 10}, {50, 50}, {10, 50}, {30, 200}};
  for (const auto& p : pts) add_vertex(c.mesh, {p[0], p[1], 0.0}, VertexSource::inserted());
  add_edge(c.mesh, 0, 2, true);
  add_edge(c.mesh, 1, 3, true);  // crosses 0-2
  const auto t = twostage_triangulate(c.mesh);
  ASSERT_EQ(t.triangles.size(), 2u);
  EXPECT_EQ(c.mesh.edges.size(), 1u);
  EXPECT_EQ(c.mesh.fixed_edges, c.mesh.edges);
  const MeshEdge kept = *c.mesh.edges.begin();
  for (std::size_t i = 0; i < 2; ++i) {
    const MeshTriangle& tri = t.triangles[i];
    const Point3& a = c.mesh.vertex(tri[0]);
    const Point3& b = c.mesh.vertex(tri[1]);
    const Point3& d = c.mesh.vertex(tri[2]);
    EXPECT_GT((b[0] - a[0]) * (d[1] - a[1]) - (b[1] - a[1]) * (d[0] - a[0]), 0.0);
    int present = 0;
    for (int k = 0; k < 3; ++k) {
      const MeshEdge side = mesh_edge(tri[k], tri[(k + 1) % 3]);
      if (t.neighbours[i][k]) {
        ++present;
        EXPECT_EQ(*t.neighbours[i][k], 1 - i);
        EXPECT_EQ(side, kept);  // the two kept faces meet along the kept constraint
      }
    }
    EXPECT_EQ(present, 1);
  }
  // The dropped edge stays out of later triangulations.
  twostage_triangulate(c.mesh);
  EXPECT_EQ(c.mesh.edges.size(), 1u);
}

TEST(TwostageTriangulate, RefusesTwoVerticesAtOnePlace) {
  SeedCase c;
  add_vertex(c.mesh, {1.0, 1.0, 0.0}, VertexSource::inserted());
  add_vertex(c.mesh, {9.0, 1.0, 0.0}, VertexSource::inserted());
  add_vertex(c.mesh, {1.0, 1.0, 0.0}, VertexSource::inserted());
  add_vertex(c.mesh, {5.0, 9.0, 0.0}, VertexSource::inserted());
  try {
    twostage_triangulate(c.mesh);
    FAIL();
  } catch (const Fault& f) {
    EXPECT_EQ(f.message(), "two of the mesh's vertices at one place");
  }
}

double span_count(const char* name) {
  for (const SpanEntry& e : thread_span_table())
    if (std::string_view(e.name) == name) return static_cast<double>(e.count);
  return 0.0;
}

// Whether two counter-clockwise triangles overlap in more than a boundary (separating axis test
// over their six sides, with a small tolerance for shared sides).
bool interiors_overlap(const std::array<Point3, 3>& s, const std::array<Point3, 3>& t) {
  auto separated_by = [](const std::array<Point3, 3>& a, const std::array<Point3, 3>& b) {
    for (int k = 0; k < 3; ++k) {
      const Point3& p = a[k];
      const Point3& q = a[(k + 1) % 3];
      bool all_outside = true;
      for (const Point3& r : b) {
        const double o = (q[0] - p[0]) * (r[1] - p[1]) - (q[1] - p[1]) * (r[0] - p[0]);
        if (o > 1e-9) all_outside = false;
      }
      if (all_outside) return true;
    }
    return false;
  };
  return !separated_by(s, t) && !separated_by(t, s);
}

// End to end: a ridge and a pyramid over an L of three cells, seeded with a fixed border line (as a
// built neighbour would give it) and plain sides elsewhere.
TEST(Twostage, CoversTheGroupsCellsAndKeepsTheFixedBorder) {
  struct Case {
    const char* name;
    fixture::Terrain terrain;
    std::vector<fixture::PlaneSpec> planes;
    double crease_x;  // where a crease of the terrain crosses the bottom side
    // The terrain's creases (world coordinates): from a start point along a direction.
    std::vector<std::array<double, 4>> creases;
    std::uint64_t corners;  // corners the corner stage finds
  };
  const std::vector<Case> cases = {
      {"ridge", fixture::ridge(), {{200.0 - 0.3 * 36.5, 0.3, 0.01}, {200.0 + 0.3 * 36.5, -0.3, 0.01}}, 36.5,
       {{36.5, 0.0, 0.0, 1.0}}, 0},
      {"pyramid",
       fixture::pyramid(),
       {{300.0 + 0.5 * 37.3, -0.5, 0.0},
        {300.0 - 0.5 * 37.3, 0.5, 0.0},
        {300.0 + 0.5 * 81.7, 0.0, -0.5},
        {300.0 - 0.5 * 81.7, 0.0, 0.5}},
       37.3 + 81.7,
       {{37.3, 81.7, 1.0, 1.0}, {37.3, 81.7, -1.0, 1.0}, {37.3, 81.7, 1.0, -1.0}, {37.3, 81.7, -1.0, -1.0}},
       1},
  };
  const std::int32_t ox = 40, oy = 24;
  const std::set<Cell> cells = {{0, 0}, {1, 0}, {0, 1}};
  const CellGrid grid = lattice_from_cells(cells);
  for (const Case& tc : cases) {
    SCOPED_TRACE(tc.name);
    std::vector<fixture::PlaneSpec> local;
    for (const auto& p : tc.planes) local.push_back({p.c + p.a * ox + p.b * oy, p.a, p.b});
    const auto surface = fixture::min_of_planes(local, -ox, -oy, 128.0 - ox, 128.0 - oy);
    const ReferenceModel reference = fixture::polygon_reference(surface.polygons, surface.height);
    auto h = [&](double x, double y) { return *tc.terrain.height(x, y); };
    // The bottom side of the group, fixed, as a built neighbour's mesh gives it: points every 5.3
    // units and at the terrain's crease, heights off by up to 0.1.
    SeedLine bottom{{}, 1};
    for (int i = 0; i <= 24; ++i) {
      const double x = i * 5.3;
      if (x > tc.crease_x && bottom.points.back()[0] < tc.crease_x)
        bottom.points.push_back({tc.crease_x, 0.0, h(tc.crease_x, 0.0) - 0.05});
      bottom.points.push_back({x, 0.0, h(x, 0.0) + 0.1 * std::sin(i)});
    }
    bottom.points.push_back({128.0, 0.0, h(128.0, 0.0)});
    // Plain sides: two end points each.
    auto plain = [&](double x0, double y0, double x1, double y1) {
      return SeedLine{{{x0, y0, h(x0, y0)}, {x1, y1, h(x1, y1)}}, 0};
    };
    const std::vector<SeedLine> lines = {plain(0, 0, 0, 64),    plain(0, 64, 0, 128),  plain(0, 128, 64, 128),
                                         plain(64, 64, 64, 128), plain(64, 64, 128, 64), plain(128, 0, 128, 64),
                                         bottom};
    // Crease lines in local coordinates, a point every 2 units until they leave the square.
    CreaseSet creases;
    for (const auto& [x0, y0, dx, dy] : tc.creases) {
      CreaseLine line;
      for (double s = 0.0;; s += 2.0) {
        const double x = x0 + s * dx, y = y0 + s * dy;
        if (x < 0.0 || x > 128.0 || y < 0.0 || y > 128.0) break;
        line.points.push_back({x - ox, y - oy, h(x, y)});
      }
      creases.lines.push_back(line);
    }
    const double spans_before = span_count("twostage");
    const auto result = twostage(reference, ox, oy, std::move(creases), grid, lines, kRun);
    ASSERT_TRUE(result);
    EXPECT_EQ(result->crease_lines, tc.creases.size());
    EXPECT_EQ(result->corners, tc.corners);
    EXPECT_EQ(span_count("twostage"), spans_before + 1);
    EXPECT_EQ(result->seed_vertices, bottom.points.size() + 5u);
    EXPECT_EQ(result->vertices.size(), result->stages.size());

    // Every fixed point is a vertex of the result, bit for bit.
    for (const auto& p : bottom.points)
      EXPECT_NE(std::find(result->vertices.begin(), result->vertices.end(), p), result->vertices.end());

    // The triangles cover exactly the three cells: counter-clockwise, none degenerate, none
    // overlapping, areas summing to 3 * 4096, every centroid inside a cell.
    std::vector<std::array<Point3, 3>> tris;
    double area = 0.0;
    for (const MeshTriangle& t : result->triangles) {
      std::array<Point3, 3> p{result->vertices.at(t[0]), result->vertices.at(t[1]), result->vertices.at(t[2])};
      const double det = (p[1][0] - p[0][0]) * (p[2][1] - p[0][1]) - (p[1][1] - p[0][1]) * (p[2][0] - p[0][0]);
      EXPECT_GT(det, 1e-9);
      area += 0.5 * det;
      const double cx = (p[0][0] + p[1][0] + p[2][0]) / 3.0, cy = (p[0][1] + p[1][1] + p[2][1]) / 3.0;
      EXPECT_TRUE(cells.contains(Cell{static_cast<std::int32_t>(std::floor(cx / 64.0)),
                                      static_cast<std::int32_t>(std::floor(cy / 64.0))}));
      tris.push_back(p);
    }
    EXPECT_NEAR(area, 3 * 4096.0, 1e-6);
    for (std::size_t i = 0; i < tris.size(); ++i)
      for (std::size_t j = i + 1; j < tris.size(); ++j) EXPECT_FALSE(interiors_overlap(tris[i], tris[j])) << i << " " << j;

    // The consecutive fixed points stay joined by a triangle side.
    std::set<std::pair<Point3, Point3>> sides;
    for (const auto& p : tris)
      for (int k = 0; k < 3; ++k) {
        sides.insert({p[k], p[(k + 1) % 3]});
        sides.insert({p[(k + 1) % 3], p[k]});
      }
    for (std::size_t k = 0; k + 1 < bottom.points.size(); ++k)
      if (bottom.points[k] != bottom.points[k + 1]) {
        EXPECT_TRUE(sides.contains({bottom.points[k], bottom.points[k + 1]}));
      }

    EXPECT_EQ(result->triangles_over, 0u);
    // The mesh follows the terrain within 0.25, plus the fixed heights' own offsets (up to 0.1) in
    // the triangles that reach the fixed border.
    for (const auto& p : tris) {
      const bool on_border = p[0][1] == 0.0 || p[1][1] == 0.0 || p[2][1] == 0.0;
      double worst = 0.0;
      for (double a = 0.0; a <= 1.0; a += 0.1)
        for (double b = 0.0; a + b <= 1.0; b += 0.1) {
          const double c = 1.0 - a - b;
          const double x = a * p[0][0] + b * p[1][0] + c * p[2][0];
          const double y = a * p[0][1] + b * p[1][1] + c * p[2][1];
          worst = std::max(worst, std::fabs(a * p[0][2] + b * p[1][2] + c * p[2][2] - h(x, y)));
        }
      EXPECT_LE(worst, on_border ? 0.36 : 0.26) << p[0][0] << "," << p[0][1] << "," << p[0][2] << " " << p[1][0] << "," << p[1][1] << "," << p[1][2] << " " << p[2][0] << "," << p[2][1] << "," << p[2][2];
    }
  }
}

}  // namespace
}  // namespace qm::mesh
