#include "host/host_state.hpp"

#include <cmath>

#include "base/fault.hpp"
#include "base/numeric.hpp"

namespace qm {

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
