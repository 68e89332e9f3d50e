#pragma once
// Sets of 64-unit cells kept square by square. A square is 32 x 32 cells: the square of cell (x, y)
// is (x >> 5, y >> 5) with an arithmetic shift, so cell -1 lies in square -1. Within its square a
// cell is bit (x & 31) * 32 + (y & 31) of a 1024-bit mask (bit b in word b / 64 at position b % 64).
#include <array>
#include <bit>
#include <cstdint>
#include <cstring>
#include <map>
#include <optional>
#include <memory>
#include <set>
#include <string>
#include <type_traits>
#include <unordered_map>
#include <unordered_set>
#include <utility>

#include "base/hashing.hpp"
#include "base/shared_text.hpp"
#include "mesh/grid/cell_grid.hpp"

namespace qm {

using Cell = mesh::Cell;                              // (x, y), ordered by x then y
using Square = std::pair<std::int32_t, std::int32_t>;  // (x, y) of a 32 x 32 block of cells

inline Square square_of(Cell cell) { return {cell.first >> 5, cell.second >> 5}; }
inline unsigned cell_bit(Cell cell) {
  return static_cast<unsigned>((cell.first & 31) * 32 + (cell.second & 31));
}
inline Cell cell_at(Square square, unsigned bit) {
  return {static_cast<std::int32_t>(static_cast<std::uint32_t>(square.first) * 32u + bit / 32),
          static_cast<std::int32_t>(static_cast<std::uint32_t>(square.second) * 32u + bit % 32)};
}

// The cells of one square.
struct CellBits {
  std::array<std::uint64_t, 16> words{};

  bool test(unsigned bit) const { return (words[bit / 64] >> (bit % 64)) & 1u; }
  void set(unsigned bit) { words[bit / 64] |= std::uint64_t{1} << (bit % 64); }
  void clear(unsigned bit) { words[bit / 64] &= ~(std::uint64_t{1} << (bit % 64)); }
  void merge(const CellBits& other) {
    for (unsigned i = 0; i < 16; ++i) words[i] |= other.words[i];
  }
  void remove(const CellBits& other) {
    for (unsigned i = 0; i < 16; ++i) words[i] &= ~other.words[i];
  }
  bool any() const {
    for (auto w : words)
      if (w) return true;
    return false;
  }
  unsigned count() const {
    unsigned n = 0;
    for (auto w : words) n += static_cast<unsigned>(std::popcount(w));
    return n;
  }
  // Calls f(bit) for every set bit, ascending.
  template <class F>
  void for_each(F&& f) const {
    for (unsigned i = 0; i < 16; ++i) {
      std::uint64_t w = words[i];
      while (w) {
        const unsigned b = static_cast<unsigned>(std::countr_zero(w));
        f(i * 64 + b);
        w &= w - 1;
      }
    }
  }
  friend bool operator==(const CellBits&, const CellBits&) = default;
};

// Calls f(record, cell) for every cell of an ordered set (by x, then y), where record is what
// find(square) gave for the cell's square, asked once per run of cells in one square. Stops at the
// first f that returns false; false then, else true.
template <class Find, class F>
bool for_each_in_runs(const std::set<Cell>& cells, Find&& find, F&& f) {
  bool looked = false;
  Square square{};
  std::invoke_result_t<Find&, Square> record{};
  for (const Cell& cell : cells) {
    const Square s = square_of(cell);
    if (!looked || s != square) {
      looked = true;
      square = s;
      record = find(s);
    }
    if (!f(record, cell)) return false;
  }
  return true;
}

// A set of cells as an ordered map from square to its cells. Every square present holds at least
// one cell (`erase` drops a square that becomes empty).
class SquareMask {
 public:
  using Map = std::map<Square, CellBits>;

