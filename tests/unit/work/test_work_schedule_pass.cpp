// The schedule pass: round robin over the held theatre's jobs, the whole-job window, the square by
// square windows and the frame with its taken-in stored cells.
#include <gtest/gtest.h>

#include <vector>

#include "base/fault.hpp"
#include "work/schedule_pass.hpp"
#include "work/store_testing.hpp"

namespace qm {
namespace {

SharedText theatre(const char* name) { return std::make_shared<const std::string>(name); }

struct PassFixture : ::testing::Test {
  Schedule s;
  SharedText held = theatre("Caucasus");
  PassFixture() { s.store.hold_theatre(held); }
  Job& job(std::uint64_t id, std::initializer_list<Cell> cells) {
    Job& j = s.jobs[id];
    j.theatre = theatre("Caucasus");  // equal text, another reference
    for (const Cell& c : cells) j.wanted.insert(c);
    return j;
  }
  void store_cell(Cell c, std::uint64_t key) { store_parts(s.store).cell_map.set(c, key); }
  std::uint64_t serve() {
    const auto ids = mark_held_back(s);
    auto served = next_plan(s, ids);
    if (!served) return 0;
    file_group(s, served->second);
    return served->first;
  }
};

TEST_F(PassFixture, JobsTakeTurnsAfterTheLastServedOneWrappingRound) {
  job(3, {{0, 0}});
  job(7, {{100, 0}});
  job(9, {{200, 0}});
  s.last_served = 7;
  EXPECT_EQ(serve(), 9u);
  EXPECT_EQ(serve(), 3u);
  EXPECT_EQ(serve(), 7u);
  EXPECT_EQ(serve(), 0u);  // every wanted cell is held by a filed group now
  EXPECT_EQ(s.last_served, 7u);
  EXPECT_EQ(s.counters.started, 3u);
  EXPECT_EQ(s.groups.size(), 3u);
}

TEST_F(PassFixture, AHeldBackJobYieldsNothingAndTheNextOneIsServed) {
  job(3, {{0, 0}});
  job(7, {{100, 0}});
  job(9, {{200, 0}}).held_back = 1;
  s.last_served = 7;
  const auto served = next_plan(s, {3, 7, 9});
  ASSERT_TRUE(served);
  EXPECT_EQ(served->first, 3u);
  EXPECT_FALSE(schedule_job(s, 9));
}

TEST_F(PassFixture, JobsOfAnotherTheatreOrWithNothingWantedAreNotListed) {
  job(1, {{0, 0}});
  s.jobs[2].theatre = theatre("Nevada");
  s.jobs[2].wanted.insert({50, 50});
  s.jobs[3].theatre = theatre("Caucasus");
  EXPECT_EQ(mark_held_back(s), (std::vector<std::uint64_t>{1}));
  s.store.hold_theatre(nullptr);
  EXPECT_TRUE(mark_held_back(s).empty());
}

TEST_F(PassFixture, HeldBackCountsOnceWhileItLasts) {
  job(1, {{5, 5}, {50, 50}});
  ASSERT_EQ(serve(), 1u);  // a group now holds the job's cells
  s.byte_limit = 0;
  mark_held_back(s);
  mark_held_back(s);
  EXPECT_EQ(s.jobs[1].held_back, 1);
  EXPECT_EQ(s.counters.held_back, 1u);
  s.byte_limit.reset();
  mark_held_back(s);
  EXPECT_EQ(s.jobs[1].held_back, 0);
  s.byte_limit = 0;
  mark_held_back(s);
  EXPECT_EQ(s.counters.held_back, 2u);
}

TEST_F(PassFixture, ASmallJobNearAFiledGroupYieldsNothing) {
  SampledGroup g;
  g.theatre = held;
  g.frame_cells = {{4, 0}};
  g.set_cells(g.frame_cells);
  g.min_x = g.max_x = 4;
  s.groups[0] = g;
  job(1, {{1, 0}, {30, 0}});
  EXPECT_FALSE(schedule_job(s, 1));
  s.groups[0].frame_cells = {{5, 0}};
  s.groups[0].set_cells(s.groups[0].frame_cells);
  s.groups[0].min_x = s.groups[0].max_x = 5;
  const auto plan = schedule_job(s, 1);
  ASSERT_TRUE(plan);
  EXPECT_EQ(plan->frame_cells, (std::set<Cell>{{1, 0}, {30, 0}}));
}

TEST_F(PassFixture, AWideJobIsServedSquareBySquareEvenRowsFirst) {
  job(1, {{5, 5}, {5, 37}, {5, 69}, {37, 5}, {165, 5}});
  SampledGroup g;
  g.theatre = held;
  g.frame_cells = {{5, 8}};  // within 3 cells of (5, 5)
  g.set_cells(g.frame_cells);
  g.min_x = g.max_x = 5;
  g.min_y = g.max_y = 8;
  s.groups[0] = g;
  auto plan = schedule_job(s, 1);
  ASSERT_TRUE(plan);
  EXPECT_EQ(plan->frame_cells, (std::set<Cell>{{5, 69}}));  // square (0, 2) before (0, 1)
  s.groups.clear();
  plan = schedule_job(s, 1);
  ASSERT_TRUE(plan);
  EXPECT_EQ(plan->frame_cells, (std::set<Cell>{{5, 5}}));
}

TEST_F(PassFixture, ASquareWindowServesEveryJobOfTheTheatreThere) {
  job(1, {{5, 5}, {500, 5}});
  job(2, {{6, 6}});
  Job& other = s.jobs[3];
  other.theatre = theatre("Nevada");
  other.wanted.insert({7, 7});
  const auto plan = schedule_job(s, 1);
  ASSERT_TRUE(plan);
  EXPECT_EQ(plan->frame_cells, (std::set<Cell>{{5, 5}, {6, 6}}));
}

// The frame, worked out cell by cell: the job's cells no entry covers, the covered cells next to
// them and the covered cells next to those. Scattered entries around a small job, across square
// borders, near the origin and near the ends of the range a frame may lie in.
TEST_F(PassFixture, TheFrameHoldsTheCoveredCellsWithinTwoStepsOfTheNewOnes) {
  const auto near = [](Cell c) {
    std::vector<Cell> out;
    for (std::int32_t dx = -1; dx <= 1; ++dx)
      for (std::int32_t dy = -1; dy <= 1; ++dy) out.push_back({c.first + dx, c.second + dy});
    return out;
  };
  std::uint64_t seed = 7;
  const auto next = [&seed] {
    seed = seed * 6364136223846793005ull + 1442695040888963407ull;
    return static_cast<std::uint32_t>(seed >> 33);
  };
  const std::int64_t origins[] = {-3, 28, -(std::int64_t{1} << 24) + 1, (std::int64_t{1} << 24) - 9};
  for (const std::int64_t origin : origins) {
    for (int round = 0; round < 20; ++round) {
      SCOPED_TRACE(testing::Message() << "origin " << origin << " round " << round);
      store_parts(s.store).cell_map.clear();
      s.jobs.clear();
      const auto at = [origin](std::uint32_t dx, std::uint32_t dy) {
        return Cell{static_cast<std::int32_t>(origin + dx), static_cast<std::int32_t>(origin + dy)};
      };
      std::set<Cell> wanted;
      for (int i = 0; i < 4; ++i) wanted.insert(at(2 + next() % 4, 2 + next() % 4));
      std::set<Cell> covered;
      for (int i = 0; i < 30; ++i) covered.insert(at(next() % 8, next() % 8));
      for (const Cell& c : covered) store_cell(c, 1);
      Job& j = s.jobs[1];
      j.theatre = held;
      for (const Cell& c : wanted) j.wanted.insert(c);

      std::set<Cell> fresh, first, taken;
      for (const Cell& c : wanted)
        if (!covered.count(c)) fresh.insert(c);
      for (const Cell& c : fresh)
        for (const Cell& n : near(c))
          if (covered.count(n)) first.insert(n);
      for (const Cell& c : first)
        for (const Cell& n : near(c))
          if (covered.count(n)) taken.insert(n);
      std::set<Cell> frame = fresh;
      frame.insert(taken.begin(), taken.end());

      const auto plan = schedule_job(s, 1);
      if (fresh.empty()) {
        EXPECT_FALSE(plan);
        continue;
      }
      ASSERT_TRUE(plan);
      EXPECT_EQ(plan->frame_cells, frame);
      EXPECT_EQ(plan->taken_in, taken);
    }
  }
}

TEST_F(PassFixture, StoredCellsJoinTheFrameWithinTwoSteps) {
  job(1, {{0, 0}});
  store_cell({2, 0}, 11);  // two away, nothing between: stays out
  auto plan = schedule_job(s, 1);
  ASSERT_TRUE(plan);
  EXPECT_EQ(plan->frame_cells, (std::set<Cell>{{0, 0}}));
  store_cell({1, 1}, 12);  // next to the new cell, and next to (2, 0)
  store_cell({3, 0}, 13);  // three steps away
  plan = schedule_job(s, 1);
  ASSERT_TRUE(plan);
  EXPECT_EQ(plan->frame_cells, (std::set<Cell>{{0, 0}, {1, 1}, {2, 0}}));
  EXPECT_EQ(plan->taken_in, (std::set<Cell>{{1, 1}, {2, 0}}));
  ASSERT_EQ(plan->snapshot.size(), 3u);
  EXPECT_EQ(plan->snapshot[0], (mesh::CellHolder{0, 0, std::nullopt}));
  EXPECT_EQ(plan->snapshot[1], (mesh::CellHolder{1, 1, 12}));
  EXPECT_EQ(plan->snapshot[2], (mesh::CellHolder{2, 0, 11}));
  const mesh::SamplingRun run = plan_run(plan->frame_cells);
  EXPECT_EQ(run.cover.cells.size(), 3u);
  EXPECT_EQ(run.lattice.spacing, 2.0);
  const std::uint64_t id = file_group(s, *plan);
  const SampledGroup& g = s.groups.at(id);
  EXPECT_EQ(g.cells(), (std::set<Cell>{{0, 0}}));
  EXPECT_EQ(g.frame_cells, plan->frame_cells);
  EXPECT_EQ(std::tie(g.min_x, g.min_y, g.max_x, g.max_y), std::make_tuple(0, 0, 2, 1));
  EXPECT_EQ(g.state, kGroupSampling);
  EXPECT_FALSE(g.request.has_value());
}

TEST_F(PassFixture, AWholeJobFrameGrownPastTheSpanFallsBackToSquares) {
  Job& j = job(1, {});
  for (std::int32_t x = 0; x <= 35; ++x) j.wanted.insert({x, 0});
  store_cell({-1, 0}, 1);
  store_cell({-2, 0}, 2);
  const auto plan = schedule_job(s, 1);
  ASSERT_TRUE(plan);
  EXPECT_EQ(*plan->frame_cells.begin(), (Cell{-2, 0}));
  EXPECT_EQ(*plan->frame_cells.rbegin(), (Cell{31, 0}));
}

TEST_F(PassFixture, AJobWhoseCellsAreAllStoredOrHeldYieldsNothing) {
  job(1, {{0, 0}, {1, 0}});
  store_cell({0, 0}, 4);
  SampledGroup g;
  g.theatre = held;
  g.frame_cells = {{1, 0}};
  g.set_cells(g.frame_cells);
  g.min_x = g.max_x = 1;
  s.groups[0] = g;
  EXPECT_FALSE(schedule_job(s, 1));
}

TEST_F(PassFixture, TheSamePlanFromTheSameSchedule) {
  job(1, {{3, 4}, {9, 40}, {70, 2}});
  store_cell({4, 4}, 1);
  Schedule copy = s;
  const auto a = schedule_job(s, 1), b = schedule_job(copy, 1);
  ASSERT_TRUE(a && b);
  EXPECT_EQ(a->frame_cells, b->frame_cells);
  EXPECT_EQ(a->snapshot, b->snapshot);
}

TEST_F(PassFixture, AMissingJobIsAFault) {
  EXPECT_THROW(schedule_job(s, 42), Fault);
  EXPECT_THROW(file_group(s, SchedulePlan{}), Fault);
}

}  // namespace
}  // namespace qm
