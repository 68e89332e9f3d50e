#include "terrain/work/store.hpp"

namespace qm {

std::uint64_t store_bytes(const Store& store) {
  std::uint64_t bytes = static_cast<std::uint64_t>(store.samples.size()) * kSampleBytes;
  for (const auto& [key, mesh] : store.meshes) bytes += entry_bytes(mesh);
  return bytes;
}

void clear_store(Store& store) {
  store.samples = HashMap<Cell, StoredSample>();
  store.cell_map.clear();
  store.meshes.clear();
  store.stamps.clear();
  store.last_estimate = 0;
  store.pinned_bytes = 0;
  store.last_sweep = Store::SweepMemo{};
}

}  // namespace qm
