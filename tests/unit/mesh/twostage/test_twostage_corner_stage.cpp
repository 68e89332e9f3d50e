#include <gtest/gtest.h>

#include <cmath>
#include <numbers>
#include <vector>

#include "mesh/grid/cell_grid.hpp"
#include "mesh/reference/reference.hpp"
#include "mesh/twostage/corners.hpp"
#include "mesh/twostage/creases.hpp"
#include "mesh/twostage/working_mesh.hpp"
#include "twostage_fixture.hpp"

namespace qm::mesh {
namespace {

// The piece origin sits at world (-64, -64): local (64, 64) is world (0, 0), the middle of the
// group's four cells.
constexpr double kOrigin = -64.0;

double height(double x, double y) { return 0.1 * x - 0.05 * y; }

// A straight crease line from `start` away from (64, 64) in the direction of `degrees`, with
// heights on the reference plane.
CreaseLine crease(double degrees, double start, double length) {
  const double r = degrees * std::numbers::pi / 180.0;
  CreaseLine line;
  for (double s = start; s <= start + length; s += 1.0) {
    const double x = 64 + s * std::cos(r), y = 64 + s * std::sin(r);
    line.points.push_back({x, y, height(x, y)});
  }
  return line;
}

struct Piece {
  ReferenceModel reference = fixture::polygon_reference({{{0, 0}, {128, 0}, {128, 128}, {0, 128}}}, height);
  CellGrid grid = lattice_from_cells({{-1, -1}, {-1, 0}, {0, -1}, {0, 0}});
  TwostageMesh mesh{&reference, grid, kOrigin, kOrigin};
};

TEST(TwostageCornerStage, ThreeCreasesMeetAtACornerVertex) {
  Piece piece;
  CreaseSet creases;
  creases.lines = {crease(0, 0.5, 20), crease(120, 0.9, 20), crease(240, 0.2, 20)};
  const CornerStage stage = twostage_corners(piece.mesh, std::move(creases));

  ASSERT_EQ(stage.corners.size(), 1u);
  EXPECT_NEAR(stage.corners[0][0], 64.0, 1e-9);
  EXPECT_NEAR(stage.corners[0][1], 64.0, 1e-9);
  EXPECT_NEAR(stage.corners[0][2], height(64, 64), 1e-9);
  EXPECT_EQ(stage.counts.corners, 1u);
  EXPECT_EQ(stage.counts.rejected_clusters, 0u);
  EXPECT_EQ(stage.counts.crease_lines, 3u);
  EXPECT_EQ(stage.counts.crease_points, 6u);  // each line: the corner and its far end

  const auto corner = piece.mesh.find_key(vertex_key(stage.corners[0][0], stage.corners[0][1]));
  ASSERT_TRUE(corner.has_value());
  EXPECT_EQ(piece.mesh.stages.at(*corner), vertex_stage::kCorner);
  EXPECT_EQ(piece.mesh.vertex_count(), 4u);
  EXPECT_EQ(piece.mesh.stage, vertex_stage::kCorner);
  ASSERT_EQ(piece.mesh.edges.size(), 3u);
  for (const auto& [a, b] : piece.mesh.edges) EXPECT_TRUE(a == *corner || b == *corner);
  EXPECT_TRUE(piece.mesh.fixed_edges.empty());
}

TEST(TwostageCornerStage, CornersThePieceRefuses) {
  struct Case {
    const char* name;
    std::vector<std::array<std::int32_t, 2>> cells;  // the group's cells
    bool fixed_edge_near;
  };
  const std::vector<Case> cases{
      {"a cell around the corner is missing", {{-1, -1}, {-1, 0}, {0, -1}}, false},
      {"a fixed edge passes the corner", {{-1, -1}, {-1, 0}, {0, -1}, {0, 0}}, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Piece piece;
    std::set<Cell> cells;
    for (const auto& cell : c.cells) cells.insert({cell[0], cell[1]});
    piece.grid = lattice_from_cells(cells);
    if (c.fixed_edge_near) {
      const auto a = add_vertex(piece.mesh, {63.0, 64.0005, 0}, VertexSource::inserted());
      const auto b = add_vertex(piece.mesh, {63.0, 70.0, 0}, VertexSource::inserted());
      const auto d = add_vertex(piece.mesh, {65.0, 64.0005, 0}, VertexSource::inserted());
      add_edge(piece.mesh, a, d, true);
      add_edge(piece.mesh, a, b, true);
    }
    CreaseSet creases;
    creases.lines = {crease(0, 0.5, 20), crease(120, 0.9, 20), crease(240, 0.2, 20)};
    const CornerStage stage = twostage_corners(piece.mesh, std::move(creases));
    EXPECT_TRUE(stage.corners.empty());
    EXPECT_EQ(stage.counts.corners, 0u);
    EXPECT_EQ(stage.counts.rejected_clusters, 1u);
    EXPECT_EQ(stage.counts.crease_lines, 3u);
  }
}

TEST(TwostageCornerStage, NoCreasesNoWork) {
  Piece piece;
  const CornerStage stage = twostage_corners(piece.mesh, CreaseSet{});
  EXPECT_TRUE(stage.corners.empty());
  EXPECT_EQ(stage.counts.crease_lines + stage.counts.crease_points + stage.counts.corners +
                stage.counts.rejected_clusters,
            0u);
  EXPECT_EQ(piece.mesh.vertex_count(), 0u);
}

}  // namespace
}  // namespace qm::mesh
