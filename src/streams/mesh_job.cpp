#include "streams/mesh_job.hpp"

#include <limits>

#include "streams/open_job.hpp"

namespace qm {

Result<void, std::string> open_job_stream(MeshStreamStart& stream, JobArea area, const TheatreRef&, bool lan) {
  const TerrainStateRef state = terrain_state();
  if (!state) return failure(std::string("the exporter can't mesh: its terrain work isn't running"));
  std::optional<BlockFitMap> blocks;
  if (!area.tm) blocks = std::move(area.fits);
  // The points baseline comes before the job is filed: the sampler may ask for its first batches
  // as soon as it is, before the stream's loop starts.
  stream.plan.points_after = state->asked_log.since(std::numeric_limits<std::uint64_t>::max(), "").counter;
  JobOpening opening = schedule_open_stream(state, stream.request, area.region, std::move(blocks), lan);
  if (!opening) return failure(refusal_text(opening.error()));
  JobOpened& opened = opening.value();

  auto hold = std::make_shared<MeshJobHold>();
  hold->job_id = opened.job_id;
  hold->lease = std::move(opened.lease);
  hold->ticket = std::move(opened.ticket);

  StreamPlan& plan = stream.plan;
  plan.job_id = opened.job_id;
  if (area.tm) {
    plan.projection = *area.tm;
  } else {
    plan.projection = BlocksProjection{opened.blocks ? std::move(*opened.blocks) : BlockFitMap{}};
  }
  plan.control = opened.control;
  plan.stream_id = opened.stream_id;
  plan.squares_total = opened.square_count;
  plan.refused = std::move(opened.refused);
  stream.job = std::move(hold);
  return {};
}

}  // namespace qm
