#pragma once
// Web Mercator, the map page's plane: metres on a sphere of the WGS 84 equatorial radius, X east
// and Y north of the equator at the prime meridian.
#include <cmath>
#include <numbers>
#include <utility>

#include "base/numeric.hpp"

namespace qm {

inline constexpr double kWebMercatorRadius = 6378137.0;

// Latitude and longitude in degrees to Web Mercator metres (X, Y).
inline std::pair<double, double> web_mercator(double latitude, double longitude) {
  const double x = kWebMercatorRadius * (longitude * kRadiansPerDegree);
  const double y = kWebMercatorRadius * std::log(std::tan(std::numbers::pi / 4.0 + (latitude * kRadiansPerDegree) / 2.0));
  return {x, y};
}

// Web Mercator metres (X, Y) to latitude and longitude in degrees.
inline std::pair<double, double> web_mercator_inverse(double x, double y) {
  return {(2.0 * std::atan(std::exp(y / kWebMercatorRadius)) - std::numbers::pi / 2.0) * kDegreesPerRadian,
          (x / kWebMercatorRadius) * kDegreesPerRadian};
}

}  // namespace qm
