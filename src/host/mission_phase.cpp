#include "host/mission_phase.hpp"

#include "base/clock.hpp"
#include "platform/time_units.hpp"

namespace qm {

namespace {
constexpr std::uint64_t seconds_ns(std::uint64_t s) { return s * kNanosPerSecond; }
}  // namespace

std::optional<std::string_view> hook_state(const ModuleStats& stats, bool mission_runs, std::uint64_t now_stamp) {
  if (!mission_runs) return std::nullopt;
  if (stats.other_thread.load(std::memory_order_relaxed)) return "other-thread";
  const std::uint64_t mission_frames = stats.mission_frames.load(std::memory_order_relaxed);
  if (stats.export_frames.load(std::memory_order_relaxed) > stats.export_frames_at_change.load(std::memory_order_relaxed)) {
    const std::uint64_t last = stats.last_export_frame.load(std::memory_order_relaxed);
    const bool quiet = last == 0 || saturating_sub(now_stamp, last) > seconds_ns(10);
    const bool frames_went_on =
        saturating_sub(mission_frames, stats.mission_frames_at_export.load(std::memory_order_relaxed)) >= 601;
    return quiet && frames_went_on ? "stopped" : "running";
  }
  const std::uint64_t change = stats.last_mission_change.load(std::memory_order_relaxed);
  const bool many_frames =
      saturating_sub(mission_frames, stats.mission_frames_at_change.load(std::memory_order_relaxed)) >= 3001;
  if (change != 0 && many_frames && saturating_sub(now_stamp, change) > seconds_ns(60)) return "not-installed";
  return "starting";
}

bool hook_frames_late(const ModuleStats& stats, std::uint64_t now_stamp) {
  const std::uint64_t last = stats.last_mission_frame.load(std::memory_order_relaxed);
  return last == 0 || saturating_sub(now_stamp, last) > seconds_ns(2);
}

MissionPhase mission_phase_of(const ModuleStats& stats, const Snapshot& snapshot, std::uint64_t now_stamp) {
  MissionPhase phase;
  if (!snapshot.mission) return phase;
  if (!snapshot.mission->on_own_server) {
    phase.code = MissionPhase::other_server;
    return phase;
  }
  phase.code = hook_frames_late(stats, now_stamp) ? MissionPhase::loading : MissionPhase::running;
  phase.theatre = snapshot.mission->theatre;
  return phase;
}

MissionPhase mission_phase(const ModuleStats& stats) {
  const SnapshotRef current = snapshot();
  return mission_phase_of(stats, *current, stamp_now());
}

MissionPhase PhaseSource::phase() const { return mission_phase(module_stats()); }

}  // namespace qm
