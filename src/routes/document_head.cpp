#include "routes/document_head.hpp"

#include "base/clock.hpp"
#include "host/mission_phase.hpp"
#include "base/json.hpp"
#include "base/version.hpp"

namespace qm {

std::string_view mission_json(JsonWriter& w, const ModuleStats& stats, const Snapshot& snapshot,
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

  w.begin_object();
  w.key("api").integer(kApiVersion);
  w.key("exporter").text(kExporterVersion);
  w.key("state").text(state);
  w.key("exportState").opt_text(hook_state(stats, mission_runs, now_stamp));
  std::optional<double> since;
  if (last_frame != 0 && state != "other-server") since = ns_to_seconds(saturating_sub(now_stamp, last_frame));
  w.key("secondsSinceFrame").number(since, 3);
  std::optional<double> model_time;
  if (mission_runs) model_time = stats.host_time.load(std::memory_order_relaxed);
  w.key("modelTime").number(model_time, 3);
  return state;
}

}  // namespace qm
