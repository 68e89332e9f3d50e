#pragma once
// The kept terrain data of the held theatre: sampled heights and the built cell meshes, with the
// tables that say which mesh covers which cell, how old each mesh is, which pages' pieces own which
// cells and what the jobs pin. Lives inside the Schedule, under the schedule lock.
#include <array>
#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>

#include "base/hashing.hpp"
#include "mesh/outline/cell_mesh.hpp"
#include "work/square_mask.hpp"

namespace qm {

// A height the host gave for a whole terrain point.
struct StoredSample {
  std::uint64_t zero_mark = 0;
  double height = 0.0;
};

// The stored samples by whole terrain point, with how many of them each cell holds. A sample at
// (x, y) belongs to cell (floor(x / 64), floor(y / 64)) and, where x is a multiple of 64, also to
// the cell before it in x; likewise in y: a sample on a cell border belongs to two cells, at a
// cell corner to four. The counts, kept square by square, let the store's sweep count what a set
// of cells protects in a pass over the squares rather than over the samples.
class SampleTable {
 public:
  // Adds or replaces the sample at the point.
  void put(Cell point, StoredSample sample);
  const StoredSample* find(Cell point) const {
    const auto it = points_.find(point);
    return it == points_.end() ? nullptr : &it->second;
  }
  bool contains(Cell point) const { return points_.find(point) != points_.end(); }
  std::size_t size() const { return points_.size(); }
  bool empty() const { return points_.empty(); }

  // Whether one of the cells the sample at the point belongs to is in the set.
  static bool held_by(Cell point, const SquareMask& cells);
  // The number of samples that a cell of the set holds, without looking at the samples.
  std::uint64_t count_held(const SquareMask& cells) const;
  // Removes every sample that no cell of the set holds; the number removed.
  std::uint64_t erase_unheld(const SquareMask& cells);

 private:
  // Per cell of a square (by cell bit), the samples whose first cell it is, by where they lie in
  // it: inside, on its low x side, on its low y side, at its low corner. A cell holds at most 63
  // points on a side and 63 * 63 inside, so 16 bits do.
  struct SquareCounts {
    std::array<std::array<std::uint16_t, 4>, 1024> cells{};
    std::uint64_t total = 0;
  };
  // The sample's first cell (the one that holds it inside), and where it lies in it: bit 0 set on
  // the cell's low x side, bit 1 on its low y side.
  static std::pair<Cell, unsigned> place(Cell point) {
    return {Cell{point.first >> 6, point.second >> 6},
            ((point.first & 63) == 0 ? 1u : 0u) | ((point.second & 63) == 0 ? 2u : 0u)};
  }
  void count(Cell point, int change);

  HashMap<Cell, StoredSample> points_;
  HashMap<Square, SquareCounts> squares_;
};

// What one job (or the eviction itself) protects: cells whose entries stay (and whose samples stay
// too when flag is 1) and the keys of entries that stay.
struct PinRecord {
  std::set<Cell> cells;
  std::set<std::uint64_t> keys;
  std::uint8_t flag = 0;
};

inline constexpr std::uint32_t kNoOwner = 0xFFFFFFFFu;

// The piece ids that own the cells of one square: per cell (bit numbering of SquareMask) the piece
// that covers it (or covered it last, when the store let it go), and second the piece it replaced
// there when the store no longer held that one; kNoOwner for none. A page may keep a first id (also
// one the store let go while the page's stream ran, which nothing replaced yet), never a second.
struct OwnerSquare {
  std::uint64_t stamp = 0;  // the stamp of the last commit that covered the square
  std::array<std::array<std::uint32_t, 2>, 1024> ids;
  OwnerSquare() {
    for (auto& pair : ids) pair = {kNoOwner, kNoOwner};
  }
};

using OwnerSquares = KeyedMap<Square, OwnerSquare>;
using OwnerTable = KeyedMap<std::string, OwnerSquares>;  // by theatre name

// The bytes one cell mesh entry is estimated to take.
inline std::uint64_t entry_bytes(const mesh::CellMesh& mesh) {
  return (static_cast<std::uint64_t>(mesh.vertices.size()) + mesh.triangles.size()) * 24 +
         static_cast<std::uint64_t>(mesh.cells.size()) * 16 + 96;
}
inline constexpr std::uint64_t kSampleBytes = 36;

// The stored cell meshes by key, with the sum of their byte estimates and a count of the changes
// made to them, both kept as entries come and go so that neither needs a pass over the entries.
class MeshTable {
 public:
  using Map = std::map<std::uint64_t, mesh::CellMesh>;
  using const_iterator = Map::const_iterator;

  const_iterator begin() const { return map_.begin(); }
  const_iterator end() const { return map_.end(); }
  const_iterator find(std::uint64_t key) const { return map_.find(key); }
  const mesh::CellMesh& at(std::uint64_t key) const { return map_.at(key); }
  std::size_t count(std::uint64_t key) const { return map_.count(key); }
  bool contains(std::uint64_t key) const { return map_.count(key) != 0; }
  std::size_t size() const { return map_.size(); }
  bool empty() const { return map_.empty(); }

