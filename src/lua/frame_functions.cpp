// `frame` and `frame_end`: the brackets of each mission-hook frame. `frame_end` publishes the
// thread's state as a new snapshot, ends the frame's terrain exchange and measures the hook's cost.
#include <cmath>
#include <utility>

#include "base/clock.hpp"
#include "lua/exchange_hook.hpp"
#include "lua/frame_marks.hpp"
#include "host/host_state.hpp"
#include "lua/lua_frame.hpp"
#include "lua/lua_functions.hpp"
#include "host/snapshot.hpp"
#include "host/stats.hpp"
#include "platform/handback.hpp"

namespace qm {

std::optional<std::uint64_t>& hook_mark() {
  thread_local std::optional<std::uint64_t> mark;
  return mark;
}

bool& thread_mark() {
  thread_local bool mark = false;
  return mark;
}

std::optional<std::uint64_t>& export_mark() {
  thread_local std::optional<std::uint64_t> mark;
  return mark;
}

std::uint64_t stamp_of(std::uint64_t now_ns) { return saturating_sub(now_ns, clock_origin_ns()) + 1; }

std::optional<double> seconds_since_request(std::uint64_t now_ns) {
  const std::uint64_t last = module_stats().last_request.load(std::memory_order_relaxed);
  if (last == 0) return std::nullopt;
  return ns_to_seconds(saturating_sub(stamp_of(now_ns), last));
}

namespace lua {

int frame(lua_State* L) {
  const std::optional<double> host_time = number_arg(L, 1);
  const std::uint64_t now = now_ns();
  hook_mark() = now;
  thread_mark() = true;
  ModuleStats& stats = module_stats();
  stats.mission_frames.fetch_add(1, std::memory_order_relaxed);
  stats.last_mission_frame.store(stamp_of(now), std::memory_order_relaxed);
  if (host_time && std::isfinite(*host_time)) stats.host_time.store(*host_time, std::memory_order_relaxed);
  const std::optional<double> since = seconds_since_request(now);
  push_number_or_nil(L, since);
  return 1;
}

int frame_end(lua_State*) {
  {
    const std::uint64_t now = now_ns();
    LuaStateBorrow state;
    publish_if_due(*state, now);
  }
  end_exchange_frame();
  // What the module's threads let go of that this side made (snapshots, texts) is freed here.
  platform::free_returns();
  const std::optional<std::uint64_t> mark = std::exchange(hook_mark(), std::nullopt);
  if (mark) {
    const std::uint64_t now = now_ns();
    module_stats().hook_cost.add(saturating_sub(now, *mark), saturating_sub(now, clock_origin_ns()));
  }
  return 0;
}

}  // namespace lua
}  // namespace qm
