#pragma once
// The points of a terrain request ("points=lat,lon;lat,lon;..."), their keys and the distance rule.
#include <cstdint>
#include <string_view>
#include <utility>
#include <vector>

#include "geo/areas.hpp"

namespace qm {

inline constexpr std::size_t kTerrainPointsPerRequest = 200;

namespace terrain_errors {
inline constexpr std::string_view kMissing = "missing points";
inline constexpr std::string_view kEmpty = "no points";
inline constexpr std::string_view kTooMany = "too many points";
inline constexpr std::string_view kNeedsComma = "a point needs lat,lon";
inline constexpr std::string_view kNotANumber = "not a number";
inline constexpr std::string_view kOutOfRange = "out of range";
}  // namespace terrain_errors

// The points of the query's first "points=" parameter, in request order (at most 200).
Parsed<std::vector<LatLon>> parse_terrain_points(std::string_view query);

// Two points with the same key are the same point: latitude and longitude times 10^7, rounded
// half away from zero, saturated to 64 bits (NaN gives 0).
using PointKey = std::pair<std::int64_t, std::int64_t>;
PointKey point_key(const LatLon& point);

// Great-circle distance in kilometres (haversine, earth diameter 12742.0176 km).
double great_circle_km(const LatLon& a, const LatLon& b);

// Within 2000 km of the map origin's position (and finite).
bool within_map_range(const LatLon& point, const LatLon& origin);

}  // namespace qm
