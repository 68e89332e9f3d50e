#include <gtest/gtest.h>

#include <cmath>
#include <set>
#include <vector>

#include "base/fault.hpp"
#include "base/span.hpp"
#include "mesh/sampling/model.hpp"
#include "mesh/sampling/sampling_run.hpp"
#include "terrain_fixture.hpp"

namespace qm::mesh {
namespace {

using namespace fixture;

std::uint64_t span_count(const char* name) {
  for (const SpanEntry& e : thread_span_table()) {
    if (std::string(e.name) == name) return e.count;
  }
  return 0;
}

TEST(SamplingRun, FlatTerrainsNeedNoRerun) {
  for (const Terrain& t : {tilted_plane(), ridge()}) {
    SCOPED_TRACE(t.name);
    SamplingRun run = new_run(rect_cells(-2, -1, 4, 3));
    FakeHost host(t);
    AnswerStore store;
    const std::uint64_t spans = span_count("selfcheck.share");
    const DriveLog log = drive_run(run, host, store);
    EXPECT_TRUE(run.finished);
    ASSERT_EQ(run.history.size(), 1u);
    EXPECT_EQ(run.history[0].first, 2.0);
    EXPECT_LT(run.history[0].second, 0.05);
    EXPECT_EQ(run.lattice.spacing, 2.0);
    EXPECT_EQ(host.repeated(), 0u);
    EXPECT_EQ(span_count("selfcheck.share"), spans + 1);
    EXPECT_EQ(log.results.back().tag, AdvanceTag::Done);
  }
}

TEST(SamplingRun, WhiteNoiseRerunsFinerWithoutAskingAgain) {
  SamplingRun run = new_run(rect_cells(0, 0, 2, 2));
  FakeHost host(white_noise());
  AnswerStore store;
  const DriveLog log = drive_run(run, host, store);
  ASSERT_EQ(run.history.size(), 2u);
  EXPECT_EQ(run.history[0].first, 2.0);
  const double share = run.history[0].second;
  EXPECT_GE(share, 0.181);
  EXPECT_EQ(run.history[1].first, *finer_spacing(2.0, share));
  EXPECT_EQ(run.lattice.spacing, run.history[1].first);
  EXPECT_TRUE(run.finished);
  // The finer run asked only what the store did not hold already.
  EXPECT_EQ(host.repeated(), 0u);
  EXPECT_EQ(host.questions(), store.size());
  // The re-run started again from the corners at step 64.
  std::size_t restarts = 0;
  for (std::size_t k = 1; k < log.ask_steps.size(); ++k) restarts += log.ask_steps[k] == 64.0 ? 1 : 0;
  EXPECT_EQ(restarts, 1u);
}

TEST(SamplingRun, ThresholdsAtAndJustPastTheirBoundaries) {
  struct Case {
    double spacing, share;
    std::optional<double> finer;
  };
  const Case cases[] = {
      {2.0, 0.0, std::nullopt},  {2.0, 0.1809, std::nullopt}, {2.0, 0.181, 1.4},  {2.0, 0.2809, 1.4},
      {2.0, 0.281, 1.0},         {2.0, 0.3289, 1.0},           {2.0, 0.329, 0.7},  {2.0, 1.0, 0.7},
      {1.0, 1.0, std::nullopt},  {1.4, 0.5, std::nullopt},     {0.7, 0.9, std::nullopt},
      {1.9999999, 0.5, std::nullopt},
  };
  for (const Case& c : cases) EXPECT_EQ(finer_spacing(c.spacing, c.share), c.finer) << c.spacing << " " << c.share;
}

TEST(SamplingRun, NoRerunAtSpacingOne) {
  SamplingRun run = new_run({{0, 0}}, 1.0);
  FakeHost host(white_noise());
  AnswerStore store;
  drive_run(run, host, store);
  ASSERT_EQ(run.history.size(), 1u);
  EXPECT_EQ(run.history[0].first, 1.0);
  EXPECT_GT(run.history[0].second, 0.181);
  EXPECT_TRUE(run.finished);
}

TEST(SamplingRun, FinishedRunKeepsAnsweringDone) {
  SamplingRun run = new_run(rect_cells(0, 0, 2, 2));
  FakeHost host(tilted_plane());
  AnswerStore store;
  drive_run(run, host, store);
  ASSERT_TRUE(run.finished);
  const auto history = run.history;
  const std::size_t levels = run.lattice.levels.size();
  for (int k = 0; k < 3; ++k) {
    const AdvanceResult r = model_step(run, {});
    EXPECT_EQ(r.tag, AdvanceTag::Done);
    EXPECT_EQ(r.first, run.lattice.level);
    EXPECT_EQ(r.step, run.lattice.step);
    EXPECT_EQ(r.count, 0u);
  }
  EXPECT_EQ(run.history, history);
  EXPECT_EQ(run.lattice.levels.size(), levels);
}

TEST(SamplingRun, WaitCarriesOnlyTheUnansweredCount) {
  SamplingRun run = new_run(rect_cells(0, 0, 2, 1));
  const AdvanceResult r = model_step(run, {});
  EXPECT_EQ(r.tag, AdvanceTag::Wait);
  EXPECT_EQ(r.first, 6u);
  EXPECT_EQ(r.step, 0.0);
  EXPECT_EQ(r.count, 0u);
  EXPECT_TRUE(run.history.empty());
}

TEST(SelfCheck, NoLevelsExplainNothing) {
  Lattice l = lattice_new(lattice_from_cells(rect_cells(0, 0, 2, 2)), 2.0);
  EXPECT_EQ(self_check_share(l, l.cover, build_model(l)), 1.0);
}

TEST(SelfCheck, SeaIsFlatAtZero) {
  SamplingRun run = new_run(rect_cells(3, 3, 2, 2));
  FakeHost host(sea());
  AnswerStore store;
  drive_run(run, host, store);
  ASSERT_EQ(run.history.size(), 1u);
  EXPECT_EQ(run.history[0].second, 0.0);
}

TEST(SelfCheck, CliffBetweenTwoFlatPlanesIsExplained) {
  // Two flat planes cover every side of the step: the share counts coverage, not where the
  // step lies between the nodes.
  SamplingRun run = new_run(rect_cells(0, 0, 4, 4));
  FakeHost host(cliff());
  AnswerStore store;
  drive_run(run, host, store);
  ASSERT_EQ(run.history.size(), 1u);
  EXPECT_LT(run.history[0].second, 0.181);
  EXPECT_EQ(run.lattice.spacing, 2.0);
}

// One level at step 32 over the single cell (0, 0) (centre (0, 0), radius 64): keys 0..2 on both
// axes, heights 10, with the nodes of column i = 2 carrying the given patch.
Lattice one_level_lattice(std::uint32_t column_two_patch, double column_two_height) {
  Lattice l = lattice_new(lattice_from_cells({{0, 0}}), 2.0);
  Level lv;
  lv.step = 32.0;
  for (int i = 0; i <= 2; ++i) {
    for (int j = 0; j <= 2; ++j) {
      lv.index[{i, j}] = static_cast<std::uint32_t>(lv.keys.size());
      lv.keys.emplace_back(i, j);
      lv.heights.push_back(i == 2 ? column_two_height : 10.0);
      lv.matched.push_back(i == 2 ? column_two_patch : 0u);
    }
  }
  lv.patches = {PatchPlane{0, 0, 10.0, 0, 0}, PatchPlane{0, 0, column_two_height, 0, 0}};
  l.levels.push_back(std::move(lv));
  l.finished = 1;
  return l;
}

TEST(SelfCheck, SharesOfHandMadeLevels) {
  // One plane everywhere: every square is uniform, nothing is left.
  const Lattice all = one_level_lattice(0, 10.0);
  const Model all_model = build_model(all);
  ASSERT_EQ(all_model.levels.size(), 1u);
  EXPECT_EQ(all_model.levels[0].half_width, 2);
  EXPECT_EQ(self_check_share(all, all.cover, all_model), 0.0);
  // Column 2 without a plane: the squares from x = 32 on have a corner without a plane, so the
  // candidates at x = 33 .. 63 (half the cell) stay marked.
  const Lattice half = one_level_lattice(kNoPatch, 10.0);
  EXPECT_EQ(self_check_share(half, half.cover, build_model(half)), 0.5);
  // Column 2 on a second (parallel) plane: not uniform, but the nearest node's plane is a corner's.
  const Lattice two = one_level_lattice(1, 30.0);
  const Model two_model = build_model(two);
  EXPECT_EQ(two_model.levels[0].planes.size(), 2u);
  EXPECT_EQ(self_check_share(two, two.cover, two_model), 0.0);
}

TEST(ModelLevel, AgreeingNeighboursAddNoHalfPlaneAndCuttingOnesNone) {
  // Two patches over a row of nodes: p0 on keys 0..3, p1 on keys 4..7 (step 1, one row y = 0..1).
  Lattice l = lattice_new(lattice_from_cells({{0, 0}}), 2.0);  // centre (0, 0)... radius 64
  auto make_level = [](double slope_q, double offset_q) {
    Level lv;
    lv.step = 1.0;
    for (int i = 0; i < 8; ++i) {
      for (int j = 0; j < 2; ++j) {
        lv.index[{i, j}] = static_cast<std::uint32_t>(lv.keys.size());
        lv.keys.emplace_back(i, j);
        lv.heights.push_back(10.0);
        lv.matched.push_back(i < 4 ? 0u : 1u);
      }
    }
    lv.patches = {PatchPlane{0, 0, 10.0, 0, 0}, PatchPlane{0, 0, 10.0 + offset_q, slope_q, 0}};
    return lv;
  };
  // Planes that agree within tol over p0's nodes: only the four box sides.
  const ModelLevel agree = build_model_level(l, make_level(0.0, 0.1));
  ASSERT_EQ(agree.planes.size(), 2u);
  EXPECT_EQ(agree.adjacency, (std::vector<std::pair<std::int32_t, std::int32_t>>{{0, 1}, {1, 0}}));
  EXPECT_EQ(agree.regions[0].size(), 4u);
  // A plane that rises past p0's nodes meets it at x = 3.5, between the two: one half-plane each.
  const ModelLevel meet = build_model_level(l, make_level(1.0, -3.5));
  EXPECT_EQ(meet.regions[0].size(), 5u);
  EXPECT_EQ(meet.regions[1].size(), 5u);
  const HalfPlane& h0 = meet.regions[0].back();
  EXPECT_NEAR(h0.a * 2.0 + h0.b * 0.0 + h0.c, 1.5, 1e-12);  // p0 side: x < 3.5
  EXPECT_LT(meet.regions[1].back().a * 2.0 + meet.regions[1].back().c, 0.0);
  // A meeting line through p0's own nodes adds nothing to p0.
  const ModelLevel cut = build_model_level(l, make_level(1.0, -1.5));
  EXPECT_EQ(cut.regions[0].size(), 4u);
}

}  // namespace
}  // namespace qm::mesh
