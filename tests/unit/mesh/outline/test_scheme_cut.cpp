// The re-cut of an older piece: what it keeps, its border along the given-up cells, and its faults.
#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <string>

#include "base/fault.hpp"
#include "mesh/grid/cell_grid.hpp"
#include "mesh/outline/outline.hpp"
#include "mesh/outline/piece_cut.hpp"
#include "fault_text.hpp"

namespace qm::mesh {
namespace {

using qm::testing::fault_text;

double height(double x, double y) { return 100.0 + 0.03 * x - 0.02 * y + 0.001 * x * y; }

// A mesh over the cells' bounding box on a lattice of the given step (the box's far sides always
// included), each square split along a diagonal that alternates, heights from `height`.
CellMesh lattice_mesh(const std::set<Cell>& cells, double step) {
  std::int32_t x0 = cells.begin()->first, x1 = x0, y0 = cells.begin()->second, y1 = y0;
  for (const auto& [x, y] : cells) {
    x0 = std::min(x0, x);
    x1 = std::max(x1, x);
    y0 = std::min(y0, y);
    y1 = std::max(y1, y);
  }
  auto ticks = [step](double lo, double hi) {
    std::vector<double> t;
    for (double v = lo; v < hi - 1e-9; v += step) t.push_back(v);
    t.push_back(hi);
    return t;
  };
  const auto xs = ticks(64.0 * x0, 64.0 * (x1 + 1)), ys = ticks(64.0 * y0, 64.0 * (y1 + 1));
  CellMesh m;
  for (double x : xs) {
    for (double y : ys) m.vertices.push_back({x, y, height(x, y)});
  }
  const std::uint64_t h = ys.size();
  for (std::uint64_t i = 0; i + 1 < xs.size(); ++i) {
    for (std::uint64_t j = 0; j + 1 < ys.size(); ++j) {
      const std::uint64_t a = i * h + j, b = (i + 1) * h + j, c = (i + 1) * h + j + 1, d = i * h + j + 1;
      if ((i + j) % 2 == 0) {
        m.triangles.push_back({a, b, c});
        m.triangles.push_back({a, c, d});
      } else {
        m.triangles.push_back({a, b, d});
        m.triangles.push_back({b, c, d});
      }
    }
  }
  m.cells = cells;
  m.id = 12;
  return m;
}

double signed_area(const CellMesh& m, const std::array<std::uint64_t, 3>& t) {
  const auto &a = m.vertices[t[0]], &b = m.vertices[t[1]], &c = m.vertices[t[2]];
  return 0.5 * ((b[0] - a[0]) * (c[1] - a[1]) - (b[1] - a[1]) * (c[0] - a[0]));
}

// The cut covers exactly its cells: counter-clockwise triangles, each inside one kept cell's
// closure, areas adding up to the cells' area.
void expect_covers(const CellMesh& cut, const std::set<Cell>& cells) {
  EXPECT_EQ(cut.cells, cells);
  EXPECT_EQ(cut.id, 0u);
  const CellGrid grid = lattice_from_cells(cells);
  double area = 0.0;
  for (const auto& t : cut.triangles) {
    const double a = signed_area(cut, t);
    EXPECT_GT(a, 0.0);
    area += a;
    for (const auto i : t) {
      ASSERT_LT(i, cut.vertices.size());
      EXPECT_NE(lattice_cells_at(grid, cut.vertices[i][0], cut.vertices[i][1]) & 0x1010101u, 0u);
    }
  }
  EXPECT_NEAR(area, 4096.0 * static_cast<double>(cells.size()), 1e-6);
}

bool has_vertex(const CellMesh& m, const std::array<double, 3>& p) {
  for (const auto& v : m.vertices) {
    if (v[0] == p[0] && v[1] == p[1] && v[2] == p[2]) return true;
  }
  return false;
}

TEST(SchemeCut, KeepsNothingWhenEveryCellGoes) {
  const CellMesh older = lattice_mesh({{0, 0}, {1, 0}}, 16);
  EXPECT_FALSE(scheme_build_cut(older, {{0, 0}, {1, 0}, {5, 5}}).has_value());
  EXPECT_FALSE(scheme_build_cut(CellMesh{}, {}).has_value());
}

TEST(SchemeCut, CutsAlongTheOlderPiecesOwnOutlines) {
  struct Case {
    const char* name;
    std::set<Cell> cells;
    std::set<Cell> ring;
    double step;
  };
  // Lattice steps that miss the cell lines, so that edges cross the cut sides between vertices.
  const Case cases[] = {
      {"half of two cells", {{0, 0}, {1, 0}}, {{1, 0}}, 10.0},
      {"corner of a block", {{0, 0}, {1, 0}, {0, 1}, {1, 1}}, {{1, 1}}, 9.0},
      {"middle of a row", {{-1, 0}, {0, 0}, {1, 0}}, {{0, 0}}, 11.0},
      {"ring outside the piece", {{0, 0}, {1, 0}}, {{2, 0}, {0, -1}}, 10.0},
      {"lattice on the cell lines", {{0, 0}, {0, 1}}, {{0, 0}}, 16.0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const CellMesh older = lattice_mesh(c.cells, c.step);
    const auto cut = scheme_build_cut(older, c.ring);
    ASSERT_TRUE(cut.has_value());
    std::set<Cell> kept;
    for (const Cell& k : c.cells) {
      if (!c.ring.count(k)) kept.insert(k);
    }
    expect_covers(*cut, kept);
    // Every point of the older piece's outline along a cut side is a vertex of the cut, bit for
    // bit: the new piece seeded from the same outline meets it there.
    for (const auto& [cx, cy] : kept) {
      const PieceSide sides[4] = {{64.0 * cx, 64.0 * cy, 0}, {64.0 * cx + 64, 64.0 * cy, 0},
                                  {64.0 * cy, 64.0 * cx, 1}, {64.0 * cy + 64, 64.0 * cx, 1}};
      const Cell across[4] = {{cx - 1, cy}, {cx + 1, cy}, {cx, cy - 1}, {cx, cy + 1}};
      for (int s = 0; s < 4; ++s) {
        if (!c.ring.count(across[s])) continue;
        for (const auto& p : build_outline(older, sides[s])) EXPECT_TRUE(has_vertex(*cut, p)) << p[0] << "," << p[1];
      }
    }
    // Heights inside stay the older piece's (a plane-like surface re-triangulated: close to it).
    for (const auto& v : cut->vertices) EXPECT_NEAR(v[2], height(v[0], v[1]), 0.5);
  }
}

TEST(SchemeCut, OlderVerticesNearTheBorderMergeIntoIt) {
  // An older vertex 0.0004 off a cut side's outline point: it merges into the outline point.
  CellMesh older = lattice_mesh({{0, 0}, {1, 0}}, 16);
  for (auto& v : older.vertices) {
    if (v[0] == 64.0 && v[1] == 32.0) v[0] = 64.0004;
  }
  const auto cut = scheme_build_cut(older, {{1, 0}});
  ASSERT_TRUE(cut.has_value());
  expect_covers(*cut, {{0, 0}});
  for (const auto& v : cut->vertices) EXPECT_LE(v[0], 64.0);
}

// The mesh with p as its first vertex, the triangle that holds p split at it.
CellMesh with_vertex_first(const CellMesh& m, const std::array<double, 3>& p) {
  CellMesh out = m;
  out.vertices.insert(out.vertices.begin(), p);
  out.triangles.clear();
  bool split = false;
  for (auto t : m.triangles) {
    for (auto& i : t) ++i;
    const auto inside = [&](std::uint64_t a, std::uint64_t b) {
      const auto &u = out.vertices[a], &v = out.vertices[b];
      return (v[0] - u[0]) * (p[1] - u[1]) - (v[1] - u[1]) * (p[0] - u[0]) >= 0.0;
    };
    if (split || !inside(t[0], t[1]) || !inside(t[1], t[2]) || !inside(t[2], t[0])) {
      out.triangles.push_back(t);
      continue;
    }
    split = true;
    for (int k = 0; k < 3; ++k) {
      const std::array<std::uint64_t, 3> part{t[k], t[(k + 1) % 3], 0};
      if (signed_area(out, part) > 0.0) out.triangles.push_back(part);
    }
  }
  EXPECT_TRUE(split);
  return out;
}

TEST(SchemeCut, TheMergeNeverMovesAVertexOffTheOlderPiecesCellLines) {
  // An older vertex within 0.001 of a vertex on the piece's outer border comes first in the list:
  // the border vertex stays where it is and the other merges into it.
  struct Case {
    const char* name;
    std::array<double, 3> border, intruder;
  };
  const Case cases[] = {
      {"a cell corner", {0, 0, height(0, 0)}, {0.000421, 0, 7}},
      {"a point of a side", {0, 32, height(0, 32)}, {0.0003, 32.0004, 7}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const CellMesh older = with_vertex_first(lattice_mesh({{0, 0}, {1, 0}}, 16), c.intruder);
    ASSERT_TRUE(has_vertex(older, c.border));
    const auto cut = scheme_build_cut(older, {{1, 0}});
    ASSERT_TRUE(cut.has_value());
    expect_covers(*cut, {{0, 0}});
    EXPECT_TRUE(has_vertex(*cut, c.border));
    EXPECT_FALSE(has_vertex(*cut, c.intruder));
  }
}

TEST(SchemeCut, RefusedPositionsAndBrokenIndicesAreFaults) {
  CellMesh older = lattice_mesh({{0, 0}, {1, 0}}, 32);
  older.vertices.push_back({1e-50, 3, 0});
  EXPECT_EQ(fault_text([&] { scheme_build_cut(older, {{1, 0}}); }), "finite points: too small");
  older = lattice_mesh({{0, 0}, {1, 0}}, 32);
  older.triangles.push_back({0, 1, 99});
  EXPECT_EQ(fault_text([&] { scheme_build_cut(older, {{1, 0}}); }),
            "index out of bounds: the len is " + std::to_string(older.vertices.size()) + " but the index is 99");
}

TEST(SchemeCut, KeptCellsWithoutTrianglesGiveAnEmptyMesh) {
  // The older piece claims cell (3, 3) but its triangles lie elsewhere.
  CellMesh older = lattice_mesh({{0, 0}}, 32);
  older.cells = {{0, 0}, {3, 3}};
  const auto cut = scheme_build_cut(older, {{0, 0}});
  ASSERT_TRUE(cut.has_value());
  EXPECT_TRUE(cut->vertices.empty());
  EXPECT_TRUE(cut->triangles.empty());
  EXPECT_EQ(cut->cells, (std::set<Cell>{{3, 3}}));
}

TEST(SchemeCut, NearPointProbesTheNineKeysAroundAPosition) {
  HashMap<ThousandthKey, std::uint64_t> index;
  std::vector<std::array<double, 3>> vertices{{1.0, 1.0, 0}, {2.0011, 2.0, 0}};
  index[thousandth_key(1.0, 1.0)] = 0;
  index[thousandth_key(2.0011, 2.0)] = 1;
  EXPECT_EQ(near_point(index, vertices, 1.0009, 1.0), std::optional<std::uint64_t>(0));
  EXPECT_FALSE(near_point(index, vertices, 1.0011, 1.0).has_value());
  EXPECT_EQ(near_point(index, vertices, 2.0, 2.0), std::nullopt);  // 0.0011 away
  EXPECT_FALSE(near_point(index, vertices, std::nan(""), 1.0).has_value());
  EXPECT_EQ(thousandth_key(0.0026, -0.0026), (ThousandthKey{3, -3}));
  vertices.push_back({0.0, 0.0, 0});
  index[thousandth_key(0.0, 0.0)] = 2;
  EXPECT_EQ(near_point(index, vertices, 0.0, 0.001), std::optional<std::uint64_t>(2));  // exactly 0.001 away counts
  index[{5, 5}] = 9;
  EXPECT_EQ(fault_text([&] { near_point(index, vertices, 0.005, 0.005); }),
            "index out of bounds: the len is 3 but the index is 9");
}

}  // namespace
}  // namespace qm::mesh
