// What a stream reads by cell: a mask's cells in map order, and the piece ids a page may keep.
#include <gtest/gtest.h>

#include "streams/cell_lookups.hpp"

namespace qm {
namespace {

TEST(StreamCellLookups, MaskCellsGoSquareBySquareThenByBit) {
  SquareMask mask;
  for (const Cell& c : {Cell{-1, -1}, Cell{-32, -32}, Cell{0, 0}, Cell{-1, -32}, Cell{31, 0}, Cell{0, 31}, Cell{32, 5}})
    mask.insert(c);
  // Square (-1, -1): (-32, -32) is bit 0, (-1, -32) bit 992, (-1, -1) bit 1023, last. Then (0, 0): bits 0, 31,
  // 992. Then (1, 0).
  EXPECT_EQ(mask_cells(mask), (std::vector<Cell>{{-32, -32}, {-1, -32}, {-1, -1}, {0, 0}, {0, 31}, {31, 0}, {32, 5}}));
  EXPECT_TRUE(mask_cells(SquareMask()).empty());
}

// A page may keep the first ids of the cells, but no piece that a newer one replaced in any of them
// after the store let it go, even where it is still named first.
TEST(StreamCellLookups, KeepableIdsAreTheFirstIdsOfTheCellsButNoSecondOne) {
  OwnerSquares table;
  OwnerSquare square;
  square.ids[cell_bit({0, 0})] = {7, 3};
  square.ids[cell_bit({0, 1})] = {kNoOwner, 9};
  square.ids[cell_bit({0, 2})] = {4, kNoOwner};
  square.ids[cell_bit({0, 4})] = {5, 4};  // 4 was replaced here, so it goes despite cell (0, 2)
  square.ids[cell_bit({0, 5})] = {3, kNoOwner};
  table.emplace(Square{0, 0}, square);
  EXPECT_EQ(keepable_ids_of_cells(table, {{0, 1}, {0, 3}, {0, 0}, {40, 0}, {0, 2}}), (std::set<std::uint32_t>{4, 7}));
  EXPECT_EQ(keepable_ids_of_cells(table, {{0, 0}, {0, 2}, {0, 4}, {0, 5}}), (std::set<std::uint32_t>{5, 7}));
  EXPECT_TRUE(keepable_ids_of_cells(table, {{40, 0}, {0, 3}}).empty());
}

}  // namespace
}  // namespace qm
