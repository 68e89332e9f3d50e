#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <limits>
#include <vector>

#include "mesh/sampling/rebuild.hpp"

namespace qm::mesh {
namespace {

constexpr double nan = std::numeric_limits<double>::quiet_NaN();

// A square block of keys 0..n-1 with heights from a function of the position.
struct Block {
  std::vector<LatticeKey> keys;
  std::vector<double> heights;
  HashMap<LatticeKey, std::uint32_t> index;
  double step;
  Block(int n, double s, const std::function<double(int, int)>& h) : step(s) {
    for (int i = 0; i < n; ++i) {
      for (int j = 0; j < n; ++j) {
        index[{i, j}] = static_cast<std::uint32_t>(keys.size());
        keys.emplace_back(i, j);
        heights.push_back(h(i, j));
      }
    }
  }
  SampleTable table() const { return SampleTable{keys, heights, index, step}; }
};

TEST(HeightGrain, IsTheFloatSpacingNearTheValue) {
  EXPECT_EQ(height_grain(1.0), std::ldexp(1.0, -23));
  EXPECT_EQ(height_grain(1.5), std::ldexp(1.0, -23));
  EXPECT_EQ(height_grain(2.0), std::ldexp(1.0, -22));
  EXPECT_EQ(height_grain(150.0), std::ldexp(1.0, -16));
  EXPECT_EQ(height_grain(0.75), std::ldexp(1.0, -24));
  EXPECT_EQ(height_grain(8848.0), std::ldexp(1.0, -10));
  // Zero and tiny values take the grain of 1e-30 (exponent -100).
  EXPECT_EQ(height_grain(0.0), std::ldexp(1.0, -100 - 23));
  EXPECT_EQ(height_grain(-5.0), height_grain(1e-30));
  // Agrees with the single-precision spacing for normal magnitudes.
  for (const double v : {1e-3, 0.3, 7.0, 123.456, 4096.0, 65535.0, 1e6}) {
    const float f = static_cast<float>(v);
    const float up = std::nextafter(f, std::numeric_limits<float>::infinity());
    if (static_cast<double>(f) <= v) {
      EXPECT_EQ(height_grain(v), static_cast<double>(up - f)) << v;
    }
  }
}

TEST(Rebuild, OnePlaneTakesTheWholeBlock) {
  const Block b(5, 2.0, [](int i, int) { return 5.0 + 0.01 * (i * 2.0); });
  const RebuildResult r = sampler_rebuild(b.table(), 0.2);
  ASSERT_EQ(r.patches.size(), 1u);
  EXPECT_EQ(r.matched, std::vector<std::uint32_t>(25, 0u));
  EXPECT_NEAR(r.patches[0].x0, 4.0, 1e-12);
  EXPECT_NEAR(r.patches[0].y0, 4.0, 1e-12);
  EXPECT_NEAR(r.patches[0].c, 5.04, 1e-12);
  EXPECT_NEAR(r.patches[0].a, 0.01, 1e-12);
  EXPECT_NEAR(r.patches[0].b, 0.0, 1e-12);
}

TEST(Rebuild, RaisedMiddleStaysUnexplained) {
  const Block seven(7, 2.0, [](int i, int j) { return (i == 3 && j == 3) ? 101.0 : 100.0; });
  const RebuildResult r = sampler_rebuild(seven.table(), 0.2);
  ASSERT_FALSE(r.patches.empty());
  for (std::size_t k = 0; k < seven.keys.size(); ++k) {
    if (seven.keys[k] == LatticeKey{3, 3}) {
      EXPECT_EQ(r.matched[k], kNoPatch);
    } else {
      EXPECT_NE(r.matched[k], kNoPatch);
    }
  }
  // In a 5 by 5 block every whole window holds the raised sample: no seed, no patch.
  const Block five(5, 2.0, [](int i, int j) { return (i == 2 && j == 2) ? 101.0 : 100.0; });
  const RebuildResult f = sampler_rebuild(five.table(), 0.2);
  EXPECT_TRUE(f.patches.empty());
  EXPECT_EQ(f.matched, std::vector<std::uint32_t>(25, kNoPatch));
}

TEST(Rebuild, NonFiniteHeightsTakeNoPart) {
  const Block b(6, 4.0, [](int i, int j) { return (i == 0 && j == 5) ? nan : 20.0 + 0.5 * i - 0.25 * j; });
  const RebuildResult r = sampler_rebuild(b.table(), 0.4);
  for (std::size_t k = 0; k < b.keys.size(); ++k) {
    if (std::isnan(b.heights[k])) {
      EXPECT_EQ(r.matched[k], kNoPatch);
    } else {
      EXPECT_NE(r.matched[k], kNoPatch);
    }
  }
}

TEST(Rebuild, SingleKeyAndEmptyTable) {
  const Block one(1, 64.0, [](int, int) { return 3.0; });
  const RebuildResult r = sampler_rebuild(one.table(), 0.2);
  EXPECT_TRUE(r.patches.empty());
  EXPECT_EQ(r.matched, std::vector<std::uint32_t>{kNoPatch});
  const Block none(0, 64.0, [](int, int) { return 0.0; });
  EXPECT_TRUE(sampler_rebuild(none.table(), 0.2).matched.empty());
}

TEST(Rebuild, MatchTakesTheNearestPlaneWithinTwoKeys) {
  // A border sample without a whole window can still be matched to a patch held nearby.
  const Block b(3, 1.0, [](int, int) { return 10.0; });
  std::vector<std::uint32_t> grown(9, kNoPatch);
  grown[4] = 0;  // the middle key holds patch 0
  grown[0] = 1;  // the corner (0, 0) holds patch 1
  const std::vector<PatchPlane> planes{{0, 0, 10.0, 0, 0}, {0, 0, 10.05, 0, 0}};
  const auto m = rebuild_match_vertices(b.table(), grown, planes, 0.1);
  EXPECT_EQ(m, std::vector<std::uint32_t>(9, 0u));
  // Beyond 6 grains + spacing_tenth nothing matches; a NaN plane never wins.
  const std::vector<PatchPlane> far{{0, 0, 10.2, 0, 0}, {0, 0, nan, nan, nan}};
  EXPECT_EQ(rebuild_match_vertices(b.table(), grown, far, 0.1), std::vector<std::uint32_t>(9, kNoPatch));
  const std::vector<PatchPlane> within{{0, 0, 10.1, 0, 0}, {0, 0, nan, nan, nan}};
  EXPECT_EQ(rebuild_match_vertices(b.table(), grown, within, 0.1), std::vector<std::uint32_t>(9, 0u));
}

}  // namespace
}  // namespace qm::mesh
