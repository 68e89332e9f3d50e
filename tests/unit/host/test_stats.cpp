// Cost statistics: 10-second window maxima read at controlled moments, the terrain histogram and its
// 99th percentile.
#include <gtest/gtest.h>

#include "host/stats.hpp"

namespace qm {
namespace {

constexpr std::uint64_t s(double seconds) { return static_cast<std::uint64_t>(seconds * 1e9); }

TEST(CostStats, WindowsFollowTheSecondsSinceTheOrigin) {
  EXPECT_EQ(cost_window(0), 1u);
  EXPECT_EQ(cost_window(s(9.999)), 1u);
  EXPECT_EQ(cost_window(s(10)), 2u);
  EXPECT_EQ(cost_window(s(25)), 3u);
  EXPECT_EQ(cost_window(s(31)), 4u);
  EXPECT_EQ(cost_window(s(55)), 6u);
}

TEST(CostStats, MaximaRollOverWithTheirWindows) {
  CostStats cost;
  cost.add(700, s(21));  // window 3
  cost.add(500, s(25));
  EXPECT_EQ(cost.window.load(), 3u);
  EXPECT_EQ(cost.window_max.load(), 700u);
  EXPECT_EQ(cost.max_recent(s(29)), 700u);  // read in the same window
  EXPECT_EQ(cost.max_recent(s(35)), 700u);  // read one window later
  EXPECT_EQ(cost.max_recent(s(41)), 0u);    // two windows later

  cost.add(300, s(31));  // window 4 keeps window 3's maximum as the previous one
  EXPECT_EQ(cost.window.load(), 4u);
  EXPECT_EQ(cost.window_max.load(), 300u);
  EXPECT_EQ(cost.previous_max.load(), 700u);
  EXPECT_EQ(cost.max_recent(s(32)), 700u);  // larger of the two
  EXPECT_EQ(cost.max_recent(s(45)), 300u);  // only the stored window's own maximum

  cost.add(100, s(55));  // window 6: window 4 is not the one before it
  EXPECT_EQ(cost.window.load(), 6u);
  EXPECT_EQ(cost.previous_max.load(), 0u);
  EXPECT_EQ(cost.window_max.load(), 100u);
  EXPECT_EQ(cost.max_recent(s(55)), 100u);

  EXPECT_EQ(cost.count.load(), 4u);
  EXPECT_EQ(cost.sum.load(), 1600u);
  EXPECT_DOUBLE_EQ(cost.mean_micros(), 0.4);
}

TEST(CostStats, NothingMeasuredReadsZero) {
  CostStats cost;
  EXPECT_EQ(cost.mean_micros(), 0.0);
  EXPECT_EQ(cost.max_recent(0), 0u);
  EXPECT_EQ(cost.max_recent(s(100)), 0u);
}

TEST(TerrainCostStats, BucketsAreTenMicrosecondSteps) {
  EXPECT_EQ(terrain_cost_bucket(0), 0u);
  EXPECT_EQ(terrain_cost_bucket(9999), 0u);
  EXPECT_EQ(terrain_cost_bucket(10000), 1u);
  EXPECT_EQ(terrain_cost_bucket(4999999), 499u);
  EXPECT_EQ(terrain_cost_bucket(5000000), 500u);
  EXPECT_EQ(terrain_cost_bucket(s(7)), 500u);
  EXPECT_EQ(terrain_cost_bucket(UINT64_MAX), 500u);
}

TEST(TerrainCostStats, PercentileWalksTheBuckets) {
  struct Case {
    const char* what;
    std::vector<std::uint64_t> costs_ns;
    std::optional<std::uint64_t> p99;
  };
  std::vector<Case> cases = {
      {"no frame", {}, std::nullopt},
      {"one frame of 15 us", {15000}, 20},
      {"a frame beyond 5 ms", {s(7)}, 5010},
      {"exactly 5 ms", {5000000}, 5010},
  };
  // 100 frames: 99 of 5 us and one of 300 us: the rank is 99, in bucket 0.
  Case hundred{"100 frames", std::vector<std::uint64_t>(99, 5000), 10};
  hundred.costs_ns.push_back(300000);
  cases.push_back(hundred);
  // 101 frames: 99 fast, 2 slow: the rank is 100, in the slow frames' bucket.
  Case hundred_one{"101 frames", std::vector<std::uint64_t>(99, 5000), 310};
  hundred_one.costs_ns.push_back(300000);
  hundred_one.costs_ns.push_back(300000);
  cases.push_back(hundred_one);

  for (const Case& c : cases) {
    TerrainCostStats stats;
    for (std::uint64_t cost : c.costs_ns) stats.add(cost, s(1));
    EXPECT_EQ(stats.p99_micros(), c.p99) << c.what;
    EXPECT_EQ(stats.cost.count.load(), c.costs_ns.size()) << c.what;
  }
}

TEST(TerrainCostStats, FramesCountedBeforeTheirBucketNeverPushThePercentilePastTheEnd) {
  // A reader may see the frame count of a frame whose bucket is not raised yet; the rank comes from
  // the buckets it walks, so it answers the frames it sees.
  TerrainCostStats stats;
  stats.add(15000, s(1));
  stats.cost.count.fetch_add(5);  // frames still being recorded
  EXPECT_EQ(stats.p99_micros(), 20u);
}

}  // namespace
}  // namespace qm
