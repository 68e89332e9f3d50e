// The mission hook's state and its publication, driven from Lua by a test host and checked on the
// published snapshot.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <thread>

#include "lua_test_host.hpp"
#include "base/clock.hpp"
#include "host/host_state.hpp"
#include "host/snapshot.hpp"
#include "host/stats.hpp"
#include "host/testing.hpp"
#include "base/json.hpp"

namespace qm {
namespace {

using test::LuaTestHost;

const std::string own_start = "m.mission_start('<< QuillMarsh Server  P-V-E>>', 'Training', 'Afghanistan', 77)";

// Publishes the thread's state now, whatever the spacing.
void publish_now() {
  LuaStateBorrow state;
  state->publish_now = true;
  state->changed = true;
  ASSERT_TRUE(publish_if_due(*state, now_ns()));
}

TEST(HostState, SnapshotListsUnitsInAscendingIdOrderWithTheirFields) {
  LuaTestHost host;
  host.run(own_start);
  host.run(
      "m.unit(30, 1.5, 2, 1, 2, 7, 8, true, false, 'UH-1H', 'Huey', 'Dustoff', 34.5, 69.2, 1500, 0.5, 1400)\n"
      "m.unit(5, 2.5, 0, 1, 1, 0, 0, false, true, 'Su-25', 'Frog', 'Attack', 34.6, 63.0, 900, 0, nil)\n"
      "m.unit(12, 3.5, 0, 9, 4, 0, 0, false, true, 'Truck', 'T', 'Convoy', 34.7, 69.4, 800)\n"
      "m.unit(3, 3.5, 0, 10, 0, 0, 0, false, false, 'Tent', 'N', 'Camp', 34.8, 69.5, 810)\n"
      "m.set_self(30)\n"
      "m.frame_end()");
  const SnapshotRef snap = snapshot();
  ASSERT_TRUE(snap->mission);
  EXPECT_EQ(text_view(snap->mission->theatre), "Afghanistan");
  EXPECT_EQ(snap->mission->start_time, 77.0);
  EXPECT_TRUE(snap->mission->on_own_server);
  EXPECT_FALSE(snap->mission->anchors.is_present());
  EXPECT_EQ(snap->self_id, 30u);
  ASSERT_EQ(snap->aircraft.size(), 2u);
  ASSERT_EQ(snap->neutrals.size(), 2u);
  EXPECT_EQ(snap->aircraft[0].id, 5u);
  EXPECT_EQ(snap->aircraft[1].id, 30u);
  EXPECT_EQ(snap->neutrals[0].id, 3u);
  EXPECT_EQ(snap->neutrals[1].id, 12u);

  const UnitRecord& huey = snap->aircraft[1];
  EXPECT_EQ(huey.t, 1.5);
  EXPECT_EQ(huey.coalition, 2);
  EXPECT_EQ(huey.levels, (std::array<std::uint32_t, 4>{1, 2, 7, 8}));
  EXPECT_TRUE(huey.human);
  EXPECT_FALSE(huey.invisible);
  EXPECT_EQ(text_view(huey.type), "UH-1H");
  EXPECT_EQ(text_view(huey.name), "Huey");
  EXPECT_EQ(text_view(huey.group), "Dustoff");
  EXPECT_EQ(huey.lat, 34.5);
  EXPECT_EQ(huey.lon, 69.2);
  EXPECT_EQ(huey.alt, 1500);
  EXPECT_EQ(huey.ground, 1400);
  ASSERT_TRUE(huey.heading);
  EXPECT_EQ(*huey.heading, *map_heading("Afghanistan", 34.5, 69.2, 0.5));

  const UnitRecord& frog = snap->aircraft[0];
  EXPECT_FALSE(frog.ground);
  EXPECT_EQ(frog.heading, 0.0);  // at the central meridian the convergence is 0
  EXPECT_FALSE(snap->neutrals[1].heading);  // no heading argument
}

TEST(HostState, TextArgumentsAreCutAndDecodedWithReplacement) {
  LuaTestHost host;
  // 255 ASCII bytes then a two-byte character: the cut at 256 bytes splits it.
  host.run("name = string.rep('a', 255) .. '\\195\\169' .. 'tail'\n"
           "m.mission_start('x', name, 'bad\\255byte')\n"
           "m.frame_end()");
  SnapshotRef snap = snapshot();
  ASSERT_TRUE(snap->mission);
  EXPECT_EQ(*snap->mission->mission_name, std::string(255, 'a') + "\xEF\xBF\xBD");
  EXPECT_EQ(*snap->mission->theatre, "bad\xEF\xBF\xBD" "byte");
  EXPECT_FALSE(snap->mission->on_own_server);
  EXPECT_EQ(*snap->mission->server_name, "x");
  EXPECT_FALSE(snap->mission->start_time);

  host.run("m.mission_start(7, nil, {}, '12')\nm.frame_end()");
  snap = snapshot();
  EXPECT_EQ(*snap->mission->server_name, "");
  EXPECT_EQ(*snap->mission->mission_name, "");
  EXPECT_FALSE(snap->mission->start_time);  // a numeric string is not a number
  host.run("m.mission_start('x', 'y', 'z', 0/0)\nm.frame_end()");
  EXPECT_FALSE(snapshot()->mission->start_time);
  host.run("m.mission_start('x', 'y', 'z', 1/0)\nm.frame_end()");
  EXPECT_FALSE(snapshot()->mission->start_time);

  host.run(own_start + "\nm.unit(9, 1, 1, 1, 1, 0, 0, false, false, string.rep('\\226\\130\\172', 90), 5, nil, 1, 2, 3)"
           "\nm.frame_end()");
  snap = snapshot();
  ASSERT_EQ(snap->aircraft.size(), 1u);
  // 85 whole euro signs (255 bytes), then one byte of the 86th: one replacement character.
  std::string euros;
  for (int i = 0; i < 85; ++i) euros += "\xE2\x82\xAC";
  EXPECT_EQ(*snap->aircraft[0].type, euros + "\xEF\xBF\xBD");
  EXPECT_EQ(*snap->aircraft[0].name, "");
  EXPECT_EQ(*snap->aircraft[0].group, "");
}

TEST(HostState, ScanReportWithoutGroundKeepsARecentMove) {
  LuaTestHost host;
  host.run(own_start);
  host.run("m.unit(40, 10.0, 1, 1, 1, 0, 0, false, false, 'A', 'B', 'C', 34, 69, 1000, 0.0, 900)\n"
           "m.move(40, 10.5, 34.1, 69.1, 1100, 1.0, 950)\n"
           "m.unit(40, 11.4, 1, 1, 1, 0, 0, false, false, 'A2', 'B', 'C', 34.9, 69.9, 5000, 2.0)\n");
  publish_now();
  UnitRecord kept = snapshot()->aircraft.at(0);
  EXPECT_EQ(kept.t, 10.5);
  EXPECT_EQ(kept.lat, 34.1);
  EXPECT_EQ(kept.lon, 69.1);
  EXPECT_EQ(kept.alt, 1100);
  EXPECT_EQ(kept.ground, 950);
  EXPECT_EQ(kept.heading, map_heading("Afghanistan", 34.1, 69.1, 1.0));
  EXPECT_EQ(*kept.type, "A2");  // texts come from the scan report

  // 1.5 apart: the report's own values.
  host.run("m.move(40, 10.5, 34.1, 69.1, 1100, 1.0, 950)\n"
           "m.unit(40, 12.0, 1, 1, 1, 0, 0, false, false, 'A', 'B', 'C', 34.9, 69.9, 5000, 2.0)\n");
  publish_now();
  kept = snapshot()->aircraft.at(0);
  EXPECT_EQ(kept.t, 12.0);
  EXPECT_EQ(kept.lat, 34.9);
  EXPECT_FALSE(kept.ground);

  // With a ground value of its own: the report's values.
  host.run("m.move(40, 10.5, 34.1, 69.1, 1100, 1.0, 950)\n"
           "m.unit(40, 10.6, 1, 1, 1, 0, 0, false, false, 'A', 'B', 'C', 34.9, 69.9, 5000, 2.0, 4000)\n");
  publish_now();
  kept = snapshot()->aircraft.at(0);
  EXPECT_EQ(kept.lat, 34.9);
  EXPECT_EQ(kept.ground, 4000);

  // A move in another theatre clears the heading.
  host.run("m.mission_start('<< QuillMarsh Server  P-V-E>>', 'T', 'Caucasus')\n"
           "m.unit(40, 10.0, 1, 1, 1, 0, 0, false, false, 'A', 'B', 'C', 34, 69, 1000, 0.0, 900)\n"
           "m.move(40, 10.5, 34.1, 69.1, 1100, 1.0, 950)");
  publish_now();
  EXPECT_FALSE(snapshot()->aircraft.at(0).heading);
}

TEST(HostState, ChangesMarkTheStateChanged) {
  LuaTestHost host;
  auto changed_after = [&](const std::string& code) {
    publish_now();
    host.run(code);
    LuaStateBorrow state;
    return state->changed;
  };
  host.run(own_start + "\nm.unit(7, 1, 1, 1, 1, 0, 0, false, false, 'a', 'b', 'c', 1, 2, 3)");
  // An aircraft whose levels make it invalid is removed, and the removal is published.
  EXPECT_TRUE(changed_after("assert(m.unit(7, 1, 1, 1, 3, 0, 0, false, false, 'a', 'b', 'c', 1, 2, 3) == false)"));
  EXPECT_TRUE(snapshot()->aircraft.size() == 1);
  publish_now();
  EXPECT_TRUE(snapshot()->aircraft.empty());
  EXPECT_FALSE(changed_after("m.unit(7, 1, 1, 1, 3, 0, 0, false, false, 'a', 'b', 'c', 1, 2, 3)"));  // nothing left

  host.run("m.unit(8, 1, 1, 1, 1, 0, 0, false, false, 'a', 'b', 'c', 1, 2, 3)");
  EXPECT_TRUE(changed_after("m.set_self(8)"));
  EXPECT_FALSE(changed_after("m.set_self(8)"));  // the same id again
  EXPECT_TRUE(changed_after("m.set_self('8')"));  // a numeric string clears it
  publish_now();
  EXPECT_FALSE(snapshot()->self_id);
  EXPECT_FALSE(changed_after("m.set_self(nil)"));  // nothing to clear
  EXPECT_TRUE(changed_after("m.set_self(12345)"));  // need not be a filed unit
  EXPECT_FALSE(changed_after("m.gone(12345)"));     // clears self, changes nothing shown by itself
  {
    LuaStateBorrow state;
    EXPECT_FALSE(state->self_id);
  }
  EXPECT_TRUE(changed_after("m.gone(8)"));
  EXPECT_FALSE(changed_after("m.gone(8)"));
  EXPECT_FALSE(changed_after("m.scan_begin(); m.scan_end()"));  // nothing to remove
  host.run("m.unit(9, 1, 1, 1, 1, 0, 0, false, false, 'a', 'b', 'c', 1, 2, 3); m.set_self(9)");
  EXPECT_TRUE(changed_after("m.scan_begin(); m.scan_end()"));
  {
    LuaStateBorrow state;
    EXPECT_FALSE(state->self_id);  // self is no longer an aircraft
  }
}

TEST(HostState, ProjectionAnchorsAreStoredAsGivenAndPublishAtOnce) {
  LuaTestHost host;
  host.run("m.mission_stop(); m.frame_end()");
  host.run("m.projection_anchors(1,2,3,4,5,6,7,8,9,10,11,12,13,14,15,16,17,18)");
  {
    LuaStateBorrow state;
    EXPECT_FALSE(state->changed);  // no mission: nothing stored
  }
  host.run("m.mission_start('other', 'm', 't'); m.frame_end(); "
           "m.projection_anchors(1,2,3,4,5,6,7,8,9,10,11,12,13,14,15,16,17,18)");
  {
    LuaStateBorrow state;
    EXPECT_FALSE(state->changed);  // another server: nothing stored
  }
  host.run(own_start + "; m.frame_end(); m.projection_anchors(1,2,3,4,5,6,7,8,9,10,11,12,13,14,15,16,17,0/0)");
  {
    LuaStateBorrow state;
    EXPECT_TRUE(state->changed);
    EXPECT_TRUE(state->publish_now);
  }
  host.run("m.frame_end()");  // at once, however soon after the last publication
  Anchors anchors = snapshot()->mission->anchors;
  EXPECT_TRUE(anchors.is_present());
  EXPECT_EQ(anchors.values[0], 1.0);
  EXPECT_EQ(anchors.values[16], 17.0);
  EXPECT_TRUE(std::isnan(anchors.values[17]));  // no finiteness check

  host.run("m.projection_anchors(1,2,3,4,5,6,7,8,9,10,11,12,13,14,15,16,17); m.frame_end()");
  anchors = snapshot()->mission->anchors;
  EXPECT_FALSE(anchors.is_present());
  EXPECT_EQ(anchors.values[16], 17.0);
  EXPECT_EQ(anchors.values[17], 0.0);
}

TEST(Publication, SpacedByAHundredMillisecondsUnlessAskedForAtOnce) {
  LuaState state;
  constexpr std::uint64_t ms = 1000000;
  const std::uint64_t t0 = 5000 * ms;
  EXPECT_FALSE(publish_if_due(state, t0)) << "nothing changed";

  state.changed = true;
  EXPECT_TRUE(publish_if_due(state, t0)) << "first publication";
  const std::uint64_t first = snapshot()->sequence;
  EXPECT_FALSE(state.changed);
  EXPECT_EQ(state.last_publication, t0);

  state.changed = true;
  EXPECT_FALSE(publish_if_due(state, t0 + 50 * ms)) << "50 ms later";
  EXPECT_TRUE(state.changed) << "the change waits";
  EXPECT_FALSE(publish_if_due(state, t0 + 99 * ms));
  EXPECT_TRUE(publish_if_due(state, t0 + 100 * ms)) << "100 ms later";
  EXPECT_EQ(snapshot()->sequence, first + 1);

  state.changed = true;
  state.publish_now = true;
  EXPECT_TRUE(publish_if_due(state, t0 + 101 * ms)) << "asked for at once";
  EXPECT_FALSE(state.publish_now);

  state.changed = true;
  EXPECT_FALSE(publish_if_due(state, t0)) << "a clock that went back publishes nothing";
  EXPECT_FALSE(publish_if_due(state, t0 + 150 * ms));
  EXPECT_TRUE(publish_if_due(state, t0 + 201 * ms));
}

TEST(Publication, MissionStartPublishesAtTheNextFrameEnd) {
  // The spacing itself is held on given instants above; this frame_end reads the real clock, so
  // "not yet" is checked only while less than 100 ms have passed since before the publication.
  constexpr std::uint64_t spacing = 100'000'000;
  LuaTestHost host;
  const std::uint64_t published_after = now_ns();
  host.run(own_start + "; m.frame_end()");
  const std::uint64_t before = snapshot()->sequence;
  host.run("m.unit(3, 1, 1, 1, 1, 0, 0, false, false, 'a', 'b', 'c', 1, 2, 3); m.frame_end()");
  if (now_ns() - published_after < spacing) {
    EXPECT_EQ(snapshot()->sequence, before) << "a unit change right after a publication waits";
  }
  host.run("m.frame_end()");
  if (now_ns() - published_after < spacing) {
    EXPECT_EQ(snapshot()->sequence, before);
  }
  const std::uint64_t sequence = snapshot()->sequence;
  host.run("m.mission_start('<< QuillMarsh Server  P-V-E>>', 'Next', 'Caucasus'); m.frame_end()");
  EXPECT_GT(snapshot()->sequence, sequence) << "a mission start publishes at once";
  EXPECT_EQ(*snapshot()->mission->mission_name, "Next");
  EXPECT_TRUE(snapshot()->aircraft.empty());
  std::this_thread::sleep_for(std::chrono::milliseconds(110));
  host.run("m.frame_end()");
  EXPECT_EQ(*snapshot()->mission->mission_name, "Next") << "nothing changed: nothing published";
}

TEST(Publication, FrameEndNeverWaitsForTheSnapshotLock) {
  LuaTestHost host;
  host.run(own_start + "; m.frame_end()");
  const std::uint64_t before = snapshot()->sequence;
  host.run("m.mission_start('<< QuillMarsh Server  P-V-E>>', 'Held', 'Caucasus')");

  std::atomic<bool> held{false};
  std::atomic<bool> release{false};
  std::thread holder([&] {
    std::lock_guard guard(snapshot_lock());
    held = true;
    while (!release) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  });
  while (!held) std::this_thread::yield();
  host.run("m.frame_end()");  // returns although the lock is held
  {
    LuaStateBorrow state;
    EXPECT_TRUE(state->changed) << "the publication waits for a later frame_end";
  }
  EXPECT_FALSE(try_snapshot()) << "readers that only try see the lock busy";
  release = true;
  holder.join();
  EXPECT_EQ(snapshot()->sequence, before);
  host.run("m.frame_end()");
  const SnapshotRef after = snapshot();
  EXPECT_EQ(*after->mission->mission_name, "Held");
  EXPECT_EQ(after->sequence, before + 2) << "the sequence number of the failed attempt is skipped";
}

TEST(Frame, CountsFramesAndMeasuresTheHookCost) {
  LuaTestHost host;
  ModuleStats& stats = module_stats();
  const std::uint64_t frames = stats.mission_frames.load();
  const std::uint64_t costs = stats.hook_cost.count.load();
  host.run("return m.frame(123.25)");
  EXPECT_TRUE(host.is_nil(1)) << "no HTTP request yet";
  EXPECT_EQ(stats.host_time.load(), 123.25);
  host.run("m.frame(0/0)");
  EXPECT_EQ(stats.host_time.load(), 123.25) << "only finite host times are kept";
  host.run("m.frame_end()");
  host.run("m.frame_end()");  // no frame open: not measured
  EXPECT_EQ(stats.mission_frames.load(), frames + 2);
  EXPECT_EQ(stats.hook_cost.count.load(), costs + 1);
  EXPECT_GE(stats.last_mission_frame.load(), 1u);

  stats.last_request.store(1);  // a request at the clock origin
  host.run("return m.frame(1)");
  EXPECT_NEAR(host.number(1), seconds_since_origin(), 0.5);
  host.run("return m.export_frame()");
  EXPECT_NEAR(host.number(1), seconds_since_origin(), 0.5);
  stats.last_request.store(stamp_now() + 60000000000ull);  // stamped after this frame began
  host.run("return m.frame(1)");
  EXPECT_EQ(host.number(1), 0.0);
  stats.last_request.store(0);
  host.run("m.frame_end(); m.export_frame_end()");
}

TEST(MapHeading, FollowsTheGridConvergenceOfTheTheatre) {
  constexpr double two_pi = 6.283185307179586;
  struct Case {
    const char* theatre;
    double lat, lon, heading;
    std::optional<double> expected;
  };
  const Case cases[] = {
      {"Afghanistan", 0.0, 70.0, 1.0, std::round(1.0 * 57.29577951308232 * 10) / 10},  // lat 0: no convergence
      {"Afghanistan", 34.0, 63.0, 1.0, 57.3},
      {"Afghanistan", 34.0, 63.0, two_pi - 0.0001, 0.0},  // 359.99... rounds to 360, then 0
      {"Afghanistan", 34.0, 63.0, -0.5, 331.4},
      {"Afghanistan", 34.0, 63.0, 4 * two_pi + 0.1, 5.7},
      {"Afghanistan", 34.0, 63.0, std::nan(""), std::nullopt},
      {"Afghanistan", std::nan(""), 63.0, 1.0, std::nullopt},
      {"Afghanistan", 34.0, INFINITY, 1.0, std::nullopt},
      {"afghanistan", 34.0, 63.0, 1.0, std::nullopt},
      {"Caucasus", 34.0, 63.0, 1.0, std::nullopt},
  };
  for (const Case& c : cases) {
    const std::optional<double> got = map_heading(c.theatre, c.lat, c.lon, c.heading);
    ASSERT_EQ(got.has_value(), c.expected.has_value()) << c.theatre << " " << c.heading;
    if (got) {
      EXPECT_DOUBLE_EQ(*got, *c.expected) << c.heading;
    }
  }
  // East of the central meridian in the north the grid north lies west of true north.
  const double c = *map_heading("Afghanistan", 35.0, 69.0, 0.0);
  EXPECT_GT(c, 0.0);
  EXPECT_LT(c, 4.0);
  // A heading that would print as "-0.0" prints as 0.0.
  EXPECT_EQ(json_number(map_heading("Afghanistan", 0.0, 63.0, -0.0), 1), "0.0");
  EXPECT_EQ(json_number(map_heading("Afghanistan", -10.0, 63.0, -0.0), 1), "0.0");
}

TEST(UnitIds, WholeNumbersBelowTwoToTheFiftyThird) {
  EXPECT_EQ(valid_unit_id(1.0), 1u);
  EXPECT_EQ(valid_unit_id(9007199254740991.0), 9007199254740991u);
  EXPECT_FALSE(valid_unit_id(9007199254740992.0));
  EXPECT_FALSE(valid_unit_id(0.0));
  EXPECT_FALSE(valid_unit_id(-0.0));
  EXPECT_FALSE(valid_unit_id(-1.0));
  EXPECT_FALSE(valid_unit_id(1.5));
  EXPECT_FALSE(valid_unit_id(std::nan("")));
  EXPECT_FALSE(valid_unit_id(INFINITY));
  EXPECT_FALSE(valid_unit_id(std::nullopt));
}

}  // namespace
}  // namespace qm
