// Prints what a sweep of the terrain store costs in the state a long session reaches: the store
// over its limit by less than its pinned bytes, so that a sweep has nothing to evict. About a
// million samples and two thousand entries, three jobs that want pages' views and pin a little. Timed: a sweep
// that finds nothing changed, and a sweep after a job's pins changed (which must look again).
#include <chrono>
#include <cstdio>

#include "bench/bench_timing.hpp"
#include "work/store_eviction.hpp"
#include "work/store_testing.hpp"

using namespace qm;

namespace {

using qm::bench::per_run;

// A stored area of side x side cells in pieces of 16 x 16 cells, two samples a cell.
void fill(Schedule& s, int side) {
  Store& store = s.store;
  for (int bx = 0; bx < side; bx += 16) {
    for (int by = 0; by < side; by += 16) {
      mesh::CellMesh m;
      m.vertices.resize(200);
      m.triangles.resize(400);
      const std::uint64_t key = store_parts(store).next_key++;
      for (int cx = bx; cx < bx + 16; ++cx) {
        for (int cy = by; cy < by + 16; ++cy) {
          store.put_sample({cx * 64 + 2, cy * 64 + 2}, StoredSample{});
          store.put_sample({cx * 64 + 34, cy * 64 + 34}, StoredSample{});
          m.cells.insert({cx, cy});
          store_parts(store).cell_map.set({cx, cy}, key);
        }
      }
      store_parts(store).meshes.put(key, std::move(m));
      store_parts(store).stamps[key] = ++store_parts(store).stamp_counter;
    }
  }
}

}  // namespace

int main() {
  Schedule s;
  s.store.hold_theatre(std::make_shared<const std::string>("Caucasus"));
  fill(s, 720);  // 518400 cells in 2025 pieces, a million samples
  // Three pages' views in a row beyond the stored area, over the same columns as some of it, 180 x
  // 180 cells each, still to build; each pins two stored pieces.
  for (std::uint64_t id = 1; id <= 3; ++id) {
    Job& job = s.jobs[id];
    job.theatre = s.store.theatre();
    for (int x = 0; x < 180; ++x)
      for (int y = 0; y < 180; ++y) job.wanted.insert({static_cast<std::int32_t>(180 * id) + x, 720 + y});
    job.pins = {id * 100, id * 100 + 1};
  }
  const std::uint64_t total = store_bytes(s.store);
  // Over the limit by less than what the jobs protect: nothing to evict.
  s.eviction_limit = total - 2 * entry_bytes(s.store.meshes().at(100)) - 1000;
  (void)split_store_into_cells(s);
  std::printf("store: %zu samples, %zu entries, %.1f MiB, limit %.1f MiB, pinned %.2f MiB, evicted %llu\n",
              static_cast<std::size_t>(s.store.sample_count()), s.store.meshes().size(),
              static_cast<double>(total) / 1048576.0, static_cast<double>(s.eviction_limit) / 1048576.0,
              static_cast<double>(s.store.pinned_bytes()) / 1048576.0,
              static_cast<unsigned long long>(s.store.pieces_evicted()));

  const double unchanged = per_run([&] { (void)split_store_into_cells(s); }, 1.0);
  bool toggle = false;
  const double changed = per_run([&] {
    toggle = !toggle;
    s.jobs[1].pins = toggle ? std::deque<std::uint64_t>{100, 101, 102} : std::deque<std::uint64_t>{100, 101};
    (void)split_store_into_cells(s);
  }, 1.0);
  std::printf("sweep, nothing changed:        %10.3f ms\n", unchanged * 1e3);
  std::printf("sweep after a job's pins moved: %10.3f ms\n", changed * 1e3);
  std::printf("still evicted nothing: %s; sweeps %llu, sample walks %llu\n", s.store.pieces_evicted() == 0 ? "yes" : "NO",
              static_cast<unsigned long long>(s.store.sweeps()), static_cast<unsigned long long>(s.store.sample_walks()));
  return 0;
}
