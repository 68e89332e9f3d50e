#include "terrain/work/square_mask.hpp"

#include <algorithm>
#include <limits>
#include <vector>

#include "module/fault.hpp"

namespace qm {

SquareMask widen(const SquareMask& mask, int reach) {
  check(reach >= 0 && reach <= 2, "a mask widens by at most two cells");
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

std::set<Cell> SquareMask::cells() const {
  std::vector<Cell> all;
  for_each_cell([&](Cell c) { all.push_back(c); });
  std::sort(all.begin(), all.end());
  return std::set<Cell>(all.begin(), all.end());
}

}  // namespace qm
