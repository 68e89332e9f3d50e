#include "work/terrain_state.hpp"

#include <mutex>

namespace qm {

namespace {
struct Slot {
  std::once_flag once;
  // Stored with release once `ref` is set; a reader that acquires it non-null may read `ref`.
  std::atomic<TerrainState*> state{nullptr};
  TerrainStateRef ref;  // written once, inside the one-time initialiser
};
Slot& slot() {
  static Slot* made = new Slot();  // never destroyed: detached workers outlive static destruction
  return *made;
}
}  // namespace

TerrainStateRef init_terrain_state() {
  Slot& s = slot();
  std::call_once(s.once, [&] {
    s.ref = std::make_shared<TerrainState>();
    s.state.store(s.ref.get(), std::memory_order_release);
  });
  return s.ref;
}

TerrainStateRef terrain_state() {
  Slot& s = slot();
  if (s.state.load(std::memory_order_acquire) == nullptr) return nullptr;
  return s.ref;
}

void unpark_workers(const TerrainState& state) {
  state.sampler.unpark();
  state.builder.unpark();
}

}  // namespace qm
