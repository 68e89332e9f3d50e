#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "module/fault.hpp"
#include "terrain/mesh/refine_points.hpp"

namespace qm::mesh {
namespace {

constexpr double nan = std::numeric_limits<double>::quiet_NaN();
constexpr double inf = std::numeric_limits<double>::infinity();

TEST(RefineAddPoint, HalfUnitKeysRoundHalvesAwayFromZero) {
  struct Case {
    double x, y;
    HalfUnitKey key;
  };
  const Case cases[] = {
      {0.0, 0.0, {0, 0}},       {0.2, 0.2, {0, 0}},       {0.3, 0.0, {1, 0}},
      {0.25, -0.25, {1, -1}},   {-0.25, 0.25, {-1, 1}},   {0.24, -0.24, {0, 0}},
      {-0.75, -1.25, {-2, -3}}, {1.75, 2.25, {4, 5}},     {-0.2499, 0.7499, {0, 1}},
      {nan, 1.0, {0, 2}},       {inf, -inf, {INT64_MAX, INT64_MIN}},
      {1e300, -1e300, {INT64_MAX, INT64_MIN}},
  };
  for (const Case& c : cases) EXPECT_EQ(half_unit_key(c.x, c.y), c.key) << c.x << "," << c.y;
}

TEST(RefineAddPoint, OnePointPerKey) {
  RefinePoints p;
  EXPECT_TRUE(add_point(p, 0.0, 0.0, 5.0));
  EXPECT_FALSE(add_point(p, 0.2, 0.2, 6.0));
  EXPECT_TRUE(add_point(p, 0.3, 0.0, 7.0));
  EXPECT_TRUE(add_point(p, -0.3, 0.0, 8.0));
  EXPECT_FALSE(add_point(p, -0.26, -0.1, 9.0));
  ASSERT_EQ(p.xs.size(), 3u);
  EXPECT_EQ(p.hs, (std::vector<double>{5.0, 7.0, 8.0}));
  EXPECT_EQ(p.point_faces.size(), 3u);
  EXPECT_EQ(p.point_keys.size(), 3u);
  EXPECT_EQ(p.point_keys.at(HalfUnitKey{1, 0}), 1u);
  EXPECT_EQ(p.point_keys.at(HalfUnitKey{-1, 0}), 2u);
}

TEST(RefineFaceIds, NextIdStartsAboveTheLastAndRunningOutIsAFault) {
  RefinePoints p;
  EXPECT_EQ(next_face_id(p), kFirstGrownFaceBase + 1);
  EXPECT_EQ(p.last_face_id, kFirstGrownFaceBase + 1);
  p.last_face_id = kNoFace - 2;
  EXPECT_EQ(next_face_id(p), kNoFace - 1);
  EXPECT_THROW(next_face_id(p), Fault);
  EXPECT_EQ(p.last_face_id, kNoFace - 1);
}

}  // namespace
}  // namespace qm::mesh
