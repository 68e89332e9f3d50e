// The map projection against PROJ: the transverse Mercator transforms, the anchor fit and its cache.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <thread>
#include <vector>

#include "geo/projection.hpp"
#include "test_projection_proj.hpp"

using namespace qm;
using qm_test::Point2;

namespace {

// Anchors made by PROJ for a map definition (the host's nine conversions).
Anchors anchors_from(const std::string& map) {
  std::vector<Point2> xz(Anchors::kMapPoints.begin(), Anchors::kMapPoints.end());
  const auto lat_lon = qm_test::proj_from_map(map, xz);
  Anchors a;
  a.present = 1;
  for (std::size_t k = 0; k < 9; ++k) {
    a.values[2 * k] = lat_lon[k][0];
    a.values[2 * k + 1] = lat_lon[k][1];
  }
  return a;
}

}  // namespace

TEST(TmSeries, MatchesThePublishedConstants) {
  const TmSeries& s = tm_series();
  EXPECT_NEAR(s.A, 6367449.145823415, 1e-8);
  EXPECT_NEAR(s.e, 0.08181919084262149, 1e-17);
  EXPECT_NEAR(s.alpha[0], 8.377318206244698e-4, 1e-18);
  EXPECT_NEAR(s.beta[0], 8.377321640579488e-4, 1e-18);
}

TEST(TmForward, CentralMeridianAndEquator) {
  for (double lat : {-60.0, -1.0, 0.0, 23.5, 45.0, 70.0}) EXPECT_EQ(tm_forward(lat, 0.0).second, 0.0) << lat;
  for (double dlon : {-5.0, -0.5, 0.0, 2.0, 6.0}) EXPECT_EQ(tm_forward(0.0, dlon).first, 0.0) << dlon;
}

// Forward and inverse over a region larger than any map (about 1300 km wide) against PROJ.
TEST(TmForward, AgreesWithProjOverTheMapExtent) {
  const double cm = 37.0, scale = 0.9996, x0 = -4912345.678, z0 = 287654.321;
  const std::string map = qm_test::tm_map_definition(cm, scale, x0, z0);
  std::vector<Point2> lat_lon;
  for (double lat = 30.0; lat <= 64.0; lat += 1.7)
    for (double dlon = -7.5; dlon <= 7.5; dlon += 0.61) lat_lon.push_back({lat, cm + dlon});
  const auto reference = qm_test::proj_to_map(map, lat_lon);
  double worst = 0.0;
  for (std::size_t i = 0; i < lat_lon.size(); ++i) {
    const auto [p, q] = tm_forward(lat_lon[i][0], lat_lon[i][1] - cm);
    const double x = x0 + scale * p, z = z0 + scale * q;
    worst = std::max(worst, std::hypot(x - reference[i][0], z - reference[i][1]));
  }
  EXPECT_LT(worst, 1e-5) << "metres";
}

TEST(TmInverse, AgreesWithProjOverTheMapExtent) {
  const double cm = -3.25, scale = 1.000123, x0 = 210000.5, z0 = -12345.25;
  const std::string map = qm_test::tm_map_definition(cm, scale, x0, z0);
  std::vector<Point2> xz;
  // The map plane around the origin of a map whose origin lies near latitude 50.
  const double xc = x0 + scale * tm_forward(50.0, 0.0).first;
  for (double dx = -700000.0; dx <= 700000.0; dx += 43000.0)
    for (double z = -600000.0; z <= 600000.0; z += 37000.0) xz.push_back({xc + dx, z});
  const auto reference = qm_test::proj_from_map(map, xz);
  const auto conversion = MapConversion::transverse_mercator({cm, scale, x0, z0});
  double worst = 0.0;
  for (std::size_t i = 0; i < xz.size(); ++i) {
    const auto ll = tm_inverse(conversion, xz[i][0], xz[i][1]);
    ASSERT_TRUE(ll.has_value());
    worst = std::max(worst, qm_test::ground_metres(reference[i][0], ll->first - reference[i][0],
                                                   ll->second - reference[i][1]));
  }
  EXPECT_LT(worst, 1e-5) << "metres";
}

TEST(TmInverse, ReturnsTheForwardImage) {
  const TmParams tm{12.5, 0.99987, 1000.0, -2000.0};
  for (double lat : {-75.0, -33.3, 0.0, 0.001, 41.7, 80.0})
    for (double dlon : {-8.0, -0.2, 0.0, 3.3, 9.0}) {
      const auto [p, q] = tm_forward(lat, dlon);
      const auto [lat2, lon2] = tm_inverse_point(tm, tm.x_offset + tm.scale * p, tm.z_offset + tm.scale * q);
      EXPECT_NEAR(lat2, lat, 1e-11);
      EXPECT_NEAR(lon2, tm.central_meridian + dlon, 1e-11);
    }
}

// Anchors made by PROJ for known parameters give those parameters back at the decimals the status
// document prints them with, and a worst residual below a micrometre.
TEST(FitProjection, RecoversKnownTransverseMercatorParameters) {
  struct Case {
    double cm, scale, x0, z0;
  };
  const Case cases[] = {
      {33.0, 0.9996, -4998765.4321, 123456.789},
      {-122.75, 1.0, 0.0, 0.0},
      {141.123456789, 0.999876543, -3800000.0, -250000.0},
      {-57.5, 1.000456789, 6123456.7891, 99999.9999},  // southern hemisphere (x offset positive)
  };
  for (const auto& c : cases) {
    const Anchors anchors = anchors_from(qm_test::tm_map_definition(c.cm, c.scale, c.x0, c.z0));
    // The mean anchor longitude is within a few degrees of the central meridian; offset it further.
    const ProjectionRef p = fit_projection(anchors);
    ASSERT_EQ(p->kind, Projection::kTm) << c.cm;
    EXPECT_NEAR(p->central_meridian, c.cm, 5e-10);
    EXPECT_NEAR(p->scale, c.scale, 5e-10);
    EXPECT_NEAR(p->x_offset, c.x0, 5e-5);
    EXPECT_NEAR(p->z_offset, c.z0, 5e-5);
    EXPECT_LT(p->worst, 1e-6);
  }
}

