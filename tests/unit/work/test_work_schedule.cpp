// The schedule's records and small operations: square masks, group pruning and failing, the window
// distance test, the per-job budget test and the store's byte estimate.
#include <gtest/gtest.h>

#include <functional>

#include "fault_text.hpp"
#include "work/schedule.hpp"
#include "work/store_testing.hpp"

namespace qm {
namespace {

SharedText theatre(const char* name) { return std::make_shared<const std::string>(name); }

mesh::CellMesh mesh_of(std::size_t vertices, std::size_t triangles, std::set<Cell> cells) {
  mesh::CellMesh m;
  m.vertices.resize(vertices);
  m.triangles.resize(triangles);
  m.cells = std::move(cells);
  return m;
}

SampledGroup group_of(const SharedText& t, std::set<Cell> cells) {
  SampledGroup g;
  g.theatre = t;
  g.set_cells(cells);
  g.frame_cells = cells;
  g.min_x = cells.begin()->first;
  g.max_x = cells.rbegin()->first;
  g.min_y = g.max_y = cells.begin()->second;
  for (const Cell& c : cells) {
    g.min_y = std::min(g.min_y, c.second);
    g.max_y = std::max(g.max_y, c.second);
  }
  return g;
}

Job job_wanting(const SharedText& t, std::initializer_list<Cell> cells) {
  Job j;
  j.theatre = t;
  for (const Cell& c : cells) j.wanted.insert(c);
  return j;
}

TEST(WorkSquareMask, NegativeCellsFallIntoTheSquareBelow) {
  EXPECT_EQ(square_of({-1, -1}), (Square{-1, -1}));
  EXPECT_EQ(cell_bit({-1, -1}), 1023u);
  EXPECT_EQ(square_of({32, -33}), (Square{1, -2}));
  EXPECT_EQ(cell_at({-1, -1}, 1023), (Cell{-1, -1}));
  SquareMask mask;
  mask.insert({-1, -1});
  mask.insert({0, 5});
  EXPECT_TRUE(mask.contains({-1, -1}));
  EXPECT_FALSE(mask.contains({-1, -2}));
  EXPECT_EQ(mask.square_count(), 2u);
  EXPECT_EQ(mask.find({-1, -1})->words[15], std::uint64_t{1} << 63);
}

TEST(WorkSquareMask, CellsComeInSquareThenBitOrderAndEmptySquaresGo) {
  SquareMask mask;
  for (Cell c : {Cell{33, 0}, Cell{1, 2}, Cell{0, 31}, Cell{-5, 7}}) mask.insert(c);
  std::vector<Cell> seen;
  mask.for_each_cell([&](Cell c) { seen.push_back(c); });
  EXPECT_EQ(seen, (std::vector<Cell>{{-5, 7}, {0, 31}, {1, 2}, {33, 0}}));
  EXPECT_TRUE(mask.erase({33, 0}));
  EXPECT_FALSE(mask.erase({33, 0}));
  EXPECT_EQ(mask.square_count(), 2u);
}

// The square-at-a-time operations agree with asking cell by cell, across squares and zero.
TEST(WorkSquareMask, SetOperationsAgreeWithTheCellsOneByOne) {
  const std::set<Cell> a = {{-33, 4}, {-1, -1}, {0, 0}, {0, 40}, {31, 31}, {32, 31}, {70, -70}};
  const std::set<Cell> cases[] = {
      {}, {{-1, -1}}, {{-1, 0}, {1, 1}}, {{32, 31}, {100, 100}}, {{-33, 5}, {-34, 4}}, {{70, -70}, {-33, 4}},
  };
  const SquareMask mask = SquareMask::of(a);
  EXPECT_EQ(mask.cell_count(), a.size());
  for (const Cell& c : a) EXPECT_TRUE(mask.contains(c));
  for (const std::set<Cell>& b : cases) {
    std::set<Cell> common, left;
    for (const Cell& c : a) (b.count(c) ? common : left).insert(c);
    const SquareMask other = SquareMask::of(b);
    EXPECT_EQ(mask.meets(other), !common.empty());
    EXPECT_EQ(mask.contains_any(b), !common.empty());
    SquareMask rest = mask;
    rest.subtract(other);
    EXPECT_EQ(rest, SquareMask::of(left));  // emptied squares go too
    SquareMask both = mask;
    both.intersect(other);
    EXPECT_EQ(both, SquareMask::of(common));
    std::set<Cell> all = a;
    all.insert(b.begin(), b.end());
    SquareMask united = mask;
    united.unite(other);
    EXPECT_EQ(united, SquareMask::of(all));
    // The box around the cells.
    const auto box = other.bounds();
    ASSERT_EQ(box.has_value(), !b.empty());
    if (!box) continue;
    std::int32_t x0 = INT32_MAX, y0 = INT32_MAX, x1 = INT32_MIN, y1 = INT32_MIN;
    for (const Cell& c : b) {
      x0 = std::min(x0, c.first), x1 = std::max(x1, c.first);
      y0 = std::min(y0, c.second), y1 = std::max(y1, c.second);
    }
    EXPECT_EQ(*box, (std::array<std::int32_t, 4>{x0, y0, x1, y1}));
  }
  EXPECT_EQ(SquareMask::of({{INT32_MIN, INT32_MAX}, {INT32_MAX, INT32_MIN}}).bounds(),
            (std::array<std::int32_t, 4>{INT32_MIN, INT32_MIN, INT32_MAX, INT32_MAX}));
  // The set's squares: (-2, 0), (-1, -1), (0, 0), (0, 1), (1, 0), (2, -3).
  EXPECT_TRUE(mask.meets_squares({-2, -3}, {-2, 0}));
  EXPECT_FALSE(mask.meets_squares({-3, -3}, {-3, 3}));
  EXPECT_TRUE(mask.meets_squares({1, -1}, {1, 0}));
  EXPECT_FALSE(mask.meets_squares({1, 1}, {1, 5}));
  EXPECT_FALSE(mask.meets_squares({2, -2}, {2, 5}));
  EXPECT_TRUE(mask.meets_squares({2, -3}, {3, -3}));
}

TEST(WorkStore, ByteEstimateCountsSamplesAndEntries) {
  Store store;
  EXPECT_EQ(store_bytes(store), 0u);
  store.put_sample({0, 0}, StoredSample{});
  store.put_sample({64, 0}, StoredSample{});
  store_parts(store).meshes.put(3, mesh_of(4, 2, {{0, 0}, {0, 1}}));
  EXPECT_EQ(store_bytes(store), 2 * 36 + (4 + 2) * 24 + 2 * 16 + 96u);
  store_parts(store).cell_map.set({0, 0}, 3);
  store_parts(store).stamps[3] = 1;
  store.pin(9, {});
  store.clear();
  store.check_invariants();
  EXPECT_EQ(store_bytes(store), 0u);
  EXPECT_TRUE(store.cell_map().empty());
  EXPECT_TRUE(store.stamps().empty());
  EXPECT_EQ(store.pins().size(), 1u);
}

// Every way the store's tables can be made to disagree is caught, and named.
TEST(WorkStore, CheckingTheInvariantsNamesEachBrokenOne) {
  // A store the operations could have made: entry 3 over two cells, stamped, owned, with a sample
  // and a group's pin.
  const auto add = [](StoreParts& p, std::uint64_t key, std::uint64_t id, std::uint64_t stamp) {
    mesh::CellMesh m = mesh_of(4, 2, {{0, 0}, {0, 1}});
    m.id = id;
    p.meshes.put(key, std::move(m));
    p.stamps[key] = stamp;
  };
  const auto valid = [&](Schedule& s) {
    StoreParts p = store_parts(s.store);
    p.theatre = theatre("Caucasus");
    add(p, 3, 3, 1);
    p.cell_map.set_all({{0, 0}, {0, 1}}, 3);
    p.next_key = 4;
    p.stamp_counter = 2;
    p.owners["Caucasus"][Square{0, 0}].stamp = 1;
    p.owners["Caucasus"][Square{0, 0}].ids[cell_bit({0, 0})] = {3, 1};
    p.samples.put({5, 5}, StoredSample{});
    s.groups[4] = SampledGroup{};
    s.store.pin(group_pin_id(4), PinRecord{});
  };
  struct Case {
    const char* fault;
    std::function<void(Schedule&)> brk;
  };
  const Case cases[] = {
      {"every cell-map key names a stored entry", [](Schedule& s) { store_parts(s.store).cell_map.set({9, 9}, 8); }},
      {"the entry a cell maps to holds the cell", [](Schedule& s) { store_parts(s.store).cell_map.set({9, 9}, 3); }},
      {"every entry has a stamp", [](Schedule& s) { store_parts(s.store).stamps.erase(3); }},
      {"every stamp names an entry", [](Schedule& s) { store_parts(s.store).stamps[8] = 2; }},
      {"no stamp is past the stamp counter", [](Schedule& s) { store_parts(s.store).stamp_counter = 0; }},
      {"no two entries share a stamp",
       [&](Schedule& s) {
         StoreParts p = store_parts(s.store);
         add(p, 2, 2, 1);
       }},
      {"an entry's mesh carries its key",
       [&](Schedule& s) {
         StoreParts p = store_parts(s.store);
         add(p, 2, 0, 2);
       }},
      {"every key is below the next key", [](Schedule& s) { store_parts(s.store).next_key = 3; }},
      {"a cell names a second piece only beside a first",
       [](Schedule& s) { store_parts(s.store).owners["Nevada"][Square{1, 1}].ids[0] = {kNoOwner, 3}; }},
      {"no owner square is stamped past the stamp counter",
       [](Schedule& s) { store_parts(s.store).owners["Caucasus"][Square{0, 0}].stamp = 3; }},
      {"a group pin names a listed group", [](Schedule& s) { s.groups.erase(4); }},
      {"every listed group has its pin", [](Schedule& s) { s.store.unpin(group_pin_id(4)); }},
  };
  {
    Schedule s;
    valid(s);
    EXPECT_EQ(testing::fault_text([&] { check_invariants(s); }), "no fault");
  }
  for (const Case& c : cases) {
    SCOPED_TRACE(c.fault);
    Schedule s;
    valid(s);
    c.brk(s);
    EXPECT_EQ(testing::fault_text([&] { check_invariants(s); }).rfind(c.fault, 0), 0u)
        << testing::fault_text([&] { check_invariants(s); });
  }
}

TEST(WorkSchedule, GroupsNoJobWantsArePrunedAndCancelled) {
  Schedule s;
  const auto a = theatre("Caucasus");
  s.jobs[1] = job_wanting(a, {{5, 5}});
  s.groups[0] = group_of(a, {{5, 5}, {5, 6}});
  s.groups[1] = group_of(a, {{40, 40}});                       // no job wants these cells
  s.groups[2] = group_of(theatre("Nevada"), {{5, 5}});          // same cell, other theatre
  const CancelFlag kept = s.groups[0].cancel, pruned = s.groups[1].cancel, other = s.groups[2].cancel;
  drop_job(s, 77);  // not listed: still prunes
  EXPECT_EQ(s.groups.size(), 1u);
  EXPECT_TRUE(s.groups.count(0));
  EXPECT_FALSE(kept->load());
  EXPECT_TRUE(pruned->load());
  EXPECT_TRUE(other->load());
  EXPECT_EQ(s.counters.cancelled, 2u);
  drop_job(s, 1);
  EXPECT_TRUE(s.groups.empty());
  EXPECT_EQ(s.counters.cancelled, 3u);
}

TEST(WorkSchedule, FailingAGroupRecordsItsCellsAndFreesTheJobsFromThem) {
  Schedule s;
  const auto a = theatre("Caucasus");
  s.jobs[1] = job_wanting(a, {{5, 5}, {40, 1}});
  s.jobs[2] = job_wanting(theatre("Caucasus"), {{5, 6}});
  s.jobs[3] = job_wanting(theatre("Nevada"), {{5, 5}});
  s.groups[4] = group_of(a, {{5, 5}, {5, 6}});
  fail_group(s, 9);  // unlisted: nothing moves
  EXPECT_EQ(s.counters.failed, 0u);
  fail_group(s, 4);
  EXPECT_TRUE(s.groups.empty());
  EXPECT_EQ(s.counters.failed, 1u);
  EXPECT_TRUE(s.failed_cells["Caucasus"].contains({5, 5}));
  EXPECT_TRUE(s.failed_cells["Caucasus"].contains({5, 6}));
  EXPECT_EQ(s.jobs[1].failed_squares, (std::set<Square>{{0, 0}}));
  EXPECT_FALSE(s.jobs[1].wanted.contains({5, 5}));
  EXPECT_TRUE(s.jobs[1].wanted.contains({40, 1}));
  EXPECT_EQ(s.jobs[2].failed_squares.size(), 1u);
  EXPECT_TRUE(s.jobs[2].wanted.empty());
  EXPECT_TRUE(s.jobs[3].failed_squares.empty());  // another theatre
  EXPECT_TRUE(s.jobs[3].wanted.contains({5, 5}));
}

TEST(WorkSchedule, AWindowKeepsMoreThanThreeCellsFromEveryGroupFrame) {
  Schedule s;
  const auto a = theatre("Caucasus");
  EXPECT_TRUE(window_is_free(s, {{0, 0}}));
  s.groups[0] = group_of(a, {{10, 10}, {11, 10}});
  struct Case {
    Cell cell;
    bool free;
  };
  for (const Case& c : std::vector<Case>{{{14, 10}, false},  // 3 cells past x = 11
                                         {{15, 10}, true},   // 4 cells past it
                                         {{14, 13}, false},
                                         {{15, 13}, true},
                                         {{13, 10}, false},  // 2 away
                                         {{11, 14}, true},   // 4 away in y
                                         {{11, 13}, false},  // 3 away in y
                                         {{7, 7}, false},    // 3 away in both
                                         {{6, 7}, true},
                                         {{10, 10}, false}}) {
    EXPECT_EQ(window_is_free(s, {c.cell}), c.free) << c.cell.first << "," << c.cell.second;
  }
  EXPECT_FALSE(window_is_free(s, {{30, 30}, {13, 12}}));
}

TEST(WorkSchedule, BudgetCountsWantedGroupsAndPinnedEntries) {
  Schedule s;
  const auto a = theatre("Caucasus");
  s.jobs[1] = job_wanting(a, {{5, 5}});
  EXPECT_FALSE(over_budget(s, 1));  // nothing held: never over, whatever the limit
  s.byte_limit = 0;
  EXPECT_FALSE(over_budget(s, 1));
  EXPECT_FALSE(over_budget(s, 99));
  s.byte_limit.reset();

  s.groups[0] = group_of(a, {{5, 5}});
  EXPECT_FALSE(over_budget(s, 1));  // 2 * 386547 within 4 MiB
  s.byte_limit = 773094;
  EXPECT_FALSE(over_budget(s, 1));
  s.byte_limit = 773093;
  EXPECT_TRUE(over_budget(s, 1));

  // A group of another theatre or outside the wanted squares does not count; pins do.
  s.byte_limit = 1000;
  s.groups.clear();
  s.groups[0] = group_of(theatre("Nevada"), {{5, 5}});
  s.groups[1] = group_of(a, {{500, 500}});
  s.measured_groups = 2;
  s.measured_bytes = 101;  // mean 50
  EXPECT_FALSE(over_budget(s, 1));
  store_parts(s.store).meshes.put(7, mesh_of(10, 10, {{1, 1}}));  // 480 + 16 + 96 = 592 bytes
  s.jobs[1].pins = {7, 8};                        // 8 is not stored
  EXPECT_FALSE(over_budget(s, 1));                // 592 + 50 within 1000
  s.byte_limit = 641;
  EXPECT_TRUE(over_budget(s, 1));
}

}  // namespace
}  // namespace qm
