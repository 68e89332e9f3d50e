#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <numbers>
#include <optional>
#include <vector>

#include "mesh/twostage/corners.hpp"

namespace qm::mesh {
namespace {

using P3 = std::array<double, 3>;

// A straight line from (x, y) in the direction of `degrees`, one point every `step` units; the
// height rises by `slope` per unit.
CornerLine ray(double x, double y, double degrees, double length, double slope = 0.0, double step = 1.0) {
  const double r = degrees * std::numbers::pi / 180.0;
  CornerLine line;
  for (int i = 0; i * step <= length; ++i) {
    const double s = i * step;
    line.push_back({x + s * std::cos(r), y + s * std::sin(r), 5.0 + slope * s});
  }
  return line;
}

CornerLine reversed(CornerLine line) {
  std::reverse(line.begin(), line.end());
  return line;
}

struct Placement {
  bool covered = true;
  std::optional<double> height = 7.0;
  int covered_calls = 0;
  int place_calls = 0;
  CornerPlacement hooks() {
    return {[this](double, double) {
              ++covered_calls;
              return covered;
            },
            [this](double, double) {
              ++place_calls;
              return height;
            }};
  }
};

double dist(const P3& a, double x, double y) { return std::hypot(a[0] - x, a[1] - y); }

TEST(TwostageCorners, ThreeLinesAtOneHundredTwentyDegreesMeetAtTheirIntersection) {
  // Each line starts within 1.0 of (50, 40), at a different distance, so the endpoints'
  // centroid is not the intersection: the fit must find the true meeting point.
  const std::vector<CornerLine> lines{ray(50 + 0.5, 40, 0, 20), ray(50 + 0.8 * std::cos(2.0943951023931953),
                                                                    40 + 0.8 * std::sin(2.0943951023931953), 120, 20),
                                      reversed(ray(50 + 0.3 * std::cos(4.1887902047863905),
                                                   40 + 0.3 * std::sin(4.1887902047863905), 240, 20))};
  Placement placement;
  const CornerFit fit = fit_corners(lines, placement.hooks());
  ASSERT_EQ(fit.corners.size(), 1u);
  EXPECT_EQ(fit.corner_count, 1u);
  EXPECT_EQ(fit.rejected_clusters, 0u);
  EXPECT_LT(dist(fit.corners[0], 50, 40), 1e-9);
  EXPECT_EQ(fit.corners[0][2], 7.0);
  ASSERT_EQ(fit.lines.size(), 3u);
  // Each line now ends exactly at the corner, at the end that was near it, and keeps its direction.
  EXPECT_EQ(fit.lines[0].front(), fit.corners[0]);
  EXPECT_EQ(fit.lines[1].front(), fit.corners[0]);
  EXPECT_EQ(fit.lines[2].back(), fit.corners[0]);
  EXPECT_GT(dist(fit.lines[0][1], 50, 40), 3.0);
  EXPECT_LE(dist(fit.lines[0][1], 50, 40), 4.0);
  EXPECT_EQ(fit.lines[0].back(), lines[0].back());
  EXPECT_EQ(fit.lines[2].front(), lines[2].front());
}

TEST(TwostageCorners, TwoDirectionsMeetingAtAnAngleGiveTheirIntersection) {
  // A crease that runs straight through (two lines, collinear) and a third line leaving it at
  // 30 degrees: only two distinct directions, 30 degrees apart, meet at (10, -4).
  const std::vector<CornerLine> lines{ray(10.4, -4, 0, 20), ray(9.2, -4, 180, 20),
                                      ray(10 + 0.7 * std::cos(std::numbers::pi / 6), -4 + 0.7 * std::sin(std::numbers::pi / 6),
                                          30, 20)};
  Placement placement;
  const CornerFit fit = fit_corners(lines, placement.hooks());
  ASSERT_EQ(fit.corners.size(), 1u);
  EXPECT_LT(dist(fit.corners[0], 10, -4), 1e-9);
  EXPECT_EQ(fit.lines.size(), 3u);
}

TEST(TwostageCorners, ClustersThatGiveNoCorner) {
  struct Case {
    const char* name;
    std::vector<CornerLine> lines;
    bool covered;
    std::optional<double> height;
    std::uint64_t rejected;
  };
  const std::vector<Case> cases{
      {"two lines ending together are passed over", {ray(0.5, 0, 0, 20), ray(0, 0.5, 90, 20)}, true, 7.0, 0},
      {"nearly parallel lines", {ray(0.5, 0, 0, 20), ray(0, 0.5, 4, 26), ray(0, -0.5, 8, 32)}, true, 7.0, 1},
      {"corner outside the covered area", {ray(0.5, 0, 0, 20), ray(0, 0.5, 120, 20), ray(0, -0.5, 240, 20)}, false, 7.0, 1},
      {"no reference height or a fixed edge at the corner",
       {ray(0.5, 0, 0, 20), ray(0, 0.5, 120, 20), ray(0, -0.5, 240, 20)},
       true,
       std::nullopt,
       1},
      {"lines too short to fit", {ray(0.5, 0, 0, 2), ray(0, 0.5, 120, 2), ray(0, -0.5, 240, 2)}, true, 7.0, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Placement placement;
    placement.covered = c.covered;
    placement.height = c.height;
    const CornerFit fit = fit_corners(c.lines, placement.hooks());
    EXPECT_TRUE(fit.corners.empty());
    EXPECT_EQ(fit.corner_count, 0u);
    EXPECT_EQ(fit.rejected_clusters, c.rejected);
    // Nothing is trimmed: the lines come back as they were.
    EXPECT_EQ(fit.lines, c.lines);
  }
}

// Lines ending in a chain of endpoints along the x axis, 3*i for i in `steps`, each running on
// away from the origin along the axis; plus three lines leaving the origin at 120 degrees. Every
// fitted line passes through the origin.
std::vector<CornerLine> chained(const std::vector<double>& ends) {
  std::vector<CornerLine> lines{ray(0, 0, 90, 20), ray(0, 0, 210, 20), ray(0, 0, 330, 20)};
  for (std::size_t i = 0; i < ends.size(); ++i) {
    lines.push_back(ray(ends[i], 0, ends[i] > 0 ? 0 : 180, 30 + 13 * static_cast<double>(i)));
  }
  return lines;
}

TEST(TwostageCorners, ClusteringDistances) {
  struct Case {
    const char* name;
    std::vector<double> ends;
    std::uint64_t corners;
    std::uint64_t rejected;
  };
  const std::vector<Case> cases{
      // Endpoints 3.0 apart join, and through each other reach 9.0 from the centroid.
      {"chained 3.0 apart, up to 9.0 from the centroid", {3, 6, 9, -3, -6, -9}, 1, 0},
      {"one endpoint 9.5 from the centroid", {3, 6, 9, 9.5, -3, -6, -8.5}, 0, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Placement placement;
    const CornerFit fit = fit_corners(chained(c.ends), placement.hooks());
    EXPECT_EQ(fit.corner_count, c.corners);
    EXPECT_EQ(fit.rejected_clusters, c.rejected);
    if (c.corners == 1) {
      EXPECT_LT(dist(fit.corners.at(0), 0, 0), 1e-9);
    }
  }

  // Three lines whose ends lie 3.0 apart in a row form one cluster; 3.0001 apart they are three.
  for (const double gap : {3.0, 3.0001}) {
    SCOPED_TRACE(gap);
    const std::vector<CornerLine> lines{ray(0, 0, 180, 20), ray(gap, 0, 90, 20), ray(2 * gap, 0, 0, 20)};
    Placement placement;
    const CornerFit fit = fit_corners(lines, placement.hooks());
    EXPECT_EQ(fit.corner_count, gap == 3.0 ? 1u : 0u);
    EXPECT_EQ(fit.rejected_clusters, 0u);
  }
}

TEST(TwostageCorners, ALineWhollyNearTheCornerIsDropped) {
  const std::vector<CornerLine> lines{ray(0.5, 0, 0, 20), ray(0, 0.5, 120, 20), ray(0, -0.5, 240, 20),
                                      CornerLine{{0.2, 0.2, 5}, {1.0, 1.5, 5}, {1.5, 1.5, 5}}};
  Placement placement;
  const CornerFit fit = fit_corners(lines, placement.hooks());
  EXPECT_EQ(fit.corner_count, 1u);
  ASSERT_EQ(fit.lines.size(), 3u);
  for (const CornerLine& line : fit.lines) EXPECT_GT(line.size(), 10u);
}

TEST(TwostageCorners, NoLinesNoCorners) {
  Placement placement;
  const CornerFit fit = fit_corners({}, placement.hooks());
  EXPECT_TRUE(fit.corners.empty());
  EXPECT_TRUE(fit.lines.empty());
  EXPECT_EQ(fit.rejected_clusters, 0u);
  EXPECT_EQ(placement.covered_calls + placement.place_calls, 0);
}

TEST(TwostageCorners, WalkKeepsOnlyThePointsThatMatter) {
  const CornerLine dense = ray(1, 2, 33, 40, 0.2);
  // Five points 10 apart: a point moved by 0.3 leaves its neighbours within 0.25 of the chords.
  const CornerLine straight = ray(1, 2, 33, 40, 0.2, 10.0);
  auto bent = [&](std::size_t at, double dx, double dz) {
    CornerLine line = straight;
    line[at][0] += dx * -std::sin(33 * std::numbers::pi / 180);
    line[at][1] += dx * std::cos(33 * std::numbers::pi / 180);
    line[at][2] += dz;
    return line;
  };
  struct Case {
    const char* name;
    CornerLine line;
    std::vector<P3> expected;
  };
  const std::vector<Case> cases{
      {"empty", {}, {}},
      {"one point", {{1, 2, 3}}, {{1, 2, 3}}},
      {"two points", {{1, 2, 3}, {4, 5, 6}}, {{1, 2, 3}, {4, 5, 6}}},
      {"straight on one slope", dense, {dense.front(), dense.back()}},
      {"0.3 off sideways", bent(2, 0.3, 0), {straight.front(), bent(2, 0.3, 0)[2], straight.back()}},
      {"0.3 off in height", bent(1, 0, 0.3), {straight.front(), bent(1, 0, 0.3)[1], straight.back()}},
      {"0.2 off is within tolerance", bent(3, 0.2, -0.2), {straight.front(), straight.back()}},
      {"closed loop", {{0, 0, 0}, {5, 0, 0}, {10, 0, 0}, {10, 10, 0}, {0, 0, 0}}, {{0, 0, 0}, {10, 0, 0}, {10, 10, 0}, {0, 0, 0}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(twostage_walk(c.line), c.expected);
  }

  // Recursion on both sides of the worst point: a zig-zag keeps every turn.
  CornerLine zig;
  for (int i = 0; i <= 8; ++i) zig.push_back({static_cast<double>(i), (i % 2) * 2.0, 0.0});
  EXPECT_EQ(twostage_walk(zig), zig);
}

}  // namespace
}  // namespace qm::mesh
