#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "base/fault.hpp"
#include "mesh/grid/plane.hpp"

namespace qm::mesh {
namespace {

struct Columns {
  std::vector<double> xs, ys, hs;
  std::uint64_t add(double x, double y, double h) {
    xs.push_back(x);
    ys.push_back(y);
    hs.push_back(h);
    return xs.size() - 1;
  }
  PlaneFit fit(const std::vector<std::uint64_t>& idx) const { return fit_face_plane(xs, ys, hs, idx); }
};

TEST(FacePlaneFit, CoplanarPointsFitExactly) {
  Columns p;
  std::vector<std::uint64_t> three{p.add(0, 0, 3), p.add(4, 0, 5), p.add(0, 8, 1)};
  const PlaneFit f3 = p.fit(three);
  EXPECT_EQ(f3.residual, 0.0);
  EXPECT_EQ(f3.plane.a, 0.5);
  EXPECT_EQ(f3.plane.b, -0.25);
  EXPECT_EQ(f3.plane.c, 3.0);

  // Many points of one tilted plane, heights far from zero.
  Columns q;
  std::vector<std::uint64_t> all;
  for (int i = -20; i <= 20; i += 3) {
    for (int j = -15; j <= 30; j += 5) all.push_back(q.add(i * 1.5, j * 0.75, 812.25 + 0.125 * i * 1.5 - 0.375 * j * 0.75));
  }
  const PlaneFit fit = q.fit(all);
  EXPECT_LT(fit.residual, 1e-9);
  EXPECT_NEAR(fit.plane.a, 0.125, 1e-12);
  EXPECT_NEAR(fit.plane.b, -0.375, 1e-12);
  EXPECT_NEAR(fit.plane.c, 812.25, 1e-9);
}

TEST(FacePlaneFit, NoisyPointsReportTheirLargestResidual) {
  Columns p;
  std::vector<std::uint64_t> idx{p.add(0, 0, 0), p.add(2, 0, 0), p.add(0, 2, 0), p.add(2, 2, 0.4)};
  const PlaneFit f = p.fit(idx);
  // The least-squares plane of a saddle of four points misses each by a quarter of the bump.
  EXPECT_NEAR(f.residual, 0.1, 1e-12);
  EXPECT_NEAR(f.plane.a, 0.1, 1e-12);
  EXPECT_NEAR(f.plane.b, 0.1, 1e-12);
  EXPECT_NEAR(f.plane.c, -0.1, 1e-12);
}

TEST(FacePlaneFit, OnePositionGivesFlatMean) {
  Columns p;
  std::vector<std::uint64_t> idx{p.add(7, -3, 1), p.add(7, -3, 2), p.add(7, -3, 6)};
  const PlaneFit f = p.fit(idx);
  EXPECT_EQ(f.plane.a, 0.0);
  EXPECT_EQ(f.plane.b, 0.0);
  EXPECT_EQ(f.plane.c, 3.0);
  EXPECT_EQ(f.residual, 3.0);
}

TEST(FacePlaneFit, CollinearPointsSlopeAlongTheirLineOnly) {
  // Points along the direction (1, 2) whose height rises by 1 per unit of x.
  Columns p;
  std::vector<std::uint64_t> idx;
  for (int t = -3; t <= 4; ++t) idx.push_back(p.add(10 + t, 20 + 2 * t, 5 + t));
  const PlaneFit f = p.fit(idx);
  EXPECT_NEAR(f.plane.a, 0.2, 1e-12);
  EXPECT_NEAR(f.plane.b, 0.4, 1e-12);
  EXPECT_NEAR(f.plane.a * -2.0 + f.plane.b * 1.0, 0.0, 1e-12);  // no slope across the line
  EXPECT_LT(f.residual, 1e-12);
  EXPECT_NEAR(f.plane.height(10, 20), 5.0, 1e-12);
}

TEST(FacePlaneFit, EmptyListAndBadIndices) {
  Columns p;
  p.add(1, 1, 1);
  const PlaneFit f = p.fit({});
  EXPECT_TRUE(std::isnan(f.plane.c));
  EXPECT_EQ(f.plane.a, 0.0);
  EXPECT_EQ(f.plane.b, 0.0);
  EXPECT_EQ(f.residual, 0.0);
  EXPECT_THROW(p.fit({0, 1}), Fault);
  // A column shorter than the others is out of range as well.
  const std::vector<double> short_hs;
  const std::vector<std::uint64_t> zero{0};
  EXPECT_THROW(fit_face_plane(p.xs, p.ys, short_hs, zero), Fault);
}

TEST(FacePlaneFit, NotANumberTermsDoNotCountAsResidual) {
  Columns p;
  std::vector<std::uint64_t> idx{p.add(0, 0, 0), p.add(1, 0, 0), p.add(0, 1, std::nan(""))};
  const PlaneFit f = p.fit(idx);
  EXPECT_EQ(f.residual, 0.0);
}

TEST(FacePlaneHeight, EvaluatesInOrderAndFaultsOnMissingFace) {
  PlaneMap planes;
  planes[7] = Plane{1.0, 2.0, -3.0};
  EXPECT_EQ(plane_height(planes, 7, 0.5, 2.0), (1.0 + 2.0 * 0.5) + -3.0 * 2.0);
  try {
    (void)plane_height(planes, 8, 0, 0);
    ADD_FAILURE();
  } catch (const Fault& f) {
    EXPECT_EQ(f.message(), "no entry found for key");
  }
}

// Three planes through height 10 at m, with the slopes (0, 0), (3, 0) and (1, 2): in the triangle
// (0,0), (4,0), (0,4) each pair of them crosses the edge between its corners.
struct Junction {
  Columns pts;
  PlaneMap planes;
  std::array<std::uint64_t, 3> corners{};
  std::array<std::uint32_t, 3> faces{11, 12, 13};
  explicit Junction(double mx, double my) {
    corners = {pts.add(0, 0, 0), pts.add(4, 0, 0), pts.add(0, 4, 0)};
    const double slopes[3][2] = {{0, 0}, {3, 0}, {1, 2}};
    for (int k = 0; k < 3; ++k) {
      const double a = slopes[k][0], b = slopes[k][1];
      planes[faces[static_cast<std::size_t>(k)]] = Plane{10.0 - a * mx - b * my, a, b};
    }
  }
  std::optional<MeetPoint> meet() const { return planes_meet_in_triangle(planes, pts.xs, pts.ys, corners, faces); }
};

TEST(PlanesMeetInTriangle, FindsTheMeetingPointInsideAndOnAnEdge) {
  const auto inside = Junction(1.5, 1.0).meet();
  ASSERT_TRUE(inside.has_value());
  EXPECT_NEAR(inside->x, 1.5, 1e-12);
  EXPECT_NEAR(inside->y, 1.0, 1e-12);

  const auto on_edge = Junction(2.0, 0.0).meet();  // smallest weight exactly 0
  ASSERT_TRUE(on_edge.has_value());
  EXPECT_EQ(on_edge->x, 2.0);
  EXPECT_EQ(on_edge->y, 0.0);

  // The weight of corner 2 is y / 4: -5e-7 is still inside, -2e-6 is not.
  EXPECT_TRUE(Junction(2.0, -2e-6).meet().has_value());
  EXPECT_FALSE(Junction(2.0, -8e-6).meet().has_value());
  EXPECT_FALSE(Junction(5.0, 1.0).meet().has_value());
}

TEST(PlanesMeetInTriangle, ParallelPlanesMeetNowhere) {
  Junction j(1.5, 1.0);
  j.planes[12] = Plane{j.planes[11].c + 0.01, 0.0, 0.0};  // parallel to face 11, 0.01 above it
  EXPECT_FALSE(j.meet().has_value());
}

TEST(PlanesMeetInTriangle, PlanesApartAlongAnEdgeMeetNowhere) {
  // The three planes meet at (1, 1), inside, and faces 12, 13 and 13, 11 cross the edges between
  // their corners; but faces 11 and 12 cross along y = 1 and stay 0.1 apart on one side all along
  // the edge between corners 0 and 1.
  Junction j(1.5, 1.0);
  j.planes[11] = Plane{0.0, 0.0, 0.0};
  j.planes[12] = Plane{0.1, 0.0, -0.1};
  j.planes[13] = Plane{-0.02, 0.01, 0.01};
  EXPECT_FALSE(j.meet().has_value());
  // 0.04 apart is close enough to go on and solve.
  j.planes[12] = Plane{0.04, 0.0, -0.04};
  const auto near = j.meet();
  ASSERT_TRUE(near.has_value());
  EXPECT_NEAR(near->x, 1.0, 1e-12);
  EXPECT_NEAR(near->y, 1.0, 1e-12);
}

TEST(PlanesMeetInTriangle, DegenerateOrNotFiniteMeetsNowhere) {
  Junction flat(1.5, 1.0);
  flat.pts.xs[2] = 8.0;  // corner 2 moves onto the line of corners 0 and 1
  flat.pts.ys[2] = 0.0;
  EXPECT_FALSE(flat.meet().has_value());

  Junction nan_corner(1.5, 1.0);
  nan_corner.pts.xs[1] = std::nan("");
  EXPECT_FALSE(nan_corner.meet().has_value());

  Junction nan_plane(1.5, 1.0);
  nan_plane.planes[13].c = std::nan("");
  EXPECT_FALSE(nan_plane.meet().has_value());

  Junction missing(1.5, 1.0);
  missing.planes.erase(13);
  EXPECT_THROW((void)missing.meet(), Fault);
}

}  // namespace
}  // namespace qm::mesh
