#include "work/square_mask.hpp"

#include <algorithm>
#include <bit>
#include <limits>
#include <vector>

#include "base/fault.hpp"

namespace qm {

SquareMask widen(const SquareMask& mask, int reach) {
  check(reach >= 0 && reach <= 3, "a mask widens by at most three cells");
  // Square by square, as 32 columns of 32 cells (one x, the square's rows as bits): each column is
  // widened along y by shifts, carrying into the squares below and above, then ORed into the
  // columns up to `reach` to either side, carrying into the squares left and right. Squares past
  // the 32-bit range of cells are left out.
  using Columns = std::array<std::uint32_t, 32>;
  const auto column = [](const CellBits& bits, unsigned xl) {
    return static_cast<std::uint32_t>(bits.words[xl / 2] >> (32 * (xl % 2)));
  };
  constexpr std::int32_t lowest = std::numeric_limits<std::int32_t>::min() >> 5;
  constexpr std::int32_t highest = std::numeric_limits<std::int32_t>::max() >> 5;
  const unsigned r = static_cast<unsigned>(reach);
  std::map<Square, Columns> along_y;
  for (const auto& [square, bits] : mask.squares()) {
    Columns* below = nullptr;
    Columns* above = nullptr;
    Columns& here = along_y[square];
    for (unsigned xl = 0; xl < 32; ++xl) {
      const std::uint32_t c = column(bits, xl);
      if (c == 0) continue;
      std::uint32_t wide = c, down = 0, up = 0;
      for (unsigned d = 1; d <= r; ++d) {
        wide |= (c << d) | (c >> d);
        down |= c << (32 - d);
        up |= c >> (32 - d);
      }
      here[xl] |= wide;
      if (down && square.second > lowest) {
        if (!below) below = &along_y[{square.first, square.second - 1}];
        (*below)[xl] |= down;
      }
      if (up && square.second < highest) {
        if (!above) above = &along_y[{square.first, square.second + 1}];
        (*above)[xl] |= up;
      }
    }
  }
  std::map<Square, Columns> along_x;
  for (const auto& [square, columns] : along_y) {
    Columns* out[3] = {nullptr, nullptr, nullptr};  // the squares left, here and right
    for (unsigned xl = 0; xl < 32; ++xl) {
      const std::uint32_t c = columns[xl];
      if (c == 0) continue;
      for (int dx = -reach; dx <= reach; ++dx) {
        const int x = static_cast<int>(xl) + dx;
        const int side = x < 0 ? 0 : x > 31 ? 2 : 1;
        if ((side == 0 && square.first == lowest) || (side == 2 && square.first == highest)) continue;
        if (!out[side]) out[side] = &along_x[{square.first + side - 1, square.second}];
        (*out[side])[static_cast<unsigned>((x + 32) % 32)] |= c;
      }
    }
  }
  SquareMask wide;
  for (const auto& [square, columns] : along_x) {
    CellBits bits;
    for (unsigned xl = 0; xl < 32; ++xl) bits.words[xl / 2] |= std::uint64_t{columns[xl]} << (32 * (xl % 2));
    wide.merge(square, bits);
  }
  return wide;
}

std::optional<std::array<std::int32_t, 4>> SquareMask::bounds() const {
  if (squares_.empty()) return std::nullopt;
  std::int32_t low_y = std::numeric_limits<std::int32_t>::max(), high_y = std::numeric_limits<std::int32_t>::min();
  for (const auto& [square, bits] : squares_) {
    std::uint32_t rows = 0;  // the rows of the square that hold a cell
    for (unsigned xl = 0; xl < 32; ++xl) rows |= static_cast<std::uint32_t>(bits.words[xl / 2] >> (32 * (xl % 2)));
    const std::int32_t base = static_cast<std::int32_t>(static_cast<std::uint32_t>(square.second) << 5);
    low_y = std::min(low_y, base + std::countr_zero(rows));
    high_y = std::max(high_y, base + 31 - std::countl_zero(rows));
  }
  // The map is ordered by x square first: the lowest x is in the first squares, the highest in
  // the last.
  const auto column_range = [](const CellBits& bits) {
    int low = 32, high = -1;
    for (int xl = 0; xl < 32; ++xl) {
      if (static_cast<std::uint32_t>(bits.words[xl / 2] >> (32 * (xl % 2))) == 0) continue;
      low = std::min(low, xl);
      high = xl;
    }
    return std::pair{low, high};
  };
  const std::int32_t first_x = squares_.begin()->first.first, last_x = squares_.rbegin()->first.first;
  int low_x = 32, high_x = -1;
  for (auto it = squares_.begin(); it != squares_.end() && it->first.first == first_x; ++it)
    low_x = std::min(low_x, column_range(it->second).first);
  for (auto it = squares_.rbegin(); it != squares_.rend() && it->first.first == last_x; ++it)
    high_x = std::max(high_x, column_range(it->second).second);
  const auto x_of = [](std::int32_t square, int xl) {
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(square) << 5) + xl;
  };
  return std::array<std::int32_t, 4>{x_of(first_x, low_x), low_y, x_of(last_x, high_x), high_y};
}

std::set<Cell> SquareMask::cells() const {
  std::vector<Cell> all;
  for_each_cell([&](Cell c) { all.push_back(c); });
  std::sort(all.begin(), all.end());
  return std::set<Cell>(all.begin(), all.end());
}

}  // namespace qm
