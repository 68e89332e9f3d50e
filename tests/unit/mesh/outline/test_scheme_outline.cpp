// Side outlines: heights on a stored mesh, its profile along a cell side, and the seed lines of a
// group's outer border.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>

#include "base/fault.hpp"
#include "mesh/outline/outline.hpp"
#include "fault_text.hpp"

namespace qm::mesh {
namespace {

const double kNaN = std::numeric_limits<double>::quiet_NaN();

using qm::testing::fault_text;

// A square of two triangles over [x0, x0 + s] x [y0, y0 + s], with the given corner heights
// (sw, se, ne, nw), split along the diagonal sw-ne.
CellMesh square(double x0, double y0, double s, std::array<double, 4> h) {
  CellMesh m;
  m.vertices = {{x0, y0, h[0]}, {x0 + s, y0, h[1]}, {x0 + s, y0 + s, h[2]}, {x0, y0 + s, h[3]}};
  m.triangles = {{0, 1, 2}, {0, 2, 3}};
  return m;
}

TEST(SchemeOutline, HeightOnAMeshIsTheFirstTriangleThatHoldsThePoint) {
  CellMesh m = square(0, 0, 10, {0, 10, 20, 30});
  EXPECT_EQ(piece_height_at(m, 10, 0), 10.0);
  EXPECT_DOUBLE_EQ(piece_height_at(m, 7.5, 2.5), 0.25 * 0 + 0.5 * 10 + 0.25 * 20);
  EXPECT_TRUE(std::isnan(piece_height_at(m, 10.5, 5)));
  EXPECT_TRUE(std::isnan(piece_height_at(m, kNaN, 5)));
  // On the shared diagonal both triangles hold the point; the first one in list order answers.
  m.vertices.push_back({0, 0, 99});  // the same place as vertex 0, another height
  m.triangles[1] = {4, 2, 3};
  EXPECT_EQ(piece_height_at(m, 0, 0), 0.0);
  std::swap(m.triangles[0], m.triangles[1]);
  EXPECT_EQ(piece_height_at(m, 0, 0), 99.0);
  EXPECT_DOUBLE_EQ(piece_height_at(m, 5, 5), 0.5 * 99 + 0.5 * 20);
  // A flat (zero-area) triangle answers only at its own vertices.
  CellMesh flat;
  flat.vertices = {{0, 0, 1}, {4, 0, 2}, {8, 0, 3}};
  flat.triangles = {{0, 1, 2}};
  EXPECT_EQ(piece_height_at(flat, 4, 0), 2.0);
  EXPECT_TRUE(std::isnan(piece_height_at(flat, 2, 0)));
  flat.triangles = {{0, 1, 3}};
  EXPECT_EQ(fault_text([&] { piece_height_at(flat, 2, 0); }), "index out of bounds: the len is 3 but the index is 3");
}

TEST(SchemeOutline, TriangleEdgesAreDistinctAndAscending) {
  const auto edges = triangle_edges({{2, 0, 1}, {1, 3, 2}, {0, 1, 2}});
  EXPECT_EQ(edges, (std::set<std::pair<std::uint64_t, std::uint64_t>>{{0, 1}, {0, 2}, {1, 2}, {1, 3}, {2, 3}}));
}

TEST(SchemeOutline, OutlineListsVerticesOnTheSideAndEdgeCrossings) {
  // Along the right side x = 64 of cell (0, 0): vertex 2 strictly inside (y = 20, on three edges),
  // vertex 3 within 0.001 of the top end, and edge 6-7 from (60, 40) to (70, 50) crossing the line.
  CellMesh m;
  m.vertices = {{0, 0, 1},  {64, 0, 2},  {64, 20, 3},  {64, 63.9995, 4},
                {64, 64, 7}, {30, 30, 6}, {60, 40, 8}, {70, 50, 10}};
  m.triangles = {{0, 1, 5}, {1, 2, 5}, {5, 2, 6}, {6, 2, 7}, {6, 7, 3}, {3, 7, 4}};
  const Outline right = build_outline(m, PieceSide{64, 0, 0});
  ASSERT_EQ(right.size(), 4u);
  EXPECT_EQ(right[0], (std::array<double, 3>{64, 0, 2}));
  EXPECT_EQ(right[1], (std::array<double, 3>{64, 20, 3}));  // listed once, with its own z
  EXPECT_EQ(right[2][0], 64.0);
  EXPECT_DOUBLE_EQ(right[2][1], 44.0);
  EXPECT_DOUBLE_EQ(right[2][2], 8.8);
  // The end keeps the mesh's height there; the vertex 0.0005 below it is dropped.
  EXPECT_EQ(right[3][1], 64.0);
  EXPECT_EQ(right[3][2], piece_height_at(m, 64, 64));
}

TEST(SchemeOutline, EdgesAlongOrTouchingTheSideAddNoCrossing) {
  // The bottom side y = 0 of cell (0, 0): edge 0-1 lies along it, edge 1-2 touches it at one end.
  CellMesh m;
  m.vertices = {{0, 0, 1}, {30, 0, 2}, {40, 50, 3}, {64, 0, 4}, {0, 64, 5}, {64, 64, 6}};
  m.triangles = {{0, 1, 2}, {1, 3, 2}, {0, 2, 4}, {3, 5, 2}, {2, 5, 4}};
  const Outline bottom = build_outline(m, PieceSide{0, 0, 1});
  EXPECT_EQ(bottom, (Outline{{0, 0, 1}, {30, 0, 2}, {64, 0, 4}}));
  // A side the mesh does not reach: two ends without heights.
  const Outline far = build_outline(m, PieceSide{128, 0, 0});
  ASSERT_EQ(far.size(), 2u);
  EXPECT_EQ(far[0][1], 0.0);
  EXPECT_EQ(far[1][1], 64.0);
  EXPECT_TRUE(std::isnan(far[0][2]) && std::isnan(far[1][2]));
}

TEST(SchemeOutline, ALoneCellGetsFourPlainLinesWithReferenceHeights) {
  const std::set<Cell> cells{{2, -1}};
  std::vector<std::array<double, 2>> asked;
  const auto lines = outline_seed_lines(cells, {}, {}, 100.0, -50.0, [&](double x, double y) {
    asked.push_back({x, y});
    return x * 1000 + y;
  });
  ASSERT_EQ(lines.size(), 4u);
  const double x0 = 128, y0 = -64;
  const Outline expected[4] = {
      {{x0, y0, 28 * 1000 - 14}, {x0, y0 + 64, 28 * 1000 + 50}},
      {{x0 + 64, y0, 92 * 1000 - 14}, {x0 + 64, y0 + 64, 92 * 1000 + 50}},
      {{x0, y0, 28 * 1000 - 14}, {x0 + 64, y0, 92 * 1000 - 14}},
      {{x0, y0 + 64, 28 * 1000 + 50}, {x0 + 64, y0 + 64, 92 * 1000 + 50}},
  };
  for (std::size_t i = 0; i < 4; ++i) {
    EXPECT_EQ(lines[i].fixed, 0u);
    EXPECT_EQ(lines[i].points, expected[i]) << i;
  }
  EXPECT_EQ(asked.size(), 8u);
}

TEST(SchemeOutline, ASideHeldByABuiltPieceCopiesItsOutlineExactly) {
  // The group is cells (0, 0) and (0, 1); piece 7 holds (1, 0) with an irregular mesh.
  CellMesh held;
  held.vertices = {{64, 0, 1.1}, {128, 0, 2.2}, {128, 64, 3.3}, {64, 64, 4.4}, {64, 17.123456789, 5.5}, {100, 30, 6.6}};
  held.triangles = {{0, 1, 5}, {1, 2, 5}, {2, 3, 5}, {3, 4, 5}, {4, 0, 5}};
  held.cells = {{1, 0}};
  held.id = 7;
  const std::set<Cell> cells{{0, 0}, {0, 1}};
  HashMap<Cell, std::uint64_t> holders;
  holders[{1, 0}] = 7;
  holders[{1, 1}] = 9;  // held by a piece the snapshot lacks
  const std::map<std::uint64_t, CellMesh> meshes{{7, held}};
  EXPECT_EQ(fault_text([&] { outline_seed_lines(cells, holders, meshes, 0, 0, [](double, double) { return 0.0; }); }),
            "no entry found for key");
  holders.erase({1, 1});
  const auto lines = outline_seed_lines(cells, holders, meshes, 0, 0, [](double, double) { return -1.0; });
  // Cell (0, 0): left, right (held), bottom; cell (0, 1): left, right, top.
  ASSERT_EQ(lines.size(), 6u);
  EXPECT_EQ(lines[1].fixed, 1u);
  EXPECT_EQ(lines[1].points, build_outline(held, PieceSide{64, 0, 0}));
  EXPECT_EQ(lines[1].points[1], held.vertices[4]);
  for (std::size_t i : {0, 2, 3, 4, 5}) EXPECT_EQ(lines[i].fixed, 0u) << i;
  // The corner (64, 64) of cell (0, 1)'s right side touches held cell (1, 0): its height comes
  // from that piece, the other end from the reference surface.
  EXPECT_EQ(lines[4].points, (Outline{{64, 64, 4.4}, {64, 128, -1.0}}));
  // The bottom side's right end (64, 0) also touches cell (1, 0).
  EXPECT_EQ(lines[2].points, (Outline{{0, 0, -1.0}, {64, 0, 1.1}}));
}

TEST(SchemeOutline, ACornerTakesTheFirstHeldCellInCandidateOrder) {
  // Corner (0, 0) of the group's cell (0, 0) touches (-1, -1), (-1, 0) and (0, -1).
  const std::set<Cell> cells{{0, 0}};
  const std::map<std::uint64_t, CellMesh> meshes{{1, square(-64, -64, 64, {5, 5, 5, 5})},
                                                 {2, square(0, -64, 64, {6, 6, 6, 6})}};
  HashMap<Cell, std::uint64_t> holders;
  holders[{0, -1}] = 2;
  auto lines = outline_seed_lines(cells, holders, meshes, 0, 0, [](double, double) { return 0.0; });
  EXPECT_EQ(lines[0].points[0][2], 6.0);  // left side's start: (0, -1) is the only held candidate
  holders[{-1, -1}] = 1;
  lines = outline_seed_lines(cells, holders, meshes, 0, 0, [](double, double) { return 0.0; });
  EXPECT_EQ(lines[0].points[0][2], 5.0);  // (-1, -1) comes first
  EXPECT_EQ(lines[0].points[1][2], 0.0);  // (0, 64) touches no held cell
}

}  // namespace
}  // namespace qm::mesh
