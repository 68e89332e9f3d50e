#include "work/store.hpp"

#include "base/fault.hpp"

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
  Block* block = nullptr;
  Square at{};
  for (const Cell& cell : cells) {
    const Square square = square_of(cell);
    if (!block || square != at) {
      at = square;
      block = &blocks_[square];
    }
    const unsigned bit = cell_bit(cell);
    if (!block->present.test(bit)) {
      block->present.set(bit);
      ++size_;
    }
    block->keys[bit] = key;
  }
  covered_.unite(SquareMask::of(cells));
}

void CellMap::erase(Cell cell) {
  const auto block = blocks_.find(square_of(cell));
  if (block == blocks_.end()) return;
  erase_where({cell}, block->second.keys[cell_bit(cell)]);
}

void CellMap::erase_where(const std::set<Cell>& cells, std::uint64_t key) {
  SquareMask gone;
  auto block = blocks_.end();
  Square at{};
  bool looked = false;
  const auto settle = [&] {
    if (block != blocks_.end() && !block->second.present.any()) blocks_.erase(block);
  };
  for (const Cell& cell : cells) {
    const Square square = square_of(cell);
    if (!looked || square != at) {
      settle();
      looked = true;
      at = square;
      block = blocks_.find(square);
    }
    if (block == blocks_.end()) continue;
    const unsigned bit = cell_bit(cell);
    if (!block->second.present.test(bit) || block->second.keys[bit] != key) continue;
    block->second.present.clear(bit);
    gone.insert(cell);
    --size_;
  }
  settle();
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

std::uint64_t store_bytes(const Store& store) {
  return static_cast<std::uint64_t>(store.samples.size()) * kSampleBytes + store.meshes.bytes();
}

void clear_store(Store& store) {
  store.samples = SampleTable();
  store.cell_map.clear();
  store.meshes.clear();
  store.stamps.clear();
  store.last_estimate = 0;
  store.pinned_bytes = 0;
  store.last_sweep = Store::SweepMemo{};
  store.entry_spans.clear();
}

}  // namespace qm
