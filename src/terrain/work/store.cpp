#include "terrain/work/store.hpp"

namespace qm {

void SampleTable::put(Cell point, StoredSample sample) {
  const auto [it, added] = points_.insert_or_assign(point, sample);
  if (!added) return;
  const auto [cell, side] = first_cell(point);
  cells_[cell][side] += 1;
}

void SampleTable::forget(Cell point) {
  const auto [cell, side] = first_cell(point);
  const auto it = cells_.find(cell);
  if (it == cells_.end()) return;
  it->second[side] -= 1;
  if (it->second == std::array<std::uint64_t, 4>{}) cells_.erase(it);
}

std::uint64_t store_bytes(const Store& store) {
  std::uint64_t bytes = static_cast<std::uint64_t>(store.samples.size()) * kSampleBytes;
  for (const auto& [key, mesh] : store.meshes) bytes += entry_bytes(mesh);
  return bytes;
}

void clear_store(Store& store) {
  store.samples = SampleTable();
  store.cell_map.clear();
  store.meshes.clear();
  store.stamps.clear();
  store.last_estimate = 0;
  store.pinned_bytes = 0;
  store.last_sweep = Store::SweepMemo{};
}

}  // namespace qm