// The map's origin several degrees away from the central meridian (a map drawn at the edge of its zone).
TEST(FitProjection, FindsACentralMeridianAwayFromTheMeanLongitude) {
  const double cm = 27.0;
  const double x0 = -4.9e6;
  const double z0 = -tm_forward(44.0, 5.5).second;  // map origin at 44N, 32.5E
  const Anchors anchors = anchors_from(qm_test::tm_map_definition(cm, 0.9996, x0, z0));
  EXPECT_GT(std::fabs(anchors.longitude(4) - cm), 5.0);
  const ProjectionRef p = fit_projection(anchors);
  ASSERT_EQ(p->kind, Projection::kTm);
  EXPECT_NEAR(p->central_meridian, cm, 5e-10);
  EXPECT_NEAR(p->z_offset, z0, 5e-5);
}

TEST(FitProjection, LambertConformalConicGivesBlocks) {
  const Anchors anchors =
      anchors_from("+proj=lcc +ellps=WGS84 +lat_1=40 +lat_2=48 +lat_0=44 +lon_0=35 +x_0=0 +y_0=0 +units=m");
  const ProjectionRef p = fit_projection(anchors);
  EXPECT_EQ(p->kind, Projection::kBlocks);
  EXPECT_GE(p->worst, 0.001);
  EXPECT_TRUE(std::isfinite(p->worst));
  EXPECT_STREQ(p->label(), "blocks");
}

TEST(FitProjection, InvalidAnchorsGiveNone) {
  const Anchors good = anchors_from(qm_test::tm_map_definition(20.0, 1.0, -4.5e6, 0.0));
  ASSERT_EQ(fit_projection(good)->kind, Projection::kTm);
  struct Case {
    const char* what;
    std::size_t index;
    double value;
    std::uint64_t kind;
  };
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double inf = std::numeric_limits<double>::infinity();
  const Case cases[] = {
      {"NaN latitude", 0, nan, Projection::kNone},
      {"infinite longitude", 17, -inf, Projection::kNone},
      {"latitude 89", 8, 89.0, Projection::kNone},
      {"latitude -89", 10, -89.0, Projection::kNone},
      {"longitude 360.000001", 3, 360.000001, Projection::kNone},
      {"longitude -360.000001", 3, -360.000001, Projection::kNone},
      {"latitude 88.999999 is valid (a bad fit)", 8, 88.999999, Projection::kBlocks},
      {"longitude 360 is valid (a bad fit)", 3, 360.0, Projection::kBlocks},
  };
  for (const auto& c : cases) {
    Anchors a = good;
    a.values[c.index] = c.value;
    EXPECT_EQ(fit_projection(a)->kind, c.kind) << c.what;
  }
  Anchors same = good;
  for (std::size_t k = 0; k < 9; ++k) {
    same.values[2 * k] = 45.0;
    same.values[2 * k + 1] = 30.0;
  }
  EXPECT_EQ(fit_projection(same)->kind, Projection::kNone) << "nine identical anchors";
}

TEST(ProjectionFor, CachesByTheAnchorsBytes) {
  const Anchors a = anchors_from(qm_test::tm_map_definition(10.0, 1.0, -5.3e6, 1000.0));
  const ProjectionRef first = projection_for(a);
  EXPECT_EQ(first->kind, Projection::kTm);
  EXPECT_EQ(projection_for(a).get(), first.get()) << "same anchors, same shared projection";
  const auto tried = try_projection_for(a);
  ASSERT_TRUE(tried.has_value());
  EXPECT_EQ(tried->get(), first.get());

  Anchors absent = a;
  absent.present = 0;
  EXPECT_EQ(projection_for(absent)->kind, Projection::kNone);
  EXPECT_EQ(projection_for(a).get(), first.get()) << "absent anchors leave the cache alone";

  Anchors changed = a;
  std::uint64_t bits;
  std::memcpy(&bits, &changed.values[17], sizeof bits);
  bits ^= 1;
  std::memcpy(&changed.values[17], &bits, sizeof bits);
  const ProjectionRef refit = projection_for(changed);
  EXPECT_NE(refit.get(), first.get()) << "one bit changed refits";
  EXPECT_EQ(refit->kind, Projection::kTm);
  EXPECT_EQ(projection_for(changed).get(), refit.get());
  EXPECT_NE(projection_for(a).get(), first.get()) << "only the last fit is kept";
}

TEST(ProjectionFor, ConcurrentCallersShareOneFit) {
  const Anchors a = anchors_from(qm_test::tm_map_definition(-70.0, 1.0, -4.0e6, 0.0));
  std::vector<ProjectionRef> seen(6);
  std::vector<std::thread> threads;
  for (std::size_t i = 0; i < seen.size(); ++i) threads.emplace_back([&, i] { seen[i] = projection_for(a); });
  for (auto& t : threads) t.join();
  for (const auto& p : seen) EXPECT_EQ(p.get(), seen[0].get());
}
