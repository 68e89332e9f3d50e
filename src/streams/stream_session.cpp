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

EndRecord named_end(EndReason reason) { return EndRecord{end_named_record(reason), reason}; }

// What a turn's end checks found: the end, if the stream ends now, and else the state word.
struct TurnCheck {
  std::optional<EndRecord> end;
  const char* word = "meshing";  // static text
};

// One stream between its turns: what it has sent, what it holds back and when it beats next.
class StreamLoop {
 public:
  StreamLoop(platform::Socket& socket, const MeshRequest& request, StreamPlan& plan, StreamTerrain& terrain,
             StreamRegistry& registry, const std::atomic<bool>& stop, std::uint64_t beat_ns)
      : socket_(socket), request_(request), plan_(plan), terrain_(terrain), registry_(registry), stop_(stop),
        beat_ns_(beat_ns), has_job_(plan.job_id.has_value()) {}

  StreamEnd run(std::string_view head);

 private:
  void start(std::string_view head);
  TurnCheck check_end();
  std::vector<PieceCopy> turn_pieces(std::vector<PieceCopy> taken);
  void gather_block_fits(const std::vector<PieceCopy>& work);
  bool write_pieces(std::vector<PieceCopy>& work, const MapConversion& conversion);
  void write_points(const MapConversion& conversion);
  void write_completion(const JobTurn& turn);
  StreamEnd deliver_end(const EndRecord& end);
  StreamEnd finish(EndReason reason, bool graceful);

  platform::Socket& socket_;
  const MeshRequest& request_;
  StreamPlan& plan_;
  StreamTerrain& terrain_;
  StreamRegistry& registry_;
  const std::atomic<bool>& stop_;
  const std::uint64_t beat_ns_;
  const bool has_job_;
  std::optional<std::uint64_t> probe_deadline_;
  std::uint64_t next_beat_ = 0;
  std::uint64_t beats_ = 0;
  std::uint64_t bytes_ = 0;
  std::string buffer_;
  std::uint64_t points_sequence_ = 0;
  std::uint64_t last_change_ = 0;
  std::vector<PieceCopy> pending_;
  std::set<std::uint32_t> sent_ids_;  // the ids of the piece frames this stream sent
  std::uint64_t pieces_since_state_ = 0;
};

// The head frame, and the counters the turns start from.
void StreamLoop::start(std::string_view head) {
  const std::uint64_t start = terrain_.now();
  if (!has_job_ && request_.probe_seconds) probe_deadline_ = start + *request_.probe_seconds * kNanosPerSecond;
  next_beat_ = start;
  buffer_.reserve(head.size() + 512);
  buffer_.append(head);
  write_frame(buffer_, FrameKind::head,
              head_record(request_.theatre, projection_label(plan_.projection), plan_.squares_total, plan_.refused));
  points_sequence_ =
      plan_.points_after ? *plan_.points_after
                         : terrain_.asked_since(std::numeric_limits<std::uint64_t>::max(), request_.theatre).counter;
  last_change_ = terrain_.change_counter();
}

TurnCheck StreamLoop::check_end() {
  TurnCheck check;
  if (stop_.load(std::memory_order_relaxed)) {
    check.end = EndRecord{end_stopped_record(), EndReason::stopped};
  } else if (plan_.control && plan_.control->is_replaced()) {
    check.end = named_end(EndReason::replaced);
  } else if (std::optional<std::string> message = has_job_ ? terrain_.worker_message() : std::nullopt) {
    check.end = EndRecord{end_error_record(*message), EndReason::error};
  } else {
    const MissionPhase phase = terrain_.phase();
    const bool same_theatre = phase.theatre && *phase.theatre == request_.theatre;
    switch (phase.code) {
      case MissionPhase::none:
        check.word = "paused: menu";
        break;
      case MissionPhase::other_server:
        check.end = named_end(EndReason::server);
        break;
      case MissionPhase::loading:
      case MissionPhase::running:
        if (!same_theatre) {
          check.end = EndRecord{end_theatre_record(text_view(phase.theatre)), EndReason::theatre};
        } else if (phase.code == MissionPhase::loading) {
          check.word = "paused: loading";
        }
        break;
    }
  }
  return check;
}

// The pieces of this turn: the newly taken ones, then those still pending.
std::vector<PieceCopy> StreamLoop::turn_pieces(std::vector<PieceCopy> taken) {
  std::vector<PieceCopy> work = std::move(taken);
  work.insert(work.end(), std::make_move_iterator(pending_.begin()), std::make_move_iterator(pending_.end()));
  pending_.clear();
  return work;
}

// Asks the host for the fits of the blocks the pieces' vertices lie in that the stream lacks.
void StreamLoop::gather_block_fits(const std::vector<PieceCopy>& work) {
  BlocksProjection* const blocks = std::get_if<BlocksProjection>(&plan_.projection);
  if (!blocks || work.empty()) return;
  std::vector<std::array<double, 2>> points;
  for (const PieceCopy& p : work)
    for (const auto& v : p.vertices) points.push_back({v[0], v[1]});
  std::vector<BlockKey> keys = missing_block_keys(blocks->fits, points);
  std::sort(keys.begin(), keys.end());
  keys.erase(std::unique(keys.begin(), keys.end()), keys.end());
  if (keys.empty()) return;
  if (std::optional<BlockFitMap> got = terrain_.block_fits(request_.theatre, keys, std::chrono::seconds(1))) {
    for (auto& [key, fit] : *got) blocks->fits.insert_or_assign(key, fit);
  }
}

