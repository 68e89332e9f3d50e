// Prints what a sweep of the terrain store costs in the state a long session reaches: the store
// over its limit by less than its pinned bytes, so that a sweep has nothing to evict. About a
// million samples and a thousand entries, three jobs that want and pin a little. Timed: a sweep
// that finds nothing changed, and a sweep after a job's pins changed (which must look again).
#include <chrono>
#include <cstdio>

#include "bench/bench_timing.hpp"
#include "terrain/work/store_eviction.hpp"

using namespace qm;

namespace {

using qm::bench::per_run;

// Cells side x side from (x0, y0), each with samples every 2 units and one entry of `vertices`.
void fill(Schedule& s, int side, std::size_t vertices) {
  Store& store = s.store;
  for (int cx = 0; cx < side; ++cx) {
    for (int cy = 0; cy < side; ++cy) {
      for (int x = 0; x < 64; x += 2)
        for (int y = 0; y < 64; y += 2) store.samples.put({cx * 64 + x, cy * 64 + y}, StoredSample{});
      mesh::CellMesh m;
      m.vertices.resize(vertices);
      m.triangles.resize(2 * vertices);
      m.cells = {{cx, cy}};
      const std::uint64_t key = store.next_key++;
      store.cell_map[{cx, cy}] = key;
      store.meshes[key] = std::move(m);
      store.stamps[key] = ++store.stamp_counter;
    }
  }
}

}  // namespace

int main() {
  Schedule s;
  s.store.theatre = std::make_shared<const std::string>("Caucasus");
  fill(s, 33, 250);  // 1089 cells: 1.1 million samples, 1089 entries
  for (std::uint64_t id = 1; id <= 3; ++id) {
    Job& job = s.jobs[id];
    job.theatre = s.store.theatre;
    job.wanted.insert({static_cast<std::int32_t>(10 * id), 5});
    job.pins = {id * 100, id * 100 + 1};
  }
  const std::uint64_t total = store_bytes(s.store);
  // Over the limit by less than what the jobs protect: nothing to evict.
  s.eviction_limit = total - 2 * entry_bytes(s.store.meshes.at(100)) - 1000;
  (void)split_store_into_cells(s);
  std::printf("store: %zu samples, %zu entries, %.1f MiB, limit %.1f MiB, pinned %.2f MiB, evicted %llu\n",
              static_cast<std::size_t>(s.store.sample_count()), s.store.meshes.size(),
              static_cast<double>(total) / 1048576.0, static_cast<double>(s.eviction_limit) / 1048576.0,
              static_cast<double>(s.store.pinned_bytes) / 1048576.0,
              static_cast<unsigned long long>(s.store.pieces_evicted));

  const double unchanged = per_run([&] { (void)split_store_into_cells(s); }, 1.0);
  bool toggle = false;
  const double changed = per_run([&] {
    toggle = !toggle;
    s.jobs[1].pins = toggle ? std::deque<std::uint64_t>{100, 101, 102} : std::deque<std::uint64_t>{100, 101};
    (void)split_store_into_cells(s);
  }, 1.0);
  std::printf("sweep, nothing changed:        %10.3f ms\n", unchanged * 1e3);
  std::printf("sweep after a job's pins moved: %10.3f ms\n", changed * 1e3);
  std::printf("still evicted nothing: %s; sweeps %llu, sample walks %llu\n", s.store.pieces_evicted == 0 ? "yes" : "NO",
              static_cast<unsigned long long>(s.store.sweeps), static_cast<unsigned long long>(s.store.sample_walks));
  return 0;
}
