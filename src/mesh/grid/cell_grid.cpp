#include "mesh/grid/cell_grid.hpp"

#include <algorithm>
#include <cmath>

#include "base/fault.hpp"
#include "base/numeric.hpp"

namespace qm::mesh {

namespace {

void check_cell(const Cell& c) {
  const std::int64_t x = c.first;
  const std::int64_t y = c.second;
  check(x >= -kCellLimit && x <= kCellLimit && y >= -kCellLimit && y <= kCellLimit,
        "a cell lies beyond 2^24 cells from the origin");
}

void fill_box(CellGrid& g) {
  if (g.cells.empty()) return;
  std::int32_t min_x = INT32_MAX, max_x = INT32_MIN, min_y = INT32_MAX, max_y = INT32_MIN;
  for (const Cell& c : g.cells) {
    min_x = std::min(min_x, c.first);
    max_x = std::max(max_x, c.first);
    min_y = std::min(min_y, c.second);
    max_y = std::max(max_y, c.second);
  }
  g.x0 = min_x;
  g.y0 = min_y;
  // Within the cell limit both spans fit an i32 comfortably.
  g.w = static_cast<std::int32_t>(std::int64_t{max_x} - min_x + 1);
  g.h = static_cast<std::int32_t>(std::int64_t{max_y} - min_y + 1);
  g.grid.assign(static_cast<std::size_t>(std::int64_t{g.w} * std::int64_t{g.h}), 0);
  for (const Cell& c : g.cells) {
    const std::int64_t index = (std::int64_t{c.second} - g.y0) + (std::int64_t{c.first} - g.x0) * g.h;
    g.grid[static_cast<std::size_t>(index)] = 1;
  }
}

}  // namespace

CellGrid lattice_from_cells(const std::set<Cell>& cells) {
  CellGrid g;
  g.cells.reserve(cells.size());
  for (const Cell& c : cells) {
    check_cell(c);
    g.cells.insert(c);
  }
  fill_box(g);
  return g;
}

CellGrid lattice_from_cells_owned(std::set<Cell>&& cells) {
  CellGrid g;
  g.cells.reserve(cells.size());
  while (!cells.empty()) {
    auto node = cells.extract(cells.begin());
    check_cell(node.value());
    g.cells.insert(node.value());
  }
  fill_box(g);
  return g;
}

bool lattice_touches(const CellGrid& grid, std::int32_t x, std::int32_t y) {
  const std::int64_t c = floor_div<std::int64_t>(x, 64);
  const std::int64_t r = floor_div<std::int64_t>(y, 64);
  const bool x_border = floor_mod<std::int64_t>(x, 64) == 0;
  const bool y_border = floor_mod<std::int64_t>(y, 64) == 0;
  for (std::int64_t col = x_border ? c - 1 : c; col <= c; ++col) {
    for (std::int64_t row = y_border ? r - 1 : r; row <= r; ++row) {
      if (grid.at(col, row) != 0) return true;
    }
  }
  return false;
}

std::uint32_t lattice_cells_at(const CellGrid& grid, double x, double y) {
  if (!std::isfinite(x) || !std::isfinite(y)) return 0;
  constexpr double e = 1e-6;
  auto cell_of = [](double v) { return saturate<std::int32_t>(std::floor(v * 0.015625)); };
  const std::int32_t xl = cell_of(x - e);
  const std::int32_t xh = cell_of(x + e);
  const std::int32_t yl = cell_of(y - e);
  const std::int32_t yh = cell_of(y + e);
  return std::uint32_t{grid.at(xl, yl)} | (std::uint32_t{grid.at(xl, yh)} << 8) |
         (std::uint32_t{grid.at(xh, yl)} << 16) | (std::uint32_t{grid.at(xh, yh)} << 24);
}

}  // namespace qm::mesh
