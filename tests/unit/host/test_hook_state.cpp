// The export hook's state names, the mission phase and the document head, read at controlled
// moments from statistics set up by the test.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <thread>

#include "lua_test_host.hpp"
#include "host/mission_phase.hpp"
#include "routes/document_head.hpp"

namespace qm {
namespace {

constexpr std::uint64_t sec = 1000000000ull;

// A stamp `seconds` after the clock origin.
constexpr std::uint64_t at(double seconds) { return static_cast<std::uint64_t>(seconds * 1e9) + 1; }

void mission_started(ModuleStats& stats, double when, std::uint64_t mission_frames, std::uint64_t export_frames) {
  stats.mission_frames = mission_frames;
  stats.export_frames = export_frames;
  stats.mission_frames_at_change = mission_frames;
  stats.export_frames_at_change = export_frames;
  stats.last_mission_change = at(when);
  stats.other_thread = false;
}

TEST(HookState, NamesTheExportHooksState) {
  ModuleStats stats;
  EXPECT_EQ(hook_state(stats, false, at(100)), std::nullopt) << "outside a mission";
  EXPECT_EQ(hook_state(stats, true, at(100)), "starting") << "no mission start known";

  mission_started(stats, 100, 50, 7);
  EXPECT_EQ(hook_state(stats, true, at(100)), "starting");
  stats.mission_frames = 50 + 3001;
  EXPECT_EQ(hook_state(stats, true, at(160)), "starting") << "60 s exactly is not more than 60 s";
  EXPECT_EQ(hook_state(stats, true, at(160.001)), "not-installed");
  stats.mission_frames = 50 + 3000;
  EXPECT_EQ(hook_state(stats, true, at(500)), "starting") << "3000 frames are not enough";

  stats.export_frames = 8;  // seen in this mission
  stats.last_export_frame = at(200);
  stats.mission_frames_at_export = 1000;
  stats.mission_frames = 1000 + 601;
  EXPECT_EQ(hook_state(stats, true, at(205)), "running") << "its last frame is recent";
  EXPECT_EQ(hook_state(stats, true, at(210.5)), "stopped");
  stats.mission_frames = 1000 + 600;
  EXPECT_EQ(hook_state(stats, true, at(300)), "running") << "the mission hook did not run on either";
  stats.last_export_frame = at(400);  // a stamp newer than the reading: 0 s ago, never wrapped
  stats.mission_frames = 5000;
  EXPECT_EQ(hook_state(stats, true, at(300)), "running");

  stats.other_thread = true;
  EXPECT_EQ(hook_state(stats, true, at(300)), "other-thread");
  EXPECT_EQ(hook_state(stats, false, at(300)), std::nullopt);
}

Snapshot with_mission(bool own, const char* theatre = "Caucasus") {
  Snapshot snap;
  MissionInfo mission;
  mission.theatre = make_text(theatre);
  mission.server_name = make_text("s");
  mission.mission_name = make_text("m");
  mission.on_own_server = own;
  snap.mission = mission;
  return snap;
}

TEST(MissionPhase, FromTheSnapshotAndTheHookFrames) {
  ModuleStats stats;
  EXPECT_EQ(mission_phase_of(stats, Snapshot{}, at(10)).code, MissionPhase::none);
  EXPECT_EQ(mission_phase_of(stats, with_mission(false), at(10)).code, MissionPhase::other_server);
  stats.last_mission_frame = at(8);
  EXPECT_EQ(mission_phase_of(stats, with_mission(false), at(10)).code, MissionPhase::other_server);

  stats.last_mission_frame = 0;
  MissionPhase phase = mission_phase_of(stats, with_mission(true, "Syria"), at(10));
  EXPECT_EQ(phase.code, MissionPhase::loading) << "no frame yet";
  EXPECT_EQ(text_view(phase.theatre), "Syria");
  stats.last_mission_frame = at(8);
  EXPECT_EQ(mission_phase_of(stats, with_mission(true), at(10)).code, MissionPhase::running);
  EXPECT_EQ(mission_phase_of(stats, with_mission(true), at(10.001)).code, MissionPhase::loading);
  EXPECT_EQ(mission_phase_of(stats, with_mission(true), at(7)).code, MissionPhase::running);

  // The process-wide source reads the published snapshot.
  struct Fixed : PhaseSource {
    MissionPhase phase() const override { return {MissionPhase::running, make_text("Test")}; }
  };
  const Fixed fixed;
  const PhaseSource& source = fixed;
  EXPECT_EQ(text_view(source.phase().theatre), "Test");
  EXPECT_LE(PhaseSource().phase().code, MissionPhase::running);
}

// The head written into `out` by a writer of its own.
std::string_view write_head(std::string& out, const ModuleStats& stats, const Snapshot& snap, std::uint64_t stamp) {
  JsonWriter w(out);
  return mission_json(w, stats, snap, stamp);
}

nlohmann::ordered_json head(const ModuleStats& stats, const Snapshot& snap, double now, std::string_view* state = nullptr) {
  std::string out;
  const std::string_view s = write_head(out, stats, snap, at(now));
  if (state) *state = s;
  out.append("}");
  return nlohmann::ordered_json::parse(out);
}

TEST(DocumentHead, StatesAndTimes) {
  ModuleStats stats;
  std::string out;
  write_head(out, stats, Snapshot{}, at(5));
  EXPECT_EQ(out,
            "{\"api\":1,\"exporter\":\"1.1.0\",\"state\":\"menu\",\"exportState\":null,"
            "\"secondsSinceFrame\":null,\"modelTime\":null");

  stats.last_mission_frame = at(3.25);
  stats.host_time = 812.3456;
  std::string_view state;
  auto doc = head(stats, Snapshot{}, 5, &state);
  EXPECT_EQ(state, "menu");
  EXPECT_EQ(doc["secondsSinceFrame"], 1.75);
  EXPECT_TRUE(doc["modelTime"].is_null());

  doc = head(stats, with_mission(false), 5, &state);
  EXPECT_EQ(state, "other-server");
  EXPECT_TRUE(doc["secondsSinceFrame"].is_null());
  EXPECT_TRUE(doc["modelTime"].is_null());
  EXPECT_TRUE(doc["exportState"].is_null());

  mission_started(stats, 1, 0, 0);
  stats.last_mission_frame = at(3.25);
  doc = head(stats, with_mission(true), 5, &state);
  EXPECT_EQ(state, "mission");
  EXPECT_EQ(doc["exportState"], "starting");
  out.clear();
  write_head(out, stats, with_mission(true), at(5));
  EXPECT_NE(out.find("\"secondsSinceFrame\":1.750,\"modelTime\":812.346"), std::string::npos) << out;

  doc = head(stats, with_mission(true), 3, &state);  // a frame stamped after this reading began
  EXPECT_EQ(state, "mission");
  out.clear();
  write_head(out, stats, with_mission(true), at(3));
  EXPECT_NE(out.find("\"secondsSinceFrame\":0.000,"), std::string::npos) << out;

  doc = head(stats, with_mission(true), 8, &state);  // the hook stalls
  EXPECT_EQ(state, "loading");
  EXPECT_EQ(doc["secondsSinceFrame"], 4.75);
  EXPECT_EQ(doc["modelTime"], 812.346);
}

TEST(ExportHook, OtherThreadWhenTheHooksRunOnDifferentThreads) {
  test::LuaTestHost mission_host;
  mission_host.run(
      "m.mission_start('<< QuillMarsh Server  P-V-E>>', 'm', 'Caucasus'); m.frame(1); m.frame_end()\n"
      "return m.export_state()");
  EXPECT_EQ(mission_host.text(1), "starting");

  std::string exporting;
  std::thread export_thread([&] {
    test::LuaTestHost export_host;
    export_host.run("local _, e = m.export_frame(); m.export_frame_end(); return tostring(e)");
    exporting = export_host.text(1);
  });
  export_thread.join();
  EXPECT_EQ(exporting, "false") << "the export thread never ran frame";
  EXPECT_TRUE(module_stats().other_thread.load());
  mission_host.run("return m.export_state()");
  EXPECT_EQ(mission_host.text(1), "other-thread");

  mission_host.run("m.mission_start('<< QuillMarsh Server  P-V-E>>', 'm', 'Caucasus'); return m.export_state()");
  EXPECT_EQ(mission_host.text(1), "starting") << "a mission start clears the flag";
  mission_host.run("m.export_frame(); m.export_frame_end(); return m.export_state()");
  EXPECT_EQ(mission_host.text(1), "running") << "both hooks on one thread";
}

TEST(ExportHook, AnEndWithoutAStartCountsNothing) {
  test::LuaTestHost host;
  ModuleStats& stats = module_stats();
  const std::uint64_t frames = stats.export_frames.load();
  const std::uint64_t costs = stats.export_cost.count.load();
  host.run("m.export_frame(); m.export_frame_end(); m.export_frame_end(); m.export_frame(); m.export_frame()");
  host.run("m.export_frame_end()");
  EXPECT_EQ(stats.export_frames.load(), frames + 3);
  EXPECT_EQ(stats.export_cost.count.load(), costs + 2);
  EXPECT_EQ(stats.mission_frames_at_export.load(), stats.mission_frames.load());
}

}  // namespace
}  // namespace qm