// Writes a piece frame of each piece that converts and keeps the others pending; whether one went.
bool StreamLoop::write_pieces(std::vector<PieceCopy>& work, const MapConversion& conversion) {
  bool made_piece = false;
  for (PieceCopy& piece : work) {
    if (std::optional<std::string> payload = piece_payload(piece, conversion)) {
      write_frame(buffer_, FrameKind::piece, *payload);
      sent_ids_.insert(static_cast<std::uint32_t>(piece.id));
      pieces_since_state_ += 1;
      made_piece = true;
    } else {
      pending_.push_back(std::move(piece));
    }
  }
  work.clear();
  return made_piece;
}

void StreamLoop::write_points(const MapConversion& conversion) {
  if (!request_.points) return;
  const AskedBatches got = terrain_.asked_since(points_sequence_, request_.theatre);
  for (const AskedPointsRef& batch : got.batches)
    if (batch) write_frame(buffer_, FrameKind::points, points_payload(*batch, conversion));
  points_sequence_ = got.counter;
}

// The drop record, when the page must drop some pieces, and the complete end record.
void StreamLoop::write_completion(const JobTurn& turn) {
  // The page holds what it named in its have ranges and what this stream sent it; of those, it
  // drops every id it may not keep for the requested cells: pieces of other cells, and pieces
  // that newer ones replaced, whether the store re-cut them (also after this stream sent them)
  // or had let them go.
  if (has_job_ && turn.failed == 0) {
    HaveRanges held = request_.have;
    for (const std::uint32_t id : sent_ids_) held.push_back({id, id});
    held = merged_ranges(std::move(held));
    if (std::optional<std::string> drop = drop_record(held, *turn.keepable)) write_frame(buffer_, FrameKind::drop, *drop);
  }
  write_frame(buffer_, FrameKind::end, end_complete_record(turn.failed));
}

StreamEnd StreamLoop::deliver_end(const EndRecord& end) {
  write_frame(buffer_, FrameKind::end, end.record);
  const SendOutcome sent = send_all(socket_, buffer_, bytes_);
  if (!sent.ok) return finish(sent.reason, false);
  return finish(end.reason, true);
}

StreamEnd StreamLoop::finish(EndReason reason, bool graceful) {
  registry_.stream_update(plan_.stream_id, beats_, bytes_, "ending", 0, 0);
  registry_.stream_ended(plan_.stream_id, reason, now_ns());
  return StreamEnd{reason, graceful};
}

StreamEnd StreamLoop::run(std::string_view head) {
  start(head);
  while (true) {
    const std::uint64_t now = terrain_.now();
    TurnCheck check = check_end();
    if (check.end) return deliver_end(*check.end);

    // The job's pieces and counts.
    JobTurn turn;
    if (has_job_) {
      turn = terrain_.job_turn(*plan_.job_id, *plan_.control, pending_bytes(pending_));
      if (turn.gone) return deliver_end(named_end(EndReason::replaced));
    }

    std::vector<PieceCopy> work = turn_pieces(std::move(turn.taken));
    gather_block_fits(work);
    const MapConversion conversion = conversion_of(plan_);
    const bool made_piece = write_pieces(work, conversion);
    write_points(conversion);

    // Counts, completion and the beat.
    const std::uint64_t owed = pending_.size() + turn.pins_left;
    // A job stream completes only on a turn that also read what its page may keep: no piece can
    // have reached the job between the counts and the ids the drop record is made of.
    const bool complete = turn.done == turn.total && owed == 0 && (!probe_deadline_ || now >= *probe_deadline_) &&
                          (!has_job_ || turn.failed != 0 || turn.keepable);
    const bool beat = now >= next_beat_;
    if (beat) next_beat_ = now + beat_ns_;
    const char* word = check.word;
    if (!has_job_ && std::strcmp(word, "meshing") == 0) word = "idle";
    if ((beat && !(complete && pieces_since_state_ == 0)) || pieces_since_state_ > 0) {
      if (beat) beats_ += 1;
      write_frame(buffer_, FrameKind::state, state_record(word, turn.done, turn.total, turn.failed, owed, beats_));
      pieces_since_state_ = 0;
    }
    if (complete) write_completion(turn);

    const SendOutcome sent = send_all(socket_, buffer_, bytes_);
    if (!sent.ok) return finish(sent.reason, false);
    if (complete) return finish(EndReason::complete, true);
    registry_.stream_update(plan_.stream_id, beats_, bytes_, word, turn.done, turn.total);

    if (!(owed > 0 && (pending_.empty() || made_piece))) last_change_ = terrain_.wait_for_change(last_change_, next_beat_);

    if (beat) {
      if (const std::optional<EndReason> reason = watch_peer(socket_)) return finish(*reason, false);
    }
  }
}

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
  return StreamLoop(socket, request, plan, terrain, registry, stop, beat_ns).run(head);
}

}  // namespace qm
