#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <vector>

#include "mesh/grid/cell_grid.hpp"
#include "mesh/twostage/deviation.hpp"
#include "mesh/reference/reference.hpp"
#include "mesh/build/piece_build.hpp"
#include "mesh/twostage/flips.hpp"
#include "mesh/twostage/removal.hpp"
#include "mesh/twostage/working_mesh.hpp"
#include "twostage_fixture.hpp"
#include "twostage_triangles.hpp"

namespace qm::mesh {
namespace {

using test::Tri;

// A 10 by 10 piece over the reference surface `surface`, with the given vertices (heights from
// the surface) appended at the given stage codes.
struct Piece {
  fixture::PlanesSurface surface;
  ReferenceModel reference;
  CellGrid grid = lattice_from_cells({{0, 0}});
  TwostageMesh mesh;
  std::vector<std::uint32_t> scratch;
  std::atomic<bool> cancel{false};
  std::atomic<bool> stop{false};
  StopFlags flags{&cancel, &stop};
  StopCheck poll = scheme_stop_check(flags);

  Piece(const std::vector<fixture::PlaneSpec>& planes, const std::vector<std::array<double, 2>>& points,
        const std::vector<std::uint8_t>& stages)
      : surface(fixture::min_of_planes(planes, 0, 0, 10, 10)),
        reference(fixture::polygon_reference(surface.polygons, surface.height)),
        mesh(&reference, grid, 0.0, 0.0) {
    for (std::size_t i = 0; i < points.size(); ++i) {
      mesh.stage = stages[i];
      add_vertex(mesh, {points[i][0], points[i][1], surface.height(points[i][0], points[i][1])},
                 VertexSource::inserted());
    }
  }
};

const std::vector<std::array<double, 2>> kSquareAndCentre{{0, 0}, {10, 0}, {10, 10}, {0, 10}, {5, 5}};
const std::vector<Tri> kFan{{0, 1, 4}, {1, 2, 4}, {2, 3, 4}, {3, 0, 4}};

TEST(TwostageRemoveStage, ARoundVertexOnAFlatSurfaceGoes) {
  Piece piece({{1.0, 0.02, -0.01}}, kSquareAndCentre, {0, 0, 0, 0, 2});
  std::vector<Tri> tris = kFan;
  EXPECT_EQ(twostage_remove(piece.mesh, tris, piece.scratch, piece.poll), 1u);
  EXPECT_EQ(tris.size(), 2u);
  test::expect_same_region(piece.mesh.vertices, kFan, tris);
}

TEST(TwostageRemoveStage, ThePeakOfAPyramidStays) {
  // Four planes meeting at (5, 5) at height 5: without the peak the surface would be 5 off.
  Piece piece({{0, 1, 0}, {10, -1, 0}, {0, 0, 1}, {10, 0, -1}}, kSquareAndCentre, {0, 0, 0, 0, 2});
  std::vector<Tri> tris = kFan;
  EXPECT_EQ(twostage_remove(piece.mesh, tris, piece.scratch, piece.poll), 0u);
  EXPECT_EQ(tris, kFan);
}

TEST(TwostageRemoveStage, AStopRequestIsSeenOnTheFirstVisit) {
  Piece piece({{1.0, 0.0, 0.0}}, kSquareAndCentre, {0, 0, 0, 0, 2});
  piece.stop = true;
  std::vector<Tri> tris = kFan;
  EXPECT_EQ(twostage_remove(piece.mesh, tris, piece.scratch, piece.poll), std::nullopt);
  EXPECT_EQ(tris, kFan);
}

TEST(TwostageRemoveStage, HolesThroughTheConstrainedTriangulation) {
  // An L-shaped ring: the fill keeps to the inside of the notch.
  const std::vector<std::uint64_t> ring{0, 1, 2, 3, 4, 5};
  const std::vector<std::array<double, 2>> pts{{0, 0}, {2, 0}, {2, 1}, {1, 1}, {1, 2}, {0, 2}};
  const auto filled = triangulate_hole(ring, pts);
  ASSERT_TRUE(filled.has_value());
  ASSERT_EQ(filled->size(), 4u);
  std::vector<test::P3> v;
  for (const auto& p : pts) v.push_back({p[0], p[1], 0});
  double area = 0.0;
  for (const Tri& t : *filled) {
    EXPECT_GT(test::signed_area(v, t), 0.0);
    area += test::signed_area(v, t);
  }
  EXPECT_DOUBLE_EQ(area, 3.0);

  // Two ring points at one place, and a point the triangulation refuses: no fill.
  const std::vector<std::array<double, 2>> doubled{{0, 0}, {2, 0}, {2, 2}, {2, 2}};
  EXPECT_EQ(triangulate_hole(std::vector<std::uint64_t>{0, 1, 2, 3}, doubled), std::nullopt);
  const std::vector<std::array<double, 2>> refused{{0, 0}, {2, 0}, {std::nan(""), 2}};
  EXPECT_EQ(triangulate_hole(std::vector<std::uint64_t>{0, 1, 2}, refused), std::nullopt);
  // A ring that crosses itself: its sides conflict.
  const std::vector<std::array<double, 2>> bow{{0, 0}, {2, 2}, {2, 0}, {0, 2}};
  EXPECT_EQ(triangulate_hole(std::vector<std::uint64_t>{0, 1, 2, 3}, bow), std::nullopt);
}

// The crease of z = min(x, y) runs along the diagonal from (0, 0) to (10, 10).
const std::vector<fixture::PlaneSpec> kValley{{0, 1, 0}, {0, 0, 1}};

TEST(TwostageFlipStage, ADiagonalTurnsToFollowTheCrease) {
  Piece piece(kValley, {{0, 0}, {10, 0}, {10, 10}, {0, 10}}, {0, 0, 0, 0});
  const std::vector<Tri> before{{0, 1, 3}, {1, 2, 3}};
  std::vector<Tri> tris = before;
  DeviationMemo memo;
  FlipCostMemo costs;
  double cost_before = 0.0;
  for (const Tri& t : before) cost_before += triangle_cost(costs, piece.mesh, memo, t, piece.scratch).cost;
  EXPECT_GT(cost_before, 0.0);

  EXPECT_EQ(twostage_flips(piece.mesh, tris, memo, piece.scratch, piece.poll), 1u);
  test::expect_same_region(piece.mesh.vertices, before, tris);
  double cost_after = 0.0;
  for (const Tri& t : tris) {
    EXPECT_TRUE(std::find(t.begin(), t.end(), 0u) != t.end() && std::find(t.begin(), t.end(), 2u) != t.end());
    cost_after += triangle_cost(costs, piece.mesh, memo, t, piece.scratch).cost;
  }
  EXPECT_LT(cost_after, cost_before * 0.999);
}

TEST(TwostageFlipStage, MeshEdgesAndStopRequestsHoldTheDiagonal) {
  {
    Piece piece(kValley, {{0, 0}, {10, 0}, {10, 10}, {0, 10}}, {0, 0, 0, 0});
    add_edge(piece.mesh, 1, 3, false);
    std::vector<Tri> tris{{0, 1, 3}, {1, 2, 3}};
    DeviationMemo memo;
    EXPECT_EQ(twostage_flips(piece.mesh, tris, memo, piece.scratch, piece.poll), 0u);
  }
  {
    Piece piece(kValley, {{0, 0}, {10, 0}, {10, 10}, {0, 10}}, {0, 0, 0, 0});
    piece.cancel = true;
    std::vector<Tri> tris{{0, 1, 3}, {1, 2, 3}};
    DeviationMemo memo;
    EXPECT_EQ(twostage_flips(piece.mesh, tris, memo, piece.scratch, piece.poll), std::nullopt);
  }
}

TEST(TwostageFlipStage, CostOfATriangleOffTheReferenceIsZero) {
  Piece piece(kValley, {{20, 20}, {30, 20}, {20, 30}}, {0, 0, 0});
  DeviationMemo memo;
  FlipCostMemo costs;
  const FlipCost c = triangle_cost(costs, piece.mesh, memo, {0, 1, 2}, piece.scratch);
  EXPECT_EQ(c.cost, 0.0);
  // Asked in another vertex order, the memoised record comes back.
  EXPECT_EQ(triangle_cost(costs, piece.mesh, memo, {2, 0, 1}, piece.scratch).cost, 0.0);
  EXPECT_EQ(costs.size(), 1u);
}

}  // namespace
}  // namespace qm::mesh
