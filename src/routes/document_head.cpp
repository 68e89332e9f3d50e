#include "routes/document_head.hpp"

#include "base/clock.hpp"
#include "host/mission_phase.hpp"
#include "base/json.hpp"

namespace qm {

std::string_view mission_json(std::string& out, const ModuleStats& stats, const Snapshot& snapshot,
                              std::uint64_t now_stamp) {
  std::string_view state = "menu";
  if (snapshot.mission) {
    if (!snapshot.mission->on_own_server) {
      state = "other-server";
    } else {
      state = hook_frames_late(stats, now_stamp) ? "loading" : "mission";
    }
  }
  const bool mission_runs = state == "loading" || state == "mission";
  const std::uint64_t last_frame = stats.last_mission_frame.load(std::memory_order_relaxed);

  out.append("{\"api\":1,\"exporter\":\"1.1.0\",\"state\":");
  json_quote(out, state);
  out.append(",\"exportState\":");
  json_opt_string(out, hook_state(stats, mission_runs, now_stamp));
  out.append(",\"secondsSinceFrame\":");
  std::optional<double> since;
  if (last_frame != 0 && state != "other-server") since = ns_to_seconds(saturating_sub(now_stamp, last_frame));
  json_number(out, since, 3);
  out.append(",\"modelTime\":");
  std::optional<double> model_time;
  if (mission_runs) model_time = stats.host_time.load(std::memory_order_relaxed);
  json_number(out, model_time, 3);
  return state;
}

}  // namespace qm
