// The terrain route's points parameter, point keys, the distance rule and the height cache.
#include <gtest/gtest.h>

#include <limits>
#include <string>

#include "routes/height_cache.hpp"
#include "geo/terrain_points.hpp"

using namespace qm;
namespace err = qm::terrain_errors;

TEST(TerrainPoints, ErrorTexts) {
  std::string many = "points=";
  for (int i = 0; i < 200; ++i) many += "1,2;";
  struct Case {
    std::string query;
    std::string_view error;
  };
  const Case cases[] = {
      {"", err::kMissing},
      {"xpoints=1,2", err::kMissing},
      {"a=1&Points=1,2", err::kMissing},
      {"points=", err::kEmpty},
      {"a=b&points=&points=1,2", err::kEmpty},  // the first parameter counts
      {"points=1,2;", err::kNeedsComma},
      {"points=1,2;3", err::kNeedsComma},
      {"points=1,2,3", err::kNotANumber},
      {"points=+1,2", err::kNotANumber},
      {"points=1e2,2", err::kNotANumber},
      {"points=1,123456789012345678901234567890123", err::kNotANumber},  // 33 characters
      {"points=.,2", err::kNotANumber},
      {"points=-,2", err::kNotANumber},
      {"points=1.2.3,2", err::kNotANumber},
      {"points=1-2,2", err::kNotANumber},
      {"points=%41,2", err::kNotANumber},
      {"points=90.5,2", err::kOutOfRange},
      {"points=0,-180.000001", err::kOutOfRange},
      {many + "1,2", err::kTooMany},
      {many + "garbage", err::kTooMany},
  };
  for (const auto& c : cases) {
    const auto parsed = parse_terrain_points(c.query);
    ASSERT_FALSE(parsed.ok()) << c.query.substr(0, 60);  // so no points
    EXPECT_EQ(parsed.error(), c.error) << c.query.substr(0, 60);
  }
}

TEST(TerrainPoints, AcceptedPoints) {
  const auto plain = parse_terrain_points("x=1&points=90,-180;-45.5,12.25;.5,5.&y=2");
  ASSERT_TRUE(plain.ok()) << plain.error();
  ASSERT_EQ(plain.value().size(), 3u);
  EXPECT_EQ(plain.value()[0].lat, 90.0);
  EXPECT_EQ(plain.value()[0].lon, -180.0);
  EXPECT_EQ(plain.value()[2].lat, 0.5);
  const auto escaped = parse_terrain_points("points=90%2C-180%3B-45.5%2c12.25%3b.5,5.");
  ASSERT_TRUE(escaped.ok());
  ASSERT_EQ(escaped.value().size(), 3u);
  EXPECT_EQ(escaped.value()[1].lon, 12.25);
  std::string many = "points=1,2";
  for (int i = 1; i < 200; ++i) many += ";1,2";
  EXPECT_EQ(parse_terrain_points(many).value().size(), 200u);
}

TEST(TerrainPoints, KeysAndDistance) {
  EXPECT_EQ(point_key({1.00000005, -1.00000005}), (PointKey{10000001, -10000001}));
  EXPECT_EQ(point_key({1.00000004, 2.0}), (PointKey{10000000, 20000000}));
  EXPECT_EQ(point_key({std::numeric_limits<double>::quiet_NaN(), 1e300}),
            (PointKey{0, std::numeric_limits<std::int64_t>::max()}));
  const LatLon origin{45.0, 35.0};
  const auto at_km = [](double km) { return LatLon{45.0 + 2.0 * km / 12742.0176 * 57.29577951308232, 35.0}; };
  EXPECT_TRUE(within_map_range(at_km(1999.5), origin));
  EXPECT_FALSE(within_map_range(at_km(2000.5), origin));
  EXPECT_NEAR(great_circle_km(at_km(2500.0), origin), 2500.0, 1e-6);
  EXPECT_FALSE(within_map_range({std::numeric_limits<double>::quiet_NaN(), 35.0}, origin));
}

TEST(HeightCacheTest, GenerationsAndTheatres) {
  HeightCache cache;
  HeightCache::Discarded discarded;
  const auto marsh = std::make_shared<const std::string>("Marsh");
  cache.reset_on_theatre(marsh, discarded);
  EXPECT_EQ(discarded.size(), 2u) << "the first theatre counts as a change";
  cache.store({1, 1}, 10.0, discarded);
  cache.reset_on_theatre(std::make_shared<const std::string>("Marsh"), discarded);
  EXPECT_EQ(cache.find({1, 1}), 10.0) << "the same bytes keep the cache";
  for (std::int64_t i = 2; i <= static_cast<std::int64_t>(kHeightGenerationSize); ++i) cache.store({i, 0}, 1.0, discarded);
  EXPECT_EQ(discarded.size(), 2u);
  cache.store({1, 1}, 11.0, discarded);  // replaces an equal key in the full recent generation
  EXPECT_EQ(cache.find({1, 1}), 11.0);
  cache.store({-1, -1}, 5.0, discarded);  // the recent generation is full: it becomes the older one
  EXPECT_EQ(discarded.size(), 3u);
  EXPECT_EQ(cache.find({-1, -1}), 5.0);
  EXPECT_EQ(cache.find({7, 0}), 1.0) << "found in the older generation";
  for (std::int64_t i = 0; i < static_cast<std::int64_t>(kHeightGenerationSize); ++i) cache.store({i, 9}, 2.0, discarded);
  EXPECT_FALSE(cache.find({7, 0}).has_value()) << "two roll-overs drop the first generation";
  cache.reset_on_theatre(std::make_shared<const std::string>("Fen"), discarded);
  EXPECT_FALSE(cache.find({-1, -1}).has_value()) << "another theatre empties the cache";
}
