// The status document's "projection" member.
#include <gtest/gtest.h>

#include <limits>

#include "routes/status_parts.hpp"
#include "geo/projection_status.hpp"
#include "test_projection_proj.hpp"

using namespace qm;

TEST(ProjectionJson, EachKindWithItsDecimals) {
  Projection none;
  EXPECT_EQ(projection_json(none), "{\"kind\":\"none\"}");
  Projection tm;
  tm.kind = Projection::kTm;
  tm.central_meridian = 33.0000000004;
  tm.scale = 0.99959999995;
  tm.x_offset = -4998765.43214;
  tm.z_offset = 123456.78905;
  tm.worst = 1.25e-7;
  EXPECT_EQ(projection_json(tm),
            "{\"kind\":\"tm\",\"centralMeridian\":33.000000000,\"scale\":0.999600000,\"xOffset\":-4998765.4321,"
            "\"zOffset\":123456.7891,\"worstMetres\":0.000000}");
  Projection blocks;
  blocks.kind = Projection::kBlocks;
  blocks.worst = 1234.5678915;
  EXPECT_EQ(projection_json(blocks), "{\"kind\":\"blocks\",\"worstMetres\":1234.567892}");
  blocks.worst = std::numeric_limits<double>::infinity();
  EXPECT_EQ(projection_json(blocks), "{\"kind\":\"blocks\",\"worstMetres\":null}");
}

TEST(ProjectionJson, FromTheSnapshotOfAMissionOnTheOwnServer) {
  const std::string map = qm_test::tm_map_definition(33.0, 0.9996, -4998765.4321, 123456.789);
  const auto lat_lon = qm_test::proj_from_map(
      map, std::vector<qm_test::Point2>(Anchors::kMapPoints.begin(), Anchors::kMapPoints.end()));
  MissionInfo mission;
  mission.on_own_server = true;
  mission.anchors.present = 1;
  for (std::size_t k = 0; k < 9; ++k) {
    mission.anchors.values[2 * k] = lat_lon[k][0];
    mission.anchors.values[2 * k + 1] = lat_lon[k][1];
  }
  Snapshot snapshot;
  snapshot.mission = mission;
  const std::string expected =
      "{\"kind\":\"tm\",\"centralMeridian\":33.000000000,\"scale\":0.999600000,\"xOffset\":-4998765.4321,"
      "\"zOffset\":123456.7890,\"worstMetres\":0.000000}";
  EXPECT_EQ(status_projection_json(snapshot, true), expected);
  EXPECT_EQ(status_projection_json(snapshot, false), expected);

  snapshot.mission->on_own_server = false;
  EXPECT_EQ(status_projection_json(snapshot, false), "{\"kind\":\"none\"}");
  snapshot.mission->on_own_server = true;
  snapshot.mission->anchors.present = 0;
  EXPECT_EQ(status_projection_json(snapshot, true), "{\"kind\":\"none\"}");
  EXPECT_EQ(status_projection_json(Snapshot{}, false), "{\"kind\":\"none\"}");
}
