#pragma once
// The four sides of a 64-unit cell with the cell across each, and checked access to a mesh's
// vertices: shared by the side outlines and the re-cut of an older piece, which write the two
// halves of one border and must walk the same sides and fail alike for the pieces to meet.
#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <source_location>
#include <utility>
#include <vector>

#include "base/fault.hpp"
#include "mesh/grid/cell_grid.hpp"

namespace qm::mesh {

// One cell side: axis 0 is the line x = c from y = a to y = a + 64 (position along it: y);
// axis 1 is the line y = c from x = a to x = a + 64 (position along it: x).
struct PieceSide {
  double c = 0.0;
  double a = 0.0;
  std::uint8_t axis = 0;
};

// A side of a cell and the cell across it; none where that cell would lie beyond the i32 range.
struct CellSide {
  PieceSide side;
  std::optional<Cell> neighbour;
};

// The sides of a cell in the order left, right, bottom, top.
inline std::array<CellSide, 4> cell_sides(const Cell& cell) {
  const auto across = [](std::int64_t x, std::int64_t y) -> std::optional<Cell> {
    if (!std::in_range<std::int32_t>(x) || !std::in_range<std::int32_t>(y)) return std::nullopt;
    return Cell{static_cast<std::int32_t>(x), static_cast<std::int32_t>(y)};
  };
  const std::int64_t x = cell.first, y = cell.second;
  const double x0 = 64.0 * static_cast<double>(x);
  const double y0 = 64.0 * static_cast<double>(y);
  return {{
      {{x0, y0, 0}, across(x - 1, y)},
      {{x0 + 64.0, y0, 0}, across(x + 1, y)},
      {{y0, x0, 1}, across(x, y - 1)},
      {{y0 + 64.0, x0, 1}, across(x, y + 1)},
  }};
}

// The vertex at `index`; an index past the end is the fault `index_out_of_bounds`.
inline const std::array<double, 3>& vertex_at(const std::vector<std::array<double, 3>>& vertices,
                                              std::uint64_t index,
                                              std::source_location where = std::source_location::current()) {
  if (index >= vertices.size()) index_out_of_bounds(vertices.size(), index, where);
  return vertices[static_cast<std::size_t>(index)];
}

}  // namespace qm::mesh
