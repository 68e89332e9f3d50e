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

// The request's points once each, by key, in order of first appearance, and where each request
// point went.
struct UniquePoints {
  std::vector<UniquePoint> uniques;
  std::vector<std::size_t> position;
};

UniquePoints unique_points(const std::vector<LatLon>& points) {
  UniquePoints out;
  HashMap<PointKey, std::size_t> index;
  for (const LatLon& p : points) {
    const PointKey key = point_key(p);
    const auto [it, added] = index.emplace(key, out.uniques.size());
    if (added) out.uniques.push_back({key, p, std::nullopt});
    out.position.push_back(it->second);
  }
  return out;
}

void look_up_cached(HeightCache& cache, const SharedText& theatre, std::vector<UniquePoint>& uniques) {
  HeightCache::Discarded discarded;
  {
    std::lock_guard guard(cache.lock);
    cache.reset_on_theatre(theatre, discarded);
    for (UniquePoint& u : uniques) u.height = cache.find(u.key);
  }
}

// The points to ask: not cached, and within 2000 km of the map origin.
std::vector<std::size_t> points_to_ask(const std::vector<UniquePoint>& uniques, const LatLon& origin) {
  std::vector<std::size_t> ask;
  for (std::size_t i = 0; i < uniques.size(); ++i)
    if (!uniques[i].height && within_map_range(uniques[i].point, origin)) ask.push_back(i);
  return ask;
}

// The questions to the host: map coordinates under a transverse Mercator, else the positions.
std::vector<terrain::QuestionItem> questions_of(const std::vector<UniquePoint>& uniques,
                                                const std::vector<std::size_t>& ask, const Projection& projection) {
  std::vector<terrain::QuestionItem> items;
  items.reserve(ask.size());
  for (std::size_t i : ask) {
    const LatLon& p = uniques[i].point;
    if (projection.is_tm()) {
      const auto [pn, qn] = tm_forward(p.lat, p.lon - projection.central_meridian);
      items.push_back({projection.x_offset + projection.scale * pn, projection.z_offset + projection.scale * qn, 1});
    } else {
      items.push_back({p.lat, p.lon, 4});
    }
  }
  return items;
}

void cache_answers(HeightCache& cache, const SharedText& theatre, const std::vector<std::size_t>& ask,
                   const std::vector<terrain::AnswerSlot>& slots, std::vector<UniquePoint>& uniques) {
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

// What asking the host needs besides the points.
struct AskContext {
  ModuleStats& stats;
  std::string_view extra;
  const std::shared_ptr<server::Server>& srv;
  const std::optional<server::PeerAddress>& peer;
  std::uint64_t now;
  terrain::HeightQueues& queues;
  HeightCache& cache;
  const SharedText& theatre;
  const ProjectionRef& projection;
  std::uint64_t wait_ns;
  std::function<std::optional<SharedText>()> theatre_now;
};

// Asks the host for the heights of the points `ask` names, within the queue's and the peer's
// limits, and caches what arrives; the answer to send instead when not every point got one.
std::optional<std::string> ask_host(const AskContext& c, const std::vector<std::size_t>& ask,
                                    std::vector<UniquePoint>& uniques) {
  using server::respond_busy;
  // 12. The queue's limit.
  if (terrain::queued_count(terrain::queue_page, c.queues) + ask.size() > kTerrainQueueLimit) {
    return respond_busy(c.stats.rejected, 503, 2, "busy, try again", c.extra);
  }
  // 13. The peer's limits.
  std::optional<server::ClientSlot> slot;
  if (c.srv && c.peer) {
    const server::TerrainAdmission taken = c.srv->peers.take_terrain_request(*c.peer, c.now, ask.size());
    if (taken.admission == server::Admission::busy)
      return respond_busy(c.stats.rejected, 429, taken.retry_after, "too many terrain points, slow down", c.extra);
    slot.emplace(c.srv, *c.peer);
  }

  // 14. The questions.
  const std::vector<terrain::QuestionItem> items = questions_of(uniques, ask, *c.projection);

  // 15. Ask and wait.
  if (terrain::queued_count(terrain::queue_page, c.queues) + ask.size() > kTerrainQueueLimit) {
    slot.reset();
    return respond_busy(c.stats.rejected, 503, 2, "busy, try again", c.extra);
  }
  const auto table = terrain::ask_heights(terrain::queue_page, items, c.theatre, nullptr, c.queues);
  auto [all_answered, slots] = terrain::wait_answers(*table, c.wait_ns);
  if (!all_answered) terrain::withdraw_heights(terrain::queue_page, table, c.queues);

  // 16. Cache what arrived, unless the theatre changed meanwhile.
  const bool same_theatre = same_present_theatre(c.theatre_now().value_or(nullptr), c.theatre);
  if (same_theatre) cache_answers(c.cache, c.theatre, ask, slots, uniques);
  slot.reset();
  if (!same_theatre || !all_answered) return respond_busy(c.stats.rejected, 503, 1, kNotAnswered, c.extra);
  return std::nullopt;
}

// 17. The answer, in request order.
void points_json(JsonWriter& w, const std::vector<LatLon>& points, const UniquePoints& found) {
  w.key("points").begin_array();
  for (std::size_t i = 0; i < points.size(); ++i) {
    w.begin_object();
    w.key("lat").number(points[i].lat, 6);
    w.key("lon").number(points[i].lon, 6);
    w.key("height").number(found.uniques[found.position[i]].height, 2);
    w.end_object();
  }
  w.end_array();
}

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
  if (!parsed.ok()) return respond_text(stats.rejected, 400, "Bad Request", parsed.error(), extra);

  // 6-7. The projection of the request's snapshot.
  if (!snap.mission || !snap.mission->on_own_server || !snap.mission->anchors.is_present()) {
    return respond_busy(stats.rejected, 503, 5, "the map's projection isn't known (the hook converted no anchors)",
                        extra);
  }
  const SharedText theatre = snap.mission->theatre;
  const ProjectionRef projection = projection_for(snap.mission->anchors);
  const LatLon origin{snap.mission->anchors.latitude(Anchors::kOrigin), snap.mission->anchors.longitude(Anchors::kOrigin)};

  // 8. Unique points by key, in order of first appearance.
  UniquePoints found = unique_points(parsed.value());

  // 9. Heights of one theatre are never answered under another.
  if (!same_present_theatre(theatre_now().value_or(nullptr), theatre)) return respond_busy(stats.rejected, 503, 1, kNotAnswered, extra);

  // 10. The cache.
  look_up_cached(cache, theatre, found.uniques);

  // 11-16. The points to ask, and their heights from the host.
  const std::vector<std::size_t> ask = points_to_ask(found.uniques, origin);
  if (!ask.empty()) {
    const AskContext context{stats, extra, srv, peer, now, queues, cache, theatre, projection, env.wait_ns, theatre_now};
    if (std::optional<std::string> refused = ask_host(context, ask, found.uniques)) return std::move(*refused);
  }

  points_json(w, parsed.value(), found);
  w.end_object();
  return server::respond_json(body, extra);
}

}  // namespace qm
