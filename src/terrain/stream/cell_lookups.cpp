#include "terrain/stream/cell_lookups.hpp"

namespace qm {

std::vector<Cell> mask_cells(const SquareMask& mask) {
  std::vector<Cell> cells;
  cells.reserve(mask.cell_count());
  mask.for_each_cell([&cells](Cell cell) { cells.push_back(cell); });
  return cells;
}

std::vector<std::uint32_t> owner_ids_of_cells(const OwnerSquares& table, const std::vector<Cell>& cells) {
  std::vector<std::uint32_t> ids;
  for (const Cell& cell : cells) {
    const auto it = table.find(square_of(cell));
    if (it == table.end()) continue;
    const auto& pair = it->second.ids[cell_bit(cell)];
    if (pair[0] != kNoOwner) ids.push_back(pair[0]);
    if (pair[1] != kNoOwner) ids.push_back(pair[1]);
  }
  return ids;
}

}  // namespace qm
