#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <set>
#include <vector>

#include "base/fault.hpp"
#include "mesh/grid/cell_grid.hpp"
#include "mesh/sampling/lattice.hpp"

namespace qm::mesh {
namespace {

constexpr double nan = std::numeric_limits<double>::quiet_NaN();
constexpr double inf = std::numeric_limits<double>::infinity();

CellGrid grid_of(std::set<Cell> cells) { return lattice_from_cells(cells); }

TEST(CellGrid, BoundingBoxAndColumnMajorBytes) {
  const CellGrid g = grid_of({{0, 0}, {2, 0}, {2, 1}});
  EXPECT_EQ(g.x0, 0);
  EXPECT_EQ(g.y0, 0);
  EXPECT_EQ(g.w, 3);
  EXPECT_EQ(g.h, 2);
  // columns of x major: (0,0) (0,1) (1,0) (1,1) (2,0) (2,1)
  EXPECT_EQ(g.grid, (std::vector<std::uint8_t>{1, 0, 0, 0, 1, 1}));
  EXPECT_EQ(g.cells.size(), 3u);

  std::set<Cell> owned{{-3, 5}, {-1, 4}};
  const CellGrid o = lattice_from_cells_owned(std::move(owned));
  EXPECT_TRUE(owned.empty());
  EXPECT_EQ(o.x0, -3);
  EXPECT_EQ(o.y0, 4);
  EXPECT_EQ(o.w, 3);
  EXPECT_EQ(o.h, 2);
  EXPECT_TRUE(o.contains(-3, 5));
  EXPECT_TRUE(o.contains(-1, 4));
  EXPECT_FALSE(o.contains(-2, 4));
}

TEST(CellGrid, EmptySetTouchesNothing) {
  const CellGrid g = grid_of({});
  EXPECT_EQ(g.w, 0);
  EXPECT_EQ(g.h, 0);
  EXPECT_TRUE(g.grid.empty());
  EXPECT_FALSE(lattice_touches(g, 0, 0));
  EXPECT_EQ(lattice_cells_at(g, 0.0, 0.0), 0u);
  EXPECT_EQ(lattice_cells_at(g, 10.0, -10.0), 0u);
}

TEST(CellGrid, CellsBeyondTheLimitAreAFault) {
  EXPECT_NO_THROW(grid_of({{1 << 24, -(1 << 24)}}));
  EXPECT_THROW(grid_of({{(1 << 24) + 1, 0}}), Fault);
  EXPECT_THROW(grid_of({{0, -(1 << 24) - 1}}), Fault);
  EXPECT_THROW(grid_of({{INT32_MIN, INT32_MAX}}), Fault);
}

TEST(CellGrid, TouchesUsesClosedSquaresAndFloorDivision) {
  struct Case {
    std::set<Cell> cells;
    std::int32_t x, y;
    bool touches;
  };
  const Case cases[] = {
      {{{1, 1}}, 64, 64, true},     // corner of (1, 1)
      {{{1, 1}}, 63, 63, false},
      {{{1, 1}}, 128, 100, true},   // right border of (1, 1)
      {{{1, 1}}, 129, 100, false},
      {{{1, 1}}, 100, 128, true},   // top border
      {{{-1, -1}}, -1, -1, true},   // truncating division would say cell 0
      {{{-1, -1}}, 0, 0, true},     // corner shared with (0, 0)
      {{{-1, -1}}, -64, -64, true},
      {{{-1, -1}}, -65, -10, false},
      {{{-1, -1}}, 1, -1, false},
      {{{-2, 0}}, -100, 10, true},
      {{{-2, 0}}, -63, 10, false},  // inside (-1, 0)
      {{{0, 0}}, -1, 1, false},     // truncation would put it in (0, 0)
      {{{0, 0}}, 0, 64, true},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(lattice_touches(grid_of(c.cells), c.x, c.y), c.touches) << c.x << "," << c.y;
  }
}

TEST(CellGrid, CellsAtPacksFourBytes) {
  const CellGrid g = grid_of({{0, 0}});
  EXPECT_EQ(lattice_cells_at(g, 10.0, 10.0), 0x01010101u);
  EXPECT_EQ(lattice_cells_at(g, 64.0, 10.0), 0x00000101u);
  EXPECT_EQ(lattice_cells_at(g, 10.0, 64.0), 0x00010001u);
  EXPECT_EQ(lattice_cells_at(g, 0.0, 0.0), 0x01000000u);
  EXPECT_EQ(lattice_cells_at(g, 64.0 + 2e-6, 10.0), 0u);
  EXPECT_EQ(lattice_cells_at(g, 100.0, 10.0), 0u);
  const CellGrid neg = grid_of({{-1, -1}});
  EXPECT_EQ(lattice_cells_at(neg, -0.5, -0.5), 0x01010101u);
  EXPECT_EQ(lattice_cells_at(neg, 0.0, -0.5), 0x00000101u);
  // A non-finite coordinate is in no cell, never cell 0.
  EXPECT_EQ(lattice_cells_at(g, nan, 10.0), 0u);
  EXPECT_EQ(lattice_cells_at(g, 10.0, nan), 0u);
  EXPECT_EQ(lattice_cells_at(g, inf, 10.0), 0u);
  EXPECT_EQ(lattice_cells_at(g, -inf, -inf), 0u);
  // Beyond the i32 range the clamped cell is read (and is not in any grid).
  EXPECT_EQ(lattice_cells_at(g, 1e300, 10.0), 0u);
}

TEST(CellGrid, CellFlagsReadAsInsideOrOnTheBorder) {
  // An L of three cells: (0, 0), (1, 0) and (0, 1); (1, 1) is the notch.
  const CellGrid g = grid_of({{0, 0}, {1, 0}, {0, 1}});
  struct Case {
    double x, y;
    bool inside, on_border;
  };
  const Case cases[] = {
      {10.0, 10.0, true, false},          // within a cell
      {64.0, 10.0, true, false},          // on the line between two cells of the set
      {64.0, 64.0, false, true},          // the notch's corner: three of four cells
      {0.0, 0.0, false, true},            // the outer corner: one of four
      {128.0, 10.0, false, true},         // the outer side
      {100.0, 64.0, false, true},         // the notch's side
      {128.0 + 5e-7, 10.0, false, true},  // within 1e-6 of the side counts as on it
      {128.0 + 2e-6, 10.0, false, false},
      {100.0, 100.0, false, false},       // inside the notch
      {nan, 10.0, false, false},
  };
  for (const Case& c : cases) {
    const std::uint32_t flags = lattice_cells_at(g, c.x, c.y);
    EXPECT_EQ(cells_inside(flags), c.inside) << c.x << "," << c.y;
    EXPECT_EQ(cells_on_border(flags), c.on_border) << c.x << "," << c.y;
    EXPECT_EQ(cells_inside_or_on(flags), c.inside || c.on_border) << c.x << "," << c.y;
  }
}

TEST(LatticeNew, SingleCell) {
  const Lattice l = lattice_new(grid_of({{5, 7}}), 2.0);
  EXPECT_EQ(l.centre_x, 320);
  EXPECT_EQ(l.centre_y, 448);
  EXPECT_EQ(l.radius, 64);
  EXPECT_EQ(l.pending, (std::vector<TerrainPoint>{{320, 448}, {320, 512}, {384, 448}, {384, 512}}));
  EXPECT_EQ(l.step, 64.0);
  EXPECT_EQ(l.level, 1u);
  EXPECT_EQ(l.spacing, 2.0);
  EXPECT_DOUBLE_EQ(l.spacing_tenth, 0.2);
  EXPECT_EQ(l.tolerance, 2.0);
  EXPECT_FALSE(l.refined.has_value());
  EXPECT_TRUE(l.levels.empty());
  EXPECT_TRUE(l.samples.empty());
  EXPECT_EQ(l.finished, 0);
}

TEST(LatticeNew, NegativeRowHalvesTowardMinusInfinity) {
  const Lattice l = lattice_new(grid_of({{-3, 0}, {-2, 0}, {-1, 0}, {0, 0}}), 2.0);
  EXPECT_EQ(l.centre_x, -64);
  EXPECT_EQ(l.centre_y, 0);
  EXPECT_EQ(l.radius, 128);
  std::vector<TerrainPoint> want;
  for (int x = -3; x <= 1; ++x)
    for (int y = 0; y <= 1; ++y) want.emplace_back(x * 64, y * 64);
  EXPECT_EQ(l.pending, want);
}

TEST(LatticeNew, GapBetweenCellsKeepsSharedCorners) {
  const Lattice l = lattice_new(grid_of({{0, 0}, {2, 0}}), 2.0);
  EXPECT_EQ(l.cover.grid, (std::vector<std::uint8_t>{1, 0, 1}));
  std::vector<TerrainPoint> want;
  for (int x = 0; x <= 3; ++x)
    for (int y = 0; y <= 1; ++y) want.emplace_back(x * 64, y * 64);
  EXPECT_EQ(l.pending, want);
}

TEST(LatticeNew, NegativeCoversMirrorPositiveOnes) {
  // The same shape shifted to negative cells gives the same geometry, shifted.
  const std::set<Cell> shape{{0, 0}, {1, 0}, {0, 1}, {3, 2}};
  for (const Cell& shift : {Cell{-7, -9}, Cell{-1, 0}, Cell{0, -1}, Cell{-1000, -3}}) {
    std::set<Cell> moved;
    for (const Cell& c : shape) moved.emplace(c.first + shift.first, c.second + shift.second);
    const Lattice a = lattice_new(grid_of(shape), 2.0);
    const Lattice b = lattice_new(grid_of(moved), 2.0);
    EXPECT_EQ(b.radius, a.radius);
    EXPECT_EQ(b.centre_x, a.centre_x + shift.first * 64);
    EXPECT_EQ(b.centre_y, a.centre_y + shift.second * 64);
    ASSERT_EQ(b.pending.size(), a.pending.size());
    for (std::size_t k = 0; k < a.pending.size(); ++k) {
      EXPECT_EQ(b.pending[k].first, a.pending[k].first + shift.first * 64);
      EXPECT_EQ(b.pending[k].second, a.pending[k].second + shift.second * 64);
    }
  }
}

TEST(LatticeNew, EmptyCoverAndFarCellsAreFaults) {
  try {
    lattice_new(grid_of({}), 2.0);
    FAIL();
  } catch (const Fault& f) {
    EXPECT_NE(f.message().find("a frame needs a cover of at least one cell"), std::string::npos);
  }
  // The far edge of the largest allowed cover stays within i32 terrain units.
  const Lattice far = lattice_new(grid_of({{1 << 24, 1 << 24}}), 2.0);
  EXPECT_EQ(far.pending.back(), (TerrainPoint{(1 << 30) + 64, (1 << 30) + 64}));
  const Lattice wide = lattice_new(grid_of({{-(1 << 24), 0}, {-(1 << 24) + 1, 0}}), 2.0);
  EXPECT_EQ(wide.centre_x, -(1 << 30) + 64);
  EXPECT_EQ(wide.pending.front(), (TerrainPoint{-(1 << 30), 0}));
}

}  // namespace
}  // namespace qm::mesh
