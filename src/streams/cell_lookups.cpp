#include "streams/cell_lookups.hpp"

namespace qm {

std::vector<Cell> mask_cells(const SquareMask& mask) {
  std::vector<Cell> cells;
  cells.reserve(mask.cell_count());
  mask.for_each_cell([&cells](Cell cell) { cells.push_back(cell); });
  return cells;
}

std::set<std::uint32_t> keepable_ids_of_cells(const OwnerSquares& table, const std::vector<Cell>& cells) {
  std::set<std::uint32_t> first, replaced;
  for (const Cell& cell : cells) {
    const auto it = table.find(square_of(cell));
    if (it == table.end()) continue;
    const auto& pair = it->second.ids[cell_bit(cell)];
    if (pair[0] != kNoOwner) first.insert(pair[0]);
    if (pair[1] != kNoOwner) replaced.insert(pair[1]);
  }
  for (const std::uint32_t id : replaced) first.erase(id);
  return first;
}

}  // namespace qm
