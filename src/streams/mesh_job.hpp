#pragma once
// Filing the terrain job of a mesh stream whose areas lie in the running theatre, and the guards
// the stream holds for that job while it runs.
#include <cstdint>
#include <optional>
#include <string>

#include "platform/result.hpp"
#include "geo/block_fit.hpp"
#include "host/map_conversions.hpp"
#include "geo/region.hpp"
#include "streams/mesh_route.hpp"
#include "geo/tm.hpp"
#include "streams/job_lease.hpp"
#include "work/square_mask.hpp"

namespace qm {

// The cells of a job stream's areas and how its pieces reach the page.
struct JobArea {
  Region region;
  std::optional<TmParams> tm;  // the transverse Mercator; else the blocks projection's fits
  BlockFitMap fits;
};

// What a job stream holds of its job until it ends.
struct MeshJobHold {
  std::uint64_t job_id = 0;
  // Declared in this order so that the ticket is released before the lease.
  JobLease lease;
  JobTicket ticket;
};

// Files the job and registers the stream, filling the start's plan and job; fails with the
// refusal's text when the store cannot take it.
Result<void, std::string> open_job_stream(MeshStreamStart& stream, JobArea area, const TheatreRef& theatre, bool lan);

}  // namespace qm
