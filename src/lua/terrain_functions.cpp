// The Lua side of the terrain exchange: `terrain_take`, `terrain_point` and `terrain_answer` on the
// calling thread's batch, and the end of the exchange's frame that `frame_end` runs (statistics and
// deliveries to the askers' answer tables).
#include "base/clock.hpp"
#include "lua/exchange_hook.hpp"
#include "base/fault.hpp"
#include "host/host_state.hpp"
#include "lua/lua_frame.hpp"
#include "lua/lua_functions.hpp"
#include "http/settings.hpp"
#include "host/stats.hpp"
#include "host/terrain_exchange.hpp"
#include "base/thread_own.hpp"
#include "platform/time_units.hpp"

namespace qm {

namespace {

// Exclusive use of the calling thread's `TerrainExchange`.
class ExchangeBorrow : public ThreadOwnBorrow<TerrainExchange> {
 public:
  ExchangeBorrow() : ThreadOwnBorrow("terrain exchange") {}
};

std::uint64_t since_origin(std::uint64_t now) { return saturating_sub(now, clock_origin_ns()); }

}  // namespace

void end_exchange_frame() {
  const bool asking = sampler_asking().load(std::memory_order_relaxed) != 0;
  FrameEndResult result;
  {
    ExchangeBorrow exchange;
    result = exchange_frame_end(*exchange, asking);
  }
  TerrainCostStats& stats = terrain_cost_stats();
  if (result.cost_ns) stats.add(*result.cost_ns, since_origin(now_ns()));
  if (result.sampling) stats.sampling_frames.fetch_add(1, std::memory_order_relaxed);
  if (result.dry) stats.dry_frames.fetch_add(1, std::memory_order_relaxed);
}

namespace lua {

int terrain_take(lua_State* L) {
  const std::optional<SharedText> theatre = current_own_theatre();
  TakeInputs in;
  in.theatre = theatre && *theatre ? theatre->get() : nullptr;
  in.now_ns = now_ns();
  in.budget_ns = std::uint64_t{terrain_budget_micros()} * kNanosPerMicro;
  in.sampler_asking = sampler_asking().load(std::memory_order_relaxed) != 0;
  TakeResult result;
  {
    ExchangeBorrow exchange;
    result = exchange_take(*exchange, in);
  }
  if (result.cold) {
    TerrainCostStats& stats = terrain_cost_stats();
    stats.cold_frames.fetch_add(1, std::memory_order_relaxed);
    stats.cold_points.fetch_add(result.cold_points, std::memory_order_relaxed);
  }
  lua_pushnumber(L, static_cast<lua_Number>(result.count));
  return 1;
}

int terrain_point(lua_State* L) {
  const std::optional<double> i = number_arg(L, 1);
  std::optional<terrain::HeightJob> job;
  {
    ExchangeBorrow exchange;
    if (const auto entry = exchange_index(*exchange, i)) {
      const auto& taken = (*exchange).batch[*entry].job;
      job = terrain::HeightJob{nullptr, nullptr, taken.index, taken.x, taken.y, taken.point_kind};
    }
  }
  if (!job) {
    lua_pushnil(L);
    return 1;
  }
  lua_pushnumber(L, job->x);
  lua_pushnumber(L, job->y);
  lua_pushnumber(L, job->point_kind);
  return 3;
}

int terrain_answer(lua_State* L) {
  const std::optional<double> i = number_arg(L, 1);
  const std::optional<double> a = number_arg(L, 2);
  const std::optional<double> b = number_arg(L, 3);
  ExchangeBorrow exchange;
  if (const auto entry = exchange_index(*exchange, i)) exchange_answer(*exchange, *entry, a, b);
  return 0;
}

}  // namespace lua
}  // namespace qm
