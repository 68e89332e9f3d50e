// Prints, for 100, 1000 and 5000 aircraft: the time to build the /v1/aircraft answer (document and
// header block, as a connection sends it) with a cold and a warm array cache; the time a client on 127.0.0.1 waits for the whole /v1/aircraft answer
// of a running server, right after a publication (the array is built) and again (cached); and the
// cost that a `frame_end` publication of that many units adds to the host's frame. Medians.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "base/clock.hpp"
#include "host/host_state.hpp"
#include "host/snapshot.hpp"
#include "host/stats.hpp"
#include "platform/socket.hpp"
#include "http/answer.hpp"
#include "http/server.hpp"
#include "routes/route_table.hpp"
#include "routes/unit_documents.hpp"

using namespace qm;

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::string_view kOrigin = "Access-Control-Allow-Origin: http://localhost:5173\r\nVary: Origin\r\n";

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

// The route's answer, as a connection sends it.
server::Answer answer_of(UnitDocument document) {
  return server::respond_json(document.prefix, std::move(document.array), document.suffix, kOrigin);
}

// One GET /v1/aircraft over a new connection, read to the end: microseconds and bytes received.
std::pair<double, std::size_t> fetch_aircraft(std::uint16_t port) {
  const auto start = Clock::now();
  auto connected = platform::connect_tcp({platform::ipv4_loopback, port}, 1000000000ull);
  if (!connected.ok()) return {-1.0, 0};
  const platform::Socket socket = std::move(connected).value();
  const std::string request = "GET /v1/aircraft HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) +
                              "\r\nOrigin: http://localhost:5173\r\n\r\n";
  platform::send(socket, request.data(), request.size());
  (void)platform::set_receive_timeout(socket, 5000);
  static char buffer[1 << 16];
  std::size_t received = 0;
  for (;;) {
    const platform::IoResult got = platform::receive(socket, buffer, sizeof buffer);
    if (got.status != platform::IoResult::Status::ok) break;
    received += got.bytes;
  }
  return {micros_since(start), received};
}

// A free loopback port (bound once, then released).
std::uint16_t free_port() {
  const auto probe = platform::listen_tcp({platform::ipv4_loopback, 0});
  if (!probe.ok()) return 0;
  const auto local = platform::local_address(*probe);
  return local ? local->port : 0;
}

}  // namespace

int main() {
  (void)platform::ensure_sockets();
  const std::uint16_t port = free_port();
  server::install_route_table(&server::connection_routes);
  auto server = std::make_shared<server::Server>(port, 1, server::LanMode{});
  std::thread server_thread([server] { server::run_server_thread(server); });
  while (!server->running.load()) std::this_thread::sleep_for(std::chrono::milliseconds(10));

  ModuleStats stats;
  stats.mission_frames = 100;
  stats.last_mission_frame = stamp_now();

  std::printf("%8s %14s %14s %10s %16s %16s %16s\n", "aircraft", "cold build us", "cache hit us", "bytes",
              "publication us", "GET fresh us", "GET cached us");
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
      const server::Answer first = answer_of(aircraft_route(stats, *published, stamp_now(), cache));
      cold.push_back(micros_since(start));
      start = Clock::now();
      const server::Answer second = answer_of(aircraft_route(stats, *published, stamp_now(), cache));
      warm.push_back(micros_since(start));
      bytes = second.size();
    }

    // Over HTTP: the first request after a publication builds the array, the second shares it.
    // Requests are spaced so that the per-peer connection rate never refuses one.
    std::vector<double> fresh_get, cached_get;
    for (int i = 0; i < 10; ++i) {
      state.changed = true;
      state.publish_now = true;
      publish_if_due(state, now_ns());
      for (std::vector<double>* times : {&fresh_get, &cached_get}) {
        std::this_thread::sleep_for(std::chrono::milliseconds(60));
        const auto [micros, received] = fetch_aircraft(port);
        // (The document head's numbers may be a few digits shorter than in the timed answer.)
        if (received + 16 < bytes) std::printf("warning: a short answer of %zu bytes\n", received);
        times->push_back(micros);
      }
    }
    std::printf("%8zu %14.1f %14.1f %10zu %16.1f %16.1f %16.1f\n", count, median(cold), median(warm), bytes,
                median(publication), median(fresh_get), median(cached_get));
  }
  server->stop.store(true);
  server::spawn_wake_thread({platform::ipv4_loopback, port});
  server_thread.join();
  return 0;
}
