// The sampler thread's per-group steps: halo and bounds, taking answers in with miss counts, the
// height of zero-marked refine points, refine iterations and whole advances over a fake host.
#include <gtest/gtest.h>

#include <atomic>
#include <set>
#include <vector>

#include "base/fault.hpp"
#include "mesh/triangulation/triangulation.hpp"
#include "work/sampler_steps.hpp"
#include "terrain_fixture.hpp"

namespace qm::work {
namespace {

using mesh::Cell;

terrain::AnswerTable::View view_of(std::vector<std::optional<double>> answers, std::vector<std::uint8_t> seen) {
  terrain::AnswerTable::View view;
  for (const auto& a : answers) view.slots.push_back(terrain::AnswerSlot{true, a, std::nullopt});
  view.seen = std::move(seen);
  return view;
}

TEST(SamplerSteps, HaloAndBoundsOfAGroup) {
  const std::set<Cell> one = {{4, -7}};
  const std::set<Cell> halo = halo_of(one);
  EXPECT_EQ(halo.size(), 9u);
  EXPECT_EQ(*halo.begin(), Cell(3, -8));
  EXPECT_EQ(*halo.rbegin(), Cell(5, -6));
  EXPECT_EQ(bounds_of(one), (std::array<std::int32_t, 4>{4, -7, 4, -7}));

  const std::set<Cell> two = {{0, 0}, {1, 0}};
  EXPECT_EQ(halo_of(two).size(), 12u);

  const std::set<Cell> spread = {{-3, 9}, {2, -4}, {5, 1}};
  EXPECT_EQ(bounds_of(spread), (std::array<std::int32_t, 4>{-3, -4, 5, 9}));

  const std::set<Cell> edge = {{INT32_MAX, INT32_MIN}};
  EXPECT_EQ(halo_of(edge).size(), 4u);
}

TEST(SamplerSteps, AGroupWithoutCellsIsAFault) {
  try {
    bounds_of({});
    FAIL() << "no fault";
  } catch (const Fault& f) {
    EXPECT_EQ(f.message(), "a group has cells");
  }
}

TEST(SamplerSteps, AnswersBecomeSamplesAndMissesZeroAtTheThird) {
  const std::vector<TerrainPoint> points = {{0, 0}, {2, 0}, {4, 0}, {6, 0}, {8, 0}};
  MissCounts misses;
  std::uint64_t zeroed = 0;

  // A height, exactly 0.0, a miss seen by the host, a miss the host never saw, a second miss.
  auto kept = take_answers(points, view_of({12.5, 0.0, std::nullopt, std::nullopt, std::nullopt}, {1, 1, 1, 0, 1}),
                           misses, zeroed);
  ASSERT_EQ(kept.size(), 2u);
  EXPECT_EQ(kept[0], (std::pair<TerrainPoint, SampleAnswer>{{0, 0}, {0, 12.5}}));
  EXPECT_EQ(kept[1], (std::pair<TerrainPoint, SampleAnswer>{{2, 0}, {1, 0.0}}));
  EXPECT_EQ(zeroed, 0u);

  const std::vector<TerrainPoint> again = {{4, 0}, {8, 0}};
  kept = take_answers(again, view_of({std::nullopt, std::nullopt}, {1, 1}), misses, zeroed);
  EXPECT_TRUE(kept.empty());
  EXPECT_EQ(zeroed, 0u);

  // Third miss of (4, 0) zeroes it; (8, 0) answers with a height after its two misses.
  kept = take_answers(again, view_of({std::nullopt, 77.0}, {1, 1}), misses, zeroed);
  ASSERT_EQ(kept.size(), 2u);
  EXPECT_EQ(kept[0], (std::pair<TerrainPoint, SampleAnswer>{{4, 0}, {1, 0.0}}));
  EXPECT_EQ(kept[1], (std::pair<TerrainPoint, SampleAnswer>{{8, 0}, {0, 77.0}}));
  EXPECT_EQ(zeroed, 1u);
  EXPECT_FALSE(misses.contains({6, 0}));
}

TEST(SamplerSteps, KeptSamplesGiveAnswers) {
  EXPECT_EQ(answer_of_sample(1, 55.0), (SampleAnswer{1, 0.0}));
  EXPECT_EQ(answer_of_sample(0, 0.0), (SampleAnswer{1, 0.0}));
  EXPECT_EQ(answer_of_sample(0, 3.25), (SampleAnswer{0, 3.25}));
  EXPECT_FALSE(answer_of_sample(0, std::numeric_limits<double>::quiet_NaN()).has_value());
}

// A point set of one triangle (0,0), (10,0), (0,10) at the given heights, with its face build.
mesh::FaceWork one_triangle(double h0, double h1, double h2) {
  mesh::FaceWork work;
  mesh::add_point(work.points, 0.0, 0.0, h0);
  mesh::add_point(work.points, 10.0, 0.0, h1);
  mesh::add_point(work.points, 0.0, 10.0, h2);
  mesh::FaceSet faces;
  faces.triangulation = mesh::Triangulation::delaunay(work.points.xs, work.points.ys);
  work.last_faces = std::move(faces);
  return work;
}

TEST(SamplerSteps, ZeroMarkedRefinePointsTakeZeroOnlyNearLowGround) {
  struct Case {
    double h0, h1, h2, x, y;
    std::optional<double> want;
  };
  const std::vector<Case> cases = {
      {5.0, 40.0, 60.0, 2.0, 2.0, 0.0},           // in a triangle with a low corner
      {20.0, 40.0, 60.0, 2.0, 2.0, std::nullopt},  // in a triangle with no low corner
      {10.0, 40.0, 60.0, 0.0, 0.0, 0.0},           // on a vertex at exactly 10.0
      {20.0, 40.0, 60.0, 0.0, 0.0, std::nullopt},  // on a high vertex
      {20.0, 40.0, 2.0, 5.0, 5.0, 0.0},            // on the edge (1, 2) whose end 2 is low
      {2.0, 40.0, 60.0, 5.0, 5.0, std::nullopt},   // on the edge (1, 2), both ends high
      {20.0, 40.0, 60.0, 50.0, 50.0, 0.0},         // outside the triangulation
  };
  for (const Case& c : cases) {
    const mesh::FaceWork work = one_triangle(c.h0, c.h1, c.h2);
    EXPECT_EQ(zero_point_height(work, c.x, c.y), c.want) << c.h0 << " " << c.x << "," << c.y;
  }
  mesh::FaceWork none = one_triangle(50, 50, 50);
  none.last_faces.reset();
  EXPECT_EQ(zero_point_height(none, 2.0, 2.0), 0.0);
}

TEST(SamplerSteps, AnIterationThatAddsNothingFinishesThePass) {
  mesh::FaceWork work = one_triangle(1.0, 2.0, 3.0);
  work.wanted = {{0, 0}, {10, 0}};
  AnswerMap answers;
  answers[{0, 0}] = {0, 1.0};
  answers[{10, 0}] = {0, 2.0};
  // Both points exist already: nothing is added, the pass is done.
  EXPECT_EQ(refine_iteration(work, answers, {}), StepOutcome::Done);
  EXPECT_TRUE(work.done);
  EXPECT_FALSE(work.last_faces.has_value());
  EXPECT_TRUE(work.wanted.empty());
  EXPECT_EQ(work.asked, 2u);
}

TEST(SamplerSteps, AFaultInsideAnAdvanceIsCaught) {
  // A zero-marked answer against a face build whose point columns are short: an index check fails.
  mesh::FaceWork work = one_triangle(1.0, 2.0, 3.0);
  work.points.hs.clear();
  work.wanted = {{3, 3}};
  AnswerMap answers;
  answers[{3, 3}] = {1, 0.0};
  std::optional<mesh::SamplingRun> run = mesh::fixture::new_run({{0, 0}});
  run->finished = 1;
  std::optional<mesh::FaceWork> held = std::move(work);
  EXPECT_EQ(advance_group(run, held, answers, {}), StepOutcome::Fault);
}

TEST(SamplerSteps, AdvancesWaitForTheirAnswers) {
  std::optional<mesh::SamplingRun> run = mesh::fixture::new_run({{0, 0}});
  std::optional<mesh::FaceWork> work;
  EXPECT_EQ(advance_group(run, work, AnswerMap{}, {}), StepOutcome::Wait);
  std::optional<mesh::SamplingRun> no_run;
  EXPECT_EQ(advance_group(no_run, work, AnswerMap{}, {}), StepOutcome::Done);
  EXPECT_TRUE(group_complete(no_run, work));
  EXPECT_FALSE(group_complete(run, work));
}

// Drives a group as the sampler thread does, answering from the host and keeping every answer.
TEST(SamplerSteps, AGroupIsSampledAndRefinedToItsEnd) {
  for (const mesh::fixture::Terrain& terrain : {mesh::fixture::pyramid(), mesh::fixture::coast(30.0)}) {
    mesh::fixture::FakeHost host(terrain);
    std::optional<mesh::SamplingRun> run = mesh::fixture::new_run(mesh::fixture::rect_cells(0, 0, 2, 2));
    std::optional<mesh::FaceWork> work;
    HashMap<TerrainPoint, SampleAnswer> kept;
    MissCounts misses;
    std::uint64_t zeroed = 0;
    std::atomic<bool> cancel{false};
    int steps = 0;
    bool stopped = false;
    while (!group_complete(run, work) && steps < 500) {
      ++steps;
      const std::vector<TerrainPoint>* wanted = wanted_points(run, work);
      std::vector<TerrainPoint> missing;
      if (wanted) {
        for (const TerrainPoint& p : *wanted) {
          if (!kept.contains(p)) missing.push_back(p);
        }
      }
      if (!missing.empty()) {
        terrain::AnswerTable::View view;
        for (const TerrainPoint& p : missing) {
          view.slots.push_back({true, host.ask(p), std::nullopt});
          view.seen.push_back(1);
        }
        for (const auto& [p, s] : take_answers(missing, view, misses, zeroed)) kept[p] = s;
        continue;
      }
      AnswerMap answers;
      if (wanted) {
        for (const TerrainPoint& p : *wanted) answers[p] = kept.at(p);
      }
      const StepOutcome outcome = advance_group(run, work, answers, mesh::faces_stop_check(cancel));
      ASSERT_NE(outcome, StepOutcome::Fault) << terrain.name;
      ASSERT_NE(outcome, StepOutcome::Wait) << terrain.name;
      if (outcome == StepOutcome::Stopped) {
        stopped = true;
        break;
      }
    }
    EXPECT_FALSE(stopped);
    ASSERT_TRUE(group_complete(run, work)) << terrain.name;
    EXPECT_TRUE(run->finished);
    EXPECT_GT(work->points.xs.size(), 9u);
    if (terrain.name == mesh::fixture::coast(30.0).name) {
      EXPECT_GT(zeroed, 0u);
    }
  }
}

TEST(SamplerSteps, ACancelledGroupStopsItsRefinePass) {
  mesh::fixture::FakeHost host(mesh::fixture::pyramid());
  std::optional<mesh::SamplingRun> run = mesh::fixture::new_run(mesh::fixture::rect_cells(0, 0, 1, 1));
  mesh::fixture::AnswerStore store;
  mesh::fixture::drive_run(*run, host, store);
  ASSERT_TRUE(run->finished);
  std::optional<mesh::FaceWork> work;
  std::atomic<bool> cancel{true};
  EXPECT_EQ(advance_group(run, work, AnswerMap{}, mesh::faces_stop_check(cancel)), StepOutcome::Stopped);
  EXPECT_FALSE(work.has_value());
}

}  // namespace
}  // namespace qm::work
