// Prints, for 100, 1000 and 5000 aircraft: the time to build the /v1/aircraft document with a cold
// and a warm array cache, and the cost that a `frame_end` publication of that many units adds to
// the host's frame. Medians of many rounds.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "module/clock.hpp"
#include "module/host_state.hpp"
#include "module/snapshot.hpp"
#include "module/stats.hpp"
#include "server/unit_documents.hpp"

using namespace qm;

namespace {

using Clock = std::chrono::steady_clock;

double micros_since(Clock::time_point start) {
  return std::chrono::duration<double, std::micro>(Clock::now() - start).count();
}

// The median of the measured times (robust against a loaded machine).
double median(std::vector<double> times) {
  std::sort(times.begin(), times.end());
  return times[times.size() / 2];
}

UnitRecord aircraft(std::uint64_t id) {
  UnitRecord u;
  u.id = id;
  u.t = 1234.5 + static_cast<double>(id) * 0.01;
  u.levels = {1, 1 + static_cast<std::uint32_t>(id % 2), 6, 3};
  u.coalition = static_cast<std::uint8_t>(id % 3);
  u.human = id % 7 == 0;
  u.type = make_text("FA-18C_hornet");
  u.name = make_text("Enfield 1-" + std::to_string(id));
  u.group = make_text("Enfield " + std::to_string(id / 4));
  u.lat = 41.5 + static_cast<double>(id) * 1e-4;
  u.lon = 42.25 - static_cast<double>(id) * 1e-4;
  u.alt = 3000.0 + static_cast<double>(id);
  u.ground = 180.0 + static_cast<double>(id % 100);
  u.heading = static_cast<double>(id % 3600) / 10.0;
  return u;
}

LuaState mission_state(std::size_t count) {
  LuaState state;
  MissionInfo info;
  info.server_name = make_text(std::string(own_server_name));
  info.mission_name = make_text("Benchmark");
  info.theatre = make_text("Caucasus");
  info.on_own_server = true;
  state.mission = info;
  state.self_id = 1;
  for (std::size_t i = 1; i <= count; ++i) state.aircraft.emplace(i, aircraft(i));
  return state;
}

}  // namespace

int main() {
  ModuleStats stats;
  stats.mission_frames = 100;
  stats.last_mission_frame = stamp_now();

  std::printf("%8s %14s %14s %10s %16s\n", "aircraft", "cold build us", "cache hit us", "bytes", "publication us");
  for (const std::size_t count : {100u, 1000u, 5000u}) {
    const int rounds = count >= 5000 ? 40 : 200;
    LuaState state = mission_state(count);

    // Publication: what `frame_end` adds when the state changed (the snapshot built and swapped in).
    std::vector<double> publication;
    for (int i = 0; i < rounds; ++i) {
      state.changed = true;
      state.publish_now = true;
      const auto start = Clock::now();
      publish_if_due(state, now_ns());
      publication.push_back(micros_since(start));
    }
    const SnapshotRef published = snapshot();

    std::vector<double> cold, warm;
    std::size_t bytes = 0;
    for (int i = 0; i < rounds; ++i) {
      ListCache cache;
      auto start = Clock::now();
      const std::string first = aircraft_route(stats, *published, stamp_now(), cache);
      cold.push_back(micros_since(start));
      start = Clock::now();
      const std::string second = aircraft_route(stats, *published, stamp_now(), cache);
      warm.push_back(micros_since(start));
      bytes = second.size();
    }
    std::printf("%8zu %14.1f %14.1f %10zu %16.1f\n", count, median(cold), median(warm), bytes, median(publication));
  }
  return 0;
}
