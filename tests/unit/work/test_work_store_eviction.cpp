// The store's sweep past its eviction limit: protection by the jobs' wanted cells and by pins,
// samples first, then entries oldest first, and the jobs that want an evicted entry's cells again.
#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <functional>
#include <vector>

#include "work/store_eviction.hpp"
#include "work/store_testing.hpp"

namespace qm {
namespace {

SharedText theatre(const char* name) { return std::make_shared<const std::string>(name); }

struct SweepFixture : ::testing::Test {
  Schedule s;
  SweepFixture() { s.store.hold_theatre(theatre("Caucasus")); }
  // An entry of 24 * size + 112 bytes over one cell, mapped in the cell map.
  void entry(std::uint64_t key, Cell cell, std::size_t size, std::optional<std::uint64_t> stamp) {
    mesh::CellMesh m;
    m.vertices.resize(size);
    m.cells = {cell};
    put(key, std::move(m), stamp);
    store_parts(s.store).cell_map.set(cell, key);
  }
  // Stores the mesh under the key as the store would have given it: the key below the next one,
  // the stamp within the stamp counter.
  void put(std::uint64_t key, mesh::CellMesh m, std::optional<std::uint64_t> stamp) {
    StoreParts parts = store_parts(s.store);
    m.id = key;
    parts.meshes.put(key, std::move(m));
    parts.next_key = std::max(parts.next_key, key + 1);
    if (stamp) {
      parts.stamps[key] = *stamp;
      parts.stamp_counter = std::max(parts.stamp_counter, *stamp);
    }
  }
  // A sweep, after which the store still keeps its invariants.
  std::vector<std::uint64_t> sweep() {
    std::vector<std::uint64_t> evicted = split_store_into_cells(s);
    check_invariants(s);
    return evicted;
  }
  static std::uint64_t bytes(std::size_t size) { return 24 * size + 112; }
};

TEST(WorkEviction, WideningSpansTheCellsAroundAcrossSquares) {
  SquareMask mask;
  mask.insert({31, 31});
  SquareMask expected;
  for (int x = 29; x <= 33; ++x)
    for (int y = 29; y <= 33; ++y) expected.insert({x, y});
  EXPECT_EQ(widen(mask, 2), expected);
  mask.insert({-1, 0});
  EXPECT_TRUE(widen(mask, 2).contains({-3, -2}));
  EXPECT_FALSE(widen(mask, 2).contains({-4, 0}));
  EXPECT_EQ(widen(mask, 2).cell_count(), 50u);

  // Scattered cells across squares and zero, against the neighbourhoods one cell at a time.
  SquareMask scattered;
  std::uint32_t seed = 7;
  for (int i = 0; i < 300; ++i) {
    seed = seed * 1103515245u + 12345u;
    const int x = static_cast<int>(seed >> 8) % 200 - 100;
    seed = seed * 1103515245u + 12345u;
    const int y = static_cast<int>(seed >> 8) % 200 - 100;
    scattered.insert({x, y});
  }
  for (int reach = 0; reach <= 3; ++reach) {
    SquareMask brute;
    scattered.for_each_cell([&](Cell c) {
      for (int dx = -reach; dx <= reach; ++dx)
        for (int dy = -reach; dy <= reach; ++dy) brute.insert({c.first + dx, c.second + dy});
    });
    EXPECT_EQ(widen(scattered, reach), brute) << reach;
  }

  // Nothing past the 32-bit range of cells, at any of its four corners.
  SquareMask corners;
  for (const Cell& c : {Cell{INT32_MIN, INT32_MIN}, Cell{INT32_MAX, INT32_MIN}, Cell{INT32_MIN, INT32_MAX},
                       Cell{INT32_MAX, INT32_MAX}})
    corners.insert(c);
  EXPECT_EQ(widen(corners, 2).cell_count(), 4u * 9u);
}

TEST_F(SweepFixture, ExactlyTheLimitEvictsNothing) {
  // One entry of exactly 64 MiB: 2796198 * 24 + 112 = 67108864.
  entry(1, {0, 0}, 2796198, 1);
  ASSERT_EQ(store_bytes(s.store), 67108864u);
  EXPECT_TRUE(sweep().empty());
  EXPECT_EQ(s.store.meshes().size(), 1u);
  entry(2, {5, 5}, 1, 2);
  EXPECT_EQ(sweep(), (std::vector<std::uint64_t>{1}));
  EXPECT_EQ(s.store.pieces_evicted(), 1u);
  EXPECT_EQ(s.store.cell_map().size(), 1u);
  EXPECT_TRUE(s.store.pins().empty());  // the sweep's own records are gone again
}

TEST_F(SweepFixture, OldestStampThenSmallestKeyGoesFirstAndUnstampedBeforeAll) {
  s.eviction_limit = 3 * bytes(1);
  entry(5, {0, 0}, 1, 7);
  entry(4, {10, 0}, 1, 7);
  entry(9, {20, 0}, 1, std::nullopt);  // two entries sharing a stamp and one without: no store makes
  entry(2, {30, 0}, 1, 8);             // them, so this sweep is not checked against the invariants
  entry(3, {40, 0}, 1, 9);
  EXPECT_EQ(split_store_into_cells(s), (std::vector<std::uint64_t>{9, 4}));
  EXPECT_EQ(s.store.meshes().size(), 3u);
  EXPECT_FALSE(s.store.stamps().count(4));
  EXPECT_EQ(s.store.last_estimate(), 3 * bytes(1));
}

TEST_F(SweepFixture, WantedCellsProtectEntriesAndSamplesWithinTwoCells) {
  s.eviction_limit = 0;
  Job& job = s.jobs[1];
  job.theatre = theatre("Caucasus");
  job.wanted.insert({10, 10});
  entry(1, {12, 12}, 1, 1);  // two cells away: stays
  entry(2, {13, 10}, 1, 2);  // three away: goes
  s.store.put_sample({12 * 64 + 5, 12 * 64 + 5}, StoredSample{});  // in cell (12, 12): stays
  s.store.put_sample({13 * 64, 10 * 64}, StoredSample{});          // on the border of cells 12 and 13: stays
  s.store.put_sample({13 * 64 + 1, 10 * 64}, StoredSample{});      // only in cell 13: goes
  EXPECT_EQ(sweep(), (std::vector<std::uint64_t>{2}));
  EXPECT_EQ(s.store.samples().size(), 2u);
  EXPECT_EQ(s.store.samples_evicted(), 1u);
  EXPECT_EQ(s.store.pinned_bytes(), bytes(1) + 2 * 36);

  // A job of another theatre protects nothing.
  job.theatre = theatre("Nevada");
  sweep();
  EXPECT_TRUE(s.store.meshes().empty());
  EXPECT_TRUE(s.store.samples().empty());
}

// An entry stays when any of its cells is protected, however far apart its cells lie, and only
// then; a mesh given under a key again is judged by its own cells.
TEST_F(SweepFixture, AnEntryIsProtectedByAnyOfItsCellsWhereverTheyLie) {
  s.eviction_limit = 0;
  s.store.pin(7, PinRecord{{{200, -100}}, {}, 0});
  const auto spread = [&](std::uint64_t key, std::set<Cell> cells) {
    mesh::CellMesh m;
    m.vertices.resize(1);
    m.cells = std::move(cells);
    put(key, std::move(m), key);
  };
  spread(1, {{0, 0}, {200, -100}});         // its far cell is pinned
  spread(2, {{0, 0}, {199, -99}, {201, -130}});  // around the pinned cell, squares apart: none is it
  spread(3, {{-40, 70}, {230, -100}});      // spans the pinned cell's square, misses the cell
  EXPECT_EQ(sweep(), (std::vector<std::uint64_t>{2, 3}));
  EXPECT_EQ(s.store.meshes().size(), 1u);

  // The same key with other cells: the one kept is judged anew.
  spread(1, {{5, 5}});
  spread(4, {{200, -100}});
  EXPECT_EQ(sweep(), (std::vector<std::uint64_t>{1}));
  EXPECT_TRUE(s.store.meshes().count(4));
}

TEST_F(SweepFixture, ASampleOnACellBorderBelongsToBothCells) {
  s.eviction_limit = 0;
  s.store.pin(77, PinRecord{{{1, 0}}, {}, 1});
  s.store.put_sample({128, 10}, StoredSample{});  // cells 1 and 2 in x: kept through cell 1
  s.store.put_sample({192, 10}, StoredSample{});  // cells 2 and 3: goes
  s.store.put_sample({64, 64}, StoredSample{});   // cells 0..1 by 0..1: kept
  sweep();
  EXPECT_EQ(s.store.samples().size(), 2u);
  EXPECT_TRUE(s.store.samples().contains({128, 10}));
  EXPECT_EQ(s.store.pins().size(), 1u);
}

TEST_F(SweepFixture, PinnedBytesDoNotCountAgainstTheLimit) {
  s.eviction_limit = bytes(10);
  entry(1, {0, 0}, 100, 1);  // pinned: far above the limit alone
  entry(2, {5, 0}, 5, 2);    // the unpinned part, within the limit
  s.store.pin(1, PinRecord{{}, {1}, 0});
  EXPECT_TRUE(sweep().empty());
  EXPECT_EQ(s.store.meshes().size(), 2u);
  EXPECT_EQ(s.store.pinned_bytes(), bytes(100));
  EXPECT_EQ(s.store.last_estimate(), bytes(5));
}

// A job that pinned an evicted entry wants again those of its cells that its page asked for and
// does not hold; an entry reaches over cells beyond the request, which the job never wanted.
TEST_F(SweepFixture, AJobWantsAnEvictedEntrysRequestedCellsAgain) {
  s.eviction_limit = 0;
  s.byte_limit = bytes(2) + bytes(3);
  mesh::CellMesh wide;
  wide.vertices.resize(4);
  wide.cells = {{50, 50}, {50, 51}};
  entry(1, {0, 0}, 2, 1);
  entry(2, {10, 0}, 3, 2);
  entry(3, {20, 0}, 1, 3);  // past the job's byte limit: not honoured
  store_parts(s.store).meshes.put(4, wide);
  for (std::uint64_t k : {1, 2, 3, 4}) s.jobs[1].pins.push_back(k);
  s.jobs[1].theatre = theatre("Nevada");  // its wanted cells protect nothing here
  s.jobs[1].squares.insert({20, 0});
  s.jobs[1].squares.insert({50, 51});
  s.jobs[2].pins = {1, 4};  // its first pin is honoured, 4 is past its limit
  s.jobs[2].theatre = s.jobs[1].theatre;
  s.jobs[2].squares.insert({0, 0});  // its page holds the wide entry's cells: it asks for neither
  const auto evicted = split_store_into_cells(s);
  EXPECT_EQ(evicted, (std::vector<std::uint64_t>{4, 3}));  // 4 has no stamp
  EXPECT_EQ(s.jobs[1].pins, (std::deque<std::uint64_t>{1, 2}));
  EXPECT_TRUE(s.jobs[1].wanted.contains({20, 0}));
  EXPECT_TRUE(s.jobs[1].wanted.contains({50, 51}));
  EXPECT_FALSE(s.jobs[1].wanted.contains({50, 50}));
  EXPECT_EQ(s.jobs[2].pins, (std::deque<std::uint64_t>{1}));
  EXPECT_TRUE(s.jobs[2].wanted.empty());
  EXPECT_EQ(s.counters.returned, 3u);
}

TEST_F(SweepFixture, AJobsFirstPinIsHonouredWhateverItsSize) {
  s.eviction_limit = 0;
  s.byte_limit = 1;
  entry(1, {0, 0}, 50, 1);
  entry(2, {10, 0}, 1, 2);
  s.jobs[1].pins = {1, 2};
  s.jobs[1].theatre = theatre("Nevada");
  EXPECT_EQ(sweep(), (std::vector<std::uint64_t>{2}));
  EXPECT_TRUE(s.store.meshes().count(1));
}

// The store over its limit with the unpinned part within it (the pinned part makes the
// difference): a sweep there evicts nothing and never walks the samples; later sweeps whose
// outcome cannot differ return before they look at anything, and every change that could matter
// makes the next sweep look again.
TEST_F(SweepFixture, ASweepThatCannotEvictAnythingMoreDoesNotLookAgain) {
  Job& job = s.jobs[1];
  job.theatre = s.store.theatre();
  job.squares.insert({0, 0});
  job.pins = {1};
  entry(1, {0, 0}, 100, 1);  // pinned by the job
  entry(2, {40, 0}, 10, 2);
  for (int i = 0; i < 10; ++i) s.store.put_sample({40 * 64 + 2 * i, 5}, StoredSample{});  // unprotected
  s.eviction_limit = bytes(10) + 10 * 36 + 3 * 36;  // room for three more samples
  ASSERT_GT(store_bytes(s.store), s.eviction_limit);

  EXPECT_TRUE(sweep().empty());
  EXPECT_EQ(s.store.sweeps(), 1u);
  EXPECT_EQ(s.store.pinned_bytes(), bytes(100));
  EXPECT_EQ(s.store.last_estimate(), bytes(10) + 10 * 36);
  for (int i = 0; i < 100; ++i) EXPECT_TRUE(sweep().empty());
  EXPECT_EQ(s.store.sweeps(), 1u);

  // Samples the unpinned estimate has room for change nothing.
  for (int i = 0; i < 3; ++i) s.store.put_sample({40 * 64 + 2 * i, 7}, StoredSample{});
  EXPECT_TRUE(sweep().empty());
  EXPECT_EQ(s.store.sweeps(), 1u);
  EXPECT_EQ(s.store.sample_walks(), 0u);

  // Each of these may change the outcome, and the sweep after it looks again. (None of them
  // brings the store within the limit: the entry the job pins stays.)
  struct Change {
    const char* name;
    std::function<void()> apply;
  };
  const Change changes[] = {
      {"a sample past the room", [&] { s.store.put_sample({40 * 64 + 1, 9}, StoredSample{}); }},
      {"a pin put on", [&] { job.pins = {1, 2}; }},
      {"a pin taken off", [&] { job.pins = {1}; }},
      {"a wanted cell", [&] { job.wanted.insert({60, 0}); }},
      {"a pin record", [&] { s.store.pin(9, PinRecord{{{40, 0}}, {}, 1}); }},
      {"a new entry", [&] { entry(3, {80, 0}, 1, 3); }},
      {"an entry stored again under its key", [&] { entry(3, {80, 0}, 2, 3); }},
      {"another limit", [&] { s.byte_limit = bytes(1); }},
  };
  std::uint64_t sweeps = s.store.sweeps();
  for (const Change& change : changes) {
    SCOPED_TRACE(change.name);
    change.apply();
    (void)sweep();
    EXPECT_EQ(s.store.sweeps(), sweeps + 1);
    sweeps = s.store.sweeps();
    (void)sweep();
    EXPECT_EQ(s.store.sweeps(), sweeps);
  }
  // Only the sample past the room made a sweep walk the samples, to remove the unprotected ones.
  EXPECT_EQ(s.store.sample_walks(), 1u);
  EXPECT_EQ(s.store.samples_evicted(), 14u);
}

// The per-cell counts give the same number of protected samples as asking each sample, for
// samples inside cells, on their borders and at their corners, on both sides of zero, and stay
// right as samples are replaced and removed.
TEST(WorkEviction, SampleCountsByCellAgreeWithEachSample) {
  SampleTable table;
  std::vector<Cell> points;
  for (int x = -130; x <= 130; x += 2)
    for (int y = -70; y <= 200; y += 3) points.push_back({x, y});
  for (const Cell& p : points) table.put(p, StoredSample{});
  for (const Cell& p : points) table.put(p, StoredSample{1, 2.0});  // replaced, not added
  ASSERT_EQ(table.size(), points.size());
  table.check_counts();

  const std::set<Cell> protected_sets[] = {
      {}, {{0, 0}}, {{-1, -1}}, {{1, 0}, {-2, 2}}, {{0, 1}, {1, 1}, {-1, 0}}, {{-3, -2}, {2, 3}, {0, -1}},
      {{31, 0}, {-32, -1}, {0, 31}},  // squares apart
  };
  const auto mask_of = [](const std::set<Cell>& cells) {
    SquareMask mask;
    for (const Cell& c : cells) mask.insert(c);
    return mask;
  };
  for (const std::set<Cell>& cells : protected_sets) {
    const SquareMask mask = mask_of(cells);
    std::uint64_t expected = 0;
    for (const Cell& p : points) expected += SampleTable::held_by(p, mask) ? 1 : 0;
    EXPECT_EQ(table.count_held(mask), expected);
  }
  SquareMask everything;
  for (int x = -4; x <= 4; ++x)
    for (int y = -3; y <= 4; ++y) everything.insert({x, y});
  EXPECT_EQ(table.count_held(everything), points.size());

  // Removing what one set does not hold leaves exactly what it holds, counted alike.
  const SquareMask kept = mask_of({{0, 0}, {-1, 1}});
  const std::uint64_t held = table.count_held(kept);
  EXPECT_EQ(table.erase_unheld(kept), points.size() - held);
  table.check_counts();
  EXPECT_EQ(table.size(), held);
  EXPECT_EQ(table.count_held(everything), held);
  EXPECT_EQ(table.count_held(kept), held);
}

// The table's byte sum and change count follow every way an entry comes and goes.
TEST(WorkEviction, TheMeshTableKeepsItsByteSumAsEntriesComeAndGo) {
  MeshTable table;
  const auto mesh = [](std::size_t vertices, std::size_t cells) {
    mesh::CellMesh m;
    m.vertices.resize(vertices);
    for (std::size_t i = 0; i < cells; ++i) m.cells.insert({static_cast<std::int32_t>(i), 0});
    return m;
  };
  const auto sum = [&table] {
    std::uint64_t bytes = 0;
    for (const auto& [key, m] : table) bytes += entry_bytes(m);
    return bytes;
  };
  struct Step {
    const char* name;
    std::function<void()> apply;
    bool changes;
  };
  const Step steps[] = {
      {"put", [&] { table.put(1, mesh(10, 1)); }, true},
      {"put another", [&] { table.put(2, mesh(3, 4)); }, true},
      {"put over a key", [&] { table.put(1, mesh(50, 2)); }, true},
      {"take", [&] { EXPECT_EQ(table.take(2)->cells.size(), 4u); }, true},
      {"take a missing key", [&] { EXPECT_FALSE(table.take(2)); }, false},
      {"clear", [&] { table.clear(); }, true},
      {"put after clearing", [&] { table.put(7, mesh(0, 0)); }, true},
  };
  for (const Step& step : steps) {
    SCOPED_TRACE(step.name);
    const std::uint64_t before = table.changes();
    step.apply();
    EXPECT_EQ(table.bytes(), sum());
    EXPECT_EQ(table.changes() != before, step.changes);
  }
}

// The cell map's covered cells follow every way a cell is mapped and let go.
TEST(WorkEviction, TheCellMapsCoveredCellsAgreeWithItsEntries) {
  CellMap map;
  const auto agree = [&map] {
    SquareMask expected;
    std::size_t count = 0;
    map.for_each([&](Cell cell, std::uint64_t key) {
      expected.insert(cell);
      EXPECT_EQ(map.key_of(cell), key);
      ++count;
    });
    EXPECT_EQ(map.covered().squares(), expected.squares());
    EXPECT_EQ(map.size(), count);
    map.check_consistent();
  };
  map.set({0, 0}, 1);
  map.set({31, 31}, 1);
  map.set({32, -1}, 2);
  agree();
  map.set({0, 0}, 3);  // mapped again
  agree();
  map.set_all({{0, 0}, {1, 1}, {40, 40}, {-1, -33}}, 4);
  agree();
  EXPECT_EQ(map.at({0, 0}), 4u);
  map.erase(Cell{1, 1});
  map.erase(Cell{40, 40});
  map.erase(Cell{-1, -33});
  map.erase(Cell{31, 31});
  map.erase(Cell{5, 5});  // never mapped
  agree();
  map.erase_where({{32, -1}, {0, 0}}, 2);  // (0, 0) is mapped to another key
  agree();
  EXPECT_EQ(map.key_of({0, 0}), 4u);
  EXPECT_FALSE(map.key_of({32, -1}));
  EXPECT_EQ(map.covered().square_count(), 1u);
  map.clear();
  agree();
  EXPECT_TRUE(map.covered().empty());
}

// A theatre change empties the store, and its figures go with it: nothing is pinned in an empty
// store, and the next sweep does not trust what the last one saw.
TEST_F(SweepFixture, ClearingTheStoreResetsItsSweepFigures) {
  s.eviction_limit = bytes(1);
  entry(1, {0, 0}, 5, 1);
  entry(2, {5, 0}, 5, 2);
  s.store.pin(1, PinRecord{{}, {1}, 0});
  (void)sweep();
  ASSERT_EQ(s.store.pinned_bytes(), bytes(5));
  const std::uint64_t evicted = s.store.pieces_evicted();

  s.store.clear();
  EXPECT_EQ(s.store.pinned_bytes(), 0u);
  EXPECT_EQ(s.store.last_estimate(), 0u);
  EXPECT_EQ(store_bytes(s.store), 0u);
  EXPECT_EQ(s.store.pieces_evicted(), evicted);  // the counters stay

  entry(1, {0, 0}, 5, 1);
  entry(2, {5, 0}, 5, 2);
  const std::uint64_t sweeps = s.store.sweeps();
  (void)sweep();
  EXPECT_EQ(s.store.sweeps(), sweeps + 1);
}

}  // namespace
}  // namespace qm
