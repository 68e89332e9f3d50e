// The terrain route with a thread that plays the host on its own height queues.
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <mutex>
#include <thread>

#include "base/clock.hpp"
#include "http/server.hpp"
#include "http/testing.hpp"
#include "geo/projection.hpp"
#include "routes/terrain_route.hpp"

using namespace qm;

namespace {

// The host's terrain: a height at a map point (kind 1) or at a geographic one (kind 4).
double map_height(double x, double z) { return 100.0 + x * 0.001 + z * 0.0002; }
double geo_height(double lat, double lon) { return lat * 10.0 + lon; }

struct FakeHost {
  terrain::HeightQueues queues;
  std::atomic<bool> stop{false};
  std::atomic<bool> silent{false};      // takes questions and never answers them
  std::atomic<int> answer_first{1000};  // answers only the first n questions of each batch
  std::mutex lock;
  std::vector<terrain::QuestionItem> asked;
  std::thread thread;

  FakeHost() {
    thread = std::thread([this] {
      while (!stop.load()) {
        std::vector<terrain::HeightJob> taken;
        {
          std::lock_guard g(queues[terrain::queue_page].mutex);
          auto& jobs = queues[terrain::queue_page].jobs;
          if (!silent.load())
            while (!jobs.empty()) {
              taken.push_back(jobs.front());
              jobs.pop_front();
            }
        }
        for (const auto& job : taken) {
          {
            std::lock_guard g(lock);
            asked.push_back({job.x, job.y, job.point_kind});
          }
          if (static_cast<int>(job.index) >= answer_first.load()) continue;
          const double h = job.point_kind == 1 ? map_height(job.x, job.y) : geo_height(job.x, job.y);
          while (job.table->try_deliver(job.index, h, std::nullopt, true) == terrain::Delivery::busy) {
          }
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
      }
    });
  }
  ~FakeHost() {
    stop = true;
    thread.join();
  }
  std::size_t asked_count() {
    std::lock_guard g(lock);
    return asked.size();
  }
};

const TmParams kTm{35.0, 0.9996, -4982950.4, 1234.5};

Anchors tm_anchors() {
  Anchors a;
  a.present = 1;
  for (int k = 0; k < 9; ++k) {
    const auto [lat, lon] = tm_inverse_point(kTm, Anchors::kMapPoints[k][0], Anchors::kMapPoints[k][1]);
    a.values[2 * k] = lat;
    a.values[2 * k + 1] = lon;
  }
  return a;
}

struct Fixture {
  ModuleStats stats;
  Snapshot snap;
  HeightCache cache;
  FakeHost host;
  SharedText theatre = std::make_shared<const std::string>("Marsh");
  SharedText current = theatre;
  std::mutex current_lock;
  TerrainRouteEnv env;

  Fixture() {
    stats.mission_frames = 10;
    stats.last_mission_frame = stamp_now();
    MissionInfo mission;
    mission.on_own_server = true;
    mission.theatre = theatre;
    mission.anchors = tm_anchors();
    snap.mission = mission;
    env.queues = &host.queues;
    env.cache = &cache;
    env.current_theatre = [this]() -> std::optional<SharedText> {
      std::lock_guard g(current_lock);
      if (!current) return std::nullopt;
      return current;
    };
    // Long enough never to pass while the host thread answers, however loaded the machine: the
    // route returns as soon as every question is answered. Tests of a host that withholds answers
    // set a short wait.
    env.wait_ns = 60'000'000'000;
  }