  // Stores the mesh under the key, replacing one stored there.
  void put(std::uint64_t key, mesh::CellMesh mesh);
  // Removes the entry under the key and hands its mesh back; none when there is no such entry.
  std::optional<mesh::CellMesh> take(std::uint64_t key);
  void clear();

  // The sum of entry_bytes over the entries.
  std::uint64_t bytes() const { return bytes_; }
  // Grows with every change to the entries; equal counts mean the same entries.
  std::uint64_t changes() const { return changes_; }

 private:
  Map map_;
  std::uint64_t bytes_ = 0;
  std::uint64_t changes_ = 0;
};

// Which entry covers each cell, kept square by square: per square, its covered cells and their
// keys, so that a run of cells in one square costs one look-up. The covered cells are also kept as
// one mask, so that a planner can take whole squares of cells that no entry covers with a few word
// operations.
class CellMap {
 public:
  // The key of the entry that covers the cell; none when no entry does.
  std::optional<std::uint64_t> key_of(Cell cell) const {
    const auto block = blocks_.find(square_of(cell));
    if (block == blocks_.end() || !block->second.present.test(cell_bit(cell))) return std::nullopt;
    return block->second.keys[cell_bit(cell)];
  }
  bool contains(Cell cell) const { return covered_.contains(cell); }
  // The key of the entry that covers the cell; a fault when none does.
  std::uint64_t at(Cell cell) const;
  std::size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  const SquareMask& covered() const { return covered_; }

  void set(Cell cell, std::uint64_t key) { set_all({cell}, key); }
  // Maps every cell of the set to the key.
  void set_all(const std::set<Cell>& cells, std::uint64_t key);
  void erase(Cell cell);
  // Unmaps the cells of the set that the key covers, and leaves those another key covers.
  void erase_where(const std::set<Cell>& cells, std::uint64_t key);
  void clear();

  // Calls f(bit, key) for every cell of the square among `cells` that an entry covers, bits
  // ascending.
  template <class F>
  void for_each_in(Square square, const CellBits& cells, F&& f) const {
    const auto block = blocks_.find(square);
    if (block == blocks_.end()) return;
    CellBits covered = cells;
    for (unsigned i = 0; i < 16; ++i) covered.words[i] &= block->second.present.words[i];
    covered.for_each([&](unsigned bit) { f(bit, block->second.keys[bit]); });
  }
  // Calls f(cell, key) for every covered cell.
  template <class F>
  void for_each(F&& f) const {
    for (const auto& [square, block] : blocks_)
      block.present.for_each([&](unsigned bit) { f(cell_at(square, bit), block.keys[bit]); });
  }

 private:
  struct Block {
    CellBits present;
    std::array<std::uint64_t, 1024> keys{};
  };
  KeyedMap<Square, Block> blocks_;
  SquareMask covered_;
  std::size_t size_ = 0;
};

struct Store {
  SharedText theatre;                          // the held theatre; null when none
  SampleTable samples;                          // by whole terrain point (x, y); seeded hashing
  CellMap cell_map;                             // cell -> key of the entry that covers it
  MeshTable meshes;                             // key -> entry; the key is the piece id
  std::uint64_t next_key = 0;                   // the next key to give
  std::uint64_t stamp_counter = 0;
  KeyedMap<std::uint64_t, std::uint64_t> stamps;  // key -> stamp; smaller is older
  OwnerTable owners;
  std::map<std::uint64_t, PinRecord> pins;      // by pin id (a job id)
  std::uint64_t last_estimate = 0;              // the unpinned estimate after the last sweep
  std::uint64_t pinned_bytes = 0;               // the pinned part at the last sweep
  std::uint64_t pieces_evicted = 0;
  std::uint64_t samples_evicted = 0;
  std::uint64_t squares_forgotten = 0;
  // What the last sweep that went past its first test saw: a sweep that finds the same entries and
  // the same protection, with only samples added that its unpinned estimate still has room for,
  // would come to the same outcome, and returns at once (see split_store_into_cells).
  struct SweepMemo {
    bool valid = false;
    std::uint64_t signature = 0;  // the entry keys and everything that pins or protects
    std::uint64_t samples = 0;    // the sample count it left
    std::uint64_t unpinned = 0;   // the unpinned estimate it left
  } last_sweep;
  SeededState sweep_seeds;
  // The squares each entry's cells span, by key, so that a sweep passes over an entry far from
  // every protected cell without walking its cells. A key names one mesh for as long as it lives;
  // the cell count and the first and last cell are kept to tell if it ever did not.
  struct EntrySpan {
    std::size_t cells = 0;
    Cell first{}, last{};
    Square low{}, high{};
  };
  std::map<std::uint64_t, EntrySpan> entry_spans;
  std::uint64_t sweeps = 0;        // sweeps that looked past their first tests
  std::uint64_t sample_walks = 0;  // sweeps that walked the samples to remove some

  std::uint64_t sample_count() const { return samples.size(); }
};

// The byte estimate: 36 per sample plus every entry's bytes.
std::uint64_t store_bytes(const Store& store);

// Empties the store for a new theatre: samples (with fresh seeds), the cell map, the entries and
// their stamps, and the figures of the last sweep (nothing is pinned in an empty store). The owner
// table, the pins and the counters stay.
void clear_store(Store& store);

}  // namespace qm
