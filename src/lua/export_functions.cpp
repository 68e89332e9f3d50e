// The export hook's calls: its frame brackets, its state name and the scan-wanted flag.
#include <atomic>
#include <utility>

#include "base/clock.hpp"
#include "lua/frame_marks.hpp"
#include "host/host_state.hpp"
#include "lua/lua_frame.hpp"
#include "lua/lua_functions.hpp"
#include "host/mission_phase.hpp"
#include "host/stats.hpp"
#include "platform/handback.hpp"

namespace qm {

namespace {
// Relaxed: a request flag between the host's hooks; no data rides on it.
std::atomic<bool> scan_requested{false};
}  // namespace

namespace lua {

int export_frame(lua_State* L) {
  const std::uint64_t now = now_ns();
  export_mark() = now;
  ModuleStats& stats = module_stats();
  stats.export_frames.fetch_add(1, std::memory_order_relaxed);
  stats.last_export_frame.store(stamp_of(now), std::memory_order_relaxed);
  stats.mission_frames_at_export.store(stats.mission_frames.load(std::memory_order_relaxed), std::memory_order_relaxed);
  const bool mission_thread = thread_mark();
  if (!mission_thread) stats.other_thread.store(true, std::memory_order_relaxed);
  const std::optional<double> since = seconds_since_request(now);
  bool exporting = false;
  std::uint64_t generation = 0;
  {
    LuaStateBorrow state;
    exporting = mission_thread && state->on_own_server();
    generation = state->mission_generation;
  }
  const bool scan_wanted = scan_requested.load(std::memory_order_relaxed);
  push_number_or_nil(L, since);
  lua_pushboolean(L, exporting);
  lua_pushnumber(L, static_cast<lua_Number>(generation));
  lua_pushboolean(L, scan_wanted);
  return 4;
}

int export_frame_end(lua_State*) {
  platform::free_returns();  // as frame_end does, for a host whose export hook runs on its own thread
  const std::optional<std::uint64_t> mark = std::exchange(export_mark(), std::nullopt);
  if (!mark) return 0;
  const std::uint64_t now = now_ns();
  module_stats().export_cost.add(saturating_sub(now, *mark), saturating_sub(now, clock_origin_ns()));
  return 0;
}

int export_state(lua_State* L) {
  bool mission_runs = false;
  {
    LuaStateBorrow state;
    mission_runs = state->mission.has_value();
  }
  const std::optional<std::string_view> name = hook_state(module_stats(), mission_runs, stamp_now());
  if (name) {
    push_string(L, *name);
  } else {
    lua_pushnil(L);
  }
  return 1;
}

int request_scan(lua_State*) {
  scan_requested.store(true, std::memory_order_relaxed);
  return 0;
}

int scan_done(lua_State*) {
  scan_requested.store(false, std::memory_order_relaxed);
  return 0;
}

}  // namespace lua
}  // namespace qm
