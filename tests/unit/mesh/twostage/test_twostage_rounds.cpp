#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

#include "mesh/grid/cell_grid.hpp"
#include "mesh/twostage/insert.hpp"
#include "mesh/twostage/rounds.hpp"
#include "mesh/twostage/triangulate.hpp"
#include "terrain_fixture.hpp"
#include "twostage_fixture.hpp"

namespace qm::mesh {
namespace {

bool never_stop(const void*) { return false; }
bool always_stop(const void*) { return true; }
const StopCheck kRun{nullptr, &never_stop};
const StopCheck kStop{nullptr, &always_stop};

// The height of the triangle list at (x, y): the first triangle holding the point.
std::optional<double> mesh_height(const TwostageMesh& mesh, const std::vector<MeshTriangle>& triangles, double x,
                                  double y) {
  for (const MeshTriangle& t : triangles) {
    const Point3& a = mesh.vertex(t[0]);
    const Point3& b = mesh.vertex(t[1]);
    const Point3& c = mesh.vertex(t[2]);
    const double det = (b[1] - c[1]) * (a[0] - c[0]) + (c[0] - b[0]) * (a[1] - c[1]);
    if (std::fabs(det) < 1e-12) continue;
    const double l1 = ((b[1] - c[1]) * (x - c[0]) + (c[0] - b[0]) * (y - c[1])) / det;
    const double l2 = ((c[1] - a[1]) * (x - c[0]) + (a[0] - c[0]) * (y - c[1])) / det;
    const double l3 = 1.0 - l1 - l2;
    if (l1 >= -1e-9 && l2 >= -1e-9 && l3 >= -1e-9) return l1 * a[2] + l2 * b[2] + l3 * c[2];
  }
  return std::nullopt;
}

// The four corners of every outer cell side, as a plain border would seed them.
void seed_rectangle(TwostageMesh& mesh, double x0, double y0, double x1, double y1,
                    const std::function<double(double, double)>& height) {
  const double xs[] = {x0, x1, x1, x0};
  const double ys[] = {y0, y0, y1, y1};
  std::uint64_t v[4];
  for (int i = 0; i < 4; ++i) v[i] = add_vertex(mesh, {xs[i], ys[i], height(xs[i], ys[i])}, VertexSource::inserted());
  for (int i = 0; i < 4; ++i) add_edge(mesh, v[i], v[(i + 1) % 4], false);
}

struct TerrainCase {
  const char* name;
  fixture::Terrain terrain;
  std::vector<fixture::PlaneSpec> planes;  // the terrain as the min of these planes (world coordinates)
};

std::vector<TerrainCase> terrain_cases() {
  // Ridge: 200 - 0.3 |x - 36.5| + 0.01 y. Pyramid: 300 - 0.5 max(|x - 37.3|, |y - 81.7|).
  return {
      {"ridge", fixture::ridge(), {{200.0 - 0.3 * 36.5, 0.3, 0.01}, {200.0 + 0.3 * 36.5, -0.3, 0.01}}},
      {"pyramid",
       fixture::pyramid(),
       {{300.0 + 0.5 * 37.3, -0.5, 0.0},
        {300.0 - 0.5 * 37.3, 0.5, 0.0},
        {300.0 + 0.5 * 81.7, 0.0, -0.5},
        {300.0 - 0.5 * 81.7, 0.0, 0.5}}},
  };
}

// The rounds bring a piece seeded only at its corners within 0.25 of the terrain everywhere; the
// check samples the final triangles densely against the terrain's own analytic heights.
TEST(TwostageRounds, BringARidgeAndAPyramidWithinTolerance) {
  const double ox = 16.0, oy = -8.0;  // the piece origin: local = world - origin
  for (const TerrainCase& tc : terrain_cases()) {
    SCOPED_TRACE(tc.name);
    std::vector<fixture::PlaneSpec> local;
    for (const auto& p : tc.planes) local.push_back({p.c + p.a * ox + p.b * oy, p.a, p.b});
    const auto surface = fixture::min_of_planes(local, -ox, -oy, 128.0 - ox, 128.0 - oy);
    const ReferenceModel reference = fixture::polygon_reference(surface.polygons, surface.height);
    const CellGrid grid = lattice_from_cells(fixture::rect_cells(0, 0, 2, 2));
    TwostageMesh mesh(&reference, grid, ox, oy);
    seed_rectangle(mesh, -ox, -oy, 128.0 - ox, 128.0 - oy, surface.height);
    DeviationMemo memo;
    std::vector<std::uint32_t> scratch;
    const auto result = twostage_rounds(mesh, {}, memo, scratch, kRun);
    ASSERT_TRUE(result);
    EXPECT_EQ(result->triangles_over, 0u);
    EXPECT_EQ(result->worst_error, 0.0);
    EXPECT_GT(result->last_round, 1u);
    EXPECT_LT(result->last_round, 100u);
    double area = 0.0;
    for (const MeshTriangle& t : result->triangles) {
      const Point3& a = mesh.vertex(t[0]);
      const Point3& b = mesh.vertex(t[1]);
      const Point3& c = mesh.vertex(t[2]);
      const double det = (b[0] - a[0]) * (c[1] - a[1]) - (b[1] - a[1]) * (c[0] - a[0]);
      EXPECT_GT(det, 1e-9);  // counter-clockwise, not degenerate
      area += 0.5 * det;
    }
    EXPECT_NEAR(area, 128.0 * 128.0, 1e-6);
    double worst = 0.0;
    for (int i = 0; i <= 256; ++i)
      for (int j = 0; j <= 256; ++j) {
        const double wx = i * 0.5, wy = j * 0.5;
        const auto h = mesh_height(mesh, result->triangles, wx - ox, wy - oy);
        ASSERT_TRUE(h) << wx << " " << wy;
        worst = std::max(worst, std::fabs(*h - *tc.terrain.height(wx, wy)));
      }
    EXPECT_LE(worst, 0.25 + 0.01);
    // Every vertex the rounds added carries its stage code.
    for (std::size_t v = 4; v < mesh.vertex_count(); ++v) EXPECT_TRUE(mesh.stages[v] >= 2 && mesh.stages[v] <= 4);
  }
}

TEST(TwostageRounds, AMeshWithinToleranceEndsAfterTheFirstRound) {
  const auto surface = fixture::min_of_planes({{10.0, 0.1, 0.2}}, 0.0, 0.0, 64.0, 64.0);
  const ReferenceModel reference = fixture::polygon_reference(surface.polygons, surface.height);
  const CellGrid grid = lattice_from_cells({{0, 0}});
  TwostageMesh mesh(&reference, grid, 0.0, 0.0);
  seed_rectangle(mesh, 0.0, 0.0, 64.0, 64.0, surface.height);
  DeviationMemo memo;
  std::vector<std::uint32_t> scratch;
  const auto result = twostage_rounds(mesh, {}, memo, scratch, kRun);
  ASSERT_TRUE(result);
  EXPECT_EQ(result->last_round, 1u);
  EXPECT_EQ(result->triangles.size(), 2u);
  EXPECT_EQ(mesh.vertex_count(), 4u);
  EXPECT_EQ(result->triangles_over, 0u);
  EXPECT_EQ(result->fixed_triangles_over, 0u);
  // A stop is seen at the start of the first round.
  TwostageMesh again(&reference, grid, 0.0, 0.0);
  seed_rectangle(again, 0.0, 0.0, 64.0, 64.0, surface.height);
  EXPECT_FALSE(twostage_rounds(again, {}, memo, scratch, kStop));
}

TEST(TwostageRounds, CornersKeepLowErrorPointsAway) {
  // A pyramid whose apex is a corner: with the corner listed, a small bump near it (error at most
  // 1.0) gets no new vertex within 3.0 of the corner.
  const std::vector<fixture::PlaneSpec> planes = {
      {30.0 + 0.02 * 32.0, -0.02, 0.0}, {30.0 - 0.02 * 32.0, 0.02, 0.0},
      {30.0 + 0.02 * 32.0, 0.0, -0.02}, {30.0 - 0.02 * 32.0, 0.0, 0.02}};
  const auto surface = fixture::min_of_planes(planes, 0.0, 0.0, 64.0, 64.0);
  const ReferenceModel reference = fixture::polygon_reference(surface.polygons, surface.height);
  const CellGrid grid = lattice_from_cells({{0, 0}});
  TwostageMesh mesh(&reference, grid, 0.0, 0.0);
  seed_rectangle(mesh, 0.0, 0.0, 64.0, 64.0, surface.height);
  DeviationMemo memo;
  std::vector<std::uint32_t> scratch;
  const auto result = twostage_rounds(mesh, {{32.0, 32.0, 30.0}}, memo, scratch, kRun);
  ASSERT_TRUE(result);
  for (std::size_t v = 4; v < mesh.vertex_count(); ++v)
    EXPECT_GT(std::hypot(mesh.vertex(v)[0] - 32.0, mesh.vertex(v)[1] - 32.0), 3.0);
  // The apex deviates by 0.64 and cannot be reached: it is counted over tolerance.
  EXPECT_GE(result->triangles_over, 1u);
  EXPECT_NEAR(result->worst_error, 0.64, 1e-9);
}

TEST(TwostageRounds, SpacingHelpersFollowTheirBoundaries) {
  const CornerBuckets buckets = corner_buckets({{10.0, 10.0, 0.0}});
  const std::int64_t col = corner_bucket(13.0), row = corner_bucket(10.0);
  EXPECT_TRUE(near_stored_point(row, buckets, 13.0, 10.0, col - 1));  // exactly 3.0: blocks
  EXPECT_FALSE(near_stored_point(row, buckets, 13.0000001, 10.0, col - 1));
  EXPECT_FALSE(near_stored_point(std::numeric_limits<std::int64_t>::max(), buckets, 10.0, 10.0, 3));
  const CellGrid grid = lattice_from_cells({{0, 0}});
  TwostageMesh mesh(nullptr, grid, 0.0, 0.0);
  add_vertex(mesh, {4.0, 4.0, 0.0}, VertexSource::inserted());
  EXPECT_FALSE(near_listed_vertex(mesh, 0, 4.5, 4.0, 0));  // exactly 0.5 passes
  EXPECT_TRUE(near_listed_vertex(mesh, 0, 4.4999, 4.0, 0));
  EXPECT_FALSE(near_listed_vertex(mesh, 1, 4.4999, 4.0, 0));
}

}  // namespace
}  // namespace qm::mesh
