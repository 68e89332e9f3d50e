#include "routes/terrain_route.hpp"

#include <mutex>
#include <vector>

#include "base/clock.hpp"
#include "http/answer.hpp"
#include "base/json.hpp"
#include "routes/document_head.hpp"
#include "http/server.hpp"
#include "http/slots.hpp"
#include "geo/projection.hpp"
#include "geo/terrain_points.hpp"

namespace qm {

namespace {

constexpr std::string_view kNotAnswered = "not answered yet, try again";

struct UniquePoint {
  PointKey key;
  LatLon point;
  std::optional<double> height;
};

}  // namespace

std::optional<SharedText> current_theatre() {
  const SnapshotRef latest = snapshot();
  if (latest && latest->mission && latest->mission->on_own_server) return latest->mission->theatre;
  return std::nullopt;
}

std::string terrain_route(ModuleStats& stats, const Snapshot& snap, std::string_view query, std::uint64_t now,
                          std::string_view extra, const std::shared_ptr<server::Server>& srv,
                          std::optional<server::PeerAddress> peer, const TerrainRouteEnv& env) {
  using server::respond_busy;
  using server::respond_text;
  terrain::HeightQueues& queues = env.queues ? *env.queues : terrain::height_queues();
  HeightCache& cache = env.cache ? *env.cache : height_cache();
  const auto theatre_now = [&env] { return env.current_theatre ? env.current_theatre() : current_theatre(); };

  // 1. The document head and the mission state.
  std::string body;
  JsonWriter w(body);
  const std::string_view state = mission_json(w, stats, snap, saturating_sub(now, clock_origin_ns()) + 1);
  if (state == "other-server") return respond_text(stats.rejected, 403, "Forbidden", "Forbidden", extra);
  if (state == "menu") return respond_busy(stats.rejected, 503, 5, "not in a mission", extra);
  if (state != "mission") return respond_busy(stats.rejected, 503, 2, "the mission is loading", extra);

  // 2-5. The points.
  const auto parsed = parse_terrain_points(query);
  if (!parsed.ok()) return respond_text(stats.rejected, 400, "Bad Request", parsed.error, extra);

  // 6-7. The projection of the request's snapshot.
  if (!snap.mission || !snap.mission->on_own_server || !snap.mission->anchors.is_present()) {
    return respond_busy(stats.rejected, 503, 5, "the map's projection isn't known (the hook converted no anchors)",
                        extra);
  }
  const SharedText theatre = snap.mission->theatre;
  const ProjectionRef projection = projection_for(snap.mission->anchors);
  const LatLon origin{snap.mission->anchors.latitude(Anchors::kOrigin), snap.mission->anchors.longitude(Anchors::kOrigin)};

  // 8. Unique points by key, in order of first appearance.
  std::vector<UniquePoint> uniques;
  std::vector<std::size_t> position;
  {
    HashMap<PointKey, std::size_t> index;
    for (const LatLon& p : parsed.value) {
      const PointKey key = point_key(p);
      const auto [it, added] = index.emplace(key, uniques.size());
      if (added) uniques.push_back({key, p, std::nullopt});
      position.push_back(it->second);
    }
  }

  // 9. Heights of one theatre are never answered under another.
  if (!same_present_theatre(theatre_now().value_or(nullptr), theatre)) return respond_busy(stats.rejected, 503, 1, kNotAnswered, extra);

  // 10. The cache.
  {
    HeightCache::Discarded discarded;
    {
      std::lock_guard guard(cache.lock);
      cache.reset_on_theatre(theatre, discarded);
      for (UniquePoint& u : uniques) u.height = cache.find(u.key);
    }
  }

  // 11. The points to ask: not cached, and within 2000 km of the map origin.
  std::vector<std::size_t> ask;
  for (std::size_t i = 0; i < uniques.size(); ++i)
    if (!uniques[i].height && within_map_range(uniques[i].point, origin)) ask.push_back(i);

  if (!ask.empty()) {
    // 12. The queue's limit.
    if (terrain::queued_count(terrain::queue_page, queues) + ask.size() > kTerrainQueueLimit) {
      return respond_busy(stats.rejected, 503, 2, "busy, try again", extra);
    }
    // 13. The peer's limits.
    std::optional<server::ClientSlot> slot;
    if (srv && peer) {
      const server::TerrainAdmission taken = srv->peers.take_terrain_request(*peer, now, ask.size());
      if (taken.admission == server::Admission::busy)
        return respond_busy(stats.rejected, 429, taken.retry_after, "too many terrain points, slow down", extra);
      slot.emplace(srv, peer);
    }

    // 14. The questions.
    std::vector<terrain::QuestionItem> items;
    items.reserve(ask.size());
    for (std::size_t i : ask) {
      const LatLon& p = uniques[i].point;
      if (projection->is_tm()) {
        const auto [pn, qn] = tm_forward(p.lat, p.lon - projection->central_meridian);
        items.push_back({projection->x_offset + projection->scale * pn, projection->z_offset + projection->scale * qn, 1});
      } else {
        items.push_back({p.lat, p.lon, 4});
      }
    }

    // 15. Ask and wait.
    if (terrain::queued_count(terrain::queue_page, queues) + ask.size() > kTerrainQueueLimit) {
      slot.reset();
      return respond_busy(stats.rejected, 503, 2, "busy, try again", extra);
    }
    const auto table = terrain::ask_heights(terrain::queue_page, items, theatre, nullptr, queues);
    auto [all_answered, slots] = terrain::wait_answers(*table, env.wait_ns);
    if (!all_answered) terrain::withdraw_heights(terrain::queue_page, table, queues);

    // 16. Cache what arrived, unless the theatre changed meanwhile.
    const bool same_theatre = same_present_theatre(theatre_now().value_or(nullptr), theatre);
    if (same_theatre) {
      HeightCache::Discarded discarded;
      {
        std::lock_guard guard(cache.lock);
        cache.reset_on_theatre(theatre, discarded);
        for (std::size_t k = 0; k < ask.size(); ++k) {
          const terrain::AnswerSlot& answer = slots[k];
          if (answer.answered && answer.a) {
            uniques[ask[k]].height = *answer.a;
            cache.store(uniques[ask[k]].key, *answer.a, discarded);
          }
        }
      }
    }
    slot.reset();
    if (!same_theatre || !all_answered) return respond_busy(stats.rejected, 503, 1, kNotAnswered, extra);
  }

  // 17. The answer, in request order.
  w.key("points").begin_array();
  for (std::size_t i = 0; i < parsed.value.size(); ++i) {
    w.begin_object();
    w.key("lat").number(parsed.value[i].lat, 6);
    w.key("lon").number(parsed.value[i].lon, 6);
    w.key("height").number(uniques[position[i]].height, 2);
    w.end_object();
  }
  w.end_array().end_object();
  return server::respond_json(body, extra);
}

}  // namespace qm
