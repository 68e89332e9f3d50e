#pragma once
// What a stream reads of the store's tables by cell: the cells of a square mask, and the piece ids
// that the owner table lets a page keep for cells.
#include <cstdint>
#include <set>
#include <vector>

#include "work/square_mask.hpp"
#include "work/store.hpp"

namespace qm {

// The mask's cells: squares in map order, bits ascending within a square.
std::vector<Cell> mask_cells(const SquareMask& mask);

// The pieces a page may keep for the cells: every id the table names first for one of them, except
// the ids it names second for one of them. A second id is a piece that the store no longer held
// when a newer piece took the cell over: a page that kept it would hold two surfaces there, and it
// holds other bytes than anything the store could send a fresh page. Cells whose square the table
// lacks name nothing.
std::set<std::uint32_t> keepable_ids_of_cells(const OwnerSquares& table, const std::vector<Cell>& cells);

}  // namespace qm
