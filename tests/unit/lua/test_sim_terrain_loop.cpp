// The simulated host's terrain loop against the module: questions of every point kind queued from
// C++ come back answered from the simulated world at frame_end.
#include <gtest/gtest.h>

#include <cmath>

#include "lua_test_host.hpp"
#include "http/settings.hpp"
#include "host/height_queue.hpp"

using namespace qm;
using qm::test::LuaTestHost;

TEST(SimTerrainLoop, AnswersEveryPointKindFromTheWorld) {
  LuaTestHost lua;
  store_terrain_budget_micros(2000);
  lua.run(std::string("package.path = '") + QM_SOURCE_ROOT + "sim/?.lua;' .. package.path");
  lua.run("world = require('world').new('tm') loop = require('terrain_loop')");
  lua.run("m.mission_start('<< QuillMarsh Server  P-V-E>>', 'mission', world.theatre) m.frame_end()");

  auto theatre = std::make_shared<const std::string>("Afghanistan");
  auto table = terrain::ask_heights(0,
                                    {{-4000.0, -1000.0, 1},   // the airfield
                                     {0.0, 300000.0, 1},      // off the map
                                     {0.0, 0.0, 2},           // the map origin to latitude, longitude
                                     {33.5, 65.5, 3},         // and back
                                     {33.5, 65.5, 4}},        // the height there
                                    theatre, nullptr);
  lua.run("local n = loop.run(function(name, ...) return m[name](...) end, world) m.frame_end() "
          "return n, world.height(0, 0)");
  ASSERT_EQ(lua.results(), 2);
  EXPECT_EQ(lua.number(1), 5);
  const double origin_height = lua.number(2);

  auto view = table->view();
  EXPECT_EQ(view.pending, 0u);
  EXPECT_EQ(view.seen, (std::vector<std::uint8_t>{1, 1, 1, 1, 1}));
  EXPECT_EQ(view.slots[0], (terrain::AnswerSlot{true, 120.0, std::nullopt}));
  EXPECT_EQ(view.slots[1], (terrain::AnswerSlot{true, std::nullopt, std::nullopt}));
  ASSERT_TRUE(view.slots[2].a && view.slots[2].b);
  EXPECT_NEAR(*view.slots[2].a, 33.5, 1e-12);
  EXPECT_NEAR(*view.slots[2].b, 65.5, 1e-12);
  ASSERT_TRUE(view.slots[3].a && view.slots[3].b);
  EXPECT_NEAR(*view.slots[3].a, 0.0, 1e-6);
  EXPECT_NEAR(*view.slots[3].b, 0.0, 1e-6);
  ASSERT_TRUE(view.slots[4].a);
  EXPECT_NEAR(*view.slots[4].a, origin_height, 1e-6);
  EXPECT_FALSE(view.slots[4].b);

  lua.run("m.mission_stop() m.frame_end()");
  store_terrain_budget_micros(default_terrain_budget_micros);
}