  bool contains(Cell cell) const {
    const auto it = squares_.find(square_of(cell));
    return it != squares_.end() && it->second.test(cell_bit(cell));
  }
  void insert(Cell cell) { squares_[square_of(cell)].set(cell_bit(cell)); }
  // Removes the cell; true when it was in the set.
  bool erase(Cell cell) {
    const auto it = squares_.find(square_of(cell));
    if (it == squares_.end() || !it->second.test(cell_bit(cell))) return false;
    it->second.clear(cell_bit(cell));
    if (!it->second.any()) squares_.erase(it);
    return true;
  }
  // ORs a square's cells in (nothing for an empty mask).
  void merge(Square square, const CellBits& bits) {
    if (!bits.any()) return;
    squares_[square].merge(bits);
  }
  // The set of the cells (an ordered set: by x, then y), one square lookup per run in one square.
  static SquareMask of(const std::set<Cell>& cells) {
    SquareMask mask;
    for_each_in_runs(
        cells, [&](Square s) { return &mask.squares_[s]; },
        [](CellBits* bits, Cell cell) {
          bits->set(cell_bit(cell));
          return true;
        });
    return mask;
  }
  // Whether this set and the other have a cell in common.
  bool meets(const SquareMask& other) const {
    for (const auto& [square, bits] : other.squares_) {
      const CellBits* mine = find(square);
      if (!mine) continue;
      for (unsigned i = 0; i < 16; ++i)
        if (mine->words[i] & bits.words[i]) return true;
    }
    return false;
  }
  // Keeps only the cells that the other set holds too.
  void intersect(const SquareMask& other) {
    for (auto it = squares_.begin(); it != squares_.end();) {
      const CellBits* theirs = other.find(it->first);
      if (theirs) {
        for (unsigned i = 0; i < 16; ++i) it->second.words[i] &= theirs->words[i];
      }
      it = theirs && it->second.any() ? std::next(it) : squares_.erase(it);
    }
  }
  // Adds the other's cells to this set.
  void unite(const SquareMask& other) {
    for (const auto& [square, bits] : other.squares_) merge(square, bits);
  }
  // Removes the other's cells from this set.
  void subtract(const SquareMask& other) {
    for (const auto& [square, bits] : other.squares_) {
      const auto it = squares_.find(square);
      if (it == squares_.end()) continue;
      it->second.remove(bits);
      if (!it->second.any()) squares_.erase(it);
    }
  }
  // Whether a square in the range from `low` to `high` (both corners included) holds a cell of this
  // set.
  bool meets_squares(Square low, Square high) const {
    for (std::int64_t x = low.first; x <= high.first; ++x) {
      const auto it = squares_.lower_bound({static_cast<std::int32_t>(x), low.second});
      if (it != squares_.end() && it->first.first == x && it->first.second <= high.second) return true;
    }
    return false;
  }
  // Whether one of the cells (an ordered set: by x, then y) is in this set: one square lookup per
  // run of cells in one square.
  bool contains_any(const std::set<Cell>& cells) const {
    return !for_each_in_runs(
        cells, [&](Square s) { return find(s); },
        [](const CellBits* bits, Cell cell) { return !(bits && bits->test(cell_bit(cell))); });
  }
  bool empty() const { return squares_.empty(); }
  std::size_t square_count() const { return squares_.size(); }
  std::uint64_t cell_count() const {
    std::uint64_t n = 0;
    for (const auto& [square, bits] : squares_) n += bits.count();
    return n;
  }
  const Map& squares() const { return squares_; }
  const CellBits* find(Square square) const {
    const auto it = squares_.find(square);
    return it == squares_.end() ? nullptr : &it->second;
  }
  void clear() { squares_.clear(); }
  // The smallest box that holds every cell: low x, low y, high x, high y; none for an empty set.
  std::optional<std::array<std::int32_t, 4>> bounds() const;
  // The cells as an ordered set (by x, then y).
  std::set<Cell> cells() const;

  // Calls f(cell) for every cell: squares in map order, bits ascending within a square.
  template <class F>
  void for_each_cell(F&& f) const {
    for (const auto& [square, bits] : squares_) bits.for_each([&](unsigned bit) { f(cell_at(square, bit)); });
  }

  friend bool operator==(const SquareMask&, const SquareMask&) = default;

 private:
  Map squares_;
};

// The cells within `reach` (0 to 3) cells in x and in y of a cell of the mask: its (2 reach + 1)
// square neighbourhoods, within the 32-bit range of cells.
SquareMask widen(const SquareMask& mask, int reach);

// Keyed SipHash-1-3 under a key pair drawn from the making thread (draw_key_pair), for the
// terrain work's hash tables other than the sample table.
template <class K>
struct SipKeyed {
  KeyPair key = draw_key_pair();
  std::size_t operator()(const K& value) const {
    if constexpr (std::is_same_v<K, std::string>) {
      return static_cast<std::size_t>(siphash13(key, value.data(), value.size()));
    } else if constexpr (std::is_same_v<K, std::pair<std::int32_t, std::int32_t>>) {
      return static_cast<std::size_t>(siphash13_pair(key, value.first, value.second));
    } else {
      static_assert(std::is_same_v<K, std::uint64_t>, "a key the keyed tables know");
      return static_cast<std::size_t>(siphash13_u64(key, value));
    }
  }
};

template <class K, class V>
using KeyedMap = std::unordered_map<K, V, SipKeyed<K>>;
template <class K>
using KeyedSet = std::unordered_set<K, SipKeyed<K>>;

}  // namespace qm
