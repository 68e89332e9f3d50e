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
#include <vector>

#include "base/hashing.hpp"
#include "mesh/build/piece_build.hpp"
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
  // Checks the counts against a recount of the samples (the store's invariant 5).
  void check_counts() const;

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
  // Checks that the covered mask and the size hold exactly the mapped cells, and that no square is
  // kept without one (the store's invariant 6).
  void check_consistent() const;

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

// What one commit changed in the store: the new piece's own key, the keys of the re-cut meshes
// stored for older pieces, and the older pieces' keys, all gone.
struct CommittedKeys {
  std::optional<std::uint64_t> piece;
  std::vector<std::uint64_t> recuts;
  std::vector<std::uint64_t> dropped;

  // The stored keys: the new piece first, then the re-cuts.
  std::vector<std::uint64_t> stored() const {
    std::vector<std::uint64_t> keys;
    keys.reserve(recuts.size() + 1);
    if (piece) keys.push_back(*piece);
    for (const std::uint64_t key : recuts) keys.push_back(key);
    return keys;
  }
};

struct StoreParts;

// The store keeps these, after every operation below (check_invariants checks each):
//  1. Every cell-map key names a stored entry, and that entry's cells hold the cell.
//  2. Every entry has a stamp and every stamp names an entry; no two entries share a stamp, and
//     none is past the stamp counter.
//  3. Every entry's mesh carries its key as its id, and every key is below the next key to give.
//  4. The mesh table's byte sum equals the sum of entry_bytes over the entries.
//  5. The sample table's counts, square by square and cell by cell, equal a recount of the
//     samples, and it keeps no square that holds no sample.
//  6. No mask holds an empty square: neither the cell map's covered mask (which holds exactly the
//     mapped cells) nor its squares of keys.
//  7. In the owner table a cell names a second piece only beside a first one, and no owner square
//     is stamped past the stamp counter.
//  8. A pin record under a group pin id names a listed group of the schedule, and every listed
//     group has one (checked with the schedule: check_invariants(const Schedule&)).
// Invariant 1 lets a build look up the entry behind every holder it reads, 2 lets the sweep order
// entries by age, 4 and 5 let it count bytes and protected samples without a pass over them.
class Store {
 public:
  // What the last sweep that went past its first test saw: a sweep that finds the same entries and
  // the same protection, with only samples added that its unpinned estimate still has room for,
  // would come to the same outcome, and returns at once (see split_store_into_cells).
  struct SweepMemo {
    bool valid = false;
    std::uint64_t signature = 0;  // the entry keys and everything that pins or protects
    std::uint64_t samples = 0;    // the sample count it left
    std::uint64_t unpinned = 0;   // the unpinned estimate it left
  };
  // The squares an entry's cells span, by key, so that a sweep passes over an entry far from
  // every protected cell without walking its cells. A key names one mesh for as long as it lives;
  // the cell count and the first and last cell are kept to tell if it ever did not.
  struct EntrySpan {
    std::size_t cells = 0;
    Cell first{}, last{};
    Square low{}, high{};
  };

  const SharedText& theatre() const { return theatre_; }  // the held theatre; null when none
  const SampleTable& samples() const { return samples_; }
  std::uint64_t sample_count() const { return samples_.size(); }
  const CellMap& cell_map() const { return cell_map_; }
  const MeshTable& meshes() const { return meshes_; }
  std::uint64_t next_key() const { return next_key_; }
  std::uint64_t stamp_counter() const { return stamp_counter_; }
  const KeyedMap<std::uint64_t, std::uint64_t>& stamps() const { return stamps_; }
  const OwnerTable& owners() const { return owners_; }
  const std::map<std::uint64_t, PinRecord>& pins() const { return pins_; }
  std::uint64_t last_estimate() const { return last_estimate_; }
  std::uint64_t pinned_bytes() const { return pinned_bytes_; }
  std::uint64_t pieces_evicted() const { return pieces_evicted_; }
  std::uint64_t samples_evicted() const { return samples_evicted_; }
  std::uint64_t squares_forgotten() const { return squares_forgotten_; }
  std::uint64_t sweeps() const { return sweeps_; }
  std::uint64_t sample_walks() const { return sample_walks_; }
  const SweepMemo& last_sweep() const { return last_sweep_; }
  const SeededState& sweep_seeds() const { return sweep_seeds_; }

