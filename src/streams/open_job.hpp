#pragma once
// Opening a terrain job for a mesh stream: the page's cells become a Job within the byte budget
// that all open jobs share, the page's older stream is replaced and the new stream is registered.
// On a refusal nothing of the request stays behind.
#include <cstdint>
#include <optional>
#include <set>
#include <vector>

#include "geo/block_fit.hpp"
#include "geo/region.hpp"
#include "platform/result.hpp"
#include "streams/mesh_request.hpp"
#include "streams/registry.hpp"
#include "streams/stream_control.hpp"
#include "streams/job_lease.hpp"
#include "work/terrain_state.hpp"

namespace qm {

inline constexpr std::uint64_t kJobBaseBytes = 4194304;       // every job's reservation
inline constexpr std::uint64_t kJobSquareRowBytes = 904166;   // per square of the widest square row

struct JobRefused {
  std::uint64_t needed = 0;
  std::uint64_t free = 0;
};

struct JobOpened {
  std::uint64_t job_id = 0;
  std::optional<BlockFitMap> blocks;     // the page's block fits; none under transverse Mercator
  std::vector<std::uint64_t> refused;    // the region's refused ring indices, unchanged
  StreamControlRef control;
  SquareMask request_squares;            // every requested cell
  std::set<std::uint64_t> kept_ids;      // piece ids of the page's cells that it holds already
  std::uint64_t square_count = 0;        // squares the job delivers
  std::uint64_t stream_id = 0;
  // Declared in this order so that the ticket is released before the lease.
  JobLease lease;
  JobTicket ticket;
};

using JobOpening = Result<JobOpened, JobRefused>;

// The bytes a request of these squares reserves: 4 MiB plus 904166 per square of the row (same
// first square coordinate) with the most squares.
std::uint64_t job_bytes_needed(const SquareMask& request_squares);

// The points of an opening past which something can still fail; tests strike there.
enum class OpeningStep : std::uint8_t { Reserved, Registered, Unlocked };
using OpeningProbe = void (*)(OpeningStep);

// Files the job and registers its stream, or refuses for want of bytes. Takes the schedule lock,
// and the registry's lock inside it; wakes the workers after releasing it. A refusal leaves the
// schedule as it was; a fault once the job is filed gives back what was made (the job's claims
// through its lease, the stream's record through its ticket).
JobOpening schedule_open_stream(const TerrainStateRef& state, const MeshRequest& request, const Region& region,
                                std::optional<BlockFitMap> blocks, bool lan,
                                StreamRegistry& registry = stream_registry(), OpeningProbe probe = nullptr);

// The text of a refusal's 503 answer.
std::string refusal_text(const JobRefused& refused);

}  // namespace qm
