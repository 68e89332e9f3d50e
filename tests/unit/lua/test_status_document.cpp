// The status document: every key in order with its decimals, the "mesh" object's parts, and the
// host's `status` answering "busy" instead of waiting for a held lock.
// std::regex's internals (through std::function) trip GCC 12's -Wmaybe-uninitialized in the
// sanitizer builds; the pragma must precede every standard header to cover them.
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <nlohmann/json.hpp>
#include <regex>
#include <thread>

#include "lua_test_host.hpp"
#include "base/hashing.hpp"
#include "host/module_state.hpp"
#include "host/testing.hpp"
#include "lua/status.hpp"
#include "routes/status_document.hpp"
#include "routes/status_parts.hpp"

namespace qm {
namespace {

constexpr std::uint64_t ms = 1000000;
constexpr std::uint64_t at_ms(std::uint64_t millis) { return millis * ms + 1; }

Snapshot mission_snapshot(bool own) {
  Snapshot snap;
  MissionInfo mission;
  mission.server_name = make_text(own ? "<< QuillMarsh Server  P-V-E>>" : "Elsewhere");
  mission.mission_name = make_text("Tr\"aining\n");
  mission.theatre = make_text("Caucasus");
  mission.start_time = 43200.4;
  mission.on_own_server = own;
  snap.mission = mission;
  snap.aircraft.resize(2);
  snap.neutrals.resize(1);
  snap.sequence = 17;
  return snap;
}

struct Fixture {
  ModuleStats stats;
  StatusInputs inputs;
  Fixture() {
    stats.mission_frames = 42;
    stats.last_mission_frame = at_ms(9500);
    stats.host_time = 1234.56789;
    stats.hook_cost.add(1500, 9000 * ms);
    stats.hook_cost.add(2500, 9000 * ms);
    stats.export_frames = 3;
    stats.last_export_frame = at_ms(9000);
    stats.export_cost.add(1000, 9000 * ms);
    stats.last_mission_change = at_ms(1000);
    stats.requests = 7;
    stats.rejected = 2;
    inputs.stats = &stats;
    inputs.now_stamp = at_ms(10040);
    inputs.mesh = "{}";
  }
};

const std::string pinned = module_pinned() ? "true" : "false";

TEST(StatusDocument, EveryKeyInOrderWithItsDecimals) {
  Fixture f;
  f.inputs.snapshot = std::make_shared<const Snapshot>(mission_snapshot(true));
  f.inputs.server = ServerFacts{3, 8765, 4, true};
  f.inputs.lan.address = "192.168.1.20";
  f.inputs.last_panic = make_text("x at src/a.cpp:1");
  EXPECT_EQ(status_json(f.inputs),
            "{\"api\":1,\"exporter\":\"1.1.0\",\"state\":\"mission\",\"exportState\":\"running\","
            "\"secondsSinceFrame\":0.540,\"modelTime\":1234.568,"
            "\"server\":{\"name\":\"<< QuillMarsh Server  P-V-E>>\"},"
            "\"mission\":{\"name\":\"Tr\\\"aining\\n\",\"theatre\":\"Caucasus\",\"startTime\":43200},"
            "\"export\":{\"frames\":3,\"costMicrosMean\":1.0000,\"costMicrosMaxRecent\":1.0000},"
            "\"lan\":{\"enabled\":true,\"address\":\"192.168.1.20\",\"listening\":true,\"error\":null},"
            "\"health\":{\"pinned\":" + pinned + ",\"uptimeSeconds\":10.0,\"generation\":3,\"listeningPort\":8765,"
            "\"openConnections\":4,\"error\":null,\"frames\":42,\"hookCostMicrosMean\":2.0000,"
            "\"hookCostMicrosMaxRecent\":2.5000,\"snapshot\":17,\"aircraft\":2,\"neutrals\":1,\"requests\":7,"
            "\"rejected\":2,\"lastPanic\":\"x at src/a.cpp:1\"},"
            "\"mesh\":{}}");
}

TEST(StatusDocument, WithoutServerAndOnAnotherServer) {
  Fixture f;
  f.inputs.snapshot = std::make_shared<const Snapshot>(mission_snapshot(false));
  f.inputs.lan.address = "192.168.1.20";  // ignored without a server
  f.inputs.lan.error = make_text("ignored");
  EXPECT_EQ(status_json(f.inputs),
            "{\"api\":1,\"exporter\":\"1.1.0\",\"state\":\"other-server\",\"exportState\":null,"
            "\"secondsSinceFrame\":null,\"modelTime\":null,\"server\":null,\"mission\":null,"
            "\"export\":{\"frames\":3,\"costMicrosMean\":1.0000,\"costMicrosMaxRecent\":1.0000},"
            "\"lan\":{\"enabled\":false,\"address\":null,\"listening\":false,\"error\":null},"
            "\"health\":{\"pinned\":" + pinned + ",\"uptimeSeconds\":10.0,\"generation\":null,\"listeningPort\":null,"
            "\"openConnections\":0,\"error\":null,\"frames\":42,\"hookCostMicrosMean\":2.0000,"
            "\"hookCostMicrosMaxRecent\":2.5000,\"snapshot\":17,\"aircraft\":2,\"neutrals\":1,\"requests\":7,"
            "\"rejected\":2,\"lastPanic\":null},\"mesh\":{}}");
}

TEST(StatusDocument, LanAndServerMembersFollowTheServersState) {
  Fixture f;
  f.inputs.snapshot = idle_snapshot();
  f.inputs.server = ServerFacts{1, std::nullopt, 0, true};  // not listening yet
  f.inputs.lan.error = make_text("the address setting isn't a private LAN address");
  f.inputs.server_error = make_text("could not bind");
  auto doc = nlohmann::ordered_json::parse(status_json(f.inputs));
  EXPECT_EQ(doc["lan"], nlohmann::ordered_json::parse(
                            "{\"enabled\":true,\"address\":null,\"listening\":false,"
                            "\"error\":\"the address setting isn't a private LAN address\"}"));
  EXPECT_TRUE(doc["health"]["listeningPort"].is_null());
  EXPECT_EQ(doc["health"]["generation"], 1);
  EXPECT_EQ(doc["health"]["error"], "could not bind");
  EXPECT_EQ(doc["state"], "menu");
  EXPECT_EQ(doc["health"]["snapshot"], 0);
  EXPECT_EQ(doc["health"]["aircraft"], 0);

  f.inputs.server = ServerFacts{1, 9000, 0, false};  // LAN off: its state is not shown
  f.inputs.lan.address = "10.0.0.2";
  doc = nlohmann::ordered_json::parse(status_json(f.inputs));
  EXPECT_EQ(doc["lan"], nlohmann::ordered_json::parse(
                            "{\"enabled\":false,\"address\":null,\"listening\":false,\"error\":null}"));
}

TEST(StatusDocument, MicrosMembersOfTheMeshObject) {
  TerrainCostStats terrain;
  EXPECT_EQ(micros_json("{\"kind\":\"none\"}", terrain, 300, at_ms(5000), "\"store\":null,\"work\":null"),
            "\"projection\":{\"kind\":\"none\"},\"slice\":{\"micros\":300,\"frames\":0,\"meanMicros\":0.0,"
            "\"p99Micros\":null,\"maxRecentMicros\":0.0,\"coldFrames\":0,\"coldPoints\":0,\"samplingFrames\":0,"
            "\"dryFrames\":0},\"store\":null,\"work\":null");
  terrain.add(15000, 21000 * ms);
  terrain.add(120000, 22000 * ms);
  terrain.cold_frames = 1;
  terrain.cold_points = 5;
  terrain.sampling_frames = 9;
  terrain.dry_frames = 4;
  EXPECT_EQ(micros_json("P", terrain, 2000, at_ms(31000), "T"),
            "\"projection\":P,\"slice\":{\"micros\":2000,\"frames\":2,\"meanMicros\":67.5,\"p99Micros\":130,"
            "\"maxRecentMicros\":120.0,\"coldFrames\":1,\"coldPoints\":5,\"samplingFrames\":9,\"dryFrames\":4},T");
}

// The keys of an object, in document order.
std::vector<std::string> keys(const nlohmann::ordered_json& object) {
  std::vector<std::string> out;
  for (auto it = object.begin(); it != object.end(); ++it) out.push_back(it.key());
  return out;
}

using Keys = std::vector<std::string>;

TEST(LuaStatus, TheWholeDocumentInOrder) {
  test::LuaTestHost host;
  host.run("m.mission_start('<< QuillMarsh Server  P-V-E>>', 'Status test', 'Caucasus', 1.5)\n"
           "m.frame(10); m.unit(4, 1, 1, 1, 1, 0, 0, false, false, 'a', 'b', 'c', 1, 2, 3); m.frame_end()\n"
           "return m.status()");
  ASSERT_EQ(host.results(), 1);
  const std::string text = host.text(1);
  const auto doc = nlohmann::ordered_json::parse(text);
  EXPECT_EQ(keys(doc), (Keys{"api", "exporter", "state", "exportState", "secondsSinceFrame", "modelTime", "server",
                             "mission", "export", "lan", "health", "mesh"}));
  EXPECT_EQ(doc["state"], "mission");
  EXPECT_EQ(doc["server"]["name"], "<< QuillMarsh Server  P-V-E>>");
  EXPECT_EQ(keys(doc["mission"]), (Keys{"name", "theatre", "startTime"}));
  EXPECT_EQ(doc["mission"]["startTime"], 2);  // no decimals: 1.5 rounds to even
  EXPECT_EQ(keys(doc["export"]), (Keys{"frames", "costMicrosMean", "costMicrosMaxRecent"}));
  EXPECT_EQ(keys(doc["lan"]), (Keys{"enabled", "address", "listening", "error"}));
  EXPECT_EQ(keys(doc["health"]),
            (Keys{"pinned", "uptimeSeconds", "generation", "listeningPort", "openConnections", "error", "frames",
                  "hookCostMicrosMean", "hookCostMicrosMaxRecent", "snapshot", "aircraft", "neutrals", "requests",
                  "rejected", "lastPanic"}));
  EXPECT_EQ(doc["health"]["aircraft"], 1);
  EXPECT_EQ(keys(doc["mesh"]), (Keys{"epoch", "projection", "slice", "store", "work", "streams"}));
  EXPECT_EQ(doc["mesh"]["epoch"], epoch_hex());
  EXPECT_TRUE(std::regex_search(text, std::regex("\"epoch\":\"[0-9a-f]{16}\",")));
  EXPECT_EQ(keys(doc["mesh"]["slice"]), (Keys{"micros", "frames", "meanMicros", "p99Micros", "maxRecentMicros",
                                              "coldFrames", "coldPoints", "samplingFrames", "dryFrames"}));
  EXPECT_EQ(keys(doc["mesh"]["streams"]), (Keys{"open", "opened", "ends", "recent"}));
  EXPECT_EQ(keys(doc["mesh"]["streams"]["ends"]), (Keys{"complete", "replaced", "theatre", "server", "error",
                                                        "stopped", "closed", "reset", "timeout"}));
  // Decimals as written, not as parsed.
  for (const char* pattern :
       {"\"secondsSinceFrame\":[0-9]+\\.[0-9]{3},", "\"modelTime\":10\\.000,", "\"costMicrosMean\":[0-9]+\\.[0-9]{4},",
        "\"uptimeSeconds\":[0-9]+\\.[0-9],", "\"hookCostMicrosMean\":[0-9]+\\.[0-9]{4},",
        "\"hookCostMicrosMaxRecent\":[0-9]+\\.[0-9]{4},", "\"meanMicros\":[0-9]+\\.[0-9],",
        "\"maxRecentMicros\":[0-9]+\\.[0-9],", "\"startTime\":2\\}"}) {
    EXPECT_TRUE(std::regex_search(text, std::regex(pattern))) << pattern << "\n" << text;
  }
}

TEST(LuaStatus, BusyWhileAnotherThreadHoldsTheSnapshotLock) {
  test::LuaTestHost host;
  std::atomic<bool> held{false};
  std::atomic<bool> release{false};
  std::thread holder([&] {
    std::lock_guard guard(snapshot_lock());
    held = true;
    while (!release) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  });
  while (!held) std::this_thread::yield();
  host.run("return m.status()");
  const int results = host.results();
  const bool first_nil = host.is_nil(1);
  const std::string second = host.text(2);
  EXPECT_FALSE(status_document_no_wait());
  release = true;
  holder.join();
  EXPECT_EQ(results, 2);
  EXPECT_TRUE(first_nil);
  EXPECT_EQ(second, "busy");
  host.run("return m.status()");
  EXPECT_EQ(host.results(), 1);
  EXPECT_TRUE(nlohmann::json::accept(host.text(1)));
}

TEST(StatusParts, MembersOfSubsystemsThatAreNotThereYet) {
  const std::string micros = "\"projection\":{\"kind\":\"none\"}";
  const std::optional<std::string> mesh = streams_status_json(micros, at_ms(1), false);
  ASSERT_TRUE(mesh);
  EXPECT_EQ(*mesh, "{\"epoch\":\"" + epoch_hex() + "\"," + micros +
                       ",\"streams\":{\"open\":[],\"opened\":0,\"ends\":{\"complete\":0,\"replaced\":0,"
                       "\"theatre\":0,\"server\":0,\"error\":0,\"stopped\":0,\"closed\":0,\"reset\":0,"
                       "\"timeout\":0},\"recent\":[]}}");
}

}  // namespace
}  // namespace qm