  std::string get(std::string_view query, const std::shared_ptr<server::Server>& server = nullptr,
                  std::optional<server::PeerAddress> peer = std::nullopt) {
    stats.last_mission_frame = stamp_now();
    return terrain_route(stats, snap, query, now_ns(), "X-Test: 1\r\n", server, peer, env);
  }
};

std::string body_of(const std::string& answer) { return answer.substr(answer.find("\r\n\r\n") + 4); }
std::string status_of(const std::string& answer) { return answer.substr(0, answer.find("\r\n")); }
bool has_header(const std::string& answer, const std::string& line) {
  return answer.substr(0, answer.find("\r\n\r\n") + 2).find(line + "\r\n") != std::string::npos;
}

}  // namespace

TEST(TerrainRoute, StatesAndParameterErrors) {
  Fixture f;
  Snapshot none;
  auto a = terrain_route(f.stats, none, "points=1,2", now_ns(), "", nullptr, std::nullopt, f.env);
  EXPECT_EQ(status_of(a), "HTTP/1.1 503 Service Unavailable");
  EXPECT_TRUE(has_header(a, "Retry-After: 5"));
  EXPECT_EQ(body_of(a), "not in a mission");

  Snapshot other = f.snap;
  other.mission->on_own_server = false;
  a = terrain_route(f.stats, other, "points=1,2", now_ns(), "", nullptr, std::nullopt, f.env);
  EXPECT_EQ(status_of(a), "HTTP/1.1 403 Forbidden");
  EXPECT_EQ(body_of(a), "Forbidden");

  f.stats.last_mission_frame = 0;
  a = terrain_route(f.stats, f.snap, "points=1,2", now_ns(), "", nullptr, std::nullopt, f.env);
  EXPECT_TRUE(has_header(a, "Retry-After: 2"));
  EXPECT_EQ(body_of(a), "the mission is loading");

  a = f.get("points=1,2;");
  EXPECT_EQ(status_of(a), "HTTP/1.1 400 Bad Request");
  EXPECT_EQ(body_of(a), "a point needs lat,lon");
  EXPECT_TRUE(has_header(a, "X-Test: 1"));

  f.snap.mission->anchors.present = 0;
  a = f.get("points=45,35");
  EXPECT_TRUE(has_header(a, "Retry-After: 5"));
  EXPECT_EQ(body_of(a), "the map's projection isn't known (the hook converted no anchors)");
  EXPECT_EQ(f.host.asked_count(), 0u);
  EXPECT_EQ(f.stats.rejected.load(), 5u);
}

TEST(TerrainRoute, HeightsAtTheConvertedMapPointsThenFromTheCache) {
  Fixture f;
  const std::string query = "points=45.1,35.2;1,35;45.1,35.2;44.9%2C34.8";
  const auto a = f.get(query);
  ASSERT_EQ(status_of(a), "HTTP/1.1 200 OK") << a;
  EXPECT_TRUE(has_header(a, "X-Test: 1"));
  // The two distinct near points are asked once each (kind 1, at their transverse Mercator map
  // points); the point 4900 km away is never asked.
  ASSERT_EQ(f.host.asked_count(), 2u);
  const auto [p, q] = tm_forward(45.1, 0.2);
  EXPECT_EQ(f.host.asked[0].point_kind, 1);
  // The fitted projection reproduces the map's to well under a millimetre.
  EXPECT_NEAR(f.host.asked[0].x, kTm.x_offset + kTm.scale * p, 1e-4);
  EXPECT_NEAR(f.host.asked[0].y, kTm.z_offset + kTm.scale * q, 1e-4);
  const auto [p2, q2] = tm_forward(44.9, -0.2);
  EXPECT_NEAR(f.host.asked[1].x, kTm.x_offset + kTm.scale * p2, 1e-4);
  EXPECT_NEAR(f.host.asked[1].y, kTm.z_offset + kTm.scale * q2, 1e-4);
  char expected[512];
  std::snprintf(expected, sizeof expected,
                ",\"points\":[{\"lat\":45.100000,\"lon\":35.200000,\"height\":%.2f},"
                "{\"lat\":1.000000,\"lon\":35.000000,\"height\":null},"
                "{\"lat\":45.100000,\"lon\":35.200000,\"height\":%.2f},"
                "{\"lat\":44.900000,\"lon\":34.800000,\"height\":%.2f}]}",
                map_height(f.host.asked[0].x, f.host.asked[0].y), map_height(f.host.asked[0].x, f.host.asked[0].y),
                map_height(f.host.asked[1].x, f.host.asked[1].y));
  const std::string body = body_of(a);
  EXPECT_EQ(body.rfind("{\"api\":1,\"exporter\":\"1.1.0\",\"state\":\"mission\"", 0), 0u) << body;
  EXPECT_EQ(body.substr(body.find(",\"points\":[")), expected);

  // Again: answered from the cache, nothing asked.
  const auto again = f.get(query);
  EXPECT_EQ(body_of(again).substr(body_of(again).find(",\"points\":[")), expected);
  EXPECT_EQ(f.host.asked_count(), 2u);
}

TEST(TerrainRoute, WithoutATransverseMercatorTheHostConvertsTheLatitudeAndLongitude) {
  Fixture f;
  for (std::size_t k = 0; k < 9; ++k) f.snap.mission->anchors.values[2 * k] += 0.001 * k;  // no TM fits
  ASSERT_FALSE(projection_for(f.snap.mission->anchors)->is_tm());
  const auto a = f.get("points=45.5,35.25");
  ASSERT_EQ(status_of(a), "HTTP/1.1 200 OK");
  ASSERT_EQ(f.host.asked_count(), 1u);
  EXPECT_EQ(f.host.asked[0].point_kind, 4);
  EXPECT_EQ(f.host.asked[0].x, 45.5);
  EXPECT_EQ(f.host.asked[0].y, 35.25);
  EXPECT_NE(body_of(a).find("\"height\":490.25}"), std::string::npos) << body_of(a);
}

TEST(TerrainRoute, UnansweredPointsAreRetriedAloneAndATheatreChangeEmptiesTheCache) {
  Fixture f;
  f.host.answer_first = 1;
  const std::string query = "points=45.1,35.2;45.2,35.3;45.3,35.4";
  f.env.wait_ns = 2'000'000'000;  // the host takes all three questions well within it
  const auto first = f.get(query);
  f.env.wait_ns = 60'000'000'000;
  EXPECT_TRUE(has_header(first, "Retry-After: 1"));
  EXPECT_EQ(body_of(first), "not answered yet, try again");
  EXPECT_EQ(f.host.asked_count(), 3u);
  f.host.answer_first = 1000;
  const auto second = f.get(query);
  ASSERT_EQ(status_of(second), "HTTP/1.1 200 OK");
  EXPECT_EQ(f.host.asked_count(), 5u) << "only the two missing points are asked again";

  // The latest snapshot shows another theatre: nothing is asked or answered.
  {
    std::lock_guard g(f.current_lock);
    f.current = std::make_shared<const std::string>("Fen");
  }
  EXPECT_EQ(body_of(f.get(query)), "not answered yet, try again");
  EXPECT_EQ(f.host.asked_count(), 5u);
  // A request of the other theatre empties the cache; back in Marsh everything is asked again.
  Snapshot fen = f.snap;
  fen.mission->theatre = f.current;
  EXPECT_EQ(status_of(terrain_route(f.stats, fen, query, now_ns(), "", nullptr, std::nullopt, f.env)),
            "HTTP/1.1 200 OK");
  EXPECT_EQ(f.host.asked_count(), 8u);
  {
    std::lock_guard g(f.current_lock);
    f.current = f.theatre;
  }
  EXPECT_EQ(status_of(f.get(query)), "HTTP/1.1 200 OK");
  EXPECT_EQ(f.host.asked_count(), 11u);
}

TEST(TerrainRoute, AHostThatStopsAnsweringGivesUpAfterTheWait) {
  Fixture f;
  f.host.silent = true;
  f.env.wait_ns = 300'000'000;
  const auto start = now_ns();
  const auto a = f.get("points=45.1,35.2");
  EXPECT_GE(now_ns() - start, 300'000'000u);
  EXPECT_EQ(body_of(a), "not answered yet, try again");
  EXPECT_EQ(terrain::queued_count(terrain::queue_page, f.host.queues), 0u) << "withdrawn";
}

TEST(TerrainRoute, QueueLimit) {
  Fixture f;
  f.host.silent = true;
  std::vector<terrain::QuestionItem> filler(kTerrainQueueLimit, terrain::QuestionItem{0, 0, 1});
  const auto held = terrain::ask_heights(terrain::queue_page, filler, f.theatre, nullptr, f.host.queues);
  const auto a = f.get("points=45.1,35.2");
  EXPECT_TRUE(has_header(a, "Retry-After: 2"));
  EXPECT_EQ(body_of(a), "busy, try again");
  terrain::withdraw_heights(terrain::queue_page, held, f.host.queues);
}

TEST(TerrainRoute, PerPeerLimits) {
  Fixture f;
  auto srv = std::make_shared<server::Server>(30000, 1, server::LanMode{});
  const auto peer = server::PeerAddress::ipv4(0x7f000001);
  const auto entry = [&]() -> server::ClientEntry& {
    std::lock_guard g(server::TestAccess::peer_lock(srv->peers));
    auto& entries = server::TestAccess::entries_locked(srv->peers);
    if (!entries.contains(peer)) entries.emplace(peer, server::ClientEntry::fresh(srv->config, now_ns()));
    return entries.at(peer);
  };
  // Two requests in flight: the third is refused.
  entry().terrain_requests = 2;
  auto a = f.get("points=45.1,35.2", srv, peer);
  EXPECT_EQ(status_of(a), "HTTP/1.1 429 Too Many Requests");
  EXPECT_TRUE(has_header(a, "Retry-After: 1"));
  EXPECT_EQ(body_of(a), "too many terrain points, slow down");
  entry().terrain_requests = 0;

  // An empty point bucket: refused with the bucket's Retry-After, no token taken.
  entry().points = 0.0;
  entry().last_refill = now_ns();
  a = f.get("points=45.1,35.2;45.2,35.2", srv, peer);
  EXPECT_EQ(status_of(a), "HTTP/1.1 429 Too Many Requests");
  EXPECT_TRUE(has_header(a, "Retry-After: 1"));
  EXPECT_EQ(f.host.asked_count(), 0u);

  // A full bucket: tokens are taken and the request's slot is given back when it ends.
  entry().points = srv->config.point_burst;
  a = f.get("points=45.1,35.2;45.2,35.2", srv, peer);
  ASSERT_EQ(status_of(a), "HTTP/1.1 200 OK");
  EXPECT_EQ(entry().terrain_requests, 0u);
  EXPECT_LE(entry().points, srv->config.point_burst - 2.0 + 1.0);

  // All points cached: answered even with an empty bucket and two requests in flight.
  entry().points = 0.0;
  entry().terrain_requests = 2;
  a = f.get("points=45.1,35.2;45.2,35.2", srv, peer);
  EXPECT_EQ(status_of(a), "HTTP/1.1 200 OK");
  EXPECT_EQ(f.host.asked_count(), 2u);
}
