#pragma once
// The state rules shared by the documents, the mesh routes and the workers: the export hook's state
// name (`hook_state`) and the mission phase (`mission_phase`). Moments are time stamps (nanoseconds
// since the clock origin plus 1, see stats.hpp).
#include <cstdint>
#include <optional>
#include <string_view>

#include "host/host_state.hpp"
#include "host/snapshot.hpp"
#include "host/stats.hpp"

namespace qm {

// The export hook's state: none outside a mission; else "other-thread", "running", "stopped",
// "starting" or "not-installed".
std::optional<std::string_view> hook_state(const ModuleStats& stats, bool mission_runs, std::uint64_t now_stamp);

// Whether the mission hook's frames are late: none counted yet, or the last one more than 2.0 s
// before `now_stamp`.
bool hook_frames_late(const ModuleStats& stats, std::uint64_t now_stamp);

struct MissionPhase {
  enum Code : std::uint8_t { none = 0, other_server = 1, loading = 2, running = 3 };
  Code code = none;
  SharedText theatre;  // set for loading and running
};

// The phase of a given snapshot at a given moment.
MissionPhase mission_phase_of(const ModuleStats& stats, const Snapshot& snapshot, std::uint64_t now_stamp);

// The phase of the latest published snapshot now (takes the snapshot lock, waiting for it).
MissionPhase mission_phase(const ModuleStats& stats);

// How the terrain workers learn the mission phase: an operations-only object that the worker start
// hands to the sampler thread. Tests give the sampler their own source.
class PhaseSource {
 public:
  virtual ~PhaseSource() = default;
  // `mission_phase` of the process-wide module statistics.
  virtual MissionPhase phase() const;
};

}  // namespace qm
