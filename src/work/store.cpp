#include "work/store.hpp"

#include <algorithm>
#include <tuple>
#include <utility>

#include "base/fault.hpp"
#include "base/span.hpp"

namespace qm {

namespace {

bool test(const CellBits* bits, unsigned bit) { return bits && bits->test(bit); }

}  // namespace

void SampleTable::count(Cell point, int change) {
  const auto [cell, side] = place(point);
  SquareCounts& counts = squares_[square_of(cell)];
  counts.cells[cell_bit(cell)][side] = static_cast<std::uint16_t>(counts.cells[cell_bit(cell)][side] + change);
  counts.total = static_cast<std::uint64_t>(static_cast<std::int64_t>(counts.total) + change);
  if (counts.total == 0) squares_.erase(square_of(cell));
}

void SampleTable::put(Cell point, StoredSample sample) {
  if (points_.insert_or_assign(point, sample).second) count(point, +1);
}

bool SampleTable::held_by(Cell point, const SquareMask& cells) {
  const auto [cell, side] = place(point);
  const int nx = (side & 1u) ? 2 : 1, ny = (side & 2u) ? 2 : 1;
  for (int i = 0; i < nx; ++i)
    for (int j = 0; j < ny; ++j)
      if (cells.contains(Cell{cell.first - i, cell.second - j})) return true;
  return false;
}

std::uint64_t SampleTable::count_held(const SquareMask& cells) const {
  std::uint64_t held = 0;
  for (const auto& [square, counts] : squares_) {
    // This square's cells, and the squares holding the cells before its first column and row.
    const CellBits* here = cells.find(square);
    const CellBits* left = cells.find({square.first - 1, square.second});
    const CellBits* below = cells.find({square.first, square.second - 1});
    const CellBits* corner = cells.find({square.first - 1, square.second - 1});
    if (!here && !left && !below && !corner) continue;
    for (unsigned bit = 0; bit < 1024; ++bit) {
      const std::array<std::uint16_t, 4>& n = counts.cells[bit];
      if ((n[0] | n[1] | n[2] | n[3]) == 0) continue;
      const unsigned xl = bit / 32, yl = bit % 32;
      // The cell itself, the one before it in x, in y, and in both.
      const bool h = test(here, bit);
      const bool l = h || (xl ? test(here, bit - 32) : test(left, 31 * 32 + yl));
      const bool b = h || (yl ? test(here, bit - 1) : test(below, xl * 32 + 31));
      const bool c = l || b ||
                     (xl && yl ? test(here, bit - 33)
                      : xl     ? test(below, (xl - 1) * 32 + 31)
                      : yl     ? test(left, 31 * 32 + yl - 1)
                               : test(corner, 1023));
      held += (h ? n[0] : 0) + (l ? n[1] : 0) + (b ? n[2] : 0) + (c ? n[3] : 0);
    }
  }
  return held;
}

std::uint64_t SampleTable::erase_unheld(const SquareMask& cells) {
  std::uint64_t removed = 0;
  for (auto it = points_.begin(); it != points_.end();) {
    if (held_by(it->first, cells)) {
      ++it;
    } else {
      count(it->first, -1);
      it = points_.erase(it);
      ++removed;
    }
  }
  return removed;
}

std::uint64_t CellMap::at(Cell cell) const {
  const std::optional<std::uint64_t> key = key_of(cell);
  if (!key) fault("no entry found for key");
  return *key;
}

void CellMap::set_all(const std::set<Cell>& cells, std::uint64_t key) {
  for_each_in_runs(
      cells, [&](Square square) { return &blocks_[square]; },
      [&](Block* block, Cell cell) {
        const unsigned bit = cell_bit(cell);
        if (!block->present.test(bit)) {
          block->present.set(bit);
          ++size_;
        }
        block->keys[bit] = key;
        return true;
      });
  covered_.unite(SquareMask::of(cells));
}

void CellMap::erase(Cell cell) {
  const auto block = blocks_.find(square_of(cell));
  if (block == blocks_.end()) return;
  erase_where({cell}, block->second.keys[cell_bit(cell)]);
}

void CellMap::erase_where(const std::set<Cell>& cells, std::uint64_t key) {
  SquareMask gone;
  for_each_in_runs(
      cells,
      [&](Square square) -> Block* {
        const auto block = blocks_.find(square);
        return block == blocks_.end() ? nullptr : &block->second;
      },
      [&](Block* block, Cell cell) {
        const unsigned bit = cell_bit(cell);
        if (!block || !block->present.test(bit) || block->keys[bit] != key) return true;
        block->present.clear(bit);
        gone.insert(cell);
        --size_;
        return true;
      });
  // The squares that lost their last cell go.
  for (const auto& [square, bits] : gone.squares()) {
    const auto block = blocks_.find(square);
    if (block != blocks_.end() && !block->second.present.any()) blocks_.erase(block);
  }
  covered_.subtract(gone);
}

void CellMap::clear() {
  blocks_.clear();
  covered_.clear();
  size_ = 0;
}

void MeshTable::put(std::uint64_t key, mesh::CellMesh mesh) {
  const std::uint64_t added = entry_bytes(mesh);
  auto [it, inserted] = map_.try_emplace(key, std::move(mesh));
  if (!inserted) {
    bytes_ -= entry_bytes(it->second);
    it->second = std::move(mesh);
  }
  bytes_ += added;
  ++changes_;
}

std::optional<mesh::CellMesh> MeshTable::take(std::uint64_t key) {
  auto node = map_.extract(key);
  if (node.empty()) return std::nullopt;
  bytes_ -= entry_bytes(node.mapped());
  ++changes_;
  return std::move(node.mapped());
}

void MeshTable::clear() {
  map_.clear();
  bytes_ = 0;
  ++changes_;
}

void SampleTable::check_counts() const {
  HashMap<Square, SquareCounts> recount;
  for (const auto& [point, sample] : points_) {
    const auto [cell, side] = place(point);
    SquareCounts& counts = recount[square_of(cell)];
    counts.cells[cell_bit(cell)][side] += 1;
    counts.total += 1;
  }
  check(recount.size() == squares_.size(), "the sample table keeps a square for each that holds a sample");
  for (const auto& [square, counts] : squares_) {
    const auto it = recount.find(square);
    check(it != recount.end(), "the sample table keeps no square without a sample");
    check(it->second.total == counts.total && it->second.cells == counts.cells,
          "the sample table's counts equal a recount");
  }
}

void CellMap::check_consistent() const {
  SquareMask mapped;
  std::size_t count = 0;
  for (const auto& [square, block] : blocks_) {
    check(block.present.any(), "the cell map keeps no empty square");
    mapped.merge(square, block.present);
    count += block.present.count();
  }
  for (const auto& [square, bits] : covered_.squares()) check(bits.any(), "a mask holds no empty square");
  check(mapped == covered_, "the covered mask holds exactly the mapped cells");
  check(count == size_, "the cell map's size counts its cells");
}

void Store::clear() {
  samples_ = SampleTable();
  cell_map_.clear();
  meshes_.clear();
  stamps_.clear();
  last_estimate_ = 0;
  pinned_bytes_ = 0;
  last_sweep_ = SweepMemo{};
  entry_spans_.clear();
}

void Store::hold_theatre(SharedText theatre) {
  clear();
  theatre_ = std::move(theatre);
}

void Store::renew_stamp(std::uint64_t key) {
  const auto stamp = stamps_.find(key);
  if (stamp != stamps_.end()) stamp->second = ++stamp_counter_;
}

// A key names one mesh for as long as it lives: the bytes a page received under a piece id never
// change. An older piece that the build re-cut gives up cells, so its mesh changes: the re-cut
// mesh is stored under a new key and the old key goes, like the key of a piece that kept no cell.
// In the owner table each cell of a stored mesh names that mesh first and, where the piece it
// named before is no longer stored (re-cut just now, or evicted earlier), that piece second: a page
// that still holds the old id is told to drop it at the end of its next complete stream, also for
// the cells of it that nothing replaced yet.
CommittedKeys Store::commit_piece(mesh::MeshPiece& piece) {
  CommittedKeys keys;
  const auto store_mesh = [this](mesh::CellMesh mesh) {
    const std::uint64_t key = next_key_++;
    mesh.id = key;
    cell_map_.set_all(mesh.cells, key);
    meshes_.put(key, std::move(mesh));
    return key;
  };
  {
    SpanTimer span("scheme.commit");
    std::vector<std::pair<std::uint64_t, std::set<Cell>>> released;  // the older pieces' keys and cells
    for (mesh::RecutPiece& recut : piece.recut) {
      if (std::optional<mesh::CellMesh> gone = meshes_.take(recut.id))
        released.emplace_back(recut.id, std::move(gone->cells));
      keys.dropped.push_back(recut.id);
      if (recut.mesh) keys.recuts.push_back(store_mesh(std::move(*recut.mesh)));
    }
    if (piece.mesh) keys.piece = store_mesh(std::move(*piece.mesh));
    // The older pieces' cells that no stored mesh took over are no longer covered.
    for (const auto& [key, cells] : released) cell_map_.erase_where(cells, key);
  }
  const std::vector<std::uint64_t> stored_keys = keys.stored();
  ++stamp_counter_;
  for (const std::uint64_t key : stored_keys) {
    const mesh::CellMesh& mesh = meshes_.at(key);
    if (mesh.cells.empty()) continue;
    const std::uint32_t id = static_cast<std::uint32_t>(mesh.id);
    OwnerSquares& squares = owners_[*theatre_];
    OwnerSquare* record = nullptr;
    Square at{};
    for (const Cell& cell : mesh.cells) {
      if (!record || square_of(cell) != at) {
        at = square_of(cell);
        record = &squares[at];
        record->stamp = stamp_counter_;
      }
      std::array<std::uint32_t, 2>& ids = record->ids[cell_bit(cell)];
      if (ids[0] == id) continue;
      const bool replaced = ids[0] != kNoOwner && !meshes_.contains(ids[0]);
      ids = {id, replaced ? ids[0] : kNoOwner};
    }
  }

  for (const std::uint64_t key : stored_keys) stamps_[key] = ++stamp_counter_;
  for (const std::uint64_t key : keys.dropped) stamps_.erase(key);
  return keys;
}

void Store::forget_owner_squares(std::uint64_t limit) {
  std::uint64_t total = 0;
  for (const auto& [theatre, squares] : owners_) total += squares.size();
  if (total <= limit) return;

  struct Listed {
    std::uint64_t stamp;
    Square square;
    const std::string* theatre;
  };
  std::vector<Listed> listed;
  listed.reserve(total);
  for (const auto& [theatre, squares] : owners_) {
    for (const auto& [square, record] : squares) listed.push_back(Listed{record.stamp, square, &theatre});
  }
  std::sort(listed.begin(), listed.end(), [](const Listed& a, const Listed& b) {
    return std::tie(a.stamp, a.square.first, a.square.second, *a.theatre) <
           std::tie(b.stamp, b.square.first, b.square.second, *b.theatre);
  });

  auto mapped = [&](Square square) { return cell_map_.covered().find(square) != nullptr; };
  std::vector<std::pair<std::string, Square>> forget;
  for (const Listed& l : listed) {
    if (total <= limit) break;
    if (same_present_theatre(theatre_.get(), l.theatre) && mapped(l.square)) continue;
    forget.emplace_back(*l.theatre, l.square);
    --total;
  }
  for (const auto& [theatre, square] : forget) {
    const auto entry = owners_.find(theatre);
    if (entry == owners_.end()) continue;
    entry->second.erase(square);
    if (entry->second.empty()) owners_.erase(entry);
    ++squares_forgotten_;
  }
}

const Store::EntrySpan& Store::entry_span(std::uint64_t key, const std::set<Cell>& cells) {
  EntrySpan& span = entry_spans_[key];
  if (span.cells == cells.size() && span.first == *cells.begin() && span.last == *cells.rbegin()) return span;
  span.cells = cells.size();
  span.first = *cells.begin();
  span.last = *cells.rbegin();
  std::int32_t low_y = span.first.second, high_y = span.first.second;
  for (const Cell& c : cells) {
    low_y = std::min(low_y, c.second);
    high_y = std::max(high_y, c.second);
  }
  span.low = square_of({span.first.first, low_y});
  span.high = square_of({span.last.first, high_y});
  return span;
}

void Store::drop_gone_spans() {
  for (auto it = entry_spans_.begin(); it != entry_spans_.end();)
    it = meshes_.count(it->first) ? std::next(it) : entry_spans_.erase(it);
}

std::uint64_t Store::evict_samples(const SquareMask& held) {
  sample_walks_ += 1;
  const std::uint64_t removed = samples_.erase_unheld(held);
  samples_evicted_ += removed;
  return removed;
}

std::optional<mesh::CellMesh> Store::evict_entry(std::uint64_t key) {
  std::optional<mesh::CellMesh> taken = meshes_.take(key);
  if (!taken) return std::nullopt;
  cell_map_.erase_where(taken->cells, key);
  stamps_.erase(key);
  pieces_evicted_ += 1;
  return taken;
}

void Store::end_sweep(std::uint64_t unpinned, std::uint64_t pinned, std::uint64_t signature) {
  last_estimate_ = unpinned;
  pinned_bytes_ = pinned;
  last_sweep_ = SweepMemo{true, signature, samples_.size(), unpinned};
}

void Store::check_invariants() const {
  // 1: the cell map's keys.
  cell_map_.for_each([&](Cell cell, std::uint64_t key) {
    const auto entry = meshes_.find(key);
    check(entry != meshes_.end(), "every cell-map key names a stored entry");
    check(entry->second.cells.contains(cell), "the entry a cell maps to holds the cell");
  });
  // 2 to 4: the entries, their stamps and their bytes.
  std::set<std::uint64_t> stamp_values;
  std::uint64_t bytes = 0;
  for (const auto& [key, mesh] : meshes_) {
    const auto stamp = stamps_.find(key);
    check(stamp != stamps_.end(), "every entry has a stamp");
    check(stamp->second <= stamp_counter_, "no stamp is past the stamp counter");
    check(stamp_values.insert(stamp->second).second, "no two entries share a stamp");
    check(mesh.id == key, "an entry's mesh carries its key");
    check(key < next_key_, "every key is below the next key");
    bytes += entry_bytes(mesh);
  }
  check(stamps_.size() == meshes_.size(), "every stamp names an entry");
  check(bytes == meshes_.bytes(), "the byte sum equals the sum of the entries' bytes");
  // 5 and 6.
  samples_.check_counts();
  cell_map_.check_consistent();
  // 7: the owner table.
  for (const auto& [theatre, squares] : owners_) {
    for (const auto& [square, record] : squares) {
      check(record.stamp <= stamp_counter_, "no owner square is stamped past the stamp counter");
      for (const auto& ids : record.ids)
        check(ids[1] == kNoOwner || ids[0] != kNoOwner, "a cell names a second piece only beside a first");
    }
  }
}

std::uint64_t store_bytes(const Store& store) {
  return static_cast<std::uint64_t>(store.samples().size()) * kSampleBytes + store.meshes().bytes();
}

}  // namespace qm
