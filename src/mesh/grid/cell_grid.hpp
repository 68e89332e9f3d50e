#pragma once
// Sets of 64-unit terrain cells as dense occupancy grids: the cover of a sampling frame or of a
// mesh piece, with constant-time membership by cell, by integer point and by real point.
// Cell (x, y) spans x*64 to (x+1)*64 and y*64 to (y+1)*64 in terrain units.
#include <cstdint>
#include <set>
#include <utility>
#include <vector>

#include "base/hashing.hpp"

namespace qm::mesh {

// A cell, a lattice key or a terrain point: two signed 32-bit numbers (hashed as two words).
using Cell = std::pair<std::int32_t, std::int32_t>;

// Cells of a grid lie within this many cells of the origin on both axes, so that every terrain
// point of a grid, and of any lattice over it, fits a signed 32-bit number with room to spare.
inline constexpr std::int64_t kCellLimit = std::int64_t{1} << 24;

struct CellGrid {
  // One byte per cell of the bounding box, 1 for a cell of the set; byte of (x, y) at
  // (y - y0) + (x - x0) * h (columns of x are the major index).
  std::vector<std::uint8_t> grid;
  HashSet<Cell> cells;
  std::int32_t x0 = 0;  // smallest x of the set (0 when empty)
  std::int32_t y0 = 0;  // smallest y of the set (0 when empty)
  std::int32_t w = 0;   // largest x - x0 + 1 (0 when empty)
  std::int32_t h = 0;   // largest y - y0 + 1 (0 when empty)

  // The grid byte of a cell; 0 outside the bounding box. Coordinates are taken in 64 bits so
  // that no cell far outside the box can wrap into it.
  std::uint8_t at(std::int64_t x, std::int64_t y) const {
    const std::int64_t col = x - x0;
    const std::int64_t row = y - y0;
    if (col < 0 || col >= w || row < 0 || row >= h) return 0;
    return grid[static_cast<std::size_t>(row + col * static_cast<std::int64_t>(h))];
  }
  bool contains(std::int64_t x, std::int64_t y) const { return at(x, y) != 0; }
};

// A grid of the given cells. A cell beyond kCellLimit on either axis is a fault.
CellGrid lattice_from_cells(const std::set<Cell>& cells);
// The same, consuming the set (its nodes are released while it is read).
CellGrid lattice_from_cells_owned(std::set<Cell>&& cells);

// Whether a cell of the grid has the integer terrain point in its closed square.
bool lattice_touches(const CellGrid& grid, std::int32_t x, std::int32_t y);

// The flags of the up to four cells that meet within 1e-6 of the real point, one byte each:
// bits 0-7 cell (xl, yl), 8-15 (xl, yh), 16-23 (xh, yl), 24-31 (xh, yh). A point with a
// non-finite coordinate lies in no cell (0).
std::uint32_t lattice_cells_at(const CellGrid& grid, double x, double y);

// What the flags of lattice_cells_at say of the point, read from the lowest bit of each cell byte
// (a grid byte is 0 or 1).
inline constexpr std::uint32_t kCellFlagBits = 0x01010101u;
// All four cells are of the set: the point lies inside the covered area, not on its border.
constexpr bool cells_inside(std::uint32_t flags) { return (flags & kCellFlagBits) == kCellFlagBits; }
// At least one cell is: the point lies inside the covered area or on its border.
constexpr bool cells_inside_or_on(std::uint32_t flags) { return (flags & kCellFlagBits) != 0; }
// Some but not all are: the point lies on the border of the covered area.
constexpr bool cells_on_border(std::uint32_t flags) {
  const std::uint32_t set = flags & kCellFlagBits;
  return set != 0 && set != kCellFlagBits;
}

}  // namespace qm::mesh
