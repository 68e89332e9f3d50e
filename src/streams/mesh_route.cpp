#include "streams/mesh_route.hpp"

#include "base/clock.hpp"
#include "platform/time_units.hpp"
#include "host/mission_phase.hpp"
#include "host/snapshot.hpp"
#include "http/answer.hpp"
#include "http/server.hpp"
#include "geo/blocks.hpp"
#include "geo/projection.hpp"
#include "geo/region.hpp"
#include "streams/mesh_job.hpp"
#include "streams/work_link.hpp"

namespace qm {

namespace {

using server::respond_busy;
using server::respond_text;

constexpr std::string_view kTooManyStreams = "too many mesh streams open, try again";
constexpr std::string_view kNoProjection = "the map's projection isn't known (the hook converted no anchors)";
constexpr std::string_view kNotFitted = "the map's projection couldn't be fitted";
constexpr std::string_view kUnanswered = "the map's conversions weren't answered in time, try again";

std::string stream_head(std::string_view origin_lines) {
  std::string head("HTTP/1.1 200 OK\r\nContent-Type: application/octet-stream\r\n");
  head.append(origin_lines);
  head.append("Cache-Control: no-store\r\nX-Content-Type-Options: nosniff\r\nConnection: close\r\n\r\n");
  return head;
}

// Takes one of the server's and the peer's mesh streams, or none when a limit is reached.
bool take_stream_slot(std::optional<server::RequestSlot>& slot, const std::shared_ptr<server::Server>& srv,
                      const server::PeerAddress& peer, std::uint64_t start) {
  if (srv->peers.take_stream(peer, start, srv->open_streams, srv->open_connections) == server::Admission::busy)
    return false;
  slot.emplace(srv, peer);
  return true;
}

std::string region_refusal(ModuleStats& stats, const RegionError& error, std::string_view extra) {
  if (error.kind == RegionError::Kind::kUnanswered) return respond_busy(stats.rejected, 503, 2, kUnanswered, extra);
  std::string body = error.kind == RegionError::Kind::kOutlinePoints ? "the areas' outlines split to " : "the areas cover ";
  body += std::to_string(error.count);
  body += error.kind == RegionError::Kind::kOutlinePoints ? " points, over the cap of " : " cells, over the cap of ";
  body += std::to_string(error.cap);
  return respond_text(stats.rejected, 413, "Content Too Large", body, extra);
}

}  // namespace

MeshRouteResult mesh_route(const std::shared_ptr<server::Server>& srv, std::string_view query,
                           const server::PeerAddress& peer, std::string_view extra, std::uint64_t start) {
  ModuleStats& stats = srv->stats;

  // 1-7. The query.
  auto parsed = parse_mesh_request(query, epoch_id());
  if (!parsed) return failure(respond_text(stats.rejected, 400, "Bad Request", parsed.error(), extra));
  MeshStreamStart stream;
  stream.request = std::move(parsed).value();
  const MeshRequest& request = stream.request;
  const bool lan = !peer.is_loopback();

  // 8. The mission.
  const MissionPhase phase = mission_phase(stats);
  bool same_theatre = false;
  switch (phase.code) {
    case MissionPhase::none:
      if (request.areas_given()) return failure(respond_busy(stats.rejected, 503, 5, "not in a mission", extra));
      break;
    case MissionPhase::other_server:
      return failure(respond_text(stats.rejected, 403, "Forbidden", "Forbidden", extra));
    case MissionPhase::loading:
    case MissionPhase::running:
      same_theatre = phase.theatre && *phase.theatre == request.theatre;
      if (request.areas_given()) {
        if (std::optional<std::string> message = terrain_worker_message()) {
          return failure(respond_busy(stats.rejected, 503, 60, "the exporter can't mesh: " + *message, extra));
        }
      }
      break;
  }

  // 9. The stream limits.
  if (!take_stream_slot(stream.slot, srv, peer, start))
    return failure(respond_busy(stats.rejected, 503, 5, kTooManyStreams, extra));

  // 10. A job stream only for areas in the running theatre.
  const SnapshotRef snap = snapshot();
  const bool own_anchors = snap->mission && snap->mission->on_own_server && snap->mission->anchors.is_present();
  stream.head = stream_head(extra);
  if (request.areas_given() && same_theatre) {
    // 11. The projection.
    if (!own_anchors) return failure(respond_busy(stats.rejected, 503, 5, kNoProjection, extra));
    const Anchors& anchors = snap->mission->anchors;
    const ProjectionRef projection = projection_for(anchors);
    if (projection->kind == Projection::kNone) return failure(respond_busy(stats.rejected, 503, 5, kNotFitted, extra));
    const LatLon centre{anchors.latitude(Anchors::kOrigin), anchors.longitude(Anchors::kOrigin)};
    const TheatreRef theatre = snap->mission->theatre;

    // 12. The region.
    JobArea area;
    if (projection->is_tm()) {
      RegionResult region = region_by_tm(request.areas, projection->tm(), centre);
      if (!region) return failure(region_refusal(stats, region.error(), extra));
      area.region = std::move(region).value();
      area.tm = projection->tm();
    } else {
      const std::chrono::nanoseconds wait(srv->config.conversion_timeout);
      RegionResult region = region_by_host(request.areas, theatre, centre, wait, host_converter());
      if (!region) return failure(region_refusal(stats, region.error(), extra));
      std::optional<BlocksView> blocks =
          page_blocks(start, wait, theatre, std::move(region).value(), host_converter());
      if (!blocks) return failure(respond_busy(stats.rejected, 503, 2, kUnanswered, extra));
      area.region = std::move(blocks->region);
      area.fits = std::move(blocks->fits);
    }

    // 13. The job.
    if (Result<void, std::string> opened = open_job_stream(stream, std::move(area), theatre, lan); !opened) {
      return failure(respond_busy(stats.rejected, 503, 5, opened.error(), extra));
    }
    return stream;
  }

  // 14. A job-less stream.
  const ProjectionRef projection = projection_for(own_anchors ? snap->mission->anchors : Anchors{});
  if (projection->is_tm()) {
    stream.plan.projection = projection->tm();
  } else if (projection->kind == Projection::kBlocks) {
    // A job-less stream gathers no fits: none of its points convert.
    stream.plan.projection = BlocksProjection{};
  }
  stream.plan.control = new_stream_control();
  stream.plan.stream_id = open_jobless_stream(request.page, lan, stream.plan.control);
  return stream;
}

StreamEnd run_mesh_stream(platform::Socket& socket, MeshStreamStart start, server::Server& server) {
  const std::uint64_t id = start.plan.stream_id;
  StreamEnd end;
  try {
    const std::uint64_t send_limit_ms = server.config.stream_send_timeout / kNanosPerMilli;
    if (!platform::set_send_timeout(socket, send_limit_ms)) {
      // Without its send limit the stream cannot run: it ends at once, unsent.
      stream_registry().stream_update(id, 0, 0, "ending", 0, 0);
      stream_registry().stream_ended(id, EndReason::reset, now_ns());
      end = StreamEnd{EndReason::reset, false};
    } else {
      WorkStreamTerrain terrain(server.stats);
      end = stream_session(socket, start.head, start.request, start.plan, terrain, stream_registry(), server.stop,
                           server.config.stream_beat);
    }
  } catch (...) {
    // A job's ticket records this end itself; a job-less stream has none, so its record ends here.
    stream_registry().stream_ended(id, EndReason::error, now_ns());
    throw;
  }
  // The job's guards go first (the ticket, then the lease), then the stream slot.
  start.job.reset();
  start.slot.reset();
  return end;
}

}  // namespace qm
