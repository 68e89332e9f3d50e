#pragma once
// One accepted mesh stream, run to its end on its connection thread: the head frame, then turns of
// end checks, pieces taken from the store, points, state records and waits for the terrain work to
// change or the next beat, and finally the end record. The stream's registry record follows it.
#include <atomic>
#include <chrono>
#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "host/mission_phase.hpp"
#include "platform/socket.hpp"
#include "geo/block_fit.hpp"
#include "host/map_conversions.hpp"
#include "work/asked_points.hpp"
#include "streams/mesh_request.hpp"
#include "streams/registry.hpp"
#include "streams/stream_control.hpp"
#include "streams/wire.hpp"
#include "geo/tm.hpp"

namespace qm {

// The map projection a stream converts its pieces and points through: none (no point converts), a
// transverse Mercator, or the blocks projection with the block fits the stream has gathered.
struct NoProjection {};
struct BlocksProjection {
  BlockFitMap fits;
};
using StreamProjection = std::variant<NoProjection, TmParams, BlocksProjection>;

// The projection's name in the head record: "none", "tm" or "blocks".
const char* projection_label(const StreamProjection& projection);

// What the loop needs to know of its stream besides the request; the guards of its job are held
// by the caller for as long as the loop runs.
struct StreamPlan {
  std::optional<std::uint64_t> job_id;  // none for a job-less stream
  StreamProjection projection;
  StreamControlRef control;
  std::uint64_t stream_id = 0;
  std::uint64_t squares_total = 0;
  std::vector<std::uint64_t> refused;
  // The asked-points log's counter taken before the job was filed: points frames are sent for the
  // batches logged after it. None: the loop takes the counter when it starts.
  std::optional<std::uint64_t> points_after;
};

// One turn's look at the stream's job, taken under the schedule lock.
struct JobTurn {
  bool gone = false;  // the job left the jobs map, or the stream was replaced meanwhile
  std::vector<PieceCopy> taken;
  std::uint64_t total = 0;
  std::uint64_t done = 0;
  std::uint64_t failed = 0;
  std::uint64_t pins_left = 0;
  // The piece ids that a page may keep for the request's cells (keepable_ids_of_cells), read in the
  // same look as the counts when the job has nothing left to give (every square done, none failed,
  // no pin left), so that no piece can reach the job between the two.
  std::optional<std::set<std::uint32_t>> keepable;
};

// The terrain work as a stream sees it.
class StreamTerrain {
 public:
  virtual ~StreamTerrain() = default;
  // The clock that the stream's beats and its probe's end count by: monotonic nanoseconds, the
  // same as `wait_for_change`'s deadline.
  virtual std::uint64_t now() = 0;
  virtual MissionPhase phase() = 0;
  virtual std::optional<std::string> worker_message() = 0;
  // The change counter, read under the change lock.
  virtual std::uint64_t change_counter() = 0;
  // Waits while the change counter equals `last_seen` and `deadline` (monotonic ns) lies ahead;
  // gives the counter then.
  virtual std::uint64_t wait_for_change(std::uint64_t last_seen, std::uint64_t deadline) = 0;
  // Takes pieces for the job while `pending_bytes` (the estimate of the pieces the stream already
  // holds) stays below the limit, and reads the job's counts, and what its page may keep once it is
  // finished.
  virtual JobTurn job_turn(std::uint64_t job_id, const StreamControl& control, std::uint64_t pending_bytes) = 0;
  virtual AskedBatches asked_since(std::uint64_t after, std::string_view theatre) = 0;
  // The fits of the given blocks, asked of the host within `wait`; none when some went unanswered.
  virtual std::optional<BlockFitMap> block_fits(std::string_view theatre, const std::vector<BlockKey>& keys,
                                                std::chrono::nanoseconds wait) = 0;
};

// The pieces a stream takes from the store while its pending estimate is below this.
inline constexpr std::uint64_t kPendingPieceBytes = 2097152;
// The estimate of one piece: the largest frame it can give.
inline std::uint64_t piece_estimate(std::size_t vertices, std::size_t triangles) {
  return 40 + 12 * (static_cast<std::uint64_t>(vertices) + triangles);
}

struct StreamEnd {
  EndReason reason = EndReason::error;
  bool graceful = false;         // the end record was delivered
};

// Runs the stream to its end; records the end in `registry`. Never throws for I/O.
StreamEnd stream_session(platform::Socket& socket, std::string_view head, const MeshRequest& request,
                         StreamPlan& plan, StreamTerrain& terrain, StreamRegistry& registry,
                         const std::atomic<bool>& stop, std::uint64_t beat_ns);

}  // namespace qm
