#include "mesh/sampling/lattice.hpp"

#include <algorithm>

#include "base/fault.hpp"

namespace qm::mesh {

Lattice lattice_new(const CellGrid& cover, double spacing) {
  if (cover.cells.empty()) fault("a frame needs a cover of at least one cell");
  std::int64_t min_x = INT64_MAX, max_x = INT64_MIN, min_y = INT64_MAX, max_y = INT64_MIN;
  for (const Cell& c : cover.cells) {
    min_x = std::min<std::int64_t>(min_x, c.first);
    max_x = std::max<std::int64_t>(max_x, c.first);
    min_y = std::min<std::int64_t>(min_y, c.second);
    max_y = std::max<std::int64_t>(max_y, c.second);
  }
  check(min_x >= -kCellLimit && max_x <= kCellLimit && min_y >= -kCellLimit && max_y <= kCellLimit,
        "a cell lies beyond 2^24 cells from the origin");
  // Arithmetic shift: halving toward minus infinity.
  const std::int64_t cx = (min_x + max_x + 1) >> 1;
  const std::int64_t cy = (min_y + max_y + 1) >> 1;
  const std::int64_t radius =
      std::max({(cx - min_x) * 64, (max_x - cx) * 64 + 64, (cy - min_y) * 64, (max_y - cy) * 64 + 64});
  const std::int64_t r_cells = radius / 64;

  Lattice l;
  l.cover = cover;
  l.spacing = spacing;
  l.spacing_tenth = 0.1 * spacing;
  l.tolerance = spacing;
  l.step = 64.0;
  l.level = 1;
  l.centre_x = static_cast<std::int32_t>(cx * 64);
  l.centre_y = static_cast<std::int32_t>(cy * 64);
  l.radius = static_cast<std::int32_t>(radius);
  // Corners (cx + dx, cy + dy) for dx, dy from -R to R, x outer, both ascending; a corner is
  // taken when one of its four cells is covered, so only the cover's box widened by one corner
  // row can hold one.
  const std::int64_t x_lo = std::max(cx - r_cells, min_x), x_hi = std::min(cx + r_cells, max_x + 1);
  const std::int64_t y_lo = std::max(cy - r_cells, min_y), y_hi = std::min(cy + r_cells, max_y + 1);
  for (std::int64_t x = x_lo; x <= x_hi; ++x) {
    for (std::int64_t y = y_lo; y <= y_hi; ++y) {
      if (cover.at(x - 1, y - 1) || cover.at(x - 1, y) || cover.at(x, y - 1) || cover.at(x, y)) {
        l.pending.emplace_back(static_cast<std::int32_t>(x * 64), static_cast<std::int32_t>(y * 64));
      }
    }
  }
  return l;
}

}  // namespace qm::mesh
