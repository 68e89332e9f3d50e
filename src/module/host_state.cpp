#include "module/host_state.hpp"

#include <cmath>

#include "module/fault.hpp"
#include "module/numeric.hpp"

namespace qm {

namespace {

// The thread's `LuaState` lives in a thread-local holder. The phase byte is trivially destructible,
// so it still reads correctly while the thread's other records are being destroyed.
thread_local unsigned char lua_state_phase = 0;  // 0 not made yet, 1 alive, 2 torn down
thread_local bool lua_state_borrowed = false;

struct LuaStateHolder {
  LuaState state;
  LuaStateHolder() { lua_state_phase = 1; }
  ~LuaStateHolder() { lua_state_phase = 2; }
};

LuaState& thread_lua_state() {
  check(lua_state_phase != 2, "the thread's state is gone (thread ending)");
  thread_local LuaStateHolder holder;
  return holder.state;
}

}  // namespace

LuaStateBorrow::LuaStateBorrow() : state_(&thread_lua_state()) {
  check(!lua_state_borrowed, "the thread's state is already in use");
  lua_state_borrowed = true;
}

LuaStateBorrow::~LuaStateBorrow() { lua_state_borrowed = false; }

SharedText make_text(std::string text) { return std::make_shared<const std::string>(std::move(text)); }

std::optional<SharedText> current_own_theatre() {
  LuaStateBorrow state;
  if (!state->on_own_server()) return std::nullopt;
  return state->mission->theatre;
}

std::atomic<std::uint64_t>& mission_generation_counter() {
  static std::atomic<std::uint64_t> counter{0};
  return counter;
}

std::optional<std::uint64_t> valid_unit_id(std::optional<double> value) {
  if (!value) return std::nullopt;
  const double x = *value;
  if (!(x - std::trunc(x) == 0.0)) return std::nullopt;  // also NaN and infinities
  if (!(x > 0.0 && x < 9007199254740992.0)) return std::nullopt;
  return static_cast<std::uint64_t>(x);
}

std::optional<double> map_heading(std::string_view theatre, double lat, double lon, double heading_radians) {
  if (!std::isfinite(heading_radians) || theatre != "Afghanistan" || !std::isfinite(lat) || !std::isfinite(lon))
    return std::nullopt;
  const double c =
      std::atan(std::tan((lon - 63.0) * kRadiansPerDegree) * std::sin(lat * kRadiansPerDegree)) *
      kDegreesPerRadian;
  const double h = c + heading_radians * kDegreesPerRadian;
  double r = std::fmod(h, 360.0);
  if (r < 0.0) r += 360.0;
  r = std::round(r * 10.0) / 10.0;
  if (!(r < 360.0)) r -= 360.0;
  // A heading of exactly zero is written as 0.0, never "-0.0".
  if (r == 0.0) r = 0.0;
  return r;
}

}  // namespace qm
