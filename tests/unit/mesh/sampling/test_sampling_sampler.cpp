#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <random>
#include <set>
#include <vector>

#include "base/fault.hpp"
#include "base/span.hpp"
#include "mesh/sampling/rebuild.hpp"
#include "mesh/sampling/sampler.hpp"
#include "terrain_fixture.hpp"

namespace qm::mesh {
namespace {

using namespace fixture;

constexpr double nan = std::numeric_limits<double>::quiet_NaN();

Lattice lattice_of(const std::set<Cell>& cells, double spacing = 2.0) {
  return lattice_new(lattice_from_cells(cells), spacing);
}

TerrainPoint point_of_key(const Lattice& l, const LatticeKey& k, double step) {
  const auto s = static_cast<std::int64_t>(step);
  return {static_cast<std::int32_t>(k.first * s + l.centre_x), static_cast<std::int32_t>(k.second * s + l.centre_y)};
}

// Everything the Parts promise of a finished lattice and of the questions that made it.
void check_invariants(const std::set<Cell>& cells, const Terrain& terrain, const std::string& what) {
  SCOPED_TRACE(what + " / " + terrain.name);
  Lattice l = lattice_of(cells);
  FakeHost host(terrain);
  std::set<TerrainPoint> asked_so_far;
  AnswerStore unused;
  HeightAnswers answers = answer_pending(l.pending, host, unused);
  std::vector<double> steps{64.0};
  for (int guard = 0;; ++guard) {
    ASSERT_LT(guard, 100);
    const std::size_t levels_before = l.levels.size();
    const std::vector<TerrainPoint> pending = l.pending;
    const AdvanceResult r = sampler_advance(l, answers);
    if (l.levels.size() > levels_before) {
      // The level's keys are sorted and are exactly the points sampled so far.
      asked_so_far.insert(pending.begin(), pending.end());
      const Level& lv = l.levels.back();
      ASSERT_TRUE(std::is_sorted(lv.keys.begin(), lv.keys.end()));
      ASSERT_EQ(std::adjacent_find(lv.keys.begin(), lv.keys.end()), lv.keys.end());
      std::set<TerrainPoint> level_points;
      for (const LatticeKey& k : lv.keys) level_points.insert(point_of_key(l, k, lv.step));
      ASSERT_EQ(level_points, asked_so_far);
      ASSERT_EQ(lv.index.size(), lv.keys.size());
      ASSERT_EQ(lv.matched.size(), lv.keys.size());
      for (std::size_t k = 0; k < lv.keys.size(); ++k) {
        ASSERT_EQ(lv.index.at(lv.keys[k]), k);
        const std::uint32_t m = lv.matched[k];
        if (m == kNoPatch) continue;
        const double h = lv.heights[k];
        ASSERT_TRUE(std::isfinite(h)) << "a non-finite height is matched";
        ASSERT_LT(m, lv.patches.size());
        const double x = lv.keys[k].first * lv.step;
        const double y = lv.keys[k].second * lv.step;
        ASSERT_LE(std::fabs(h - lv.patches[m].height(x, y)), 6.0 * height_grain(std::fabs(h)) + l.spacing_tenth);
      }
    }
    if (r.tag == AdvanceTag::Done) break;
    ASSERT_EQ(r.tag, AdvanceTag::Ask);
    steps.push_back(r.step);
    ASSERT_EQ(r.count, l.pending.size());
    ASSERT_TRUE(std::is_sorted(l.pending.begin(), l.pending.end()));
    for (const TerrainPoint& p : l.pending) {
      ASSERT_TRUE(lattice_touches(l.cover, p.first, p.second)) << p.first << "," << p.second;
      ASSERT_FALSE(asked_so_far.contains(p));
    }
    answers = answer_pending(l.pending, host, unused);
  }
  EXPECT_EQ(host.repeated(), 0u);
  EXPECT_TRUE(l.finished);
  EXPECT_TRUE(l.pending.empty());
  ASSERT_LE(l.levels.size(), 7u);
  for (std::size_t k = 0; k < l.levels.size(); ++k) EXPECT_EQ(l.levels[k].step, 64.0 / double(1u << k));
  for (std::size_t k = 0; k < steps.size(); ++k) EXPECT_EQ(steps[k], 64.0 / double(1u << k));
  EXPECT_EQ(steps.size(), l.levels.size());
  EXPECT_FALSE(l.levels.front().area.has_value());
  EXPECT_TRUE(l.levels.front().settled.empty());
  for (std::size_t k = 1; k < l.levels.size(); ++k) EXPECT_TRUE(l.levels[k].area.has_value());
}

TEST(Sampler, InvariantsOnRandomCoversAndEveryTerrain) {
  std::mt19937 rng(20261209);
  std::uniform_int_distribution<int> shift(-40, 40);
  for (const auto& [name, shape] : cover_shapes()) {
    for (const Terrain& t : all_terrains()) {
      check_invariants(shift_cells(shape, shift(rng), shift(rng)), t, name);
      if (HasFatalFailure()) return;
    }
  }
  // The coast: sea beside land, high and low.
  for (const double land : {5.0, 80.0}) check_invariants(rect_cells(-1, 0, 2, 2), coast(land), "coast");
}

TEST(Sampler, TiltedPlaneAsksOnlyTheCorners) {
  Lattice l = lattice_of(rect_cells(0, 0, 4, 4));
  FakeHost host(tilted_plane());
  const DriveLog log = drive_lattice(l, host);
  EXPECT_EQ(host.questions(), 25u);
  ASSERT_EQ(l.levels.size(), 1u);
  EXPECT_EQ(log.results.back().tag, AdvanceTag::Done);
  EXPECT_EQ(log.results.back().first, 1u);
  EXPECT_EQ(log.results.back().step, 64.0);
  EXPECT_EQ(l.levels[0].patches.size(), 1u);
  for (std::uint32_t m : l.levels[0].matched) EXPECT_EQ(m, 0u);
}

TEST(Sampler, WhiteNoiseCellAsksEveryIntegerPointOnce) {
  for (const Cell& cell : {Cell{0, 0}, Cell{-1, -1}, Cell{3, -2}}) {
    Lattice l = lattice_of({cell});
    FakeHost host(white_noise());
    drive_lattice(l, host);
    EXPECT_EQ(host.questions(), 65u * 65u);
    EXPECT_EQ(host.asked().size(), 65u * 65u);
    EXPECT_EQ(host.repeated(), 0u);
    EXPECT_EQ(l.levels.size(), 7u);
    EXPECT_EQ(l.levels.back().step, 1.0);
    for (const auto& [p, n] : host.asked()) {
      EXPECT_GE(p.first, cell.first * 64);
      EXPECT_LE(p.first, cell.first * 64 + 64);
      EXPECT_GE(p.second, cell.second * 64);
      EXPECT_LE(p.second, cell.second * 64 + 64);
    }
  }
}

// A terrain moved along with its cover gives the same questions, moved: floor division of
// negative keys and cells must not differ from the positive side.
TEST(Sampler, NegativeCellsAndKeysMirrorPositiveOnes) {
  struct Case {
    std::int32_t dx, dy;
  };
  const Case shifts[] = {{-1, 0}, {0, -1}, {-1, -1}, {-3, -5}, {-17, 2}, {-1000, -1000}};
  const std::set<Cell> shape{{0, 0}, {1, 0}, {0, 1}, {2, 2}};
  for (const Terrain& base : {pyramid(), cone(), ridge(), triangle_mesh(), white_noise()}) {
    Lattice ref = lattice_of(shape);
    FakeHost ref_host(base);
    drive_lattice(ref, ref_host);
    for (const Case& c : shifts) {
      SCOPED_TRACE(base.name + " shifted " + std::to_string(c.dx) + "," + std::to_string(c.dy));
      const double ox = c.dx * 64.0, oy = c.dy * 64.0;
      Terrain moved{base.name, [base, ox, oy](double x, double y) { return base.height(x - ox, y - oy); }};
      Lattice l = lattice_of(shift_cells(shape, c.dx, c.dy));
      FakeHost host(moved);
      drive_lattice(l, host);
      std::set<TerrainPoint> want;
      for (const auto& [p, n] : ref_host.asked()) want.emplace(p.first + c.dx * 64, p.second + c.dy * 64);
      std::set<TerrainPoint> got;
      for (const auto& [p, n] : host.asked()) got.insert(p);
      EXPECT_EQ(got, want);
      ASSERT_EQ(l.levels.size(), ref.levels.size());
      for (std::size_t k = 0; k < l.levels.size(); ++k) {
        EXPECT_EQ(l.levels[k].keys, ref.levels[k].keys);
        EXPECT_EQ(l.levels[k].matched, ref.levels[k].matched);
      }
    }
  }
}

TEST(Sampler, WaitsUntilEveryPendingPointIsAnswered) {
  Lattice l = lattice_of(rect_cells(0, 0, 2, 1));  // 6 corners
  l.pending.push_back({1000, 1000});
  l.pending.push_back({1064, 1000});
  const std::size_t n = l.pending.size();
  const AdvanceResult none = sampler_advance(l, {});
  EXPECT_EQ(none.tag, AdvanceTag::Wait);
  EXPECT_EQ(none.first, n);
  HeightAnswers some;
  for (std::size_t k = 0; k + 2 < n; ++k) some[l.pending[k]] = 100.0;
  some[{5, 5}] = 1.0;  // an answer for a point not pending changes nothing
  const AdvanceResult partial = sampler_advance(l, some);
  EXPECT_EQ(partial.tag, AdvanceTag::Wait);
  EXPECT_EQ(partial.first, 2u);
  EXPECT_TRUE(l.samples.empty());
  EXPECT_EQ(l.pending.size(), n);
  EXPECT_TRUE(l.levels.empty());
}

TEST(Sampler, SingleCellAsksTheMiddlesAtStep32) {
  Lattice l = lattice_of({{5, 7}});
  HeightAnswers a{{{320, 448}, 150.0}, {{320, 512}, 151.0}, {{384, 448}, 149.5}, {{384, 512}, 152.0}};
  const AdvanceResult r = sampler_advance(l, a);
  EXPECT_EQ(r.tag, AdvanceTag::Ask);
  EXPECT_EQ(r.first, 2u);
  EXPECT_EQ(r.step, 32.0);
  EXPECT_EQ(r.count, 5u);
  EXPECT_EQ(l.pending, (std::vector<TerrainPoint>{{320, 480}, {352, 448}, {352, 480}, {352, 512}, {384, 480}}));
  ASSERT_EQ(l.levels.size(), 1u);
  EXPECT_TRUE(l.levels[0].patches.empty());
  EXPECT_EQ(l.levels[0].matched, std::vector<std::uint32_t>(4, kNoPatch));
  // The refined area is clipped to the radius: R2 = 64 / 32 = 2.
  ASSERT_TRUE(l.refined.has_value());
  EXPECT_EQ(l.refined->size(), 25u);
  for (const LatticeKey& k : *l.refined) {
    EXPECT_LE(std::abs(k.first), 2);
    EXPECT_LE(std::abs(k.second), 2);
  }
  // A call after the end repeats Done.
  Lattice done = lattice_of(rect_cells(0, 0, 3, 3));
  FakeHost host(tilted_plane());
  drive_lattice(done, host);
  const AdvanceResult again = sampler_advance(done, {});
  EXPECT_EQ(again.tag, AdvanceTag::Done);
  EXPECT_EQ(again.first, 1u);
  EXPECT_EQ(again.step, 64.0);
  EXPECT_EQ(again.count, 0u);
}

TEST(Sampler, RefinedAreaIsClippedToTheRadius) {
  // Radius 128 (cells -1..0 by -1..0 around centre 0); at step 32 R2 = 4.
  Lattice l = lattice_of(rect_cells(-2, -2, 4, 4));
  EXPECT_EQ(l.radius, 128);
  FakeHost host(white_noise());
  AnswerStore store;
  const AdvanceResult r = sampler_advance(l, answer_pending(l.pending, host, store));
  ASSERT_EQ(r.tag, AdvanceTag::Ask);
  for (const LatticeKey& k : *l.refined) {
    EXPECT_LE(std::abs(k.first), 4);
    EXPECT_LE(std::abs(k.second), 4);
  }
}

TEST(Sampler, AnAskWithNothingPendingEndsAtTheNextCall) {
  Lattice l = lattice_of({{0, 0}});
  FakeHost host(white_noise());
  AnswerStore store;
  sampler_advance(l, answer_pending(l.pending, host, store));
  ASSERT_FALSE(l.pending.empty());
  // Pretend every new point was already sampled: the next level has nothing to ask.
  for (const TerrainPoint& p : l.pending) l.samples[p] = *host.ask(p);
  HeightAnswers answers = answer_pending(l.pending, host, store);
  l.pending.clear();
  const AdvanceResult r = sampler_advance(l, answers);
  EXPECT_EQ(r.tag, AdvanceTag::Done);
  EXPECT_EQ(r.first, 2u);
  EXPECT_EQ(r.step, 32.0);
  EXPECT_TRUE(l.finished);
}

TEST(Sampler, PredictionsMissOnFreshCoarseCornersAndOnBigErrors) {
  Lattice l = lattice_of({{0, 0}});  // centre (0, 0)
  l.step = 32.0;
  l.levels.emplace_back();  // pretend level 1 is done
  l.samples = {};
  for (const auto& [x, y] : std::vector<TerrainPoint>{{0, 0}, {64, 0}, {0, 64}, {64, 64}}) l.samples[{x, y}] = 100.0;
  HashSet<LatticeKey> now;
  now.insert({2, 0});  // coarse key (1, 0) was answered now
  EXPECT_TRUE(std::isnan(lattice_height(now, l, 64.0, 1, 0)));
  EXPECT_EQ(lattice_height(now, l, 64.0, 0, 1), 100.0);
  EXPECT_TRUE(std::isnan(lattice_height(now, l, 64.0, 3, 3)));  // never sampled
}

TEST(Sampler, SettledAreaLeavesOutTheMissesNeighbourhood) {
  for (const double middle : {150.0, 151.9, 152.1, nan}) {
    Lattice l = lattice_of({{5, 7}});
    HeightAnswers a;
    for (const TerrainPoint& p : l.pending) a[p] = 150.0;
    ASSERT_EQ(sampler_advance(l, a).tag, AdvanceTag::Ask);
    HeightAnswers b;
    for (const TerrainPoint& p : l.pending) b[p] = 150.0;
    b[{352, 480}] = middle;  // key (1, 1), predicted 150 from the four corners
    sampler_advance(l, b);
    ASSERT_EQ(l.levels.size(), 2u);
    const Level& lv = l.levels[1];
    ASSERT_TRUE(lv.area.has_value());
    EXPECT_EQ(lv.area->size(), 25u);
    const bool miss = !(std::fabs(middle - 150.0) <= 2.0);
    std::size_t want = 0;
    for (int i = -2; i <= 2; ++i) {
      for (int j = -2; j <= 2; ++j) {
        const bool near = miss && std::abs(i - 1) <= 2 && std::abs(j - 1) <= 2;
        EXPECT_EQ(lv.settled.contains({i, j}), !near) << middle << " " << i << "," << j;
        want += near ? 0 : 1;
      }
    }
    EXPECT_EQ(lv.settled.size(), want);
  }
}

TEST(SampledHeight, SeaRuleOnTheRings) {
  Lattice l = lattice_of({{0, 0}});
  auto at = [&](std::int32_t x, std::int32_t y, double h) { l.samples[{x, y}] = h; };
  at(0, 0, 0.0);
  // No sampled ring within 64: trusted.
  EXPECT_EQ(sampled_height(l, {0, 0}, 1.0), 0.0);
  // Nearest ring (distance 4) holds 3.0: trusted; a farther ring with high ground is never read.
  at(4, 4, 3.0);
  at(-8, 0, 500.0);
  EXPECT_EQ(sampled_height(l, {0, 0}, 1.0), 0.0);
  // The nearest ring holds only high ground: NaN.
  at(-2, 0, 11.0);
  EXPECT_TRUE(std::isnan(sampled_height(l, {0, 0}, 1.0)));
  at(2, -2, 10.0);  // 10.0 is low ground
  EXPECT_EQ(sampled_height(l, {0, 0}, 1.0), 0.0);
  // A NaN height in the ring is never low.
  Lattice m = lattice_of({{0, 0}});
  m.samples[{0, 0}] = 0.0;
  m.samples[{16, 16}] = nan;
  EXPECT_TRUE(std::isnan(sampled_height(m, {0, 0}, 16.0)));
  // The first ring distance counts: at 32 the ring at 16 is skipped, at 64 is the last.
  m.samples[{64, 0}] = 3.0;
  EXPECT_EQ(sampled_height(m, {0, 0}, 32.0), 0.0);
  EXPECT_EQ(sampled_height(m, {0, 0}, 64.0), 0.0);
  // A first ring distance beyond 64: 0.0 at once.
  EXPECT_EQ(sampled_height(m, {0, 0}, 128.0), 0.0);
  // Non-zero heights are returned as they are, NaN included.
  m.samples[{1, 1}] = -3.5;
  EXPECT_EQ(sampled_height(m, {1, 1}, 1.0), -3.5);
  EXPECT_TRUE(std::isnan(sampled_height(m, {16, 16}, 1.0)));
  // A ring distance of 0 (or NaN) reads the point itself; a negative one is a broken invariant.
  EXPECT_EQ(sampled_height(l, {0, 0}, 0.0), 0.0);
  EXPECT_EQ(sampled_height(l, {0, 0}, nan), 0.0);
  EXPECT_THROW(sampled_height(l, {0, 0}, -2.0), Fault);
  // A point not sampled is a broken invariant.
  EXPECT_THROW(sampled_height(m, {7, 7}, 1.0), Fault);
}

TEST(SampledHeight, SeaBesideHighGroundIsNeverMatched) {
  Lattice l = lattice_of(rect_cells(-1, 0, 2, 2));
  FakeHost host(coast(80.0));
  drive_lattice(l, host);
  for (const Level& lv : l.levels) {
    for (std::size_t k = 0; k < lv.keys.size(); ++k) {
      if (!std::isfinite(lv.heights[k])) {
        EXPECT_EQ(lv.matched[k], kNoPatch);
      }
    }
  }
  // Sea far from land stays 0.0 and is explained as flat.
  Lattice s = lattice_of(rect_cells(0, 0, 3, 3));
  FakeHost sea_host(sea());
  drive_lattice(s, sea_host);
  EXPECT_EQ(sea_host.questions(), 16u);
  ASSERT_EQ(s.levels.size(), 1u);
  for (double h : s.levels[0].heights) EXPECT_EQ(h, 0.0);
}

TEST(Sampler, RecordsItsSpans) {
  auto count_of = [](const char* name) {
    for (const SpanEntry& e : thread_span_table()) {
      if (std::string(e.name) == name) return e.count;
    }
    return std::uint64_t{0};
  };
  const std::uint64_t before = count_of("sampler.advance");
  const std::uint64_t rebuild_before = count_of("sampler.advance.rebuild");
  Lattice l = lattice_of({{0, 0}});
  sampler_advance(l, {});  // a Wait records nothing
  EXPECT_EQ(count_of("sampler.advance"), before);
  FakeHost host(tilted_plane());
  const DriveLog log = drive_lattice(l, host);
  EXPECT_EQ(count_of("sampler.advance"), before + l.levels.size());
  EXPECT_EQ(count_of("sampler.advance.rebuild"), rebuild_before + l.levels.size());
}

}  // namespace
}  // namespace qm::mesh
