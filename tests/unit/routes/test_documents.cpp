// The aircraft and neutrals documents: every key and decimal for an idle module, another server, a
// loading and a running mission; the array caches build once per snapshot and give the same bytes
// as a fresh build.
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <limits>
#include <nlohmann/json.hpp>
#include <thread>
#include <vector>

#include "host/snapshot.hpp"
#include "host/stats.hpp"
#include "routes/unit_documents.hpp"

namespace qm {
namespace {

constexpr std::uint64_t ms = 1000000;
constexpr std::uint64_t at_ms(std::uint64_t millis) { return millis * ms + 1; }

constexpr std::string_view idle_head =
    "{\"api\":1,\"exporter\":\"1.1.0\",\"state\":\"menu\",\"exportState\":null,\"secondsSinceFrame\":null,"
    "\"modelTime\":null";

UnitRecord unit(std::uint64_t id, std::array<std::uint32_t, 4> levels, std::uint8_t coalition, const char* name) {
  UnitRecord u;
  u.id = id;
  u.t = 12.3456;
  u.levels = levels;
  u.coalition = coalition;
  u.type = make_text("F-16C_50");
  u.name = make_text(name);
  u.group = make_text("Viper \"1\"");
  u.lat = 41.123456789;
  u.lon = -43.5;
  u.alt = 1523.25;
  return u;
}

Snapshot mission(bool own, std::uint64_t sequence) {
  Snapshot snap;
  MissionInfo info;
  info.server_name = make_text(own ? "<< QuillMarsh Server  P-V-E>>" : "Elsewhere");
  info.mission_name = make_text("Training");
  info.theatre = make_text("Caucasus");
  info.on_own_server = own;
  snap.mission = info;
  snap.sequence = sequence;
  snap.self_id = 102;
  UnitRecord plane = unit(101, {1, 1, 6, 3}, 2, "Пилот é 中");
  plane.human = true;
  plane.ground = 12.04;
  plane.heading = 359.96;
  UnitRecord helicopter = unit(102, {1, 2, 5, 0}, 1, "tab\there\x01\x7f");
  helicopter.lat = std::numeric_limits<double>::quiet_NaN();
  UnitRecord other = unit(103, {1, 3, 0, 0}, 0, "");
  snap.aircraft = {plane, helicopter, other};
  UnitRecord ship = unit(7, {3, 12, 2, 4}, 0, "ignored");
  ship.invisible = true;
  ship.alt = -0.04;
  snap.neutrals = {ship};
  return snap;
}

struct RunningStats {
  ModuleStats stats;
  RunningStats() {
    stats.mission_frames = 500;
    stats.last_mission_frame = at_ms(99000);
    stats.host_time = 3600.0625;
    stats.mission_frames_at_change = 10;
    stats.last_mission_change = at_ms(1000);
  }
};

TEST(UnitDocuments, IdleModule) {
  ModuleStats stats;
  ListCache aircraft, neutrals;
  const SnapshotRef idle = idle_snapshot();
  EXPECT_EQ(aircraft_route(stats, *idle, at_ms(5000), aircraft).text(),
            std::string(idle_head) + ",\"self\":null,\"aircraft\":[]}");
  EXPECT_EQ(neutrals_route(stats, *idle, at_ms(5000), neutrals).text(), std::string(idle_head) + ",\"neutrals\":[]}");
}

TEST(UnitDocuments, AnotherServerShowsNoUnits) {
  RunningStats f;
  ListCache aircraft, neutrals;
  const Snapshot snap = mission(false, 4);
  const std::string head =
      "{\"api\":1,\"exporter\":\"1.1.0\",\"state\":\"other-server\",\"exportState\":null,"
      "\"secondsSinceFrame\":null,\"modelTime\":null";
  EXPECT_EQ(aircraft_route(f.stats, snap, at_ms(99500), aircraft).text(), head + ",\"self\":null,\"aircraft\":[]}");
  EXPECT_EQ(neutrals_route(f.stats, snap, at_ms(99500), neutrals).text(), head + ",\"neutrals\":[]}");
  EXPECT_EQ(aircraft.lookup(4), nullptr) << "no array is built for a list that is not shown";
}

TEST(UnitDocuments, OutsideAMissionLeftOverUnitsAreNotShown) {
  ModuleStats stats;
  ListCache cache;
  Snapshot snap = mission(true, 9);
  snap.mission.reset();
  EXPECT_EQ(aircraft_route(stats, snap, at_ms(5000), cache).text(), std::string(idle_head) + ",\"self\":null,\"aircraft\":[]}");
}

TEST(UnitDocuments, RunningMissionWritesEveryKeyWithItsDecimals) {
  RunningStats f;
  ListCache aircraft, neutrals;
  const Snapshot snap = mission(true, 5);
  const std::string head =
      "{\"api\":1,\"exporter\":\"1.1.0\",\"state\":\"mission\",\"exportState\":\"starting\","
      "\"secondsSinceFrame\":0.500,\"modelTime\":3600.062";
  EXPECT_EQ(aircraft_route(f.stats, snap, at_ms(99500), aircraft).text(),
            head +
                ",\"self\":102,\"aircraft\":["
                "{\"id\":101,\"t\":12.346,\"coalition\":\"blue\",\"human\":true,\"kind\":\"plane\","
                "\"type\":\"F-16C_50\",\"name\":\"Пилот é 中\",\"group\":\"Viper \\\"1\\\"\","
                "\"lat\":41.123457,\"lon\":-43.500000,\"alt\":1523.2,\"ground\":12.0,\"heading\":360.0},"
                "{\"id\":102,\"t\":12.346,\"coalition\":\"red\",\"human\":false,\"kind\":\"helicopter\","
                "\"type\":\"F-16C_50\",\"name\":\"tab\\there\\u0001\\u007f\",\"group\":\"Viper \\\"1\\\"\","
                "\"lat\":null,\"lon\":-43.500000,\"alt\":1523.2,\"ground\":null,\"heading\":null},"
                "{\"id\":103,\"t\":12.346,\"coalition\":\"neutral\",\"human\":false,\"kind\":\"other\","
                "\"type\":\"F-16C_50\",\"name\":\"\",\"group\":\"Viper \\\"1\\\"\","
                "\"lat\":41.123457,\"lon\":-43.500000,\"alt\":1523.2,\"ground\":null,\"heading\":null}]}");
  EXPECT_EQ(neutrals_route(f.stats, snap, at_ms(99500), neutrals).text(),
            head +
                ",\"neutrals\":[{\"id\":7,\"t\":12.346,\"type\":\"F-16C_50\",\"group\":\"Viper \\\"1\\\"\","
                "\"levels\":[3,12,2,4],\"invisible\":true,\"lat\":41.123457,\"lon\":-43.500000,\"alt\":-0.0}]}");
}

TEST(UnitDocuments, LoadingMissionAndAbsentSelf) {
  ModuleStats stats;  // no mission-hook frame counted yet
  ListCache aircraft;
  Snapshot snap = mission(true, 6);
  snap.self_id.reset();
  snap.aircraft.clear();
  EXPECT_EQ(aircraft_route(stats, snap, at_ms(3000), aircraft).text(),
            "{\"api\":1,\"exporter\":\"1.1.0\",\"state\":\"loading\",\"exportState\":\"starting\","
            "\"secondsSinceFrame\":null,\"modelTime\":0.000,\"self\":null,\"aircraft\":[]}");
  EXPECT_EQ(*aircraft.lookup(6), "[]") << "an empty list in a mission is an array of two characters";
}

TEST(UnitDocuments, DocumentsParseWithTheirKeysInOrder) {
  RunningStats f;
  ListCache aircraft, neutrals;
  const Snapshot snap = mission(true, 5);
  const auto doc = nlohmann::ordered_json::parse(aircraft_route(f.stats, snap, at_ms(99500), aircraft).text());
  std::vector<std::string> keys;
  for (const auto& item : doc.items()) keys.push_back(item.key());
  EXPECT_EQ(keys, (std::vector<std::string>{"api", "exporter", "state", "exportState", "secondsSinceFrame",
                                            "modelTime", "self", "aircraft"}));
  ASSERT_EQ(doc["aircraft"].size(), 3u);
  keys.clear();
  for (const auto& item : doc["aircraft"][0].items()) keys.push_back(item.key());
  EXPECT_EQ(keys, (std::vector<std::string>{"id", "t", "coalition", "human", "kind", "type", "name", "group", "lat",
                                            "lon", "alt", "ground", "heading"}));
  EXPECT_EQ(doc["aircraft"][0]["name"], "Пилот é 中");
  EXPECT_EQ(doc["aircraft"][1]["name"], "tab\there\x01\x7f");
  EXPECT_EQ(doc["aircraft"][0]["id"], 101);

  const auto neutral = nlohmann::ordered_json::parse(neutrals_route(f.stats, snap, at_ms(99500), neutrals).text());
  keys.clear();
  for (const auto& item : neutral["neutrals"][0].items()) keys.push_back(item.key());
  EXPECT_EQ(keys, (std::vector<std::string>{"id", "t", "type", "group", "levels", "invisible", "lat", "lon", "alt"}));
}

TEST(UnitDocuments, UnitIdsUpToTwoToThe53rdAreWrittenExactly) {
  RunningStats f;
  ListCache cache;
  Snapshot snap = mission(true, 8);
  snap.aircraft.resize(1);
  snap.aircraft[0].id = 9007199254740991ull;
  snap.self_id = 9007199254740991ull;
  const std::string doc = aircraft_route(f.stats, snap, at_ms(99500), cache).text();
  EXPECT_NE(doc.find("\"self\":9007199254740991,"), std::string::npos);
  EXPECT_NE(doc.find("[{\"id\":9007199254740991,"), std::string::npos);
}

TEST(UnitDocuments, CacheHitIsByteIdenticalToAFreshBuild) {
  RunningStats f;
  ListCache cache;
  const Snapshot snap = mission(true, 11);
  const std::string first = aircraft_route(f.stats, snap, at_ms(99500), cache).text();
  const SharedArray stored = cache.lookup(11);
  ASSERT_NE(stored, nullptr);
  const UnitDocument hit = aircraft_route(f.stats, snap, at_ms(99500), cache);
  EXPECT_EQ(hit.text(), first);
  EXPECT_EQ(hit.array, stored) << "the second request shares the stored array";
  EXPECT_EQ(cache.lookup(11), stored);

  ListCache fresh;
  EXPECT_EQ(aircraft_route(f.stats, snap, at_ms(99500), fresh).text(), first);

  // The next snapshot is built anew, replacing the stored array.
  Snapshot next = snap;
  next.sequence = 12;
  next.aircraft.pop_back();
  const std::string third = aircraft_route(f.stats, next, at_ms(99500), cache).text();
  EXPECT_EQ(cache.lookup(11), nullptr);
  EXPECT_NE(third, first);
  EXPECT_EQ(nlohmann::json::parse(third)["aircraft"].size(), 2u);
}

std::atomic<int> entries_written{0};
void counting_writer(const UnitRecord& unit, std::string& out) {
  entries_written.fetch_add(1);
  std::this_thread::sleep_for(std::chrono::milliseconds(2));  // widen the window for a second build
  aircraft_entry_json(unit, out);
}

TEST(UnitDocuments, ConcurrentRequestsForOneSnapshotBuildItsArrayOnce) {
  const Snapshot snap = mission(true, 21);
  ListCache cache;
  entries_written = 0;
  std::vector<SharedArray> seen(8);
  std::vector<std::thread> threads;
  for (std::size_t i = 0; i < seen.size(); ++i) {
    threads.emplace_back([&, i] { seen[i] = cached_list_body(cache, 21, snap.aircraft, counting_writer); });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(entries_written.load(), 3);
  for (const SharedArray& array : seen) EXPECT_EQ(array, seen[0]);
}

}  // namespace
}  // namespace qm
