#include "streams/stream_session.hpp"

#include <algorithm>
#include <cstring>
#include <limits>

#include "base/clock.hpp"
#include "geo/blocks.hpp"
#include "geo/projection.hpp"
#include "platform/time_units.hpp"

namespace qm {

namespace {

constexpr std::size_t kMostPerSend = 2147483647;

struct SendOutcome {
  bool ok = true;
  EndReason reason = EndReason::reset;  // timeout or reset when not ok
};

// Sends the whole buffer, adding what went out to `bytes`, and empties it.
SendOutcome send_all(platform::Socket& socket, std::string& buffer, std::uint64_t& bytes) {
  std::size_t at = 0;
  SendOutcome outcome;
  while (at < buffer.size()) {
    const std::size_t chunk = std::min(buffer.size() - at, kMostPerSend);
    const platform::IoResult sent = platform::send(socket, buffer.data() + at, chunk);
    using S = platform::IoResult::Status;
    if (sent.status == S::interrupted) continue;
    if (sent.status == S::timed_out || sent.status == S::would_block) {
      outcome = {false, EndReason::timeout};
      break;
    }
    if (sent.status != S::ok || sent.bytes == 0) {
      outcome = {false, EndReason::reset};
      break;
    }
    at += std::min(sent.bytes, chunk);
    bytes += std::min(sent.bytes, chunk);
  }
  buffer.clear();
  return outcome;
}

// Reads and drops what the peer sent, without waiting: none while it is quiet, else the end
// reason (closed or reset).
std::optional<EndReason> watch_peer(platform::Socket& socket) {
  if (!platform::set_nonblocking(socket, true)) return EndReason::reset;
  std::optional<EndReason> reason;
  char scratch[512];
  while (true) {
    std::memset(scratch, 0, sizeof scratch);
    const platform::IoResult got = platform::receive(socket, scratch, sizeof scratch);
    using S = platform::IoResult::Status;
    if (got.status == S::ok) continue;
    if (got.status == S::interrupted) continue;
    if (got.status == S::would_block) break;
    reason = (got.status == S::closed || got.status == S::shut_down) ? EndReason::closed : EndReason::reset;
    break;
  }
  if (!platform::set_nonblocking(socket, false) && !reason) reason = EndReason::reset;
  return reason;
}

MapConversion conversion_of(const StreamPlan& plan) {
  struct Of {
    // No fits at all: every point goes unconverted.
    MapConversion operator()(const NoProjection&) const { return MapConversion::of_blocks(nullptr); }
    MapConversion operator()(const TmParams& tm) const { return MapConversion::transverse_mercator(tm); }
    MapConversion operator()(const BlocksProjection& blocks) const { return MapConversion::of_blocks(&blocks.fits); }
  };
  return std::visit(Of{}, plan.projection);
}

std::uint64_t pending_bytes(const std::vector<PieceCopy>& pending) {
  std::uint64_t sum = 0;
  for (const PieceCopy& p : pending) sum += piece_estimate(p.vertices.size(), p.triangles.size());
  return sum;
}

struct EndRecord {
  std::string record;
  EndReason reason = EndReason::error;
};

}  // namespace

const char* projection_label(const StreamProjection& projection) {
  struct KindOf {
    std::uint64_t operator()(const NoProjection&) const { return Projection::kNone; }
    std::uint64_t operator()(const TmParams&) const { return Projection::kTm; }
    std::uint64_t operator()(const BlocksProjection&) const { return Projection::kBlocks; }
  };
  // The map projection's own names.
  Projection named;
  named.kind = std::visit(KindOf{}, projection);
  return named.label();
}

StreamEnd stream_session(platform::Socket& socket, std::string_view head, const MeshRequest& request,
                         StreamPlan& plan, StreamTerrain& terrain, StreamRegistry& registry,
                         const std::atomic<bool>& stop, std::uint64_t beat_ns) {
  const std::uint64_t start = terrain.now();
  std::optional<std::uint64_t> probe_deadline;
  if (!plan.job_id && request.probe_seconds) probe_deadline = start + *request.probe_seconds * kNanosPerSecond;
  std::uint64_t next_beat = start;
  std::uint64_t beats = 0;
  std::uint64_t bytes = 0;
  std::string buffer;
  buffer.reserve(head.size() + 512);
  buffer.append(head);
  write_frame(buffer, FrameKind::head,
              head_record(request.theatre, projection_label(plan.projection), plan.squares_total, plan.refused));
  std::uint64_t points_sequence =
      plan.points_after ? *plan.points_after
                        : terrain.asked_since(std::numeric_limits<std::uint64_t>::max(), request.theatre).counter;
  std::uint64_t last_change = terrain.change_counter();
  std::vector<PieceCopy> pending;
  std::set<std::uint32_t> sent_ids;  // the ids of the piece frames this stream sent
  std::uint64_t pieces_since_state = 0;
  const bool has_job = plan.job_id.has_value();

  const auto finish = [&](EndReason reason, bool graceful) {
    registry.stream_update(plan.stream_id, beats, bytes, "ending", 0, 0);
    registry.stream_ended(plan.stream_id, reason, now_ns());
    return StreamEnd{reason, graceful};
  };

  std::optional<EndRecord> end;
  while (true) {
    const std::uint64_t now = terrain.now();

    // End checks.
    const char* word = "meshing";
    if (stop.load(std::memory_order_relaxed)) {
      end = EndRecord{end_stopped_record(), EndReason::stopped};
    } else if (plan.control && plan.control->is_replaced()) {
      end = EndRecord{end_named_record(EndReason::replaced), EndReason::replaced};
    } else if (std::optional<std::string> message = has_job ? terrain.worker_message() : std::nullopt) {
      end = EndRecord{end_error_record(*message), EndReason::error};
    } else {
      const MissionPhase phase = terrain.phase();
      const bool same_theatre = phase.theatre && *phase.theatre == request.theatre;
      switch (phase.code) {
        case MissionPhase::none:
          word = "paused: menu";
          break;
        case MissionPhase::other_server:
          end = EndRecord{end_named_record(EndReason::server), EndReason::server};
          break;
        case MissionPhase::loading:
        case MissionPhase::running:
          if (!same_theatre) {
            end = EndRecord{end_theatre_record(text_view(phase.theatre)), EndReason::theatre};
          } else if (phase.code == MissionPhase::loading) {
            word = "paused: loading";
          }
          break;
      }
    }
    if (end) break;

    // The job's pieces and counts.
    JobTurn turn;
    if (has_job) {
      turn = terrain.job_turn(*plan.job_id, *plan.control, pending_bytes(pending));
      if (turn.gone) {
        end = EndRecord{end_named_record(EndReason::replaced), EndReason::replaced};
        break;
      }
    }

    // Pieces: the newly taken ones, then those still pending.
    std::vector<PieceCopy> work = std::move(turn.taken);
    work.insert(work.end(), std::make_move_iterator(pending.begin()), std::make_move_iterator(pending.end()));
    pending.clear();
    BlocksProjection* const blocks = std::get_if<BlocksProjection>(&plan.projection);
    if (blocks && !work.empty()) {
      std::vector<std::array<double, 2>> points;
      for (const PieceCopy& p : work)
        for (const auto& v : p.vertices) points.push_back({v[0], v[1]});
      std::vector<BlockKey> keys = missing_block_keys(blocks->fits, points);
      std::sort(keys.begin(), keys.end());
      keys.erase(std::unique(keys.begin(), keys.end()), keys.end());
      if (!keys.empty()) {
        if (std::optional<BlockFitMap> got = terrain.block_fits(request.theatre, keys, std::chrono::seconds(1))) {
          for (auto& [key, fit] : *got) blocks->fits.insert_or_assign(key, fit);
        }
      }
    }
    const MapConversion conversion = conversion_of(plan);
    bool made_piece = false;
    for (PieceCopy& piece : work) {
      if (std::optional<std::string> payload = piece_payload(piece, conversion)) {
        write_frame(buffer, FrameKind::piece, *payload);
        sent_ids.insert(static_cast<std::uint32_t>(piece.id));
        pieces_since_state += 1;
        made_piece = true;
      } else {
        pending.push_back(std::move(piece));
      }
    }
    work.clear();

    // Points.
    if (request.points) {
      const AskedBatches got = terrain.asked_since(points_sequence, request.theatre);
      for (const AskedPointsRef& batch : got.batches)
        if (batch) write_frame(buffer, FrameKind::points, points_payload(*batch, conversion));
      points_sequence = got.counter;
    }

    // Counts, completion and the beat.
    const std::uint64_t owed = pending.size() + turn.pins_left;
    // A job stream completes only on a turn that also read what its page may keep: no piece can
    // have reached the job between the counts and the ids the drop record is made of.
    const bool complete = turn.done == turn.total && owed == 0 && (!probe_deadline || now >= *probe_deadline) &&
                          (!has_job || turn.failed != 0 || turn.keepable);
    const bool beat = now >= next_beat;
    if (beat) next_beat = now + beat_ns;
    if (!has_job && std::strcmp(word, "meshing") == 0) word = "idle";
    if ((beat && !(complete && pieces_since_state == 0)) || pieces_since_state > 0) {
      if (beat) beats += 1;
      write_frame(buffer, FrameKind::state, state_record(word, turn.done, turn.total, turn.failed, owed, beats));
      pieces_since_state = 0;
    }

    if (complete) {
      // The page holds what it named in its have ranges and what this stream sent it; of those, it
      // drops every id it may not keep for the requested cells: pieces of other cells, and pieces
      // that newer ones replaced, whether the store re-cut them (also after this stream sent them)
      // or had let them go.
      if (has_job && turn.failed == 0) {
        HaveRanges held = request.have;
        for (const std::uint32_t id : sent_ids) held.push_back({id, id});
        held = merged_ranges(std::move(held));
        if (std::optional<std::string> drop = drop_record(held, *turn.keepable))
          write_frame(buffer, FrameKind::drop, *drop);
      }
      write_frame(buffer, FrameKind::end, end_complete_record(turn.failed));
    }

    const SendOutcome sent = send_all(socket, buffer, bytes);
    if (!sent.ok) return finish(sent.reason, false);
    if (complete) return finish(EndReason::complete, true);
    registry.stream_update(plan.stream_id, beats, bytes, word, turn.done, turn.total);

    if (!(owed > 0 && (pending.empty() || made_piece))) last_change = terrain.wait_for_change(last_change, next_beat);

    if (beat) {
      if (const std::optional<EndReason> reason = watch_peer(socket)) return finish(*reason, false);
    }
  }

  write_frame(buffer, FrameKind::end, end->record);
  const SendOutcome sent = send_all(socket, buffer, bytes);
  if (!sent.ok) return finish(sent.reason, false);
  return finish(end->reason, true);
}

}  // namespace qm
