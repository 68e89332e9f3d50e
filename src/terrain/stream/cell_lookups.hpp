#pragma once
// What a stream reads of the store's tables by cell: the cells of a square mask, and the piece ids
// that the owner table lists for cells.
#include <cstdint>
#include <set>
#include <vector>

#include "terrain/work/square_mask.hpp"
#include "terrain/work/store.hpp"

namespace qm {

// The mask's cells: squares in map order, bits ascending within a square.
std::vector<Cell> mask_cells(const SquareMask& mask);

// For each cell in order: its first owner id, then its second, each when set; nothing for a cell
// whose square the table lacks.
std::vector<std::uint32_t> owner_ids_of_cells(const OwnerSquares& table, const std::vector<Cell>& cells);

}  // namespace qm
