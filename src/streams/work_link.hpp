#pragma once
// A mesh stream's view of the process-wide terrain work: its mission phase, the worker message,
// the change signal, its job's pieces and counts under the schedule lock, and the asked points.
#include <memory>
#include <optional>
#include <string>

#include "host/stats.hpp"
#include "streams/stream_session.hpp"
#include "work/terrain_state.hpp"

namespace qm {

class WorkStreamTerrain final : public StreamTerrain {
 public:
  explicit WorkStreamTerrain(ModuleStats& stats);  // the process-wide terrain work
  WorkStreamTerrain(ModuleStats& stats, TerrainStateRef state);

  std::uint64_t now() override;
  MissionPhase phase() override;
  std::optional<std::string> worker_message() override;
  std::uint64_t change_counter() override;
  std::uint64_t wait_for_change(std::uint64_t last_seen, std::uint64_t deadline) override;
  JobTurn job_turn(std::uint64_t job_id, const StreamControl& control, std::uint64_t pending_bytes) override;
  AskedBatches asked_since(std::uint64_t after, std::string_view theatre) override;
  std::optional<BlockFitMap> block_fits(std::string_view theatre, const std::vector<BlockKey>& keys,
                                        std::chrono::nanoseconds wait) override;

 private:
  ModuleStats& stats_;
  TerrainStateRef state_;  // null before the terrain work exists
};

// The worker message of the terrain work, if it exists and holds one.
std::optional<std::string> terrain_worker_message();

// Registers a job-less stream: under the schedule lock the page's older open stream is marked
// replaced and its job (with its reservation and pins) dropped; then the workers are woken.
std::uint64_t open_jobless_stream(std::string_view page, bool lan, const StreamControlRef& control);

}  // namespace qm