  // Empties the store for a new theatre: samples (with fresh seeds), the cell map, the entries and
  // their stamps, and the figures of the last sweep (nothing is pinned in an empty store). The
  // owner table, the pins and the counters stay.
  void clear();
  // Empties the store (clear) and holds the theatre; null holds none.
  void hold_theatre(SharedText theatre);

  // Adds or replaces the host's height at the point.
  void put_sample(Cell point, StoredSample sample) { samples_.put(point, sample); }

  // Sets what pin `id` protects, replacing the record it had; unpin drops it (nothing when none).
  void pin(std::uint64_t id, PinRecord record) { pins_.insert_or_assign(id, std::move(record)); }
  void unpin(std::uint64_t id) { pins_.erase(id); }

  // Makes the entry the newest: it takes the next stamp. Nothing for a key without a stamp.
  void renew_stamp(std::uint64_t key);

  // A built piece enters the store, with the held theatre's owner table and the stamps (see
  // commit_piece in store.cpp). The piece's meshes are moved out.
  CommittedKeys commit_piece(mesh::MeshPiece& piece);

  // Keeps the owner table within `limit` squares, forgetting the squares of the oldest commits
  // first; a square of the held theatre with a mapped cell stays.
  void forget_owner_squares(std::uint64_t limit);

  // The sweep's steps (store_eviction.cpp). Counts a sweep that looked past its first tests.
  void count_sweep() { ++sweeps_; }
  // The squares the entry's cells (not empty) span, from the record of them (made when first
  // needed).
  const EntrySpan& entry_span(std::uint64_t key, const std::set<Cell>& cells);
  // Forgets the spans of keys no longer stored.
  void drop_gone_spans();
  // Removes every sample that no cell of the set holds, counted as evicted; the number removed.
  std::uint64_t evict_samples(const SquareMask& held);
  // Removes the entry, its cells from the cell map and its stamp, counted as evicted; its mesh,
  // none when there is no such entry.
  std::optional<mesh::CellMesh> evict_entry(std::uint64_t key);
  // What the sweep left: the unpinned estimate, the pinned part, and the memo for the next one.
  void end_sweep(std::uint64_t unpinned, std::uint64_t pinned, std::uint64_t signature);

  // Checks invariants 1 to 7 above (a fault names the first that fails). A pass over everything
  // the store holds: tests call it, production code does not.
  void check_invariants() const;

 private:
  friend StoreParts store_parts(Store& store);

  SharedText theatre_;
  SampleTable samples_;                           // by whole terrain point (x, y); seeded hashing
  CellMap cell_map_;                              // cell -> key of the entry that covers it
  MeshTable meshes_;                              // key -> entry; the key is the piece id
  std::uint64_t next_key_ = 0;                    // the next key to give
  std::uint64_t stamp_counter_ = 0;
  KeyedMap<std::uint64_t, std::uint64_t> stamps_;  // key -> stamp; smaller is older
  OwnerTable owners_;
  std::map<std::uint64_t, PinRecord> pins_;       // by pin id (a group's pin id or a job id)
  std::uint64_t last_estimate_ = 0;               // the unpinned estimate after the last sweep
  std::uint64_t pinned_bytes_ = 0;                // the pinned part at the last sweep
  std::uint64_t pieces_evicted_ = 0;
  std::uint64_t samples_evicted_ = 0;
  std::uint64_t squares_forgotten_ = 0;
  SweepMemo last_sweep_;
  SeededState sweep_seeds_;
  std::map<std::uint64_t, EntrySpan> entry_spans_;
  std::uint64_t sweeps_ = 0;        // sweeps that looked past their first tests
  std::uint64_t sample_walks_ = 0;  // sweeps that walked the samples to remove some
};

// The byte estimate: 36 per sample plus every entry's bytes.
std::uint64_t store_bytes(const Store& store);

}  // namespace qm
